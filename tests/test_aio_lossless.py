"""Nothing is lost between awaited operations: reads ended by the port's own timeout or by
cancel_read return every byte of a counter pattern exactly once."""

import asyncio
import itertools
import os
import select
import struct
import threading
import time

import pytest

import quorvelin
from quorvelin import aio
from pty_support import pty_pair

TOTAL_COUNTERS = 100_000  # 400 000 bytes of 32-bit counters


def pattern(count):
    return b"".join(struct.pack(">I", i) for i in range(count))


def feed(master, data, stop):
    """Writes `data` to the pty master in uneven pieces, as a device would deliver it."""
    view = memoryview(data)
    sizes = itertools.cycle([1, 7, 64, 300, 2, 1500, 13])
    while view and not stop.is_set():
        _, writable, _ = select.select([], [master], [], 0.1)
        if not writable:
            continue
        try:
            sent = os.write(master, view[: next(sizes)])
        except BlockingIOError:
            continue
        view = view[sent:]
        if next(sizes) == 2:
            time.sleep(0.0005)  # now and then a gap, so reads also end short


def test_awaited_reads_lose_nothing():
    expected = pattern(TOTAL_COUNTERS)
    with pty_pair() as pty:
        port = aio.Serial(pty.name, timeout=0.002)
        stop = threading.Event()
        writer = threading.Thread(target=feed, args=(pty.master, expected, stop))

        async def main():
            loop = asyncio.get_running_loop()
            received = bytearray()
            sizes = itertools.cycle([1, 5, 64, 512, 3, 100])
            cancels = short = 0
            idle_since = None
            for round_number in itertools.count():
                size = next(sizes)
                future = port.read(size)
                if round_number % 5 == 0:
                    # Ends this read (or, when none waits, the next one) early, with its bytes.
                    loop.call_soon(port.cancel_read)
                    cancels += 1
                chunk = await future
                received += chunk
                short += len(chunk) < size
                if len(received) >= len(expected):
                    break
                if chunk:
                    idle_since = None
                elif idle_since is None:
                    idle_since = time.monotonic()
                elif time.monotonic() - idle_since > 5:
                    break
            return bytes(received), cancels, short

        writer.start()
        try:
            received, cancels, short = asyncio.run(asyncio.wait_for(main(), 120))
        finally:
            stop.set()
            writer.join(10)
            port.close()
    print(f"{cancels} cancel_read calls, {short} reads ended short")
    assert cancels > 100 and short > 100
    assert len(received) == len(expected)
    if received != expected:
        at = next(i for i, (a, b) in enumerate(zip(received, expected)) if a != b)
        pytest.fail(f"stream differs at byte {at}: got {received[at:at + 8]!r}, expected {expected[at:at + 8]!r}")


def test_cancelling_a_read_future_drops_what_its_operation_took():
    # The documented cost of cancelling a Future rather than using the port's timeout: the
    # aborted operation takes the bytes it had already collected with it.
    async def main():
        port = aio.Serial("loop://")
        try:
            future = port.read(10)
            await port.write(b"abc")
            await asyncio.sleep(0.05)
            assert future.cancel()
            await port.write(b"def")
            port.timeout = 0.1
            return await port.read(10)
        finally:
            port.close()

    assert asyncio.run(main()) == b"def"
