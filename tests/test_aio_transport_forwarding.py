"""How the transport's completions reach its loop: in the context the operation was started in,
a closed loop closing the serial object (and reporting a failing close), and nothing kept
behind per operation, natively or in Python."""

import asyncio
import contextvars
import gc
import sys
import tracemalloc

import quorvelin
from quorvelin import aio
from test_aio_collect import NATIVE_BATCHES, NATIVE_LIMIT, grown_by, native_in_use
from transport_support import Recorder, run, until, until_sync

CONNECTOR = contextvars.ContextVar("connector", default="none")


class ContextRecorder(Recorder):
    """Records the connecting task's context variable as each protocol call sees it."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def data_received(self, data):
        super().data_received(data)
        self.seen.append(CONNECTOR.get())


def test_completions_run_in_the_context_the_transport_was_started_in():
    # A read waits here (the loopback is empty when it starts), so it completes on a worker
    # and comes back through the loop's thread-safe scheduling: in the connecting task's
    # context all the same, as a read that found data at once would.
    async def main():
        CONNECTOR.set("task")
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, ContextRecorder, "loop://")
        await until(lambda: protocol.events == ["made"])
        CONNECTOR.set("changed later")  # the transport's own steps do not see this task's later changes
        for round in range(20):
            transport.write(b"%d;" % round)
            await until(lambda: protocol.data.endswith(b"%d;" % round))
        assert protocol.seen and set(protocol.seen) == {"task"}, protocol.seen
        transport.close()
        await protocol.lost

    run(main)


def test_a_loop_whose_call_soon_threadsafe_takes_only_the_callback_and_its_arguments_is_served():
    # The completions are forwarded as call_soon_threadsafe(step, fut); a loop that accepts
    # nothing more must still deliver the data, in the starting context, and keep the port open.
    calls = []

    class PlainLoop(asyncio.SelectorEventLoop):
        def call_soon_threadsafe(self, callback, *args):
            calls.append(len(args))
            return super().call_soon_threadsafe(callback, *args)

    async def main():
        CONNECTOR.set("task")
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, ContextRecorder, "loop://")
        await until(lambda: protocol.events == ["made"])
        CONNECTOR.set("changed later")
        transport.write(b"hello")
        await until(lambda: protocol.data == b"hello")
        assert transport.serial.is_open
        assert set(protocol.seen) == {"task"}, protocol.seen
        transport.close()
        assert await protocol.lost is None
        assert protocol.events[-1] == "lost", protocol.events

    with asyncio.Runner(loop_factory=PlainLoop) as runner:
        runner.run(asyncio.wait_for(main(), 10))
    assert calls, "the forwarding did not go through call_soon_threadsafe"


def test_a_closed_loop_whose_serial_close_raises_reports_it_as_unraisable():
    class ClosingFails(quorvelin.Serial):
        def close(self):
            super().close()
            raise OSError("close failed on purpose")

    reports = []
    previous = sys.unraisablehook
    sys.unraisablehook = reports.append
    loop = asyncio.new_event_loop()
    serial = ClosingFails("loop://")
    try:
        async def start():
            transport, protocol = await aio.connection_for_serial(loop, Recorder, serial)
            await until(lambda: protocol.events == ["made"])

        loop.run_until_complete(asyncio.wait_for(start(), 5))
        loop.close()
        serial.write(b"x")  # the running read completes and finds the loop closed
        until_sync(lambda: reports)
        assert not serial.is_open
        [report] = reports
        assert isinstance(report.exc_value, OSError) and str(report.exc_value) == "close failed on purpose"
    finally:
        sys.unraisablehook = previous
        if not loop.is_closed():
            loop.close()


ROUND_TRIPS = 4_000


class Echo(asyncio.Protocol):
    def __init__(self):
        self.arrived = None
        self.lost = asyncio.get_running_loop().create_future()

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        if self.arrived is not None and not self.arrived.done():
            self.arrived.set_result(data)

    def connection_lost(self, exc):
        self.lost.set_result(exc)


def round_trips():
    """A transport's life of waiting round trips over the loopback: each read waits, and its
    completion comes from a worker through the loop's thread-safe scheduling."""

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Echo, "loop://")
        for _ in range(ROUND_TRIPS):
            protocol.arrived = loop.create_future()
            transport.write(b"r")
            await asyncio.wait_for(protocol.arrived, 5)
        transport.close()
        await asyncio.wait_for(protocol.lost, 5)

    asyncio.run(main())


def live_futures():
    return sum(1 for o in gc.get_objects() if type(o) is aio.Future)


def test_round_trips_leave_nothing_behind():
    gc.collect()
    futures_before = live_futures()
    gc.collect()
    tracemalloc.start()
    try:
        python = grown_by(round_trips, lambda: tracemalloc.get_traced_memory()[0], 3)
    finally:
        tracemalloc.stop()
    # A kept Future with its completion state and forwarding is well over 300 bytes a round.
    assert python < 512 * 1024, python
    native = grown_by(round_trips, native_in_use, NATIVE_BATCHES)
    assert native < NATIVE_LIMIT, native
    assert live_futures() - futures_before < 10
