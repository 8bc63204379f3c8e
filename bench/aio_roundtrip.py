"""quorvelin.aio against asyncio by hand, side by side in one run.

1. `await port.read(1)` after `port.write(b"x")` on a pty whose far end echoes, against
   `loop.add_reader` + `os.read` on a non-blocking descriptor of the same pty.
2. `await` of a Future that is born complete (loop:// with data waiting) against
   `await asyncio.sleep(0)`, with a count of the loop's cross-thread wake-ups (writes to its
   self-pipe) during the awaits; then against the same reads not awaited but each followed by
   `await asyncio.sleep(0)`, which leaves the await itself against sleep(0).

Rounds are interleaved with the order rotating; each line gives the ratio's minimum and median
over the repetitions (ours / reference: lower is better). Then the syscalls and context
switches of one round trip of each side are counted with perf over exactly the measured
section, split loop thread / runtime workers (bench/thread_counts.py); the echoing far end is
another process and is not counted.

Run after `bash scripts/install.sh`:  .venv/bin/python bench/aio_roundtrip.py
"""

import asyncio
import functools
import os
import statistics
import subprocess
import sys
import time
import tty

from echo_far_end import ECHO_FAR_END
from quorvelin import aio
from thread_counts import ROLES, ThreadCounts

REPETITIONS = 9
ROUND_TRIPS = 400
READY_AWAITS = 4000
COUNTED_ROUND_TRIPS = 3000


class Timed:
    """The measured section of a run: its wall time per round trip."""

    def __init__(self, count):
        self.count = count
        self.elapsed = None

    def start(self):
        self._start = time.perf_counter()

    def stop(self):
        self.elapsed = (time.perf_counter() - self._start) / self.count


class Counted:
    """The measured section of a run, counted: syscalls and context switches by role."""

    def __init__(self, count):
        self.count = count
        self.counts = None
        self._counter = None

    def start(self):
        self._counter = ThreadCounts.attach()  # after the warm-up: the workers exist by now
        if self._counter is not None:
            self._counter.enable()

    def stop(self):
        if self._counter is not None:
            self._counter.disable()
            self.counts = self._counter.finish()


class WakeCounter:
    """Counts the loop's self-pipe writes: one per call_soon_threadsafe from another thread."""

    def __init__(self, loop):
        self.count = 0
        original = loop._write_to_self

        def counting():
            self.count += 1
            original()

        loop._write_to_self = counting


async def quorvelin_round_trips(name, section):
    port = aio.Serial(name)  # no timeout, like the reference: no timer per read

    async def round_trips(count):
        for _ in range(count):
            written = port.write(b"x")
            if await port.read(1) != b"x":
                raise RuntimeError("lost the echo")
            if not written.done():
                await written

    try:
        await round_trips(20)
        section.start()
        await round_trips(section.count)
        section.stop()
    finally:
        port.close()


async def by_hand_round_trips(name, section):
    loop = asyncio.get_running_loop()
    fd = os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)

    async def read(count):
        try:
            return os.read(fd, count)
        except BlockingIOError:
            pass
        future = loop.create_future()

        def readable():
            try:
                data = os.read(fd, count)
            except BlockingIOError:
                return
            loop.remove_reader(fd)
            future.set_result(data)

        loop.add_reader(fd, readable)
        try:
            return await future
        finally:
            loop.remove_reader(fd)

    async def round_trips(count):
        for _ in range(count):
            os.write(fd, b"x")
            if await read(1) != b"x":
                raise RuntimeError("lost the echo")

    try:
        await round_trips(20)
        section.start()
        await round_trips(section.count)
        section.stop()
    finally:
        os.close(fd)


async def born_complete_reads(counter, awaited):
    """READY_AWAITS reads of a loop:// port with the data already there. Awaited, they are the
    quorvelin side; not awaited but each followed by `await asyncio.sleep(0)`, they leave what
    the await itself costs against the quorvelin side."""
    port = aio.Serial("loop://")
    try:
        port.write(b"x" * READY_AWAITS).result()
        wakes = counter.count
        start = time.perf_counter()
        if awaited:
            for _ in range(READY_AWAITS):
                await port.read(1)
        else:
            for _ in range(READY_AWAITS):
                port.read(1)
                await asyncio.sleep(0)
        elapsed = (time.perf_counter() - start) / READY_AWAITS
        return elapsed, counter.count - wakes
    finally:
        port.close()


async def sleep_zero_awaits(counter):
    wakes = counter.count
    start = time.perf_counter()
    for _ in range(READY_AWAITS):
        await asyncio.sleep(0)
    return (time.perf_counter() - start) / READY_AWAITS, counter.count - wakes


def summary(label, ours, reference, aim):
    ratios = [a / b for a, b in zip(ours, reference)]
    print(f"{label}")
    print(f"  quorvelin  min {min(ours) * 1e6:8.2f} us   median {statistics.median(ours) * 1e6:8.2f} us")
    print(f"  reference  min {min(reference) * 1e6:8.2f} us   median {statistics.median(reference) * 1e6:8.2f} us")
    print(f"  ratio      min {min(ratios):8.2f}      median {statistics.median(ratios):8.2f}      (aim <= {aim})")


async def main():
    loop = asyncio.get_running_loop()
    counter = WakeCounter(loop)
    master, slave = os.openpty()
    name = os.ttyname(slave)
    echo = subprocess.Popen([sys.executable, ECHO_FAR_END, str(master)], pass_fds=[master])
    try:
        sides = [("quorvelin", quorvelin_round_trips), ("by hand", by_hand_round_trips)]
        times = {label: [] for label, _ in sides}
        for repetition in range(REPETITIONS + 1):
            order = sides if repetition % 2 == 0 else sides[::-1]
            for label, run in order:
                section = Timed(ROUND_TRIPS)
                await run(name, section)
                if repetition > 0:  # the first repetition warms up
                    times[label].append(section.elapsed)
        summary(f"pty round trip, write + await read(1), {ROUND_TRIPS} per repetition",
                times["quorvelin"], times["by hand"], 1.9)

        ready_sides = [("quorvelin", functools.partial(born_complete_reads, awaited=True)),
                       ("sleep(0)", sleep_zero_awaits),
                       ("read + sleep(0)", functools.partial(born_complete_reads, awaited=False))]
        ready = {label: [] for label, _ in ready_sides}
        wakes = {label: 0 for label, _ in ready_sides}
        for repetition in range(REPETITIONS + 1):
            turn = repetition % len(ready_sides)
            order = ready_sides[turn:] + ready_sides[:turn]
            for label, run in order:
                elapsed, woken = await run(counter)
                if repetition > 0:
                    ready[label].append(elapsed)
                    wakes[label] += woken
        summary(f"await of a born-complete Future vs asyncio.sleep(0), {READY_AWAITS} per repetition",
                ready["quorvelin"], ready["sleep(0)"], 1.0)
        print(f"  cross-thread wake-ups of the loop during those awaits: quorvelin {wakes['quorvelin']}, "
              f"sleep(0) {wakes['sleep(0)']}")
        summary("  the await alone: quorvelin vs the same reads each followed by asyncio.sleep(0)",
                ready["quorvelin"], ready["read + sleep(0)"], 1.0)

        print(f"pty round trip, per round trip, counted with perf over {COUNTED_ROUND_TRIPS} "
              "(syscalls / context switches)")
        print(f"  {'side':12} {'process':>15} {'loop thread':>15} {'workers':>15} {'other':>11}")
        for label, run in sides:
            section = Counted(COUNTED_ROUND_TRIPS)
            await run(name, section)
            if section.counts is None:
                print(f"  {label:12} counting failed (is perf usable?)")
                continue
            total = [sum(section.counts[role][i] for role in ROLES) for i in range(2)]
            cells = [f"{pair[0] / section.count:7.2f} / {pair[1] / section.count:5.2f}"
                     for pair in [total] + [section.counts[role] for role in ROLES]]
            print(f"  {label:12} {cells[0]:>15} {cells[1]:>15} {cells[2]:>15} {cells[3]:>11}")
    finally:
        echo.kill()
        echo.wait()
        os.close(master)
        os.close(slave)


if __name__ == "__main__":
    asyncio.run(main())
