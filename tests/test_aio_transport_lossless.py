"""Nothing lost or repeated through the transport: 8 MiB of counters each way over a pty, in
chunks of random sizes, with reading paused and resumed at random meanwhile."""

import array
import asyncio
import os
import random
import select
import sys
import threading

import pytest

from quorvelin import aio
from pty_support import pty_pair
from transport_support import run

TOTAL = 8 * 1024 * 1024


def counters(size):
    values = array.array("I", range(size // 4))
    if sys.byteorder == "little":
        values.byteswap()
    return values.tobytes()


class FarEnd:
    """The device: writes `outgoing` to the master in random pieces and keeps what arrives."""

    def __init__(self, master, outgoing, seed):
        self.master = master
        self.outgoing = memoryview(outgoing)
        self.received = bytearray()
        self.rng = random.Random(seed)
        self.stop = threading.Event()
        self.error = None
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        try:
            while not self.stop.is_set():
                want_write = [self.master] if self.outgoing else []
                readable, writable, _ = select.select([self.master], want_write, [], 0.05)
                if readable:
                    try:
                        self.received += os.read(self.master, 65536)
                    except BlockingIOError:
                        pass
                if writable:
                    piece = self.outgoing[: self.rng.randrange(1, 20_000)]
                    try:
                        self.outgoing = self.outgoing[os.write(self.master, piece):]
                    except BlockingIOError:
                        pass
        except BaseException as error:
            self.error = error

    def close(self):
        self.stop.set()
        self.thread.join(5)


class Checker(asyncio.Protocol):
    def __init__(self):
        self.data = bytearray()
        self.can_write = asyncio.Event()
        self.can_write.set()
        self.lost = asyncio.get_running_loop().create_future()

    def data_received(self, data):
        self.data += data

    def pause_writing(self):
        self.can_write.clear()

    def resume_writing(self):
        self.can_write.set()

    def connection_lost(self, exc):
        self.lost.set_result(exc)


@pytest.mark.timeout(180)
def test_eight_mebibytes_each_way_with_reading_toggled():
    pattern = counters(TOTAL)
    with pty_pair() as pty:
        far = None

        async def main():
            nonlocal far
            loop = asyncio.get_running_loop()
            rng = random.Random(2)
            transport, protocol = await aio.create_serial_connection(loop, Checker, pty.name)
            # Only now: before the port is open the pty is in cooked mode and would echo.
            far = FarEnd(pty.master, pattern, seed=1)

            async def send():
                view = memoryview(pattern)
                while view:
                    await protocol.can_write.wait()
                    size = rng.randrange(1, 30_000)
                    transport.write(view[:size])
                    view = view[size:]
                    await asyncio.sleep(0)

            async def toggle():
                while len(protocol.data) < TOTAL:
                    await asyncio.sleep(rng.random() * 0.004)
                    transport.pause_reading()
                    await asyncio.sleep(rng.random() * 0.004)
                    transport.resume_reading()

            await asyncio.gather(send(), toggle())
            while len(far.received) < TOTAL and far.error is None:
                await asyncio.sleep(0.01)
            transport.close()
            assert await protocol.lost is None
            return protocol.data

        try:
            received = run(main, limit=150)
        finally:
            if far is not None:
                far.close()
        assert far.error is None
        assert len(received) == TOTAL and received == pattern
        assert len(far.received) == TOTAL and far.received == pattern
