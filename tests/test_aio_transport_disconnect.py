"""A device that goes away under a transport that is writing and reading: the read and the
write both fail, whichever sees the device first closes the port and the other then finds it
closed. The protocol must learn the device's own error, never that the port was not open."""

import asyncio
import errno
import os
import random
import select
import threading
import time

import pytest

import quorvelin
from quorvelin import aio
from pty_support import pty_pair
from transport_support import Recorder, collect_errors, run, until

CYCLES = 100  # the loop takes the completions in the unlucky order in about one cycle in five
DISCONNECT_TEXT = "device reports readiness to read but returned no data"


class HangingUpFarEnd:
    """Reads what the port writes and sends a little back, then closes the master mid-flow."""

    def __init__(self, pty, seconds):
        self.pty = pty
        self.seconds = seconds
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        master = self.pty.master
        end = time.monotonic() + self.seconds
        try:
            while time.monotonic() < end:
                readable, writable, _ = select.select([master], [master], [], 0.01)
                if readable:
                    os.read(master, 65536)
                if writable:
                    os.write(master, b"r" * 64)
        except OSError:
            pass
        finally:
            self.pty.hang_up()  # from this thread, which alone uses the master

    def join(self):
        self.thread.join(5)


def is_device_error(error):
    return (
        isinstance(error, quorvelin.SerialException)
        and not isinstance(error, quorvelin.PortNotOpenError)
        and (error.errno == errno.EIO or DISCONNECT_TEXT in str(error))
    )


@pytest.mark.timeout(150)
def test_connection_lost_gets_the_device_error_whichever_direction_saw_it_first():
    rng = random.Random(6)
    outcomes = []

    async def cycle():
        loop = asyncio.get_running_loop()
        with pty_pair() as pty:
            transport, protocol = await aio.create_serial_connection(loop, Recorder, pty.name)
            await until(lambda: protocol.events == ["made"])
            far = HangingUpFarEnd(pty, rng.random() * 0.01)
            try:
                transport.write(b"w" * (1 << 20))  # a write runs until the far end goes
                error = await asyncio.wait_for(protocol.lost, 5)
            finally:
                far.join()
            assert not transport.serial.is_open
            return error

    async def main():
        collect_errors()  # a write that fails first is also reported to the loop: expected
        for _ in range(CYCLES):
            outcomes.append(await cycle())

    run(main, limit=100)
    wrong = [repr(error) for error in outcomes if not is_device_error(error)]
    assert not wrong, f"{len(wrong)} of {CYCLES} cycles ended otherwise: {sorted(set(wrong))}"


ABORT_CYCLES = 10


@pytest.mark.timeout(60)
def test_an_abort_while_the_device_error_closes_the_transport_keeps_that_error():
    # The far end hangs up: the read fails, the transport starts closing with the device's
    # error, and abort() comes before connection_lost. connection_lost still gets that error.
    outcomes = []

    async def cycle():
        loop = asyncio.get_running_loop()
        with pty_pair() as pty:
            transport, protocol = await aio.create_serial_connection(loop, Recorder, pty.name)
            await until(lambda: protocol.events == ["made"])
            pty.hang_up()
            deadline = time.monotonic() + 5
            while not transport.is_closing():
                assert time.monotonic() < deadline, "the hang-up never reached the transport"
                await asyncio.sleep(0)
            lost_before_abort = protocol.count("lost")
            transport.abort()
            error = await asyncio.wait_for(protocol.lost, 5)
            assert not transport.serial.is_open
            return lost_before_abort, error

    async def main():
        for _ in range(ABORT_CYCLES):
            outcomes.append(await cycle())

    run(main, limit=50)
    assert all(lost == 0 for lost, _ in outcomes), "connection_lost came before the abort"
    wrong = [repr(error) for _, error in outcomes if not is_device_error(error)]
    assert not wrong, f"{len(wrong)} of {ABORT_CYCLES} cycles ended otherwise: {sorted(set(wrong))}"
