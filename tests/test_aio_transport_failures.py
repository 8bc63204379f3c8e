"""The transport where an operation cannot be started (a child process after fork(), where the
runtime is unavailable) or where handing held bytes to the protocol fails: nothing read is
lost, and the connection still ends with connection_lost and a closed port."""

import asyncio
import os
import sys
import time
import traceback
import warnings

import quorvelin
from quorvelin import aio
from transport_support import CountingLoop, Recorder, collect_errors, run, turns, until

FORKED = "quorvelin cannot be used in a child process created by fork()"


def start_runtime():
    port = aio.Serial("loop://")
    port.write(b"x").result()
    assert port.read(1).wait(5) == b"x"
    port.close()


def fork_quietly():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return os.fork()


def child_exit(check):
    """In the child: runs check() and leaves with 0 when it passed."""
    code = 1
    try:
        check()
        code = 0
    except BaseException:
        traceback.print_exc(file=sys.stderr)
    finally:
        os._exit(code)


def wait_child(pid, limit=20):
    deadline = time.monotonic() + limit
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            raise AssertionError("child hung")
        time.sleep(0.02)


def test_close_whose_drain_cannot_start_still_ends_the_connection():
    start_runtime()

    async def child_main():
        errors = collect_errors()
        loop = asyncio.get_running_loop()
        serial = quorvelin.serial_for_url("loop://")
        transport, protocol = await aio.connection_for_serial(loop, Recorder, serial)
        await until(lambda: protocol.events == ["made"] and errors)
        assert str(errors[0]["exception"]) == FORKED  # the first read could not start
        try:
            transport.close()
        except quorvelin.SerialException as error:
            assert str(error) == FORKED
        else:
            raise AssertionError("close() hid the failed drain")
        assert await asyncio.wait_for(protocol.lost, 2) is None
        assert protocol.serial_open_when_lost is True
        assert not serial.is_open
        assert protocol.count("lost") == 1

        # The same through a stream pair: wait_closed() returns.
        reader, writer = await aio.open_serial_connection(url="loop://")
        try:
            writer.close()
        except quorvelin.SerialException:
            pass
        else:
            raise AssertionError("close() hid the failed drain")
        await asyncio.wait_for(writer.wait_closed(), 2)
        assert not writer.transport.serial.is_open

    pid = fork_quietly()
    if pid == 0:
        child_exit(lambda: run(child_main, limit=10))
    assert wait_child(pid) == 0


def test_a_chunk_already_read_reaches_the_protocol_when_the_next_read_cannot_start():
    # The first read finds its data at once, so its completion is already queued on the loop
    # when the process forks; in the child, the read after it cannot start.
    start_runtime()
    outcome = {}

    async def main():
        loop = asyncio.get_running_loop()
        errors = collect_errors()
        serial = quorvelin.serial_for_url("loop://")
        serial.write(b"chunk")

        def check_in_child():
            assert bytes(protocol.data) == b"chunk"
            assert protocol.events == ["made", "data"]
            assert len(errors) == 1 and str(errors[0]["exception"]) == FORKED

        def fork_point():
            pid = fork_quietly()
            if pid == 0:
                # Runs after the queued on_read, in the child.
                loop.call_soon(child_exit, check_in_child)
                return
            outcome["code"] = wait_child(pid)

        class ForkAfterStart(Recorder):
            def connection_made(self, transport):
                super().connection_made(transport)
                loop.call_soon(fork_point)  # after on_start, before the first on_read

        transport, protocol = await aio.connection_for_serial(loop, ForkAfterStart, serial)
        await until(lambda: "code" in outcome and protocol.data == b"chunk")
        assert errors == []
        transport.close()
        await protocol.lost

    run(main)
    assert outcome["code"] == 0


def test_a_failing_resume_keeps_the_held_bytes_and_the_pause():
    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, "loop://")
        await until(lambda: protocol.events == ["made"])
        transport.pause_reading()
        transport.write(b"held")
        await until(lambda: loop.hops["on_read"] >= 1)
        await turns()
        transport.set_protocol(object())  # no data_received to look up
        try:
            transport.resume_reading()
        except AttributeError:
            pass
        else:
            raise AssertionError("resume_reading hid the failed look-up")
        assert not transport.is_reading()
        transport.set_protocol(protocol)
        transport.resume_reading()
        assert transport.is_reading()
        await until(lambda: protocol.data == b"held")
        transport.write(b"!")
        await until(lambda: protocol.data == b"held!")
        transport.close()
        await protocol.lost

    run(main, loop_factory=CountingLoop)
