"""Pseudo-terminal pairs for the serial tests: the test keeps the master, the port opens the slave."""

import contextlib
import os
import select


class PtyPair:
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.name = os.ttyname(self.slave)
        os.set_blocking(self.master, False)

    def feed(self, data):
        os.write(self.master, data)

    def drain(self, count, timeout=2.0):
        """Reads `count` bytes the port wrote, waiting at most `timeout` seconds in all."""
        out = b""
        while len(out) < count:
            ready, _, _ = select.select([self.master], [], [], timeout)
            if not ready:
                break
            out += os.read(self.master, count - len(out))
        return out

    def hang_up(self):
        if self.master >= 0:
            os.close(self.master)
            self.master = -1

    def close(self):
        self.hang_up()
        with contextlib.suppress(OSError):
            os.close(self.slave)


@contextlib.contextmanager
def pty_pair():
    pair = PtyPair()
    try:
        yield pair
    finally:
        pair.close()
