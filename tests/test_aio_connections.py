"""The connection functions of quorvelin.aio, the Deferred they return, the stream pair they
give, and the asyncio module's place in the module tree."""

import asyncio
import collections.abc
import inspect
import sys
import threading

import pytest

import quorvelin
from quorvelin import aio
from pty_support import pty_pair
from transport_support import Recorder, run, until

FUNCTION_DOCS = {
    "create_serial_connection": (
        "(loop, protocol_factory, url, *args, **kwargs)",
        "Opens `url` like `quorvelin.serial_for_url` and connects it to a new protocol."),
    "connection_for_serial": ("(loop, protocol_factory, serial_instance)", "Connects an open port to a new protocol."),
    "open_serial_connection": (
        "(*, loop=None, limit=None, **kwargs)",
        "Opens a port and returns an asyncio `StreamReader` and `StreamWriter` for it."),
    "__getattr__": ("(name)", "Gives `quorvelin.aio.SerialTransport` on first access."),
}


@pytest.mark.parametrize("name", FUNCTION_DOCS)
def test_function_signatures_and_docstrings(name):
    function = getattr(aio, name)
    signature, doc = FUNCTION_DOCS[name]
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "quorvelin.aio"


# --- the module tree --------------------------------------------------------------------------


def test_asyncio_module_exports():
    assert aio.__all__ == ["Future", "Serial", "serial_for_url", "SerialTransport", "create_serial_connection",
                           "connection_for_serial", "open_serial_connection"]
    assert "__getattr__" in vars(aio)
    assert "SerialTransport" not in vars(aio)  # served by __getattr__ on every access
    namespace = {}
    exec("from quorvelin.aio import *", namespace)
    assert namespace["SerialTransport"] is aio.SerialTransport
    assert aio.__doc__ is None


def test_module_tree_and_sys_modules():
    native = sys.modules["quorvelin._quorvelin"]
    assert native.__all__[-3:] == ["serial_for_url", "aio", "tools"]
    assert len(native.__all__) == 27
    assert sys.modules["quorvelin.aio"] is quorvelin.aio is native.aio
    assert sys.modules["quorvelin.tools"] is native.tools
    assert sys.modules["quorvelin.tools.list_ports"] is native.tools.list_ports


def test_getattr_of_the_asyncio_module():
    assert aio.__getattr__("SerialTransport") is aio.SerialTransport
    with pytest.raises(AttributeError) as raised:
        aio.nope
    assert str(raised.value) == "module 'quorvelin.aio' has no attribute 'nope'"
    with pytest.raises(AttributeError) as raised:
        aio.__getattr__("serialtransport")
    assert str(raised.value) == "module 'quorvelin.aio' has no attribute 'serialtransport'"
    with pytest.raises(TypeError):
        aio.__getattr__(5)
    with pytest.raises(TypeError):
        aio.__getattr__()


# --- Deferred ---------------------------------------------------------------------------------


def deferred_type():
    deferred = aio.connection_for_serial(None, None, None)
    deferred.close()
    return type(deferred)


def test_deferred_class():
    cls = deferred_type()
    assert (cls.__name__, cls.__module__) == ("Deferred", "quorvelin.aio")
    assert cls.__doc__ == (
        "A coroutine that does its work on the first step and finishes with the result, so it can\n"
        "be awaited or given to `asyncio.create_task` like the result of an `async def` call.")
    assert cls.send.__text_signature__ == "($self, _value)"
    assert cls.throw.__text_signature__ == "($self, exception, _value=None, _traceback=None)"
    assert cls.close.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(aio, "Deferred")
    deferred = aio.connection_for_serial(None, None, None)
    assert asyncio.iscoroutine(deferred)
    assert isinstance(deferred, collections.abc.Coroutine)
    assert deferred.__await__() is deferred and iter(deferred) is deferred
    deferred.close()


def test_awaiting_create_serial_connection_gives_the_transport_and_the_protocol():
    async def main():
        loop = asyncio.get_running_loop()
        made = []

        def factory():
            made.append(Recorder())
            return made[-1]

        transport, protocol = await aio.create_serial_connection(loop, factory, "loop://", 115200, bytesize=7)
        assert isinstance(transport, aio.SerialTransport)
        assert made == [protocol]
        assert (transport.serial.baudrate, transport.serial.bytesize) == (115200, 7)
        assert type(transport.serial) is quorvelin.Serial
        await until(lambda: protocol.events == ["made"])
        transport.close()
        await protocol.lost

    run(main)


def test_nothing_happens_before_the_first_step():
    async def main():
        loop = asyncio.get_running_loop()
        deferred = aio.create_serial_connection(loop, Recorder, "socket://nowhere")  # no error yet
        with pytest.raises(ValueError) as raised:
            await deferred
        assert str(raised.value) == "invalid URL, protocol 'socket' not known"
        with pytest.raises(RuntimeError) as raised:
            await deferred
        assert str(raised.value) == "cannot reuse already awaited coroutine"
        with pytest.raises(quorvelin.SerialException):
            await aio.create_serial_connection(loop, Recorder, "/dev/no-such-serial-port")

    run(main)


def test_a_failing_protocol_factory_releases_the_port_it_opened():
    def factory():
        raise LookupError("no protocol")

    with pty_pair() as pty:
        async def main():
            loop = asyncio.get_running_loop()
            with pytest.raises(LookupError):
                await aio.create_serial_connection(loop, factory, pty.name, exclusive=True)
            # Released with the failed step, so the port is free for an exclusive open again.
            quorvelin.Serial(pty.name, exclusive=True).close()
            serial = quorvelin.Serial(pty.name)
            with pytest.raises(LookupError):
                await aio.connection_for_serial(loop, factory, serial)
            assert serial.is_open  # the caller's own object stays theirs
            serial.close()

        run(main)


def test_a_stop_iteration_of_the_work_is_a_failure_not_a_result():
    # Raised unchanged, it would end the await as if the work had returned its value.
    def factory():
        raise StopIteration("no protocols left")

    async def main():
        loop = asyncio.get_running_loop()
        for deferred in (aio.create_serial_connection(loop, factory, "loop://"),
                         asyncio.ensure_future(aio.create_serial_connection(loop, factory, "loop://"))):
            with pytest.raises(RuntimeError) as raised:
                await deferred
            assert str(raised.value) == "coroutine raised StopIteration"
            assert isinstance(raised.value.__cause__, StopIteration)
            assert raised.value.__cause__.value == "no protocols left"

    run(main)


def test_awaited_twice_and_stepped_by_hand():
    loop = asyncio.new_event_loop()
    try:
        serial = quorvelin.serial_for_url("loop://")
        made = asyncio.Protocol()
        deferred = aio.connection_for_serial(loop, lambda: made, serial)
        with pytest.raises(StopIteration) as stopped:
            deferred.send(None)
        transport, protocol = stopped.value.value  # the tuple is one value
        assert protocol is made and transport.serial is serial
        for step in (lambda: deferred.send(None), lambda: next(deferred), lambda: deferred.send(1)):
            with pytest.raises(RuntimeError) as raised:
                step()
            assert str(raised.value) == "cannot reuse already awaited coroutine"
        transport.abort()
        serial.close()
    finally:
        loop.close()


def test_close_and_throw_discard_the_work():
    called = []

    def factory():
        called.append(1)

    closed = aio.connection_for_serial(None, factory, None)
    assert closed.close() is None
    assert closed.close() is None
    with pytest.raises(RuntimeError):
        closed.send(None)
    for thrown, expected in [(ValueError, ValueError), (ValueError("given"), ValueError), (5, TypeError),
                             (int, TypeError)]:
        deferred = aio.connection_for_serial(None, factory, None)
        with pytest.raises(expected) as raised:
            deferred.throw(thrown)
        if isinstance(thrown, BaseException):
            assert raised.value is thrown
        with pytest.raises(RuntimeError):
            deferred.send(None)
    assert called == []


def test_a_deferred_runs_as_a_task():
    async def main():
        loop = asyncio.get_running_loop()
        task = asyncio.create_task(aio.create_serial_connection(loop, Recorder, "loop://"))
        transport, protocol = await task
        assert isinstance(transport, aio.SerialTransport) and isinstance(protocol, Recorder)
        failing = asyncio.ensure_future(aio.create_serial_connection(loop, Recorder, "socket://x"))
        with pytest.raises(ValueError):
            await failing
        await until(lambda: protocol.events == ["made"])
        transport.close()
        await protocol.lost

    run(main)


def test_a_task_cancelled_before_its_first_step_opens_nothing():
    async def main():
        loop = asyncio.get_running_loop()
        called = []
        task = asyncio.create_task(aio.create_serial_connection(loop, lambda: called.append(1), "/dev/no-such-port"))
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled() and called == []

    run(main)


def test_two_threads_stepping_one_deferred():
    loop = asyncio.new_event_loop()
    serial = quorvelin.serial_for_url("loop://")
    made = []
    deferred = aio.connection_for_serial(loop, lambda: made.append(1) or asyncio.Protocol(), serial)
    barrier = threading.Barrier(2)
    outcomes = []

    def step():
        barrier.wait(5)
        try:
            deferred.send(None)
        except BaseException as error:
            outcomes.append(type(error))

    threads = [threading.Thread(target=step) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    try:
        assert sorted(outcomes, key=lambda c: c.__name__) == [RuntimeError, StopIteration]
        assert made == [1]
    finally:
        serial.close()
        loop.close()


def test_argument_errors_raise_at_the_call():
    with pytest.raises(TypeError):
        aio.create_serial_connection(None, None)
    with pytest.raises(TypeError):
        aio.create_serial_connection(None, None, "loop://", url="loop://")
    with pytest.raises(TypeError):
        aio.connection_for_serial(None, None)
    with pytest.raises(TypeError):
        aio.open_serial_connection("loop://")
    for deferred in (aio.create_serial_connection(loop=1, protocol_factory=2, url=3),
                     aio.connection_for_serial(loop=1, protocol_factory=2, serial_instance=3),
                     aio.open_serial_connection(url="x", loop=None, limit=None)):
        deferred.close()


# --- the stream pair --------------------------------------------------------------------------


def test_open_serial_connection_needs_the_url_as_keyword_and_takes_the_limit():
    async def main():
        reader, writer = await aio.open_serial_connection(url="loop://")
        assert isinstance(reader, asyncio.StreamReader) and isinstance(writer, asyncio.StreamWriter)
        assert reader._limit == asyncio.streams._DEFAULT_LIMIT
        assert isinstance(writer.transport, aio.SerialTransport)
        writer.write(b"line\n")
        assert await reader.readline() == b"line\n"
        writer.close()
        await writer.wait_closed()
        assert not writer.transport.serial.is_open
        with pytest.raises(ValueError) as raised:
            await aio.open_serial_connection(url="loop://", limit=0)
        assert str(raised.value) == "Limit cannot be <= 0"
        with pytest.raises(TypeError):
            await aio.open_serial_connection()  # serial_for_url without a URL

    run(main)


def test_open_serial_connection_with_a_loop_needs_no_running_loop():
    loop = asyncio.new_event_loop()
    try:
        deferred = aio.open_serial_connection(loop=loop, url="loop://", limit=10)
        with pytest.raises(StopIteration) as stopped:
            deferred.send(None)
        reader, writer = stopped.value.value
        assert reader._limit == 10 and writer.transport.loop is loop
        writer.transport.abort()
        loop.run_until_complete(asyncio.sleep(0.01))
        assert not writer.transport.serial.is_open
    finally:
        loop.close()
    with pytest.raises(RuntimeError):
        aio.open_serial_connection(url="loop://").send(None)  # no loop given and none running


def test_streams_over_a_pty_with_a_far_end():
    with pty_pair() as pty:
        async def main():
            reader, writer = await aio.open_serial_connection(url=pty.name, baudrate=115200)
            pty.feed(b"OK\r\nrest of it:0123456789")
            assert await reader.readuntil(b"\r\n") == b"OK\r\n"
            assert await reader.readexactly(8) == b"rest of "
            assert await reader.readuntil(b":") == b"it:"
            assert await reader.readexactly(10) == b"0123456789"
            writer.write(b"AT\r\n")
            writer.writelines([b"one", b"two"])
            await writer.drain()
            assert await asyncio.to_thread(pty.drain, 10) == b"AT\r\nonetwo"
            writer.close()
            await writer.wait_closed()
            assert not writer.transport.serial.is_open

        run(main)


def test_a_small_stream_limit_pauses_and_resumes_the_transport():
    async def main():
        reader, writer = await aio.open_serial_connection(url="loop://", limit=16)
        writer.write(b"z" * 1000)
        await until(lambda: not writer.transport.is_reading())
        received = await reader.readexactly(1000)
        assert received == b"z" * 1000
        assert writer.transport.is_reading()
        writer.close()
        await writer.wait_closed()

    run(main)


def test_connection_functions_use_the_package_serial_for_url(monkeypatch):
    calls = []
    original = quorvelin.serial_for_url

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return original(*args, **kwargs)

    monkeypatch.setattr(quorvelin, "serial_for_url", spy)

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, "loop://", timeout=1)
        reader, writer = await aio.open_serial_connection(url="loop://", baudrate=19200)
        assert calls == [(("loop://",), {"timeout": 1}), ((), {"url": "loop://", "baudrate": 19200})]
        transport.close()
        writer.close()
        await protocol.lost
        await writer.wait_closed()

    run(main)


def test_inspect_sees_the_deferred_as_awaitable():
    deferred = aio.connection_for_serial(None, None, None)
    assert inspect.isawaitable(deferred)
    deferred.close()
