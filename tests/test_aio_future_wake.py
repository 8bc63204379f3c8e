"""A blocking Future.wait() is woken by the completion, not by the end of its wait slice.

wait() sleeps in slices of 50 ms; a waiter that missed the notification returns only when
its first slice ends, 50 ms or more after it began however fast the machine. The data lands
a few ms into that slice, so a waiter woken by the completion returns well inside it. Rounds
absorb the odd thread that a loaded machine or an emulator holds back."""

import threading
import time

from aio_support import pending, ports

SLICE = 0.05
WELL_INSIDE = SLICE * 3 / 5
ROUNDS = 10
WAITERS = 2


def one_round(made):
    future, port = pending(made)
    began = [threading.Event() for _ in range(WAITERS)]
    outcomes = [None] * WAITERS

    def waiter(i):
        start = time.monotonic()  # before the wait, so before its first slice
        began[i].set()
        value = future.wait(10)
        outcomes[i] = (value, time.monotonic() - start)

    threads = [threading.Thread(target=waiter, args=(i,)) for i in range(WAITERS)]
    for thread in threads:
        thread.start()
    assert all(event.wait(10) for event in began)
    time.sleep(0.005)  # into the first slice
    port.write(b"abc")
    for thread in threads:
        thread.join(10)
    assert not any(thread.is_alive() for thread in threads)
    assert [value for value, _ in outcomes] == [b"abc"] * WAITERS
    return max(waited for _, waited in outcomes)


def test_blocking_waiters_are_woken_by_the_completion():
    with ports() as made:
        longest = [one_round(made) for _ in range(ROUNDS)]
    woken_inside = sum(waited < WELL_INSIDE for waited in longest)
    assert woken_inside > ROUNDS // 2, [round(waited * 1000) for waited in longest]
