"""Protocols that record what the transport tells them, and bounded waits, for the transport tests."""

import asyncio
import collections
import os
import select
import threading
import time


class Recorder(asyncio.Protocol):
    """Records every protocol call in order; `lost` is a future set by connection_lost."""

    def __init__(self):
        self.events = []
        self.data = bytearray()
        self.transport = None
        self.lost = asyncio.get_running_loop().create_future()
        self.serial_open_when_lost = None

    def connection_made(self, transport):
        self.events.append("made")
        self.transport = transport

    def data_received(self, data):
        self.events.append("data")
        self.data += data

    def pause_writing(self):
        self.events.append("pause")

    def resume_writing(self):
        self.events.append("resume")

    def connection_lost(self, exc):
        self.events.append("lost")
        self.serial_open_when_lost = self.transport.serial.is_open
        self.lost.set_result(exc)

    def count(self, event):
        return self.events.count(event)


class CountingLoop(asyncio.SelectorEventLoop):
    """Counts the callbacks handed over from other threads, by their __name__."""

    def __init__(self):
        super().__init__()
        self.hops = collections.Counter()

    def call_soon_threadsafe(self, callback, *args, context=None):
        self.hops[getattr(callback, "__name__", "?")] += 1
        return super().call_soon_threadsafe(callback, *args, context=context)


def run(main, limit=20, loop_factory=None):
    """Runs main() under a time bound, with the loop's exception handler collecting contexts."""

    async def bounded():
        return await asyncio.wait_for(main(), limit)

    with asyncio.Runner(loop_factory=loop_factory) as runner:
        return runner.run(bounded())


def collect_errors(loop=None):
    contexts = []
    (loop or asyncio.get_running_loop()).set_exception_handler(lambda _loop, context: contexts.append(context))
    return contexts


async def until(condition, limit=5.0, message="condition not reached"):
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, message
        await asyncio.sleep(0.002)


def until_sync(condition, limit=5.0, message="condition not reached"):
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, message
        time.sleep(0.005)


async def turns(count=5):
    for _ in range(count):
        await asyncio.sleep(0)


class MasterReader:
    """Reads everything the port writes to a pty, on a thread, until stopped."""

    def __init__(self, master, start=True):
        self.master = master
        self.data = bytearray()
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.go = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        if start:
            self.go.set()
        self.thread.start()

    def run(self):
        self.go.wait()
        while not self.stop.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                chunk = os.read(self.master, 65536)
            except (BlockingIOError, OSError):
                continue
            with self.lock:
                self.data += chunk

    def size(self):
        with self.lock:
            return len(self.data)

    def close(self):
        self.stop.set()
        self.go.set()
        self.thread.join(5)
