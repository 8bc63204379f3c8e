"""SerialTransport against asyncio's own pipe transports, side by side in one run.

Both sides use the same pty pair, whose far end (another process) echoes every byte back, and
the same protocol. The reference is `loop.connect_read_pipe` + `loop.connect_write_pipe` on
non-blocking descriptors of the same pty, which asyncio drives from its own selector.

1. Round trip of one byte: write b"x", wait for the echo; the median of each repetition.
2. Bulk: 8 MiB written in 64 KiB pieces (pausing with the protocol's flow control) and all of
   it echoed back; throughput, and the process CPU time per MiB (time.process_time, which
   counts every thread of this process: the runtime's workers too).

Repetitions are interleaved with the order rotating; each line gives the ratio's minimum and
median over the repetitions.

Run after `bash scripts/install.sh`:  .venv/bin/python bench/transport.py
"""

import asyncio
import os
import statistics
import subprocess
import sys
import time
import tty

from echo_far_end import ECHO_FAR_END
from quorvelin import aio

REPETITIONS = 7
ROUND_TRIPS = 300
BULK = 8 * 1024 * 1024
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


async def exchange(protocol, write, round_trips):
    times = []
    for _ in range(round_trips):
        start = time.perf_counter()
        protocol.expect(1)
        write(b"x")
        await protocol.arrived
        times.append(time.perf_counter() - start)
    return statistics.median(times)


async def bulk(protocol, write):
    payload = b"b" * PIECE
    cpu = time.process_time()
    start = time.perf_counter()
    protocol.expect(BULK)
    for _ in range(BULK // PIECE):
        await protocol.can_write.wait()
        write(payload)
    await protocol.arrived
    return time.perf_counter() - start, time.process_time() - cpu


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


def ratio_line(label, ours, reference, ratio, unit, aim):
    print(f"{label}")
    print(f"  SerialTransport  min {min(ours):9.2f} {unit}   median {statistics.median(ours):9.2f} {unit}")
    print(f"  pipe transports  min {min(reference):9.2f} {unit}   median {statistics.median(reference):9.2f} {unit}")
    print(f"  ratio            min {min(ratio):9.2f}      median {statistics.median(ratio):9.2f}      ({aim})")


async def main():
    master, slave = os.openpty()
    name = os.ttyname(slave)
    tty.setraw(master)
    echo = subprocess.Popen([sys.executable, ECHO_FAR_END, str(master)], pass_fds=[master])
    sides = [("ours", with_serial_transport), ("pipes", with_pipe_transports)]
    try:
        latency = {"ours": [], "pipes": []}
        for repetition in range(REPETITIONS + 1):
            for label, side in sides if repetition % 2 == 0 else sides[::-1]:
                median = await side(name, lambda p, w: exchange(p, w, ROUND_TRIPS))
                if repetition > 0:  # the first repetition warms up
                    latency[label].append(median * 1e6)
        ratios = [a / b for a, b in zip(latency["ours"], latency["pipes"])]
        ratio_line(f"1-byte echo round trip, median of {ROUND_TRIPS} per repetition", latency["ours"],
                   latency["pipes"], ratios, "us", "ours / pipes, aim <= 1.5")

        speed = {"ours": [], "pipes": []}
        cpu = {"ours": [], "pipes": []}
        mib = BULK / (1024 * 1024)
        for repetition in range(REPETITIONS + 1):
            for label, side in sides if repetition % 2 == 0 else sides[::-1]:
                elapsed, used = await side(name, bulk)
                if repetition > 0:
                    speed[label].append(mib / elapsed)
                    cpu[label].append(used / mib * 1e3)
        ratios = [a / b for a, b in zip(speed["ours"], speed["pipes"])]
        ratio_line(f"bulk: {mib:.0f} MiB out and echoed back, throughput", speed["ours"], speed["pipes"], ratios,
                   "MiB/s", "ours / pipes, aim >= 1.0")
        ratios = [a / b for a, b in zip(cpu["ours"], cpu["pipes"])]
        ratio_line("bulk: process CPU time per MiB", cpu["ours"], cpu["pipes"], ratios, "ms", "ours / pipes")
    finally:
        echo.kill()
        echo.wait()
        os.close(master)
        os.close(slave)


if __name__ == "__main__":
    asyncio.run(main())
