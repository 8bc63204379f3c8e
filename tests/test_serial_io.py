import array
import os
import signal
import sys
import threading
import time

import pytest

import quorvelin
from quorvelin import PortNotOpenError, Serial, SerialTimeoutException
from emulation_gaps import needs_break_ioctls
from pty_support import pty_pair


@pytest.fixture
def loop():
    s = Serial("loop://", timeout=0.3)
    yield s
    s.close()


@pytest.fixture
def pty():
    with pty_pair() as pair:
        yield pair


def later(delay, action):
    t = threading.Timer(delay, action)
    t.start()
    return t


# --- reads ----------------------------------------------------------------------------------

READS = [
    # (data written, call, expected)
    (b"abc", lambda s: s.read(), b"a"),
    (b"abc", lambda s: s.read(0), b""),
    (b"abc", lambda s: s.read(3), b"abc"),
    (b"abc", lambda s: s.read(size=10), b"abc"),
    (b"ab\ncd\n", lambda s: s.readline(), b"ab\n"),
    (b"abcdef", lambda s: s.readline(2), b"ab"),
    (b"ab\ncd", lambda s: s.readline(-5), b"ab\n"),
    (b"ab\ncd\n", lambda s: s.readlines(), [b"ab\n", b"cd\n"]),
    (b"ab\ncd\nef", lambda s: s.readlines(hint=1), [b"ab\n"]),
    (b"ab\rcd\n", lambda s: s.read_until(b"\r"), b"ab\r"),
    (b"ab\rcd\n", lambda s: s.read_until(), b"ab\rcd\n"),
    (b"ab\rcd\n", lambda s: s.read_until(None), b"ab\rcd\n"),
    (b"abXYcd", lambda s: s.read_until("XY"), b"abXY"),
    (b"abcdef", lambda s: s.read_until(b"z", 4), b"abcd"),
    (b"abcdef", lambda s: s.read_until(size=None, expected=b"d"), b"abcd"),
    (b"", lambda s: s.read(5), b""),
]


@pytest.mark.parametrize("data,call,expected", READS)
def test_loopback_reads(loop, data, call, expected):
    loop.write(data)
    assert call(loop) == expected


@pytest.mark.parametrize("data,call,expected", READS)
def test_pty_reads(pty, data, call, expected):
    s = Serial(pty.name, timeout=0.3)
    if data:
        pty.feed(data)
    assert call(s) == expected
    s.close()


ARGUMENT_ERRORS = [
    (lambda s: s.read(-1), OverflowError),
    (lambda s: s.read(2 * sys.maxsize + 2), OverflowError),  # beyond the platform's size_t
    (lambda s: s.read(1.5), TypeError),
    (lambda s: s.read("1"), TypeError),
    (lambda s: s.readline(None), TypeError),
    (lambda s: s.readlines(1.0), TypeError),
    (lambda s: s.read_until(12), TypeError),
    (lambda s: s.read_until(12, "x"), TypeError),
    (lambda s: s.read_until(b"x", -1), OverflowError),
    (lambda s: s.write(5), TypeError),
    (lambda s: s.write(None), TypeError),
    (lambda s: s.write(), TypeError),
    (lambda s: s.send_break("x"), TypeError),
    (lambda s: s.read(1, 2), TypeError),
    (lambda s: s.read(bogus=1), TypeError),
    (lambda s: s.readinto(), TypeError),
]


@pytest.mark.parametrize("call,error", ARGUMENT_ERRORS)
def test_argument_errors_leave_the_port_alone(loop, call, error):
    loop.write(b"keep")
    with pytest.raises(error):
        call(loop)
    assert loop.in_waiting == 4


def test_to_bytes_message(loop):
    with pytest.raises(TypeError, match=r"^a bytes-like object or str is required, not 'int'$"):
        loop.write(5)


@pytest.mark.parametrize("data,count", [("abc", 3), ("é", 2), (memoryview(b"xy"), 2), (bytearray(b"12345"), 5),
                                        (array.array("H", [1, 2]), 4), (b"", 0)])
def test_write_kinds(loop, data, count):
    assert loop.write(data) == count
    assert loop.read(10) == (data.encode() if isinstance(data, str) else bytes(data))


def test_flush_and_break(loop, pty):
    assert loop.flush() is None
    assert loop.send_break(0) is None
    with pytest.raises(ValueError):
        loop.send_break(-1)
    s = Serial(pty.name, timeout=0)
    s.write(b"hi")
    assert s.flush() is None
    assert pty.drain(2) == b"hi"
    s.close()


@needs_break_ioctls
def test_break_on_a_terminal(pty):
    s = Serial(pty.name, timeout=0)
    assert s.send_break(0.01) is None
    assert s.send_break(duration=0.01) is None
    s.close()


def test_readinto(loop):
    buf = bytearray(10)
    loop.write(b"abcd")
    assert loop.readinto(buf) == 4
    assert buf[:4] == b"abcd" and len(buf) == 10
    loop.write(b"xy")
    with pytest.raises(TypeError):
        loop.readinto(b"abcd")
    assert loop.in_waiting == 0  # the bytes were read before the assignment failed


def test_read_all(loop):
    loop.write(b"everything")
    assert loop.read_all() == b"everything"
    loop.close()
    with pytest.raises(PortNotOpenError):
        loop.read_all()


def test_simple_queries(loop):
    assert loop.readable() is True and loop.writable() is True and loop.seekable() is False


@pytest.mark.parametrize("call", [lambda s: s.read(), lambda s: s.write(b"x"), lambda s: s.readline(),
                                  lambda s: s.readlines(), lambda s: s.read_until(), lambda s: s.flush(),
                                  lambda s: s.send_break(0), lambda s: next(s)])
def test_io_on_closed_port(call):
    with pytest.raises(PortNotOpenError):
        call(Serial())


def test_iteration(loop):
    loop.write(b"one\ntwo\nthree")
    assert list(loop) == [b"one\n", b"two\n", b"three"]
    assert iter(loop) is loop
    loop.close()
    with pytest.raises(PortNotOpenError):
        next(loop)


def test_context_manager():
    with Serial("loop://") as s:
        assert isinstance(s, Serial) and s.is_open and not s.closed
    assert s.closed
    with pytest.raises(KeyError):
        with Serial("loop://") as t:
            raise KeyError
    assert t.closed
    u = Serial()
    assert u.__exit__(1, 2, 3) is None
    with u:  # no name: nothing is opened
        assert not u.is_open


# --- timeouts -------------------------------------------------------------------------------


@pytest.mark.parametrize("timeout", [0, 0.2])
def test_read_timeout(loop, timeout):
    loop.timeout = timeout
    start = time.monotonic()
    assert loop.read(5) == b""
    assert timeout <= time.monotonic() - start < timeout + 0.5


def test_inter_byte_timeout(pty):
    s = Serial(pty.name, timeout=5, inter_byte_timeout=0.1)
    pty.feed(b"ab")
    start = time.monotonic()
    assert s.read(10) == b"ab"
    assert time.monotonic() - start < 2
    s.close()


def test_inter_byte_timeout_runs_from_the_last_byte(loop):
    # Not from the read's start: a first byte later than the inter-byte timeout still starts
    # the read, bytes close behind it join it, and the first such gap ends it.
    loop.timeout = None
    loop.inter_byte_timeout = 0.2
    outcome = []
    reader = threading.Thread(target=lambda: outcome.append(loop.read(10)))
    reader.start()
    try:
        time.sleep(0.5)  # past the inter-byte timeout twice over, no byte yet
        assert reader.is_alive() and outcome == []
        loop.write(b"xyz")
        deadline = time.monotonic() + 5
        while loop.in_waiting and time.monotonic() < deadline:  # until the read took them
            time.sleep(0.001)
        loop.write(b"uvw")
        reader.join(5)
        assert not reader.is_alive()
        assert outcome == [b"xyzuvw"]
    finally:
        loop.cancel_read()
        reader.join(5)


def test_data_across_the_hand_off(pty):
    # Arrives over ~300 ms: part inline, the rest after the call went to the runtime.
    s = Serial(pty.name, timeout=3)
    chunks = [bytes([65 + i]) * 7 for i in range(10)]

    def feeder():
        for c in chunks:
            pty.feed(c)
            time.sleep(0.03)

    t = threading.Thread(target=feeder)
    t.start()
    assert s.read(70) == b"".join(chunks)
    t.join()
    s.close()


def test_write_timeout_on_full_pty(pty):
    s = Serial(pty.name, timeout=0, write_timeout=0.2)
    with pytest.raises(SerialTimeoutException):
        for _ in range(100):
            s.write(b"x" * 4096)
    s.close()


# --- cancel requests ------------------------------------------------------------------------


def test_cancel_read_ends_a_waiting_read(loop):
    loop.timeout = 10
    later(0.2, loop.cancel_read)
    start = time.monotonic()
    assert loop.read(5) == b""
    assert time.monotonic() - start < 3


def test_stored_cancel_read_ends_the_next_wait(loop):
    loop.timeout = 10
    loop.cancel_read()
    start = time.monotonic()
    assert loop.read(5) == b""
    assert time.monotonic() - start < 1


def test_cancel_write_ends_a_blocked_write(pty):
    s = Serial(pty.name, timeout=0, write_timeout=10)
    later(0.3, s.cancel_write)
    start = time.monotonic()
    written = s.write(b"x" * 200000)
    assert 0 < written < 200000
    assert time.monotonic() - start < 5
    s.close()


def test_close_from_another_thread_ends_a_read(loop):
    loop.timeout = None
    later(0.2, loop.close)
    with pytest.raises(PortNotOpenError):
        loop.read(5)


# --- signals --------------------------------------------------------------------------------


class Interrupted(Exception):
    pass


@pytest.mark.parametrize("timeout", [None, 30])
def test_signal_handler_interrupts_a_blocking_read(loop, timeout):
    def handler(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        loop.timeout = timeout
        sent = []

        def send():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGUSR1)

        later(0.3, send)
        with pytest.raises(Interrupted):
            loop.read(5)
        delay = time.monotonic() - sent[0]
        assert delay < 0.25, delay
    finally:
        signal.signal(signal.SIGUSR1, previous)
    # The cancelled read released the port.
    loop.timeout = 1
    loop.write(b"after")
    assert loop.read(5) == b"after"


def test_keyboard_interrupt_then_usable(pty):
    s = Serial(pty.name, timeout=None)
    later(0.3, lambda: signal.raise_signal(signal.SIGINT))
    with pytest.raises(KeyboardInterrupt):
        s.read(1)
    pty.feed(b"z")
    s.timeout = 2
    assert s.read(1) == b"z"
    s.close()


def test_handler_that_does_not_raise_lets_the_read_finish(loop):
    calls = []
    previous = signal.signal(signal.SIGUSR1, lambda *a: calls.append(1))
    try:
        loop.timeout = 3
        later(0.2, lambda: os.kill(os.getpid(), signal.SIGUSR1))
        later(0.4, lambda: loop.write(b"data"))
        assert loop.read(4) == b"data"
        assert calls == [1]
    finally:
        signal.signal(signal.SIGUSR1, previous)


# --- threads --------------------------------------------------------------------------------


def run_threads(targets, limit=30):
    errors = []

    def wrap(f):
        def run():
            try:
                f()
            except BaseException as e:  # reported to the test below
                errors.append(e)
        return run

    threads = [threading.Thread(target=wrap(f)) for f in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(limit)
    assert not any(t.is_alive() for t in threads)
    assert errors == []


def test_eight_threads_eight_ports():
    rounds = 200

    def worker(i):
        def run():
            with Serial("loop://", timeout=2) as s:
                for n in range(rounds):
                    msg = f"{i}:{n}\n".encode()
                    assert s.write(msg) == len(msg)
                    assert s.readline() == msg
        return run

    run_threads([worker(i) for i in range(8)])


def test_eight_threads_eight_ptys():
    pairs = [pty_pair() for _ in range(8)]
    ptys = [p.__enter__() for p in pairs]
    try:
        def worker(pair):
            def run():
                with Serial(pair.name, timeout=2) as s:
                    for n in range(50):
                        msg = b"%d\n" % n
                        s.write(msg)
                        assert pair.drain(len(msg)) == msg
                        pair.feed(msg)
                        assert s.readline() == msg
            return run

        run_threads([worker(p) for p in ptys])
    finally:
        for p in pairs:
            p.__exit__(None, None, None)


def test_eight_threads_share_one_port():
    # Four writers and four readers on one loopback port: every byte arrives once.
    s = Serial("loop://", timeout=2)
    per_writer = 2000
    received = []
    lock = threading.Lock()

    def writer(i):
        def run():
            for _ in range(per_writer // 100):
                sent = 0
                block = bytes([i]) * 100
                while sent < len(block):
                    sent += s.write(block[sent:])
        return run

    def reader():
        while True:
            data = s.read(64)
            if not data:
                return
            with lock:
                received.append(data)

    run_threads([writer(i) for i in range(4)] + [reader] * 4)
    everything = b"".join(received)
    assert len(everything) == 4 * per_writer
    for i in range(4):
        assert everything.count(bytes([i])) == per_writer
    # Mixed with settings changes and queries from other threads the port stays consistent:
    # every query sees one of the rates set, the rest unchanged, and nothing left to read.
    rates = {9600} | {19200 + k for k in range(200)}
    unchanged = {key: value for key, value in s.get_settings().items() if key != "baudrate"}
    seen = {"settings": [], "waiting": [], "reprs": []}
    run_threads([lambda: [setattr(s, "baudrate", 19200 + k) for k in range(200)]] +
                [lambda: seen["settings"].extend(s.get_settings() for _ in range(200))] +
                [lambda: seen["waiting"].extend(s.in_waiting for _ in range(200))] +
                [lambda: seen["reprs"].extend(repr(s) for _ in range(200))])
    assert s.baudrate == 19200 + 199
    assert len(seen["settings"]) == len(seen["waiting"]) == len(seen["reprs"]) == 200
    for settings in seen["settings"]:
        assert settings.pop("baudrate") in rates
        assert settings == unchanged
    assert seen["waiting"] == [0] * 200
    prefix = f"Serial<id=0x{id(s):x}, open=True>(port='loop://', baudrate="
    for text in seen["reprs"]:
        assert text.startswith(prefix), text
        assert int(text[len(prefix):].split(",")[0]) in rates, text
    s.close()
