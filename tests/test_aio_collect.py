"""Failed Futures do not leak: their exception's traceback holds the frames that hold them."""

import asyncio
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


def grown_by(run):
    """Bytes held on to by the later batches of `run()` beyond the first, as tracemalloc sees them."""
    gc.collect()
    tracemalloc.start()
    try:
        run()
        gc.collect()
        after_first = tracemalloc.get_traced_memory()[0]
        for _ in range(BATCHES - 1):
            run()
        gc.collect()
        after_all = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    return after_all - after_first


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
    grown = grown_by(rounds)
    assert grown < LIMIT, grown
    assert live_errors() - errors_before < 50
