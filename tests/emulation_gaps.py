"""Run-time probes for terminal features that some platforms lack, and skip marks built on them.

A user-mode emulator (such as the one the armhf suite runs under) does not translate every
terminal ioctl or termios flag. A test that needs one of these features takes the matching mark
below: the feature is probed once on a pseudo-terminal, and when the probe fails the test is
skipped with a reason that names what is missing. Nothing is skipped by architecture.

    from emulation_gaps import needs_break_ioctls

    @needs_break_ioctls
    def test_break_reaches_the_device(): ...
"""

import contextlib
import fcntl
import functools
import os
import struct
import termios

import pytest

# Linux's values, the same on every architecture the module targets.
TIOCSBRK = getattr(termios, "TIOCSBRK", 0x5427)
TIOCCBRK = getattr(termios, "TIOCCBRK", 0x5428)
TIOCGEXCL = 0x80045440
CMSPAR = getattr(termios, "CMSPAR", 0o10000000000)


@contextlib.contextmanager
def _pty_slave():
    master, slave = os.openpty()
    try:
        yield slave
    finally:
        os.close(slave)
        os.close(master)


def _works(probe):
    try:
        with _pty_slave() as fd:
            return bool(probe(fd))
    except (OSError, termios.error):  # termios.error is not an OSError
        return False


@functools.cache
def break_ioctls_work():
    """TIOCSBRK and TIOCCBRK (start and end a break condition) are accepted by a terminal."""

    def probe(fd):
        fcntl.ioctl(fd, TIOCSBRK)
        fcntl.ioctl(fd, TIOCCBRK)
        return True

    return _works(probe)


@functools.cache
def exclusive_query_works():
    """TIOCGEXCL reads back the exclusive mode that TIOCEXCL set."""

    def probe(fd):
        fcntl.ioctl(fd, termios.TIOCEXCL)
        (mode,) = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, struct.pack("i", 0)))
        return mode == 1

    return _works(probe)


@functools.cache
def mark_space_parity_works():
    """The CMSPAR flag (mark and space parity) survives a tcsetattr/tcgetattr round trip."""

    def probe(fd):
        attributes = termios.tcgetattr(fd)
        attributes[2] |= CMSPAR | termios.PARENB
        termios.tcsetattr(fd, termios.TCSANOW, attributes)
        return termios.tcgetattr(fd)[2] & CMSPAR == CMSPAR

    return _works(probe)


# Probed when a test module imports them: one tiny pty round trip each.
needs_break_ioctls = pytest.mark.skipif(
    not break_ioctls_work(),
    reason="terminal ioctls TIOCSBRK/TIOCCBRK are not supported here (a pty probe failed)")
needs_exclusive_query = pytest.mark.skipif(
    not exclusive_query_works(),
    reason="terminal ioctl TIOCGEXCL is not supported here (a pty probe failed)")
needs_mark_space_parity = pytest.mark.skipif(
    not mark_space_parity_works(),
    reason="termios flag CMSPAR (mark/space parity) does not survive tcsetattr here (a pty probe failed)")
