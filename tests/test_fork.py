import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from quorvelin import Serial, serial_for_url
from pty_support import pty_pair

# os.fork() warns in a process with threads, and the runtime's workers are threads.
pytestmark = pytest.mark.filterwarnings("ignore:.*fork.*:DeprecationWarning")


def reap(pid, limit):
    """The child's exit status, or None when it did not end within `limit` seconds (it is killed)."""
    deadline = time.monotonic() + limit
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return None
        time.sleep(0.001)


def run_in_child(body):
    """Forks; the child runs `body` and exits 0 when it returns true, 1 when false, 2 when it raises."""
    pid = os.fork()
    if pid == 0:
        code = 2
        try:
            code = 0 if body() else 1
        finally:
            os._exit(code)
    return pid


@pytest.mark.timeout(60)
def test_children_forked_while_threads_use_a_port_can_still_close_configure_and_open():
    # A child inherits every lock as it was at the moment of fork(); the threads below keep the
    # port's locks busy, so without care some children find one held by a thread they lack.
    port = serial_for_url("loop://", timeout=0.05)
    stop = threading.Event()
    failures = []

    def hammer(action):
        def run():
            try:
                while not stop.is_set():
                    action()
            except Exception as error:  # noqa: BLE001 - reported by the test
                failures.append(error)
        return run

    def poke():
        port.in_waiting
        port.cancel_read()
        port.rts = True

    threads = [threading.Thread(target=hammer(f))
               for f in (lambda: port.write(b"ab"), lambda: port.read(2), poke)]

    def child():
        port.close()
        port.baudrate = 19200
        port.timeout = 1
        fresh = Serial("loop://")
        fresh.dtr = False
        fresh.reset_input_buffer()
        fine = fresh.is_open and fresh.in_waiting == 0 and fresh.dsr is False and fresh.cts is True
        fresh.close()
        return fine and port.baudrate == 19200 and not port.is_open

    for t in threads:
        t.start()
    hung, failed, forks = 0, 0, 0
    started = time.monotonic()
    try:
        while forks < 300 and hung == 0 and time.monotonic() - started < 30:
            forks += 1
            status = reap(run_in_child(child), limit=3)
            if status is None:
                hung += 1
            elif status != 0:
                failed += 1
    finally:
        stop.set()
        for t in threads:
            t.join(10)
        port.close()
    assert failures == []
    assert (hung, failed) == (0, 0), f"after {forks} forks: {hung} child hung, {failed} failed"
    assert forks >= 100, "too few forks in the time given to say anything"


@pytest.mark.timeout(60)
def test_child_closes_a_terminal_that_a_parent_thread_reads():
    with pty_pair() as pty:
        port = Serial(pty.name, timeout=0.01)
        stop = threading.Event()

        def read():
            while not stop.is_set():
                port.read(1)

        def feed():
            while not stop.is_set():
                try:
                    pty.feed(b"x")
                except BlockingIOError:
                    pass  # the reader is behind; the terminal's buffer is full
                time.sleep(0.0005)

        threads = [threading.Thread(target=read), threading.Thread(target=feed)]
        for t in threads:
            t.start()

        def child():
            port.close()
            port.baudrate = 115200
            return not port.is_open

        try:
            statuses = [reap(run_in_child(child), limit=3) for _ in range(50)]
        finally:
            stop.set()
            for t in threads:
                t.join(10)
        assert statuses == [0] * 50
        # The children's closes left the parent's port working.
        pty.feed(b"z")
        assert port.read(1) in (b"x", b"z")
        port.close()


def test_worker_threads_are_named_by_the_time_the_first_read_returns():
    # Each child is forked before any use, so it starts its own runtime at its first read and
    # looks at its threads' names right away.
    script = textwrap.dedent("""
        import os, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        from quorvelin import Serial

        def names_of(tids):
            return sorted(open(f"/proc/self/task/{tid}/comm").read().strip() for tid in tids)

        wrong = 0
        for _ in range(20):
            pid = os.fork()
            if pid == 0:
                code = 2
                try:
                    # Only the threads the first use starts: an emulator may run one of its own.
                    before = set(os.listdir("/proc/self/task"))
                    with Serial("loop://", timeout=0) as s:
                        s.read(1)
                        started = set(os.listdir("/proc/self/task")) - before
                        code = 0 if names_of(started) == ["quorvelin", "quorvelin"] else 1
                finally:
                    os._exit(code)
            _, status = os.waitpid(pid, 0)
            wrong += status != 0
        print(wrong)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=50)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0"], "children whose threads were not yet named"
