"""quorvelin.aio.Serial: I/O methods that return a Future at once, over loop:// and ptys."""

import asyncio
import os
import signal
import sys
import time
import warnings

import pytest

import quorvelin
from quorvelin import aio
from pty_support import pty_pair


@pytest.fixture
def loop():
    s = aio.Serial("loop://", timeout=0.3)
    yield s
    s.close()


@pytest.fixture
def pty():
    with pty_pair() as pair:
        yield pair


def run(coroutine, limit=10):
    return asyncio.run(asyncio.wait_for(coroutine, limit))


async def value(future):
    return await future


# --- the class --------------------------------------------------------------------------------

DOCS = [
    ("read", "read($self, size=1)\n--\n\n"),
    ("read_until", "read_until(self, /, expected=b'\\n', size=None)\n--\n\n"),
    ("readline", "readline(self, /, size=-1)\n--\n\n"),
    ("readlines", "readlines(self, /, hint=-1)\n--\n\n"),
    ("write", "write($self, data)\n--\n\n"),
    ("flush", "flush($self)\n--\n\n"),
    ("send_break", "send_break($self, duration=0.25)\n--\n\n"),
    ("read_all", "read_all($self)\n--\n\n"),
    ("__aenter__", "__aenter__($self)\n--\n\n"),
    ("__aexit__", "__aexit__($self, *_args)\n--\n\n"),
]


@pytest.mark.parametrize("name,doc", DOCS)
def test_method_docstrings(name, doc):
    # The docstring is the signature line and the separator, nothing more.
    method = aio.Serial.__dict__[name]
    assert name + method.__text_signature__ + "\n--\n\n" == doc
    assert method.__doc__ is None


def test_class_surface():
    Serial = aio.Serial
    assert Serial.__module__ == "quorvelin.aio" and Serial.__qualname__ == "Serial"
    assert Serial.__bases__ == (quorvelin.SerialBase,)
    assert Serial.__doc__ == "Serial port whose I/O methods return futures."
    assert Serial.__text_signature__ == "(*_args, **_kwargs)"
    for absent in ("__enter__", "__exit__", "__iter__", "__next__", "readinto", "readable", "writable", "seekable",
                   "closed"):
        assert not hasattr(Serial, absent), absent
    assert aio.__all__[:3] == ["Future", "Serial", "serial_for_url"]
    assert aio.serial_for_url.__doc__ == (
        "Returns an `quorvelin.aio.Serial` for `url`, which is a device name or `loop://`.")
    assert aio.serial_for_url.__text_signature__ == "(url, *args, do_not_open=False, **kwargs)"
    assert aio.serial_for_url.__module__ == "quorvelin.aio"


def test_module_tree():
    assert sys.modules["quorvelin.aio"] is quorvelin.aio
    assert quorvelin._quorvelin.__all__[-3:] == ["serial_for_url", "aio", "tools"]
    import quorvelin.aio as imported
    assert imported is aio


def test_subclass_keeps_its_type_and_its_overrides():
    class Mine(aio.Serial):
        def __init__(self, *args, **kwargs):
            self.closes = 0
            super().__init__(*args, **kwargs)

        def read(self, size=1):
            return ("mine", size)

        def close(self):
            self.closes += 1
            super().close()

    s = Mine("loop://")
    assert type(s) is Mine
    s.write(b"abcd").result()
    assert s.read_all() == ("mine", 4)
    run(value(s.__aexit__(None, None, None)))
    assert s.closes == 1 and not s.is_open


# --- results ----------------------------------------------------------------------------------

class OwnEncode(str):
    """A str whose own encode() must not be what writes use."""

    def encode(self, *args, **kwargs):
        return b"wrong"


class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("from __index__")


READS = [
    # (data written first, call, result of its Future)
    (b"abc", lambda s: s.read(), b"a"),
    (b"abc", lambda s: s.read(size=3), b"abc"),
    (b"abc", lambda s: s.read(0), b""),
    (b"", lambda s: s.read(5), b""),
    (b"ab\ncd\n", lambda s: s.readline(), b"ab\n"),
    (b"abcdef", lambda s: s.readline(size=2), b"ab"),
    (b"ab\ncd\n", lambda s: s.readlines(), [b"ab\n", b"cd\n"]),
    (b"ab\ncd\nef", lambda s: s.readlines(1), [b"ab\n"]),
    (b"ab\rcd\n", lambda s: s.read_until(b"\r"), b"ab\r"),
    (b"ab\rcd\n", lambda s: s.read_until(None), b"ab\rcd\n"),
    (b"ab\rcd\n", lambda s: s.read_until(), b"ab\rcd\n"),
    (b"abXYcd", lambda s: s.read_until("XY"), b"abXY"),
    (b"abcdef", lambda s: s.read_until(size=4, expected=b"z"), b"abcd"),
    (b"abc", lambda s: s.flush(), None),
    (b"abc", lambda s: s.send_break(0), None),
    (b"abc", lambda s: s.send_break(duration=0.01), None),
    (b"", lambda s: s.write("é"), 2),
    (b"", lambda s: s.write(OwnEncode("é")), 2),
    (b"ab\xc3\xa9cd", lambda s: s.read_until(OwnEncode("é")), "abé".encode()),
    (b"", lambda s: s.write(bytearray(b"xyz")), 3),
    (b"", lambda s: s.write(memoryview(b"")), 0),
]


@pytest.mark.parametrize("data,call,expected", READS)
def test_results_awaited_and_waited(loop, data, call, expected):
    for use in ("await", "wait"):
        loop.reset_input_buffer()
        loop.write(data).result()
        future = call(loop)
        assert type(future) is aio.Future
        got = run(value(future)) if use == "await" else future.wait(5)
        assert got == expected, use


def test_data_already_waiting_gives_a_future_born_complete(loop):
    loop.write(b"hello").result()
    future = loop.read(5)
    assert future.done()
    assert future.cancel() is False
    assert future.result() == b"hello"


def test_pending_read_completes_when_data_arrives():
    port = aio.Serial("loop://")
    try:
        future = port.read(4)
        assert not future.done()
        port.write(b"late").result()
        assert future.wait(5) == b"late"
    finally:
        port.close()


@pytest.mark.parametrize("waiting,size", [(b"ab", 4), (bytes(range(256)) * 16, 6000)])
def test_a_read_goes_on_from_the_bytes_its_first_attempt_took(waiting, size):
    port = aio.Serial("loop://")
    try:
        port.write(waiting).result()
        future = port.read(size)
        assert not future.done()
        assert port.in_waiting == 0  # taken by the first attempt
        later = bytes(reversed(range(256))) * 32
        port.write(later[: size - len(waiting)])
        assert future.wait(5) == waiting + later[: size - len(waiting)]
    finally:
        port.close()


@pytest.mark.parametrize("room,data", [(6, b"0123456789"), (100, bytes(range(256)) * 20)])
def test_a_write_the_port_takes_in_part_goes_on_from_there(room, data):
    port = aio.Serial("loop://")
    try:
        port.write(b"p" * (4096 - room)).result()
        future = port.write(data)
        assert not future.done()
        got = port.read(4096).wait(5)
        assert got == b"p" * (4096 - room) + data[:room]
        assert port.read(len(data) - room).wait(5) == data[room:]
        assert future.wait(5) == len(data)
    finally:
        port.close()


def test_unawaited_write_still_writes(loop):
    loop.write(b"fire and forget")
    assert loop.read(15).wait(5) == b"fire and forget"


def test_operations_of_one_port_keep_their_order():
    async def main():
        port = aio.Serial("loop://")
        try:
            reads = [port.read(2) for _ in range(3)]
            port.write(b"aabbcc")
            return [await r for r in reads]
        finally:
            port.close()

    assert run(main()) == [b"aa", b"bb", b"cc"]


# --- failures: at the call or through the Future ----------------------------------------------

CALL_ERRORS = [
    (lambda s: s.read("1"), TypeError, None),
    (lambda s: s.read(-1), OverflowError, None),
    (lambda s: s.read(sys.maxsize * 2 + 2), OverflowError, None),
    (lambda s: s.read(1, 2), TypeError, None),
    (lambda s: s.read(RaisingIndex()), ZeroDivisionError, "from __index__"),
    (lambda s: s.readline(RaisingIndex()), ZeroDivisionError, "from __index__"),
    (lambda s: s.read(count=1), TypeError, None),
    (lambda s: s.readline(1.5), TypeError, None),
    (lambda s: s.readline(sys.maxsize + 1), OverflowError, None),
    (lambda s: s.readlines(hint="x"), TypeError, None),
    (lambda s: s.read_until(size="x", expected=5), TypeError, "'str' object cannot be interpreted as an integer"),
    (lambda s: s.read_until(5), TypeError, "a bytes-like object or str is required, not 'int'"),
    (lambda s: s.write(5), TypeError, "a bytes-like object or str is required, not 'int'"),
    (lambda s: s.write(), TypeError, None),
    (lambda s: s.send_break("x"), TypeError, None),
    (lambda s: s.flush(1), TypeError, None),
]


@pytest.mark.parametrize("call,error,message", CALL_ERRORS)
def test_argument_errors_raise_at_the_call(loop, call, error, message):
    with pytest.raises(error) as info:
        call(loop)
    if message is not None:
        assert str(info.value) == message
    loop.write(b"k").result()
    assert loop.read(1).result() == b"k"  # nothing was started


FUTURE_ERRORS = [
    (lambda s: s.send_break(-1), ValueError, "duration must be a non-negative number"),
    (lambda s: s.send_break(float("nan")), ValueError, "duration must be a non-negative number"),
]


@pytest.mark.parametrize("call,error,message", FUTURE_ERRORS)
def test_operation_errors_come_through_the_future(loop, call, error, message):
    future = call(loop)
    assert future.done()
    with pytest.raises(error) as info:
        run(value(future))
    assert str(info.value) == message


CLOSED_PORT_CALLS = [
    lambda s: s.read(),
    lambda s: s.read_until(),
    lambda s: s.readline(),
    lambda s: s.readlines(),
    lambda s: s.write(b"x"),
    lambda s: s.flush(),
    lambda s: s.send_break(0),
]


@pytest.mark.parametrize("call", CLOSED_PORT_CALLS)
def test_closed_port_fails_through_the_future(call):
    port = aio.Serial()
    future = call(port)
    assert future.done()
    with pytest.raises(quorvelin.PortNotOpenError):
        run(value(future))


def test_read_all(loop):
    loop.write(b"everything").result()
    assert loop.read_all().result() == b"everything"
    loop.close()
    with pytest.raises(quorvelin.PortNotOpenError):
        loop.read_all()  # from in_waiting, at the call


def test_close_ends_a_pending_read_through_its_future():
    port = aio.Serial("loop://")
    future = port.read(1)
    port.close()
    with pytest.raises(quorvelin.PortNotOpenError):
        future.wait(5)


@pytest.mark.timeout(60)
def test_a_cancelled_break_never_undoes_a_break_set_after_the_cancel(loop):
    # The cancelled operation's clean-up (turning its break off) runs later on a worker; a
    # flush waits for it, since it needs the write lock that operation held.
    undone = 0
    for _ in range(40):
        breaking = loop.send_break(1.0)
        assert loop.break_condition
        assert breaking.cancel()
        loop.break_condition = True
        assert loop.flush().wait(5) is None
        undone += not loop.break_condition
        loop.break_condition = False
    assert undone == 0, f"the break was turned off {undone} times of 40"


def test_a_cancelled_break_still_ends_its_own_break(loop):
    breaking = loop.send_break(1.0)
    assert loop.break_condition
    breaking.cancel()
    assert loop.flush().wait(5) is None
    assert not loop.break_condition


# --- async with and serial_for_url ------------------------------------------------------------


def test_async_with_opens_and_closes():
    async def main():
        port = aio.Serial()
        port.port = "loop://"
        assert not port.is_open
        async with port as bound:
            assert bound is port
            assert port.is_open
        assert not port.is_open

        with pytest.raises(KeyError):
            async with aio.Serial("loop://") as other:
                raise KeyError("not suppressed")
        assert not other.is_open

    run(main())


def test_aenter_fails_at_the_call_when_open_fails():
    class Refusing(aio.Serial):
        def open(self):
            raise OSError("refused")

    port = Refusing()
    port.port = "loop://"
    with pytest.raises(OSError, match="refused"):
        port.__aenter__()


def test_aexit_results():
    port = aio.Serial("loop://")
    entered = port.__aenter__()
    assert entered.done() and entered.result() is port
    exited = port.__aexit__(1, 2, 3)
    assert exited.done() and exited.result() is None


def test_serial_for_url():
    port = aio.serial_for_url("LOOP://", timeout=1)
    assert type(port) is aio.Serial and port.is_open and port.timeout == 1
    port.close()
    unopened = aio.serial_for_url("loop://", do_not_open=True)
    assert not unopened.is_open and unopened.port == "loop://"
    with pytest.raises(ValueError, match="invalid URL, protocol 'spy' not known"):
        aio.serial_for_url("spy://x")


# --- pseudo-terminals -------------------------------------------------------------------------


def test_pty_read_across_the_hand_off(pty):
    async def main():
        port = aio.Serial(pty.name, timeout=3)
        try:
            future = port.read(6)
            assert not future.done()
            asyncio.get_running_loop().call_later(0.1, pty.feed, b"abc")
            asyncio.get_running_loop().call_later(0.2, pty.feed, b"def")
            return await future
        finally:
            port.close()

    assert run(main()) == b"abcdef"


def test_pty_write_and_readline(pty):
    async def main():
        port = aio.Serial(pty.name, timeout=2)
        try:
            assert await port.write(b"to the far end") == 14
            await port.flush()
            pty.feed(b"line one\nline two\n")
            return await port.readline(), await port.readlines()
        finally:
            port.close()

    line, lines = run(main())
    assert line == b"line one\n" and lines == [b"line two\n"]
    assert pty.drain(14) == b"to the far end"


def test_pty_hang_up_fails_the_pending_read(pty):
    port = aio.Serial(pty.name)
    future = port.read(1)
    time.sleep(0.05)
    pty.hang_up()
    with pytest.raises(quorvelin.SerialException):
        future.wait(5)
    port.close()


def test_pty_cancel_read_ends_a_pending_read(pty):
    async def main():
        port = aio.Serial(pty.name)
        try:
            future = port.read(10)
            pty.feed(b"par")
            await asyncio.sleep(0.1)
            port.cancel_read()
            return await future
        finally:
            port.close()

    assert run(main()) == b"par"


# --- fork -------------------------------------------------------------------------------------

FORKED_CALLS = {
    "read": lambda s: s.read(),
    "read_until": lambda s: s.read_until(),
    "readline": lambda s: s.readline(),
    "readlines": lambda s: s.readlines(),
    "write": lambda s: s.write(b"x"),
    "flush": lambda s: s.flush(),
    "send_break": lambda s: s.send_break(0),
}


def child_checks(inherited_pending):
    message = "quorvelin cannot be used in a child process created by fork()"
    # The parent's threads would have completed it; none run here, so waiting must not hang.
    for timeout in (None, 0, 30):
        with pytest.raises(quorvelin.SerialException) as raised:
            inherited_pending.wait(timeout)
        assert str(raised.value) == message

    async def awaited():
        # The bound only turns a hang into a failure; the await must raise at once.
        return await asyncio.wait_for(value(inherited_pending), 10)

    with pytest.raises(quorvelin.SerialException) as raised:
        asyncio.run(awaited())
    assert str(raised.value) == message
    port = aio.Serial("loop://", timeout=0)
    for name, call in FORKED_CALLS.items():
        try:
            call(port)
        except quorvelin.SerialException as error:
            assert str(error) == message, name
        else:
            raise AssertionError(f"{name} did not raise at the call")
    port.baudrate = 115200
    assert port.get_settings()["baudrate"] == 115200
    port.close()
    assert not port.is_open
    port.open()
    assert port.is_open
    port.close()


def test_fork_child_refuses_io_at_the_call():
    parent = aio.Serial("loop://")
    parent.write(b"x").result()  # the runtime runs in the parent
    assert parent.read(1).wait(5) == b"x"
    pending = parent.read(1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            child_checks(pending)
            code = 0
        except BaseException as error:
            print("child failed:", repr(error), file=sys.stderr)
        finally:
            os._exit(code)
    deadline = time.monotonic() + 20
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise AssertionError("child hung")
        time.sleep(0.02)
    assert os.waitstatus_to_exitcode(status) == 0
    # The parent is unaffected.
    assert not pending.done()
    parent.write(b"y")
    assert pending.wait(5) == b"y"
    parent.close()
