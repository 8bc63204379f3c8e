"""Failed Futures do not leak: their exception's traceback holds the frames that hold them,
and nothing native (completion state, tasks) stays behind either."""

import asyncio
import ctypes
import gc
import tracemalloc

import pytest

import quorvelin
from quorvelin import aio

ROUNDS = 20_000
PENDING_ROUNDS = 6_000
BATCHES = 3
# A leaking round keeps a Future, an exception, a traceback and a frame: over 600 bytes, so
# BATCHES - 1 more batches would keep several MiB more. What may legitimately stay does not
# grow with the rounds: objects made or freed on a runtime worker whose release waits for
# that thread's next attach (around a MiB at most).
LIMIT = 2 * 1024 * 1024
# The native side is measured apart, in the C library's allocator, over more batches: the
# interpreter's objects live in an allocator of their own, so what stays there is steady to a
# few tens of KiB, while a leak of even 16 bytes per round keeps some 375 KiB over the later
# batches of the shortest run.
NATIVE_BATCHES = 5
NATIVE_LIMIT = 192 * 1024


def fail_by_result(port):
    future = port.read(1)
    try:
        future.result()
    except quorvelin.PortNotOpenError:
        pass


async def fail_by_await(port):
    future = port.read(1)
    try:
        await future
    except quorvelin.PortNotOpenError:
        pass


async def fail_pending(port):
    future = port.read(1)
    port.close()
    try:
        await future
    except quorvelin.PortNotOpenError:
        pass
    port.open()


def live_errors():
    return sum(1 for o in gc.get_objects() if type(o) is quorvelin.PortNotOpenError)


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                      "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = MallInfo2


def native_in_use():
    """Bytes the C library's allocator has handed out and not taken back: the extension's
    own objects and the runtime's, which tracemalloc does not see."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def traced():
    return tracemalloc.get_traced_memory()[0]


def grown_by(run, measure, batches):
    """What `measure()` grew by over the later batches of `run()` beyond the first."""
    run()
    gc.collect()
    after_first = measure()
    for _ in range(batches - 1):
        run()
    gc.collect()
    return measure() - after_first


def python_grown_by(run):
    gc.collect()
    tracemalloc.start()
    try:
        return grown_by(run, traced, BATCHES)
    finally:
        tracemalloc.stop()


def result_rounds():
    port = aio.Serial()  # never opened: every read fails at once
    for _ in range(ROUNDS):
        fail_by_result(port)


def await_rounds():
    async def main():
        port = aio.Serial()
        for _ in range(ROUNDS):
            await fail_by_await(port)

    asyncio.run(main())


def pending_rounds():
    async def main():
        port = aio.Serial("loop://")
        for _ in range(PENDING_ROUNDS):
            await fail_pending(port)
        port.close()

    asyncio.run(main())


@pytest.mark.parametrize("rounds", [result_rounds, await_rounds, pending_rounds])
def test_failed_futures_are_collected(rounds):
    gc.collect()
    errors_before = live_errors()
    grown = python_grown_by(rounds)
    assert grown < LIMIT, grown
    native = grown_by(rounds, native_in_use, NATIVE_BATCHES)
    assert native < NATIVE_LIMIT, native
    assert live_errors() - errors_before < 50
