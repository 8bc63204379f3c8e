"""The asyncio transport over loop:// (whatever it writes, its own reading loop reads back) and
over ptys: the protocol's calls in every life, reading, writing and flow control."""

import asyncio
import gc
import sys
import weakref
from unittest import mock

import pytest

import quorvelin
from quorvelin import aio
from pty_support import pty_pair
from transport_support import CountingLoop, MasterReader, Recorder, collect_errors, run, turns, until, until_sync


async def connect(url="loop://", protocol=Recorder, **settings):
    loop = asyncio.get_running_loop()
    transport, made = await aio.create_serial_connection(loop, protocol, url, **settings)
    await until(lambda: made.events, message="connection_made never came")
    return transport, made


@pytest.fixture
def pty():
    with pty_pair() as pair:
        yield pair


# --- a whole life -----------------------------------------------------------------------------


def test_normal_life_over_loop():
    async def main():
        transport, protocol = await connect()
        serial = transport.serial
        assert transport.is_reading() and not transport.is_closing()
        for data in (b"hello", "abc", b"", "", bytearray(b"!"), memoryview(b"?")):
            assert transport.write(data) is None
        await until(lambda: protocol.data == b"helloabc!?")
        transport.close()
        assert transport.is_closing() and not transport.is_reading()
        transport.write(b"after close")  # accepted silently, never sent
        transport.close()
        assert await protocol.lost is None
        assert protocol.serial_open_when_lost is True  # closed after connection_lost, not before
        assert not serial.is_open
        assert protocol.events[0] == "made" and protocol.events[-1] == "lost"
        assert set(protocol.events[1:-1]) == {"data"}
        assert protocol.count("lost") == 1
        assert transport.get_protocol() is None
        assert repr(transport) == f"SerialTransport({transport.loop!r}, None, {serial!r})"

    run(main)


def test_connection_made_comes_from_the_loop_after_create():
    async def main():
        loop = asyncio.get_running_loop()
        serial = quorvelin.serial_for_url("loop://", timeout=5, write_timeout=5)
        transport, protocol = await aio.connection_for_serial(loop, Recorder, serial)
        assert protocol.events == []  # scheduled, not called inside create
        assert (serial.timeout, serial.write_timeout) == (0, 0)
        await until(lambda: protocol.events == ["made"])
        assert protocol.transport is transport
        transport.abort()
        assert await protocol.lost is None

    run(main)


def test_create_refuses_what_is_not_a_serial_object():
    class Impostor:
        timeout = 7
        write_timeout = 8

    async def main():
        loop = asyncio.get_running_loop()
        impostor = Impostor()
        with pytest.raises(TypeError):
            await aio.connection_for_serial(loop, Recorder, impostor)
        assert (impostor.timeout, impostor.write_timeout) == (7, 8)

    run(main)


def test_create_refuses_objects_that_only_claim_to_be_serial_objects():
    # isinstance() believes __class__, as mocks built with a spec use it; the transport needs
    # the real object, whose port it takes over.
    class Claims:
        timeout = 7
        write_timeout = 8

        @property
        def __class__(self):
            return quorvelin.Serial

    async def main():
        loop = asyncio.get_running_loop()
        for impostor in (Claims(), mock.NonCallableMock(spec=quorvelin.SerialBase)):
            assert isinstance(impostor, quorvelin.SerialBase)
            with pytest.raises(TypeError):
                await aio.connection_for_serial(loop, Recorder, impostor)
        claims = Claims()
        with pytest.raises(TypeError):
            await aio.connection_for_serial(loop, Recorder, claims)
        assert (claims.timeout, claims.write_timeout) == (7, 8)

    run(main)


def test_abort_ends_at_once():
    async def main():
        transport, protocol = await connect()
        serial = transport.serial
        transport.abort()
        transport.abort()
        assert await protocol.lost is None
        await turns()
        assert protocol.events == ["made", "lost"]
        assert not serial.is_open

    run(main)


# --- reading ----------------------------------------------------------------------------------


def test_an_idle_port_restarts_its_read_every_second():
    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await connect()
        before = loop.hops["on_read"]
        await asyncio.sleep(2.5)
        assert loop.hops["on_read"] - before in (2, 3)
        assert protocol.events == ["made"]
        transport.close()
        await protocol.lost

    run(main, loop_factory=CountingLoop)


def test_paused_reading_holds_what_a_running_read_returns():
    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await connect()
        transport.pause_reading()
        transport.pause_reading()
        assert not transport.is_reading()
        transport.write(b"held")
        # The read that was running when reading paused completes and is held.
        await until(lambda: loop.hops["on_read"] >= 1)
        await turns()
        await asyncio.sleep(0.1)
        assert protocol.data == b""
        transport.resume_reading()  # one resume undoes both pauses
        assert transport.is_reading()
        await until(lambda: protocol.data == b"held")
        assert protocol.count("data") == 1
        transport.write(b"more")  # reading was restarted
        await until(lambda: protocol.data == b"heldmore")
        transport.resume_reading()  # without a pause: nothing
        transport.close()
        await protocol.lost

    run(main, loop_factory=CountingLoop)


@pytest.mark.parametrize("busy_writer,end", [(False, "close"), (False, "abort"), (True, "close")])
def test_bytes_held_at_the_close_come_before_connection_lost_or_not_at_all(busy_writer, end):
    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await connect()
        transport.pause_reading()
        transport.write(b"held")
        await until(lambda: loop.hops["on_read"] >= 1)
        await turns()
        if busy_writer:
            transport.write(b"w" * 10_000)  # more than the loopback holds: the close waits for it
        getattr(transport, end)()  # with an idle writer, connection_lost is queued at once
        transport.resume_reading()
        if busy_writer:
            await until(lambda: protocol.data == b"held")
            transport.abort()
        await protocol.lost
        await turns()
        assert protocol.events[-1] == "lost", protocol.events
        assert protocol.data == (b"held" if busy_writer else b"")

    run(main, loop_factory=CountingLoop)


def test_data_received_raising_keeps_the_reading_loop_going():
    class Faulty(Recorder):
        def data_received(self, data):
            super().data_received(data)
            if self.count("data") == 1:
                raise ZeroDivisionError("protocol fault")

    async def main():
        errors = collect_errors()
        transport, protocol = await connect(protocol=Faulty)
        transport.write(b"one")
        await until(lambda: protocol.data == b"one")
        await until(lambda: errors)
        transport.write(b"two")
        await until(lambda: protocol.data == b"onetwo")
        assert isinstance(errors[0]["exception"], ZeroDivisionError)
        assert not transport.is_closing()
        transport.close()
        assert await protocol.lost is None

    run(main)


def test_a_serial_object_closed_under_the_transport_ends_it_with_the_error():
    async def main():
        transport, protocol = await connect()
        transport.serial.close()
        assert isinstance(await protocol.lost, quorvelin.PortNotOpenError)
        assert protocol.events == ["made", "lost"]

    run(main)


def test_a_closed_event_loop_closes_the_serial_object():
    loop = asyncio.new_event_loop()
    serial = quorvelin.serial_for_url("loop://")
    try:
        async def start():
            transport, protocol = await aio.connection_for_serial(loop, Recorder, serial)
            await until(lambda: protocol.events == ["made"])

        loop.run_until_complete(asyncio.wait_for(start(), 5))
    finally:
        loop.close()
    # The read running at the close completes (here with data, or else at its one-second
    # period) and finds the loop closed.
    serial.write(b"x")
    until_sync(lambda: not serial.is_open)


def test_a_transport_nobody_holds_keeps_reading_and_is_collected_once_lost():
    received = bytearray()
    ended = []

    class Forgetful(asyncio.Protocol):
        def connection_made(self, transport):
            self.transport = transport  # the protocol and the transport hold each other

        def data_received(self, data):
            received.extend(data)
            if received == b"abcdef":
                self.transport.close()

        def connection_lost(self, exc):
            ended.append(exc)

    async def main():
        loop = asyncio.get_running_loop()
        serial = quorvelin.serial_for_url("loop://")
        transport, protocol = await aio.connection_for_serial(loop, Forgetful, serial)
        await turns()
        refs = weakref.ref(transport), weakref.ref(protocol)
        del transport, protocol
        gc.collect()
        serial.write(b"abc")
        await until(lambda: received == b"abc")
        await asyncio.sleep(1.2)  # past an idle read's period: the next read still runs
        gc.collect()
        serial.write(b"def")
        await until(lambda: ended == [None])
        await turns()
        gc.collect()
        assert [ref() for ref in refs] == [None, None]
        assert not serial.is_open

    run(main)


# --- writing and flow control -----------------------------------------------------------------


def test_one_large_write_pauses_once_at_once_and_resumes_once():
    async def main():
        transport, protocol = await connect()
        transport.write(b"x" * 100_000)
        assert protocol.events == ["made", "pause"]  # before write() returned
        await until(lambda: len(protocol.data) == 100_000)
        await until(lambda: protocol.count("resume") == 1)
        assert protocol.count("pause") == 1
        assert transport.get_write_buffer_size() == 0
        transport.close()
        await protocol.lost

    run(main)


class PausesThroughItsTransport(Recorder):
    """Uses the transport that connection_made gave it in pause_writing and resume_writing."""

    def pause_writing(self):
        super().pause_writing()
        self.size_at_pause = self.transport.get_write_buffer_size()

    def resume_writing(self):
        super().resume_writing()
        self.size_at_resume = self.transport.get_write_buffer_size()


# A write above the high-water mark made as soon as the connection function returns, before
# the loop has run connection_made: "loop://" reads it back, so the protocol is resumed later;
# "pty" has a far end that does not read, so the pause stands; "flushed" drops the queue again
# before connection_made, so the pause is over before the protocol could have heard of it.
BEFORE_CONNECTION_MADE = [
    ("loop://", ["made", "pause", "resume"]),
    ("pty", ["made", "pause"]),
    ("flushed", ["made"]),
]


@pytest.mark.parametrize("case,expected", BEFORE_CONNECTION_MADE)
def test_a_pause_before_connection_made_is_told_right_after_it(pty, case, expected):
    async def main():
        errors = collect_errors()
        loop = asyncio.get_running_loop()
        url = pty.name if case == "pty" else "loop://"
        transport, protocol = await aio.create_serial_connection(loop, PausesThroughItsTransport, url)
        if case == "flushed":
            transport.pause_reading()  # the loopback fills, so the first write stays in flight
            transport.write(b"a" * 10_000)
            transport.write(b"b" * 100_000)
            transport.flush()
        else:
            transport.write(b"x" * 200_000)  # more than the pty holds
        assert protocol.events == []  # connection_made is still to come, from the loop
        await until(lambda: protocol.events)
        assert protocol.events[:2] == expected[:2]
        if "pause" in expected:
            assert protocol.size_at_pause > 65536
        if case == "loop://":
            await until(lambda: len(protocol.data) == 200_000)
            await until(lambda: protocol.count("resume") == 1)
        await turns()
        assert [event for event in protocol.events if event != "data"] == expected
        assert errors == []
        transport.abort()
        assert await protocol.lost is None

    run(main)


LIMITS = [
    ({}, (16384, 65536)),
    ({"high": 100}, (25, 100)),
    ({"low": 100}, (100, 400)),
    ({"high": 100, "low": 0}, (0, 100)),
    ({"high": 7, "low": 7}, (7, 7)),
    ({"high": None, "low": None}, (16384, 65536)),
    ({"high": 0}, (0, 0)),
    ({"high": -3}, "high (-3) must be >= low (0) must be >= 0"),
    ({"high": -1}, "high (-1) must be >= low (0) must be >= 0"),
    ({"high": 10, "low": 20}, "high (10) must be >= low (20) must be >= 0"),
    ({"low": -1}, "high (-4) must be >= low (-1) must be >= 0"),
    ({"high": "1"}, TypeError),
    ({"high": 1.5}, TypeError),
    ({"low": sys.maxsize + 1}, OverflowError),
]


@pytest.mark.parametrize("arguments,expected", LIMITS)
def test_write_buffer_limits(arguments, expected):
    async def main():
        transport, protocol = await connect()
        transport.set_write_buffer_limits(high=1000, low=10)
        if isinstance(expected, tuple):
            assert transport.set_write_buffer_limits(**arguments) is None
            assert transport.get_write_buffer_limits() == expected
        elif isinstance(expected, str):
            with pytest.raises(ValueError) as raised:
                transport.set_write_buffer_limits(**arguments)
            assert str(raised.value) == expected
            assert transport.get_write_buffer_limits() == (10, 1000)  # unchanged
        else:
            with pytest.raises(expected):
                transport.set_write_buffer_limits(**arguments)
            assert transport.get_write_buffer_limits() == (10, 1000)
        transport.abort()
        await protocol.lost

    run(main)


def test_positional_limits_and_a_huge_low_mark():
    async def main():
        transport, protocol = await connect()
        transport.set_write_buffer_limits(300, 30)
        assert transport.get_write_buffer_limits() == (30, 300)
        transport.set_write_buffer_limits(low=sys.maxsize // 2)
        assert transport.get_write_buffer_limits() == (sys.maxsize // 2, sys.maxsize)
        transport.abort()
        await protocol.lost

    run(main)


def test_a_high_mark_of_zero_pauses_at_the_first_byte_and_lowering_marks_pauses():
    async def main():
        transport, protocol = await connect()
        transport.pause_reading()  # the loopback fills, so writes stay buffered
        transport.set_write_buffer_limits(high=0)
        transport.write(b"x")
        assert protocol.events == ["made", "pause"]
        transport.resume_reading()
        await until(lambda: protocol.count("resume") == 1)
        transport.set_write_buffer_limits()
        transport.pause_reading()
        transport.write(b"y" * 10_000)
        assert protocol.count("pause") == 1  # 10000 is below the default mark
        transport.set_write_buffer_limits(high=5000)  # the new mark pauses at once
        assert protocol.count("pause") == 2
        transport.set_write_buffer_limits(high=100_000)  # raising the marks does not resume
        assert protocol.count("resume") == 1
        transport.resume_reading()
        await until(lambda: len(protocol.data) == 10_001)
        await until(lambda: protocol.count("resume") == 2)
        transport.close()
        await protocol.lost

    run(main)


def test_flush_drops_the_queue_but_not_the_running_write():
    async def main():
        transport, protocol = await connect()
        transport.pause_reading()  # the loopback fills, so the running write waits
        transport.write(b"a" * 10_000)
        transport.write(b"b" * 5_000)
        assert transport.get_write_buffer_size() == 15_000
        transport.flush()
        assert transport.get_write_buffer_size() == 10_000
        transport.resume_reading()
        await until(lambda: len(protocol.data) == 10_000)
        await until(lambda: transport.get_write_buffer_size() == 0)
        await asyncio.sleep(0.05)
        assert protocol.data == b"a" * 10_000
        transport.close()
        await protocol.lost

    run(main)


def test_flush_resumes_a_paused_protocol():
    async def main():
        transport, protocol = await connect()
        transport.pause_reading()
        transport.set_write_buffer_limits(high=1000, low=500)
        transport.write(b"a" * 5_000)  # in flight, stuck on the full loopback
        transport.write(b"b" * 5_000)
        assert protocol.events == ["made", "pause"]
        transport.flush()  # 5000 still in flight: above the low mark
        assert protocol.count("resume") == 0
        transport.set_write_buffer_limits(high=20_000, low=6_000)
        transport.flush()
        assert protocol.events == ["made", "pause", "resume"]
        transport.abort()
        await protocol.lost

    run(main)


def test_writelines_and_what_write_refuses():
    async def main():
        transport, protocol = await connect()
        transport.writelines([b"a", "b", bytearray(b"c")])
        transport.writelines(iter([b"d"]))
        await until(lambda: protocol.data == b"abcd")
        with pytest.raises(TypeError) as raised:
            transport.write(5)
        assert str(raised.value) == "a bytes-like object or str is required, not 'int'"
        with pytest.raises(TypeError):
            transport.writelines(5)
        with pytest.raises(TypeError):
            transport.writelines([b"e", 6, b"f"])  # e is accepted, f never comes
        with pytest.raises(UnicodeEncodeError):
            transport.write("\udc80")
        await until(lambda: protocol.data == b"abcde")
        await asyncio.sleep(0.05)
        assert protocol.data == b"abcde"
        transport.close()
        await protocol.lost

    run(main)


def test_a_failing_pause_writing_is_reported_and_writing_goes_on():
    class Faulty(Recorder):
        def pause_writing(self):
            super().pause_writing()
            raise KeyError("no pause")

    async def main():
        errors = collect_errors()
        transport, protocol = await connect(protocol=Faulty)
        transport.set_write_buffer_limits(high=0)
        transport.write(b"abc")
        assert len(errors) == 1
        context = errors[0]
        assert list(context) == ["message", "exception", "transport", "protocol"]
        assert context["message"] == "protocol.pause_writing() failed"
        assert isinstance(context["exception"], KeyError)
        assert context["transport"] is transport and context["protocol"] is protocol
        await until(lambda: protocol.data == b"abc")
        await until(lambda: protocol.count("resume") == 1)  # the pause stood
        transport.close()
        assert await protocol.lost is None

    run(main)


def test_a_write_error_is_reported_and_aborts():
    async def main():
        errors = collect_errors()
        transport, protocol = await connect()
        transport.pause_reading()
        transport.write(b"w" * 10_000)  # stuck on the full loopback
        await asyncio.sleep(0.05)
        transport.write(b"queued")
        transport.serial.close()
        error = await protocol.lost
        assert isinstance(error, quorvelin.PortNotOpenError)
        assert len(errors) == 1
        context = errors[0]
        assert context["message"] == "Fatal write error on serial transport"
        assert context["exception"] is error
        assert context["transport"] is transport and context["protocol"] is protocol
        assert protocol.events == ["made", "lost"]
        assert transport.get_write_buffer_size() == 0

    run(main)


# --- closing with a busy writer (ptys: the far end decides when bytes leave) -------------------


def test_close_writes_the_queue_then_drains_then_loses_the_connection(pty):
    async def main():
        transport, protocol = await connect(pty.name)
        payload = bytes(range(256)) * 800  # 204800 bytes: far more than the pty holds
        transport.write(payload)
        await asyncio.sleep(0.05)
        assert transport.get_write_buffer_size() > 0
        transport.close()
        assert protocol.count("lost") == 0
        reader = MasterReader(pty.master)
        try:
            assert await protocol.lost is None
            assert protocol.serial_open_when_lost is True
            assert not transport.serial.is_open
            await asyncio.to_thread(lambda: until_sync(lambda: reader.size() >= len(payload)))
        finally:
            reader.close()
        assert bytes(reader.data) == payload
        assert protocol.events == ["made", "pause", "resume", "lost"]

    run(main)


def test_abort_after_close_drops_the_queue(pty):
    async def main():
        transport, protocol = await connect(pty.name)
        payload = b"q" * 200_000
        transport.write(payload)
        await asyncio.sleep(0.05)
        transport.close()
        transport.abort()
        reader = MasterReader(pty.master)
        try:
            assert await protocol.lost is None
            await asyncio.sleep(0.2)
        finally:
            reader.close()
        assert reader.size() < len(payload)
        assert protocol.count("lost") == 1
        assert transport.get_write_buffer_size() == 0

    run(main)


def test_a_pty_in_both_directions_and_its_hang_up(pty):
    async def main():
        transport, protocol = await connect(pty.name)
        pty.feed(b"from the far end")
        await until(lambda: protocol.data == b"from the far end")
        transport.write(b"to the far end")
        assert await asyncio.to_thread(pty.drain, 14) == b"to the far end"
        pty.hang_up()
        error = await protocol.lost
        assert isinstance(error, quorvelin.SerialException)
        assert error.errno == 5 or "disconnected" in str(error)
        assert not transport.serial.is_open

    run(main)


# --- the classes ------------------------------------------------------------------------------


def test_serial_transport_class():
    cls = aio.SerialTransport
    assert cls is aio.SerialTransport
    assert issubclass(cls, asyncio.Transport)
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("quorvelin.aio", "SerialTransport", "SerialTransport")
    assert cls.__slots__ == ("_core", "__weakref__")
    assert isinstance(cls.__doc__, str) and cls.__doc__
    orphan = cls()  # made by user code: no _core
    for call in (orphan.is_closing, orphan.close, lambda: orphan.loop, lambda: orphan.serial):
        with pytest.raises(AttributeError):
            call()


def test_transport_methods_and_attributes():
    async def main():
        transport, protocol = await connect()
        serial = transport.serial
        assert transport.loop is asyncio.get_running_loop()
        for name, default, expected in [("serial", None, serial), ("peername", None, None),
                                        ("peername", 5, 5), ("sslcontext", None, None)]:
            assert transport.get_extra_info(name, default) is expected
        assert transport.get_extra_info(name="serial") is serial
        with pytest.raises(TypeError):
            transport.get_extra_info(5)
        assert transport.can_write_eof() is False
        with pytest.raises(NotImplementedError) as raised:
            transport.write_eof()
        assert str(raised.value) == "Serial connections do not support end-of-file"
        transport.set_write_buffer_limits(low=100)  # keywords pass through the forwarders
        assert transport.get_write_buffer_limits() == (100, 400)
        for name in ("loop", "serial", "other"):
            with pytest.raises(AttributeError):
                setattr(transport, name, 1)
        assert repr(transport) == f"SerialTransport({transport.loop!r}, {protocol!r}, {serial!r})"
        core = transport._core
        assert type(core).__name__ == "_TransportCore"
        assert type(core).__module__ == "quorvelin.aio"
        assert not hasattr(aio, "_TransportCore")
        transport.close()
        await protocol.lost

    run(main)


def test_transport_core_class_cannot_be_made_or_subclassed():
    async def main():
        transport, protocol = await connect()
        core_class = type(transport._core)
        with pytest.raises(TypeError):
            core_class()
        with pytest.raises(TypeError):
            type("Sub", (core_class,), {})
        with pytest.raises(TypeError):
            __import__("weakref").ref(transport._core)
        assert core_class.pause_reading.__doc__ == (
            "Stops `data_received` calls until `resume_reading`.\n\n"
            "A read already under way is not cancelled, since it may have taken bytes from the\n"
            "port; what it returns is held and delivered on resume.")
        assert core_class.get_extra_info.__text_signature__ == "($self, name, default=None)"
        assert core_class.set_write_buffer_limits.__text_signature__ == "($self, high=None, low=None)"
        transport.abort()
        await protocol.lost

    run(main)


def test_set_protocol_none_is_a_protocol_without_methods():
    async def main():
        errors = collect_errors()
        transport, protocol = await connect()
        transport.set_protocol(None)
        assert transport.get_protocol() is None
        transport.write(b"x")  # data_received on None fails in the loop, reading goes on
        await until(lambda: errors)
        assert isinstance(errors[0]["exception"], AttributeError)
        transport.set_protocol(protocol)
        transport.write(b"y")
        await until(lambda: protocol.data == b"y")
        transport.close()
        await protocol.lost

    run(main)
