"""The far end of the pty benchmarks: echoes every byte back on the descriptor given as its
one argument, as soon as it arrives. It runs as a process of its own, so that its CPU time
does not count towards the client's.

    subprocess.Popen([sys.executable, ECHO_FAR_END, str(fd)], pass_fds=[fd])
"""

import os
import sys

ECHO_FAR_END = os.path.abspath(__file__)


def echo(fd):
    os.set_blocking(fd, True)
    while True:
        try:
            data = os.read(fd, 65536)
        except OSError:
            break
        if not data:
            break
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]


if __name__ == "__main__":
    echo(int(sys.argv[1]))
