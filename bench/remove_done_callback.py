"""Future.remove_done_callback against asyncio's Future, side by side in one run.

A callable registered n times on a pending Future is removed in one call. The removal holds
the Future's lock, which the completing worker and every other caller wait for, so its cost
must grow with n as asyncio's does (linearly), not with n squared.

Rounds are interleaved with the order rotating; each line gives the ratio's minimum and median
over the repetitions (ours / reference: lower is better). A ratio that grows with n shows a
removal that is worse than linear.

Run after `bash scripts/install.sh`:  .venv/bin/python bench/remove_done_callback.py
"""

import asyncio
import statistics
import time

from quorvelin import aio

REPETITIONS = 7
SIZES = (1_000, 10_000, 40_000)


def callback(future):
    pass


def ours(port, count):
    future = port.read(1)  # stays pending: nothing is written
    try:
        for _ in range(count):
            future.add_done_callback(callback)
        start = time.perf_counter()
        removed = future.remove_done_callback(callback)
        elapsed = time.perf_counter() - start
    finally:
        future.cancel()
    assert removed == count
    return elapsed


def reference(loop, count):
    future = loop.create_future()
    for _ in range(count):
        future.add_done_callback(callback)
    start = time.perf_counter()
    removed = future.remove_done_callback(callback)
    elapsed = time.perf_counter() - start
    assert removed == count
    return elapsed


def main():
    port = aio.Serial("loop://")
    loop = asyncio.new_event_loop()
    try:
        for count in SIZES:
            sides = [("quorvelin", lambda: ours(port, count)), ("asyncio", lambda: reference(loop, count))]
            times = {label: [] for label, _ in sides}
            for repetition in range(REPETITIONS + 1):
                order = sides if repetition % 2 == 0 else sides[::-1]
                for label, run in order:
                    elapsed = run()
                    if repetition > 0:  # the first repetition warms up
                        times[label].append(elapsed)
            ratios = [a / b for a, b in zip(times["quorvelin"], times["asyncio"])]
            print(f"remove a callable registered {count} times")
            print(f"  quorvelin  median {statistics.median(times['quorvelin']) * 1e3:9.3f} ms")
            print(f"  asyncio    median {statistics.median(times['asyncio']) * 1e3:9.3f} ms")
            print(f"  ratio      min {min(ratios):8.2f}      median {statistics.median(ratios):8.2f}")
    finally:
        loop.close()
        port.close()


if __name__ == "__main__":
    main()
