"""A done-callback that takes its time on a runtime worker freezes no other port.

A callback registered with no loop running runs on the worker that completed the Future: the
reactor worker for a pty read woken by readiness, the task worker for a loop:// read woken
from a plain thread. While it sleeps, every other port still wakes and times out promptly.
"""

import asyncio
import os
import threading
import time

import pytest

import quorvelin
from quorvelin import aio
from pty_support import PtyPair, pty_pair

HOLD = 3.0       # how long a held worker stays busy unless the test lets it go
PROMPTLY = 1.0   # far below HOLD: what a probe may take while a worker is held
TIMEOUT = 0.2    # the probes' own timeouts


def thread_name():
    with open("/proc/thread-self/comm") as comm:
        return comm.read().strip()


class HeldWorker:
    """Completes a read whose done-callback then holds its worker until released."""

    def __init__(self, which):
        self.which = which
        self.started = threading.Event()
        self.release = threading.Event()
        self.ended = threading.Event()
        self.on = None

    def callback(self, _future):
        self.on = thread_name()
        self.started.set()
        self.release.wait(HOLD)
        self.ended.set()

    def __enter__(self):
        if self.which == "reactor worker":
            self.pty = PtyPair()
            self.port = aio.Serial(self.pty.name)
            self.port.read(1).add_done_callback(self.callback)
            self.pty.feed(b"x")
        else:
            self.pty = None
            self.port = aio.Serial("loop://")
            self.port.read(1).add_done_callback(self.callback)
            threading.Thread(target=lambda: self.port.write(b"x").wait(5)).start()
        assert self.started.wait(5), "the held callback never ran"
        assert self.on == "quorvelin", "the callback runs on a runtime worker"
        return self

    def __exit__(self, *exc):
        self.release.set()
        assert self.ended.wait(5)
        self.port.close()
        if self.pty is not None:
            self.pty.close()


def blocking_read_times_out():
    with pty_pair() as pty, quorvelin.Serial(pty.name, timeout=TIMEOUT) as port:
        assert port.read(1) == b""


def blocking_read_gets_data_that_comes_later():
    with pty_pair() as pty, quorvelin.Serial(pty.name, timeout=HOLD) as port:
        threading.Timer(0.1, pty.feed, (b"d",)).start()  # after the inline attempt's 50 ms
        assert port.read(1) == b"d"


def aio_read_gets_data_that_comes_later():
    with pty_pair() as pty:
        port = aio.Serial(pty.name)
        future = port.read(1)
        time.sleep(0.05)
        pty.feed(b"d")
        assert future.wait(HOLD) == b"d"
        port.close()


def aio_read_times_out_on_a_pty():
    with pty_pair() as pty:
        port = aio.Serial(pty.name, timeout=TIMEOUT)
        assert port.read(1).wait(HOLD) == b""
        port.close()


def aio_read_times_out_on_loop():
    port = aio.Serial("loop://", timeout=TIMEOUT)
    assert port.read(1).wait(HOLD) == b""
    port.close()


def loop_wakes_loop():
    port = aio.Serial("loop://")
    future = port.read(1)
    time.sleep(0.05)
    writer = threading.Thread(target=lambda: port.write(b"w").wait(HOLD))
    writer.start()
    assert future.wait(HOLD) == b"w"
    writer.join(HOLD)
    port.close()


PROBES = [
    blocking_read_times_out,
    blocking_read_gets_data_that_comes_later,
    aio_read_gets_data_that_comes_later,
    aio_read_times_out_on_a_pty,
    aio_read_times_out_on_loop,
    loop_wakes_loop,
]


@pytest.mark.timeout(30)
@pytest.mark.parametrize("which", ["reactor worker", "task worker"])
@pytest.mark.parametrize("probe", PROBES, ids=lambda probe: probe.__name__)
def test_a_held_worker_delays_no_other_port(which, probe):
    with HeldWorker(which) as held:
        started = time.monotonic()
        probe()
        took = time.monotonic() - started
        assert not held.ended.is_set(), "the worker was let go before the probe ended"
    assert took < PROMPTLY, f"{probe.__name__} took {took:.2f} s while the {which} was held"


def wait_in_the_callback(other):
    return other.read(1).wait(HOLD)


def run_a_loop_in_the_callback(other):
    async def read():
        return await other.read(1)

    return asyncio.run(asyncio.wait_for(read(), HOLD))


@pytest.mark.timeout(30)
@pytest.mark.parametrize("wait", [run_a_loop_in_the_callback, wait_in_the_callback], ids=lambda w: w.__name__)
def test_a_callback_that_waits_for_another_ports_read_sees_it_finish(wait):
    with pty_pair() as first, pty_pair() as second:
        port = aio.Serial(first.name)
        other = aio.Serial(second.name)
        outcome = {}
        done = threading.Event()

        def callback(_future):
            started = time.monotonic()
            try:
                outcome["value"] = wait(other)
            except BaseException as error:  # reported below, on the test's thread
                outcome["value"] = error
            outcome["took"] = time.monotonic() - started
            done.set()

        port.read(1).add_done_callback(callback)
        first.feed(b"x")
        time.sleep(0.1)  # the callback waits by now
        second.feed(b"y")
        assert done.wait(HOLD + 5)
        port.close()
        other.close()
    assert outcome["value"] == b"y"
    assert outcome["took"] < PROMPTLY
