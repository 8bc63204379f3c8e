"""A graceful close that has more to send than the port holds: the loopback port takes 4096
bytes, and only reads make room for the rest, so the transport has to keep reading (and drop
what it reads) until its last write and the drain are done. A pty whose far end echoes is the
same: it keeps reading us only while we read it."""

import asyncio
import os
import select
import threading

import pytest

import quorvelin
from quorvelin import aio
from pty_support import pty_pair
from transport_support import CountingLoop, Recorder, collect_errors, run, turns, until

PAYLOAD = b"x" * 100_000  # far more than the loopback's 4096 bytes
BOUND = 5  # seconds; on a machine under load the close still takes well under one

HELD = b"held"

# How reading stands when close() is called. "held": reading paused and the last read's bytes
# held, so no read runs; "resumed" is that, with resume_reading() after the close, which still
# delivers the held bytes but must not start a read of its own.
READING = ["running", "paused", "held", "resumed"]


async def set_reading(transport, reading):
    """Puts the transport's reading in the given state; returns the bytes held."""
    if reading == "running":
        return b""
    transport.pause_reading()
    if reading == "paused":
        return b""  # the read that was running goes on
    loop = asyncio.get_running_loop()
    reads = loop.hops["on_read"]
    transport.write(HELD)
    await until(lambda: loop.hops["on_read"] > reads)  # that read completed, and was held
    await turns()
    return HELD


@pytest.mark.timeout(30)
@pytest.mark.parametrize("reading", READING)
def test_transport_close_sends_the_queue_through_the_loopback_and_ends(reading):
    async def main():
        errors = collect_errors()
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, "loop://")
        await until(lambda: protocol.events == ["made"])
        serial = transport.serial
        held = await set_reading(transport, reading)
        transport.write(PAYLOAD)
        transport.close()
        closed_at = len(protocol.events)
        if reading == "resumed":
            transport.resume_reading()
        assert transport.is_closing() and not transport.is_reading()
        assert await asyncio.wait_for(protocol.lost, BOUND) is None
        assert protocol.serial_open_when_lost is True  # closed after connection_lost
        assert not serial.is_open
        await turns()
        # Nothing read after the close reaches the protocol; held bytes only on a resume. (The
        # protocol is resumed once the queue has gone out.)
        after_close = [event for event in protocol.events[closed_at:] if event != "resume"]
        assert protocol.data == (held if reading == "resumed" else b""), len(protocol.data)
        assert after_close == (["data", "lost"] if reading == "resumed" else ["lost"]), after_close
        assert transport.get_write_buffer_size() == 0
        assert errors == []

    run(main, loop_factory=CountingLoop)


@pytest.mark.timeout(30)
@pytest.mark.parametrize("reading", ["running", "held"])
def test_stream_writer_close_sends_the_queue_through_the_loopback_and_ends(reading):
    async def main():
        reader, writer = await aio.open_serial_connection(url="loop://")
        await turns()
        await set_reading(writer.transport, reading)
        writer.write(PAYLOAD)
        writer.close()
        await asyncio.wait_for(writer.wait_closed(), BOUND)
        assert not writer.transport.serial.is_open
        # Everything written came back only after the close, and none of it was handed on.
        assert await asyncio.wait_for(reader.read(), BOUND) == b""

    run(main, loop_factory=CountingLoop)


# What the port holds when close() is called. "queued": more than loop:// holds, so the close
# needs the kept read to make room; "read back": all of it came back first, so the kept read is
# still waiting when connection_lost comes, and only connection_lost can end it.
AT_THE_CLOSE = ["queued", "read back"]


@pytest.mark.timeout(30)
@pytest.mark.parametrize("at_the_close", AT_THE_CLOSE)
def test_the_read_kept_for_the_close_ends_at_connection_lost(at_the_close):
    class KeptOpen(quorvelin.Serial):
        """A serial object whose close() the transport calls at its end, leaving it open."""

        def close(self):
            self.close_calls = getattr(self, "close_calls", 0) + 1

    async def main():
        loop = asyncio.get_running_loop()
        serial = KeptOpen("loop://")
        transport, protocol = await aio.connection_for_serial(loop, Recorder, serial)
        await until(lambda: protocol.events == ["made"])
        if at_the_close == "queued":
            transport.write(PAYLOAD)
        else:
            transport.write(b"x" * 100)
            await until(lambda: protocol.data == b"x" * 100)
        transport.close()
        assert await asyncio.wait_for(protocol.lost, BOUND) is None
        await turns()
        assert serial.close_calls == 1 and serial.is_open
        # Nothing reads the port any more: what arrives now stays there, after what the last
        # write put in once the read had taken its last chunk (the close waits for the write,
        # not for the read to catch up).
        left = serial.in_waiting
        serial.write(b"after")
        await asyncio.sleep(0.2)
        assert serial.in_waiting == left + 5
        # And the read lock is free: a read of our own takes it all at once. A transport read
        # still running would hold the lock until it had taken the bytes, then this read would
        # wait out its timeout with less.
        serial.timeout = BOUND
        assert await asyncio.wait_for(asyncio.to_thread(serial.read, left + 5), BOUND + 1) == b"x" * left + b"after"
        quorvelin.Serial.close(serial)

    run(main)


class EchoingFarEnd:
    """The device: sends back whatever arrives, and reads no more while it cannot send. Once
    told to stop echoing, it only reads (nobody reads its echo any more)."""

    def __init__(self, master):
        self.master = master
        self.received = 0
        self.echo = threading.Event()
        self.echo.set()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        pending = b""
        while not self.stop.is_set():
            if not self.echo.is_set():
                pending = b""
            readable, writable, _ = select.select(
                [] if pending else [self.master], [self.master] if pending else [], [], 0.05
            )
            try:
                if readable:
                    pending = os.read(self.master, 65536)
                    self.received += len(pending)
                if writable:
                    pending = pending[os.write(self.master, pending) :]
            except BlockingIOError:
                continue
            except OSError:
                return  # the port closed its end

    def close(self):
        self.stop.set()
        self.thread.join(5)


@pytest.mark.timeout(30)
def test_close_over_a_pty_whose_far_end_echoes_ends():
    payload = b"e" * 400_000  # more than the pty's queues hold both ways

    async def main():
        loop = asyncio.get_running_loop()
        with pty_pair() as pty:
            transport, protocol = await aio.create_serial_connection(loop, Recorder, pty.name)
            await until(lambda: protocol.events == ["made"])
            far = EchoingFarEnd(pty.master)  # only now: the open put the pty in raw mode
            try:
                transport.write(payload)
                transport.close()
                closed_at = len(protocol.events)
                assert await asyncio.wait_for(protocol.lost, 3 * BOUND) is None
                assert not transport.serial.is_open
                assert "data" not in protocol.events[closed_at:]
                # A graceful close: every queued byte went out (the test still holds the slave
                # open, so the far end can read what the port sent before it closed).
                far.echo.clear()
                await until(lambda: far.received == len(payload))
            finally:
                far.close()

    run(main, limit=25)
