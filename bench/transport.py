"""SerialTransport against asyncio's own pipe transports, side by side in one run.

Both sides use the same pty pair and the same protocol; the far end of the pty is another
process. The reference is `loop.connect_read_pipe` + `loop.connect_write_pipe` on non-blocking
descriptors of the same pty, which asyncio drives from its own selector.

1. Round trip of one byte: write b"x", wait for the echo; the median of each repetition.
2. Bulk, echoed: 8 MiB written in 64 KiB pieces (pausing with the protocol's flow control) and
   all of it echoed back; throughput, and the process CPU time per MiB (time.process_time,
   which counts every thread of this process: the runtime's workers too).
3. Write side alone: the same 8 MiB to a far end that discards it and answers one byte at the
   end; CPU time per MiB.
4. Read side alone: one byte asks the far end for 8 MiB, which it writes as fast as the pty
   takes them; CPU time per MiB.

Repetitions are interleaved with the order rotating; each line gives the ratio's minimum and
median over the repetitions.

Then each measure runs once more in a client process of its own, counted by `perf stat`
(tracepoint raw_syscalls:sys_enter, the context-switches event and task-clock) over exactly the
measured section, and the syscalls, context switches and CPU time per operation (a round trip, a
MiB) are printed for the whole process and split by thread: the event loop's, the runtime's
workers and any other. The far end is a separate process and is not counted.

Run after `bash scripts/install.sh`:  .venv/bin/python bench/transport.py [--help]
"""

import argparse
import asyncio
import json
import os
import statistics
import subprocess
import sys
import time
import tty

from bulk_far_end import BULK_FAR_END
from echo_far_end import ECHO_FAR_END
from quorvelin import aio
from thread_counts import ROLES, ThreadCounts

MIB = 1024 * 1024
BULK = 8 * MIB
PIECE = 64 * 1024


class Echoed(asyncio.Protocol):
    """Counts what comes back; `arrived` is set once `expected` bytes are in."""

    def __init__(self):
        self.received = 0
        self.expected = 0
        self.arrived = None
        self.can_write = asyncio.Event()
        self.can_write.set()
        self.closed = asyncio.get_running_loop().create_future()

    def expect(self, count):
        self.expected = self.received + count
        self.arrived = asyncio.get_running_loop().create_future()

    def data_received(self, data):
        self.received += len(data)
        if self.arrived is not None and self.received >= self.expected and not self.arrived.done():
            self.arrived.set_result(None)

    def pause_writing(self):
        self.can_write.clear()

    def resume_writing(self):
        self.can_write.set()

    def connection_lost(self, exc):
        if not self.closed.done():
            self.closed.set_result(exc)


# -- the measures: each gets the protocol and the write function, returns its figures ----------


async def exchange(protocol, write, round_trips):
    times = []
    for _ in range(round_trips):
        start = time.perf_counter()
        protocol.expect(1)
        write(b"x")
        await protocol.arrived
        times.append(time.perf_counter() - start)
    return statistics.median(times)


async def write_bulk(protocol, write):
    payload = b"b" * PIECE
    for _ in range(BULK // PIECE):
        await protocol.can_write.wait()
        write(payload)


async def echoed_bulk(protocol, write):
    protocol.expect(BULK)
    await write_bulk(protocol, write)
    await protocol.arrived


async def written_bulk(protocol, write):
    protocol.expect(1)  # the sink's b"!" once it has all of it
    await write_bulk(protocol, write)
    await protocol.arrived


async def read_bulk(protocol, write):
    protocol.expect(BULK)
    write(b"g")
    await protocol.arrived


def timed(body):
    async def measure(protocol, write):
        cpu = time.process_time()
        start = time.perf_counter()
        await body(protocol, write)
        return time.perf_counter() - start, time.process_time() - cpu

    return measure


# variant: (label, kind of far end, the body that one run measures)
BULK_VARIANTS = {
    "bulk": ("bulk: 8 MiB out and echoed back", "echo", echoed_bulk),
    "write": ("write side alone: 8 MiB out to a sink", "sink", written_bulk),
    "read": ("read side alone: 8 MiB in from a source", "source", read_bulk),
}


# -- the two sides ----------------------------------------------------------------------------


async def with_serial_transport(name, measure):
    loop = asyncio.get_running_loop()
    transport, protocol = await aio.create_serial_connection(loop, Echoed, name)
    try:
        return await measure(protocol, transport.write)
    finally:
        transport.close()
        await protocol.closed


async def with_pipe_transports(name, measure):
    loop = asyncio.get_running_loop()
    fd = os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    reading = os.fdopen(fd, "rb", buffering=0)
    writing = os.fdopen(os.dup(fd), "wb", buffering=0)
    protocol = Echoed()
    read_transport, _ = await loop.connect_read_pipe(lambda: protocol, reading)
    write_transport, _ = await loop.connect_write_pipe(lambda: protocol, writing)
    try:
        return await measure(protocol, write_transport.write)
    finally:
        write_transport.close()
        read_transport.close()
        await asyncio.sleep(0)


SIDES = {"ours": with_serial_transport, "pipes": with_pipe_transports}
NAMES = {"ours": "SerialTransport", "pipes": "pipe transports"}


class FarEnd:
    """A pty whose master end is served by a far-end process of the given kind."""

    def __init__(self, kind):
        self.master, self.slave = os.openpty()
        self.name = os.ttyname(self.slave)
        tty.setraw(self.master)
        if kind == "echo":
            command = [sys.executable, ECHO_FAR_END, str(self.master)]
        else:
            command = [sys.executable, BULK_FAR_END, kind, str(self.master), str(BULK)]
        self.process = subprocess.Popen(command, pass_fds=[self.master])

    def close(self):
        self.process.kill()
        self.process.wait()
        os.close(self.master)
        os.close(self.slave)


# -- timings ----------------------------------------------------------------------------------


def ratio_line(label, ours, reference, ratio, unit, aim):
    print(f"{label}")
    print(f"  SerialTransport  min {min(ours):9.2f} {unit}   median {statistics.median(ours):9.2f} {unit}")
    print(f"  pipe transports  min {min(reference):9.2f} {unit}   median {statistics.median(reference):9.2f} {unit}")
    print(f"  ratio            min {min(ratio):9.2f}      median {statistics.median(ratio):9.2f}      ({aim})")


async def interleaved(repetitions, name, measure):
    """{side: [figures of each repetition]}; the first repetition warms up and is dropped."""
    figures = {side: [] for side in SIDES}
    order = list(SIDES)
    for repetition in range(repetitions + 1):
        for side in order if repetition % 2 == 0 else order[::-1]:
            result = await SIDES[side](name, measure)
            if repetition > 0:
                figures[side].append(result)
    return figures


def ratios(figures, key):
    ours = [key(f) for f in figures["ours"]]
    reference = [key(f) for f in figures["pipes"]]
    return ours, reference, [a / b for a, b in zip(ours, reference)]


async def run_timings(args):
    if "rt" in args.only:
        far = FarEnd("echo")
        try:
            figures = await interleaved(args.repetitions, far.name, lambda p, w: exchange(p, w, args.round_trips))
        finally:
            far.close()
        ratio_line(f"1-byte echo round trip, median of {args.round_trips} per repetition",
                   *ratios(figures, lambda median: median * 1e6), "us", "ours / pipes, aim <= 1.6")
    for variant, (label, far_kind, body) in BULK_VARIANTS.items():
        if variant not in args.only:
            continue
        far = FarEnd(far_kind)
        try:
            figures = await interleaved(args.repetitions, far.name, timed(body))
        finally:
            far.close()
        mib = BULK / MIB
        if variant == "bulk":
            ratio_line(f"{label}, throughput", *ratios(figures, lambda f: mib / f[0]), "MiB/s",
                       "ours / pipes, aim >= 1.0")
        ratio_line(f"{label}, process CPU time per MiB", *ratios(figures, lambda f: f[1] / mib * 1e3), "ms",
                   "ours / pipes")


# -- counts -----------------------------------------------------------------------------------


async def counted_client(side, variant, name, runs):
    """In the counted process: warm up, then count `runs` runs of the measure."""

    async def measure(protocol, write):
        if variant == "rt":
            async def body():
                await exchange(protocol, write, runs)
            await exchange(protocol, write, 50)
        else:
            async def body():
                for _ in range(runs):
                    await BULK_VARIANTS[variant][2](protocol, write)
            await BULK_VARIANTS[variant][2](protocol, write)
        counter = ThreadCounts.attach()
        if counter is None:
            return None
        counter.enable()
        await body()
        counter.disable()
        return counter.finish()

    return await SIDES[side](name, measure)


def count(side, variant, runs):
    far = FarEnd("echo" if variant == "rt" else BULK_VARIANTS[variant][1])
    try:
        result = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--client", side, "--variant", variant,
             "--tty", far.name, "--runs", str(runs)],
            capture_output=True, text=True, timeout=600)
    finally:
        far.close()
    if result.returncode != 0 or not result.stdout.strip():
        return None
    return json.loads(result.stdout.strip().splitlines()[-1])


def run_counts(args):
    # (variant, runs, operations per run, unit, CPU unit, CPU milliseconds per CPU unit)
    plan = [("rt", args.count_round_trips, 1, "round trip", "us", 1e-3)]
    plan += [(v, args.count_bulk_runs, BULK / MIB, "MiB", "ms", 1.0) for v in BULK_VARIANTS]
    print("\nper operation, counted with perf stat over the measured section "
          "(syscalls / context switches / CPU time, in us per round trip and ms per MiB; "
          "the far end excluded)")
    print(f"  {'measure':34} {'side':16} {'process':>24} {'loop thread':>24} {'workers':>24} {'other':>24}")
    for variant, runs, per_run, unit, cpu_unit, cpu_scale in plan:
        if variant not in args.only:
            continue
        label = "1-byte round trip" if variant == "rt" else BULK_VARIANTS[variant][0].split(":")[0]
        for side in SIDES:
            counts = count(side, variant, runs)
            if counts is None:
                print(f"  {label + ', per ' + unit:34} {NAMES[side]:16} counting failed (is perf usable?)")
                continue
            ops = runs * per_run
            cells = []
            total = [sum(counts[r][i] for r in ROLES) for i in range(3)]
            for figures in [total] + [counts[r] for r in ROLES]:
                syscalls, switches, cpu_ms = figures
                cells.append(f"{syscalls / ops:7.1f} / {switches / ops:5.1f} / {cpu_ms / cpu_scale / ops:6.2f}")
            print(f"  {label + ', per ' + unit:34} {NAMES[side]:16} {cells[0]:>24} {cells[1]:>24} {cells[2]:>24} "
                  f"{cells[3]:>24}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    variants = ["rt", *BULK_VARIANTS]
    parser.add_argument("--repetitions", type=int, default=7)
    parser.add_argument("--round-trips", type=int, default=300, help="round trips per repetition")
    parser.add_argument("--only", nargs="+", choices=variants, default=variants, help="run only these measures")
    parser.add_argument("--count-round-trips", type=int, default=3000, help="round trips of the counted client")
    parser.add_argument("--count-bulk-runs", type=int, default=4, help="8 MiB runs of the counted client")
    parser.add_argument("--no-timings", action="store_true")
    parser.add_argument("--no-counts", action="store_true")
    parser.add_argument("--client", choices=list(SIDES), help=argparse.SUPPRESS)
    parser.add_argument("--variant", choices=variants, help=argparse.SUPPRESS)
    parser.add_argument("--tty", help=argparse.SUPPRESS)
    parser.add_argument("--runs", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.client:
        counts = asyncio.run(counted_client(args.client, args.variant, args.tty, args.runs))
        print(json.dumps(counts))
        return
    if not args.no_timings:
        asyncio.run(run_timings(args))
    if not args.no_counts:
        run_counts(args)


if __name__ == "__main__":
    main()
