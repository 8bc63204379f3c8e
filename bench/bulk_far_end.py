"""The far end of the one-way bulk benchmarks, a process of its own (its CPU is not the
client's), on the descriptor given as its first argument:

    sink COUNT     reads and discards; once COUNT bytes are in, writes b"!" back, and starts over
    source COUNT   for every byte that arrives, writes COUNT bytes back as fast as they go
"""

import os
import sys

BULK_FAR_END = os.path.abspath(__file__)


def sink(fd, count):
    received = 0
    while True:
        data = os.read(fd, 65536)
        if not data:
            break
        received += len(data)
        if received >= count:
            received -= count
            os.write(fd, b"!")


def source(fd, count):
    chunk = b"s" * 65536
    while os.read(fd, 1):
        left = count
        while left:
            left -= os.write(fd, chunk[:min(left, len(chunk))])


if __name__ == "__main__":
    fd = int(sys.argv[2])
    os.set_blocking(fd, True)
    try:
        {"sink": sink, "source": source}[sys.argv[1]](fd, int(sys.argv[3]))
    except OSError:
        pass
