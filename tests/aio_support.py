"""Futures in each of their states, over loop:// ports, for the asyncio tests."""

import asyncio
import contextlib
import threading

from quorvelin import aio


class Ports:
    """Opens loop:// ports (no timeout) and closes them all at the end."""

    def __init__(self):
        self.open = []

    def port(self, **settings):
        port = aio.Serial("loop://", **settings)
        self.open.append(port)
        return port

    def close(self):
        for port in self.open:
            port.close()


@contextlib.contextmanager
def ports():
    made = Ports()
    try:
        yield made
    finally:
        made.close()


def pending(ports):
    """A read that waits for data that never comes unless the test writes it; with its port."""
    port = ports.port()
    future = port.read(3)
    assert not future.done()
    return future, port


def finished(ports, data=b"abc"):
    port = ports.port()
    port.write(data).result()
    future = port.read(len(data))
    assert future.done()
    return future


def failed(ports):
    port = ports.port()
    port.close()
    future = port.read(1)
    assert future.done()
    return future


def cancelled(ports):
    future, _ = pending(ports)
    assert future.cancel()
    return future


MAKERS = {"pending": pending, "finished": finished, "failed": failed, "cancelled": cancelled}


def make(state, ports):
    made = MAKERS[state](ports)
    return made[0] if isinstance(made, tuple) else made


def run_in_thread(target, timeout=10):
    """Runs target() on a plain thread; returns its value or raises its exception."""
    outcome = {}

    def run():
        try:
            outcome["value"] = target()
        except BaseException as error:  # handed to the caller
            outcome["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    thread.join(timeout)
    assert not thread.is_alive(), "thread did not finish"
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


async def loop_turns(count):
    for _ in range(count):
        await asyncio.sleep(0)
