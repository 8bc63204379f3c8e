"""quorvelin.Serial against plain descriptor I/O, side by side.

Run after `bash scripts/install.sh`:

    .venv/bin/python bench/roundtrip.py              # timings, then syscall counts
    .venv/bin/python bench/roundtrip.py --rounds 11  # more rounds on a noisy machine
    .venv/bin/python bench/roundtrip.py --breakdown  # also per-syscall tables (strace -c)

What is compared, each pair in the same process and under the same far end:
- pty round trip: `Serial(timeout=2)`: `write(b"x")` then `read(1)`, against os.write, select
  and os.read on a non-blocking pty in raw mode. The far end of each pty is its own process
  that echoes every byte back, so the process times below are the client's alone.
- loop:// pair: `write(b"x")` then `read(1)` on a loop:// port, against os.write and os.read on
  a pipe.
- bulk: 64 KiB and 1 MiB sent through the echoing pty by one thread and read back by another:
  `Serial.write` and `Serial.read` against select loops over os.write and os.read.

One-shot timings on a shared machine swing widely, so every variant runs once per round, the
order of the variants rotates from round to round, and the figures are the min and median of
the per-round ratios. Wall time is time.perf_counter; CPU time is time.process_time, the CPU of
every thread of this process (the runtime's workers included).

Then the syscalls and context switches of one round trip are counted with `perf stat`
(tracepoint raw_syscalls:sys_enter and the context-switches event, or `strace -c -f` when perf
cannot): a client process that runs N1 and then N2 round trips is counted, and the difference
divided by N2 - N1 leaves out the interpreter's start-up.
"""

import argparse
import os
import re
import select
import shutil
import statistics
import subprocess
import sys
import threading
import time
import tty

from echo_far_end import ECHO_FAR_END


ROUND_TRIP_AIM = "wall <= 1.15x, cpu <= 2x"
LOOP_AIM = "wall <= 1.5x"
BULK_AIM = "throughput >= 0.95x"


class EchoPty:
    """A pty whose master end is echoed by a child process; `name` is the slave's path."""

    def __init__(self):
        master, slave = os.openpty()
        self.name = os.ttyname(slave)
        # Raw, so that the line discipline neither echoes nor edits what passes.
        tty.setraw(slave)
        self.process = subprocess.Popen([sys.executable, ECHO_FAR_END, str(master)], pass_fds=[master])
        os.close(master)
        # Kept open so the pty never hangs up between clients.
        self.slave = slave

    def close(self):
        self.process.kill()
        self.process.wait()
        os.close(self.slave)


def open_plain(name):
    fd = os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    return fd


def read_exact_fd(fd, count):
    out = bytearray()
    while len(out) < count:
        select_read(fd)
        try:
            out += os.read(fd, count - len(out))
        except BlockingIOError:
            pass
    return bytes(out)


def write_all_fd(fd, data):
    view = memoryview(data)
    while view:
        try:
            view = view[os.write(fd, view):]
        except BlockingIOError:
            select_write(fd)


def select_read(fd):
    select.select([fd], [], [], 2)


def select_write(fd):
    select.select([], [fd], [], 2)


def plain_round_trip(fd):
    # What a hand-written blocking loop does: write, wait for the answer, read it.
    os.write(fd, b"x")
    read_exact_fd(fd, 1)


def serial_read_exact(port, count):
    out = bytearray()
    while len(out) < count:
        out += port.read(count - len(out))
    return bytes(out)


def timed(body, repeat):
    wall0, cpu0 = time.perf_counter(), time.process_time()
    for _ in range(repeat):
        body()
    return (time.perf_counter() - wall0) / repeat, (time.process_time() - cpu0) / repeat


def bulk_transfer(write, read, payload):
    """Sends `payload` through the echo from a second thread and reads it back here."""
    got = {}
    writer = threading.Thread(target=write, args=(payload,))
    wall0, cpu0 = time.perf_counter(), time.process_time()
    writer.start()
    got["data"] = read(len(payload))
    writer.join()
    wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
    if got["data"] != payload:
        raise SystemExit("bulk transfer corrupted the data")
    return wall, cpu


class Comparison:
    """One reference and one candidate, timed once per round; ratios per round."""

    def __init__(self, title, unit, aim, higher_is_better=False):
        self.title, self.unit, self.aim = title, unit, aim
        self.higher_is_better = higher_is_better
        self.samples = {"reference": [], "candidate": []}

    def add(self, which, wall, cpu):
        self.samples[which].append((wall, cpu))

    def report(self):
        ref, cand = self.samples["reference"], self.samples["candidate"]
        lines = [f"{self.title}  (aim: {self.aim})"]
        for label, index in (("wall", 0), ("cpu", 1)):
            r = [s[index] for s in ref]
            c = [s[index] for s in cand]
            if self.higher_is_better:
                ratios = [a / b for a, b in zip(r, c)]  # throughput ratio = reference time / candidate time
            else:
                ratios = [b / a for a, b in zip(r, c)]
            lines.append(
                f"  {label:4}: reference median {fmt(statistics.median(r), self.unit)}"
                f"  candidate median {fmt(statistics.median(c), self.unit)}"
                f"  ratio min {min(ratios):.2f}x median {statistics.median(ratios):.2f}x"
                f"{'  (throughput)' if self.higher_is_better else ''}"
            )
        return "\n".join(lines)


def fmt(seconds, unit):
    if unit == "us":
        return f"{seconds * 1e6:8.2f} us"
    return f"{seconds * 1e3:8.2f} ms"


def run_rounds(args):
    import quorvelin

    # One pty per client: a second open of the same tty would see (and be woken by) the
    # other client's traffic.
    ptys = [EchoPty() for _ in range(4)]
    fd = open_plain(ptys[0].name)
    bulk_fd = open_plain(ptys[1].name)
    port = quorvelin.Serial(ptys[2].name, timeout=2, write_timeout=2)
    bulk_port = quorvelin.Serial(ptys[3].name, timeout=30, write_timeout=30)
    loop = quorvelin.Serial("loop://", timeout=2)
    pipe_r, pipe_w = os.pipe()

    def loop_pair():
        loop.write(b"x")
        loop.read(1)

    def pipe_pair():
        os.write(pipe_w, b"x")
        os.read(pipe_r, 1)

    def serial_round_trip():
        port.write(b"x")
        port.read(1)

    payloads = {size: os.urandom(size) for size in (64 * 1024, 1024 * 1024)}

    rt = Comparison("pty 1-byte round trip (per round trip)", "us", ROUND_TRIP_AIM)
    lp = Comparison("loop:// write+read pair vs pipe (per pair)", "us", LOOP_AIM)
    bulks = {
        size: Comparison(f"bulk {size // 1024} KiB through the echo (per transfer)", "ms", BULK_AIM, True)
        for size in payloads
    }

    variants = [
        ("rt", "reference", lambda: rt.add("reference", *timed(lambda: plain_round_trip(fd), args.round_trips))),
        ("rt", "candidate", lambda: rt.add("candidate", *timed(serial_round_trip, args.round_trips))),
        ("loop", "reference", lambda: lp.add("reference", *timed(pipe_pair, args.pairs))),
        ("loop", "candidate", lambda: lp.add("candidate", *timed(loop_pair, args.pairs))),
    ]
    for size, payload in payloads.items():
        repeat = max(1, args.bulk_bytes // size)

        def plain_bulk(payload=payload, repeat=repeat):
            return timed_bulk(lambda d: write_all_fd(bulk_fd, d), lambda n: read_exact_fd(bulk_fd, n), payload, repeat)

        def serial_bulk(payload=payload, repeat=repeat):
            return timed_bulk(bulk_port.write, lambda n: serial_read_exact(bulk_port, n), payload, repeat)

        variants.append((size, "reference", lambda c=bulks[size], f=plain_bulk: c.add("reference", *f())))
        variants.append((size, "candidate", lambda c=bulks[size], f=serial_bulk: c.add("candidate", *f())))

    if args.only:
        keep = {"rt": "rt", "loop": "loop", "bulk64": 64 * 1024, "bulk1m": 1024 * 1024}
        wanted = {keep[name] for name in args.only}
        variants = [v for v in variants if v[0] in wanted]

    # Warm-up: starts the runtime, faults in the code paths and fills the caches.
    for _, _, variant in variants:
        variant()
    for comparison in (rt, lp, *bulks.values()):
        comparison.samples = {"reference": [], "candidate": []}

    for round_index in range(args.rounds):
        shift = round_index % len(variants)
        order = variants[shift:] + variants[:shift]
        if round_index % 2:
            order.reverse()
        for _, _, variant in order:
            variant()

    loop.close()
    port.close()
    bulk_port.close()
    os.close(fd)
    os.close(bulk_fd)
    os.close(pipe_r)
    os.close(pipe_w)
    for pty in ptys:
        pty.close()

    print(f"rounds: {args.rounds}, order rotating; ratios are candidate/reference per round\n")
    for comparison in (rt, lp, *bulks.values()):
        if comparison.samples["reference"]:
            print(comparison.report())
            print()


def timed_bulk(write, read, payload, repeat):
    wall = cpu = 0.0
    for _ in range(repeat):
        w, c = bulk_transfer(write, read, payload)
        wall += w
        cpu += c
    return wall / repeat, cpu / repeat


# -- syscall and context-switch counts ---------------------------------------------------------


def client(kind, name, count):
    """The counted process: `count` round trips, nothing else after the import."""
    if kind == "serial":
        import quorvelin

        port = quorvelin.Serial(name, timeout=2, write_timeout=2)
        for _ in range(count):
            port.write(b"x")
            port.read(1)
        port.close()
    else:
        fd = open_plain(name)
        for _ in range(count):
            plain_round_trip(fd)
        os.close(fd)


def perf_counts(command):
    result = subprocess.run(
        ["perf", "stat", "-x", ",", "-e", "raw_syscalls:sys_enter,context-switches", "--", *command],
        capture_output=True,
        text=True,
    )
    if result.returncode != 0:
        return None
    counts = {}
    for line in result.stderr.splitlines():
        fields = line.split(",")
        if len(fields) >= 3 and fields[0].strip().isdigit():
            counts[fields[2]] = int(fields[0])
    if "raw_syscalls:sys_enter" not in counts or "context-switches" not in counts:
        return None
    return counts["raw_syscalls:sys_enter"], counts["context-switches"]


def strace_counts(command, table=False):
    result = subprocess.run(["strace", "-c", "-f", "-qq", "--", *command], capture_output=True, text=True)
    if result.returncode != 0:
        return None
    if table:
        return result.stderr
    total = re.search(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)(?:\s+\d+)?\s+total", result.stderr, re.M)
    if not total:
        return None
    return int(total.group(1)), None


def count_per_round_trip(kind, name, counter, n1, n2):
    def run(n):
        return counter([sys.executable, os.path.abspath(__file__), "--client", kind, "--tty", name, "--n", str(n)])

    first, second = run(n1), run(n2)
    if first is None or second is None:
        return None
    syscalls = (second[0] - first[0]) / (n2 - n1)
    switches = None if first[1] is None else (second[1] - first[1]) / (n2 - n1)
    return syscalls, switches


def run_counts(args):
    counter = None
    if shutil.which("perf") and perf_counts(["true"]) is not None:
        counter, how = perf_counts, "perf stat (raw_syscalls:sys_enter, context-switches)"
    elif shutil.which("strace"):
        counter, how = strace_counts, "strace -c -f (no context switches)"
    if counter is None:
        print("syscall counts: neither perf nor strace is usable here; skipped")
        return
    print(f"per round trip, counted with {how}; aim for Serial: <= 6 syscalls, <= 2 context switches")
    for kind in ("plain", "serial"):
        pty = EchoPty()
        try:
            counts = count_per_round_trip(kind, pty.name, counter, args.count_n // 5, args.count_n)
        finally:
            pty.close()
        if counts is None:
            print(f"  {kind:6}: counting failed")
            continue
        syscalls, switches = counts
        switch_text = "" if switches is None else f", {switches:5.2f} context switches"
        print(f"  {kind:6}: {syscalls:5.2f} syscalls{switch_text}")
    if args.breakdown and shutil.which("strace"):
        for kind in ("plain", "serial"):
            pty = EchoPty()
            try:
                table = strace_counts(
                    [sys.executable, os.path.abspath(__file__), "--client", kind, "--tty", pty.name,
                     "--n", str(args.count_n)],
                    table=True,
                )
            finally:
                pty.close()
            print(f"\nstrace -c -f, {kind}, {args.count_n} round trips (start-up included):\n{table}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--round-trips", type=int, default=2000, help="pty round trips per variant and round")
    parser.add_argument("--pairs", type=int, default=20000, help="loop:// and pipe pairs per variant and round")
    parser.add_argument("--bulk-bytes", type=int, default=2 * 1024 * 1024, help="bytes per bulk variant and round")
    parser.add_argument("--count-n", type=int, default=5000, help="round trips of the counted client")
    parser.add_argument("--only", nargs="+", choices=["rt", "loop", "bulk64", "bulk1m"], help="time only these")
    parser.add_argument("--no-timings", action="store_true")
    parser.add_argument("--no-counts", action="store_true")
    parser.add_argument("--breakdown", action="store_true", help="per-syscall tables from strace -c -f")
    parser.add_argument("--client", choices=["plain", "serial"], help=argparse.SUPPRESS)
    parser.add_argument("--tty", help=argparse.SUPPRESS)
    parser.add_argument("--n", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.client:
        client(args.client, args.tty, args.n)
        return
    if not args.no_timings:
        run_rounds(args)
    if not args.no_counts:
        run_counts(args)


if __name__ == "__main__":
    main()
