"""Round trips and bulk transfers through quorvelin.Serial against the plain descriptor path.

Run after `bash scripts/install.sh`:  .venv/bin/python bench/roundtrip.py
"""

import os
import select
import threading
import time

import quorvelin

ROUND_TRIPS = 2000
BULK = 64 * 1024
BULK_ROUNDS = 20


def echo_master(master, stop):
    # The far end: echoes everything back, for both paths alike.
    while not stop.is_set():
        ready, _, _ = select.select([master], [], [], 0.05)
        if ready:
            try:
                data = os.read(master, 65536)
            except OSError:
                return
            view = memoryview(data)
            while view:
                select.select([], [master], [], 1)
                view = view[os.write(master, view):]


def read_exact_fd(fd, count):
    out = bytearray()
    while len(out) < count:
        select.select([fd], [], [], 2)
        out += os.read(fd, count - len(out))
    return bytes(out)


def write_all_fd(fd, data):
    view = memoryview(data)
    while view:
        select.select([], [fd], [], 2)
        view = view[os.write(fd, view):]


def plain_round_trips(fd):
    start = time.perf_counter()
    for _ in range(ROUND_TRIPS):
        write_all_fd(fd, b"x")
        read_exact_fd(fd, 1)
    return (time.perf_counter() - start) / ROUND_TRIPS


def serial_round_trips(port):
    start = time.perf_counter()
    for _ in range(ROUND_TRIPS):
        port.write(b"x")
        port.read(1)
    return (time.perf_counter() - start) / ROUND_TRIPS


def bulk(write, read):
    payload = os.urandom(BULK)
    start = time.perf_counter()
    for _ in range(BULK_ROUNDS):
        result = {}
        t = threading.Thread(target=lambda: result.setdefault("data", read(BULK)))
        t.start()
        write(payload)
        t.join()
        assert result["data"] == payload
    return BULK * BULK_ROUNDS / (time.perf_counter() - start)


def serial_read_exact(port):
    def read(count):
        out = bytearray()
        while len(out) < count:
            out += port.read(count - len(out))
        return bytes(out)
    return read


def main():
    master, slave = os.openpty()
    name = os.ttyname(slave)
    os.set_blocking(master, False)
    stop = threading.Event()
    echo = threading.Thread(target=echo_master, args=(master, stop), daemon=True)
    echo.start()

    # The plain path: the same pty slave, opened non-blocking, driven by select.
    fd = os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    import tty

    tty.setraw(fd)
    plain_rt = plain_round_trips(fd)
    plain_bulk = bulk(lambda d: write_all_fd(fd, d), lambda n: read_exact_fd(fd, n))
    os.close(fd)

    port = quorvelin.Serial(name, timeout=2, write_timeout=2)
    serial_rt = serial_round_trips(port)
    serial_bulk = bulk(port.write, serial_read_exact(port))
    port.close()

    stop.set()
    echo.join(2)
    os.close(master)
    os.close(slave)

    loop = quorvelin.Serial("loop://", timeout=2)
    loop_rt = serial_round_trips(loop)
    loop.close()

    print(f"1-byte round trip, plain fd : {plain_rt * 1e6:8.1f} us")
    print(f"1-byte round trip, Serial   : {serial_rt * 1e6:8.1f} us   ratio {serial_rt / plain_rt:.2f}x (aim <= 1.5x)")
    print(f"64 KiB bulk, plain fd       : {plain_bulk / 1e6:8.2f} MB/s")
    print(f"64 KiB bulk, Serial         : {serial_bulk / 1e6:8.2f} MB/s ratio {serial_bulk / plain_bulk:.2f}x (aim >= 0.9x)")
    print(f"1-byte round trip, loop://  : {loop_rt * 1e6:8.1f} us")


if __name__ == "__main__":
    main()
