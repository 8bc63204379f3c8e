"""Running out of memory raises MemoryError and leaves the port usable; it never ends the process.

Each row runs in a child process whose address space is capped just above what it uses
(see memory_limit.py), so that copying or growing a buffer for the call cannot be allocated.
"""

import pathlib
import signal
import subprocess
import sys

import pytest

import memory_limit

CHILD = pathlib.Path(memory_limit.__file__)


@pytest.mark.parametrize("row", memory_limit.ROWS)
def test_an_allocation_that_fails_raises_memory_error_and_the_port_still_works(row):
    child = subprocess.run([sys.executable, str(CHILD), row], capture_output=True, text=True, timeout=150)
    if child.returncode == memory_limit.SKIP_STATUS:
        pytest.skip(child.stdout.strip())
    killed = -child.returncode if child.returncode < 0 else None
    assert child.returncode == 0, (
        f"{row}: exit status {child.returncode}"
        + (f" (killed by {signal.Signals(killed).name})" if killed else "")
        + f"\nstdout:\n{child.stdout}\nstderr:\n{child.stderr}"
    )
    assert child.stdout.strip().endswith("passed")
