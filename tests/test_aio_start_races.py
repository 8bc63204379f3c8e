"""Operations that are still pending after their first attempt continue on the runtime and are
woken by what that attempt waited for: data arriving during the attempt, right after it, or
long after it, cancellation racing that wake-up, and many event loops at once, lose nothing and
leave no Future unsettled."""

import asyncio
import os
import random
import select
import threading
import tty

from quorvelin import aio
from pty_support import PtyPair, pty_pair

LOOPS = 4
ROUND_TRIPS = 300


def echo(master, stop):
    """The far end: sends every byte back, after a random short pause now and then."""
    rng = random.Random(master)
    while not stop.is_set():
        ready, _, _ = select.select([master], [], [], 0.05)
        if not ready:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            return
        if rng.random() < 0.3:
            stop.wait(rng.choice([0.0, 0.0001, 0.001]))
        os.write(master, data)


def round_trips(name, seed):
    async def main():
        rng = random.Random(seed)
        port = aio.Serial(name)
        try:
            for i in range(ROUND_TRIPS):
                byte = bytes([i % 256])
                written = port.write(byte)
                if rng.random() < 0.5:
                    await asyncio.sleep(0)  # the echo may be there before the read starts
                assert await asyncio.wait_for(port.read(1), 10) == byte
                await asyncio.wait_for(written, 10)
        finally:
            port.close()

    asyncio.run(main())


def test_round_trips_on_many_loops_at_once():
    pairs = []
    stop = threading.Event()
    try:
        for _ in range(LOOPS):
            pair = PtyPair()
            tty.setraw(pair.master)  # the far end sends back exactly what it got
            pairs.append(pair)
        echoes = [threading.Thread(target=echo, args=(pair.master, stop)) for pair in pairs]
        errors = []

        def run(name, seed):
            try:
                round_trips(name, seed)
            except BaseException as error:  # reported below
                errors.append(error)

        loops = [threading.Thread(target=run, args=(pair.name, seed)) for seed, pair in enumerate(pairs)]
        for thread in echoes + loops:
            thread.start()
        for thread in loops:
            thread.join(50)
        assert not any(thread.is_alive() for thread in loops), "a loop did not finish"
        assert not errors, errors
    finally:
        stop.set()
        for pair in pairs:
            pair.close()


def test_cancel_racing_the_wake_up_settles_every_future():
    with pty_pair() as pty:
        tty.setraw(pty.master)

        async def main():
            loop = asyncio.get_running_loop()
            rng = random.Random(7)
            port = aio.Serial(pty.name)
            outcomes = {"result": 0, "cancelled": 0}
            try:
                for _ in range(400):
                    future = port.read(1)
                    feeder = threading.Timer(rng.choice([0.0, 0.0002, 0.001]), os.write, (pty.master, b"z"))
                    feeder.start()
                    if rng.random() < 0.5:
                        loop.call_later(rng.choice([0.0, 0.0002, 0.001]), future.cancel)
                    try:
                        await asyncio.wait_for(future, 10)
                        outcomes["result"] += 1
                    except asyncio.CancelledError:
                        outcomes["cancelled"] += 1
                    feeder.join()
                    assert future.done()
                # Whatever the cancelled reads left behind is still readable, and the port works.
                await asyncio.sleep(0.05)
                leftover = await asyncio.wait_for(port.read(port.in_waiting), 10)
                assert set(leftover) <= {ord("z")}
                os.write(pty.master, b"!")
                assert await asyncio.wait_for(port.read(1), 10) == b"!"
            finally:
                port.close()
            return outcomes

        outcomes = asyncio.run(main())
        assert outcomes["result"] > 0 and outcomes["cancelled"] > 0, outcomes


def test_loop_closed_while_its_read_waits_for_data():
    with pty_pair() as pty:
        tty.setraw(pty.master)
        port = aio.Serial(pty.name)
        try:
            for _ in range(50):
                loop = asyncio.new_event_loop()
                future = port.read(1)

                async def awaiting():
                    return await future

                task = loop.create_task(awaiting())
                task._log_destroy_pending = False  # left pending on purpose: its loop goes first
                loop.run_until_complete(asyncio.sleep(0))  # the task now waits on the loop
                loop.close()
                os.write(pty.master, b"y")
                assert future.wait(10) == b"y"  # completed on a worker; the closed loop is skipped
        finally:
            port.close()
