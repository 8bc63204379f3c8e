"""quorvelin.aio.Future: its states, awaiting, blocking waits and done-callbacks."""

import asyncio
import contextvars
import math
import signal
import sys
import threading
import time
import types
import weakref

import pytest

import quorvelin
from quorvelin import aio
from aio_support import finished, loop_turns, make, pending, ports, run_in_thread

# --- the class --------------------------------------------------------------------------------


def test_class_surface():
    Future = aio.Future
    assert Future.__module__ == "quorvelin.aio"
    assert Future.__qualname__ == "Future"
    assert Future.__doc__ == "A port operation running on the runtime."
    assert aio.__all__[0] == "Future"
    with pytest.raises(TypeError):
        Future()
    with pytest.raises(TypeError):
        type("Sub", (Future,), {})
    for absent in ("get_loop", "set_result", "set_exception", "_asyncio_future_blocking", "__iter__",
                   "__weakref__"):
        assert not hasattr(Future, absent), absent
    assert Future.__repr__ is object.__repr__
    alias = Future[int]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is Future and alias.__args__ == (int,)


def test_instances_hold_nothing_else():
    with ports() as made:
        future = finished(made)
        assert not hasattr(future, "__dict__")
        with pytest.raises(AttributeError):
            future.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(future)


SIGNATURES = [
    ("wait", "($self, timeout=None)"),
    ("add_done_callback", "($self, fn, /, *, context=None)"),
    ("remove_done_callback", "($self, fn, /)"),
    ("done", "($self)"),
    ("result", "($self)"),
]


@pytest.mark.parametrize("name,signature", SIGNATURES)
def test_method_signatures(name, signature):
    assert getattr(aio.Future, name).__text_signature__ == signature


# --- the state table --------------------------------------------------------------------------

# state: done(), cancelled(), what result() does, what exception() does
STATES = [
    ("pending", False, False, ("raises", asyncio.InvalidStateError, "Result is not ready."),
     ("raises", asyncio.InvalidStateError, "Exception is not set.")),
    ("finished", True, False, ("returns", b"abc"), ("returns", None)),
    ("failed", True, False, ("raises", quorvelin.PortNotOpenError, "Attempting to use a port that is not open"),
     ("returns", quorvelin.PortNotOpenError)),
    ("cancelled", True, True, ("raises", asyncio.CancelledError, ""), ("raises", asyncio.CancelledError, "")),
]


def check(call, expected):
    if expected[0] == "raises":
        with pytest.raises(expected[1]) as info:
            call()
        assert str(info.value) == expected[2]
        return
    value = call()
    if isinstance(expected[1], type):
        assert type(value) is expected[1]
    else:
        assert value == expected[1]


@pytest.mark.parametrize("state,done,is_cancelled,result,exception", STATES)
def test_queries(state, done, is_cancelled, result, exception):
    with ports() as made:
        future = make(state, made)
        assert future.done() is done
        assert future.cancelled() is is_cancelled
        check(future.result, result)
        check(future.exception, exception)
        if state != "pending":
            # wait() on a finished Future answers as result() does.
            for timeout in (None, 0, -1, math.nan):
                check(lambda: future.wait(timeout), result)


@pytest.mark.parametrize("state", ["finished", "failed", "cancelled"])
def test_cancel_of_a_finished_future_changes_nothing(state):
    with ports() as made:
        future = make(state, made)
        before = (future.done(), future.cancelled())
        assert future.cancel() is False
        assert (future.done(), future.cancelled()) == before


def test_cancel_of_a_pending_future():
    with ports() as made:
        future, port = pending(made)
        assert future.cancel() is True
        assert future.cancelled() and future.done()
        assert future.cancel() is False
        # The cancelled read gave up its place: the next read gets the data.
        port.write(b"xyz")
        assert port.read(3).wait(5) == b"xyz"


def test_result_of_bytes_is_a_new_object_each_time():
    with ports() as made:
        future = finished(made)
        first, second = future.result(), future.result()
        assert first == second == b"abc"
        assert first is not second


def test_one_exception_object_with_its_traceback_reset():
    with ports() as made:
        future = make("failed", made)
        seen = []
        for _ in range(2):
            try:
                future.result()
            except quorvelin.PortNotOpenError as error:
                seen.append(error)
                # Only this raise is in the traceback, not the earlier one.
                assert error.__traceback__ is not None and error.__traceback__.tb_next is None
        assert seen[0] is seen[1]
        assert future.exception() is seen[0]


def test_exception_raised_inside_a_pending_operation_reaches_every_consumer():
    with ports() as made:
        future, port = pending(made)
        port.close()
        with pytest.raises(quorvelin.PortNotOpenError) as info:
            future.wait(5)
        assert future.exception() is info.value


# --- awaiting ---------------------------------------------------------------------------------


@pytest.mark.parametrize("state", ["pending", "finished", "failed", "cancelled"])
def test_await_needs_a_running_loop(state):
    with ports() as made:
        future = make(state, made)
        with pytest.raises(RuntimeError):
            future.__await__()
        assert future.done() is (state != "pending")


async def drive_by_hand(future):
    """Steps a coroutine that awaits `future`: the values it yields, then its outcome."""

    async def awaiting():
        return await future

    coroutine = awaiting()
    yielded = []
    try:
        while True:
            yielded.append(coroutine.send(None))
    except StopIteration as stop:
        return yielded, ("value", stop.value)
    except BaseException as error:
        return yielded, ("error", type(error))


AWAITS = [
    # state, what the coroutine yields before it ends, how it ends
    ("finished", [None], ("value", b"abc")),
    ("failed", [], ("error", quorvelin.PortNotOpenError)),
    ("cancelled", [], ("error", asyncio.CancelledError)),
]


@pytest.mark.parametrize("state,yielded,end", AWAITS)
def test_await_of_a_finished_future(state, yielded, end):
    with ports() as made:
        future = make(state, made)
        assert asyncio.run(drive_by_hand(future)) == (yielded, end)


def test_await_of_a_pending_future_goes_through_an_asyncio_future():
    async def main():
        with ports() as made:
            future, port = pending(made)
            iterator = future.__await__()
            assert type(iterator).__name__ != "Ready"
            port.write(b"abc")
            return await future

    assert asyncio.run(main()) == b"abc"


def test_the_running_loop_functions_are_looked_up_on_asyncio_at_each_call(monkeypatch):
    # Loop-nesting helpers replace these functions on the asyncio module after import; the
    # replacement must be the one called, also after earlier calls used the original.
    async def main():
        with ports() as made:
            assert await finished(made) == b"abc"
            finished(made).add_done_callback(lambda _future: None)
            calls = []
            original_get, original_peek = asyncio.get_running_loop, asyncio._get_running_loop

            def get_running_loop():
                calls.append("get_running_loop")
                return original_get()

            def peek_running_loop():
                calls.append("_get_running_loop")
                return None  # as if no loop ran: the callback then runs on the completing thread

            monkeypatch.setattr(asyncio, "get_running_loop", get_running_loop)
            monkeypatch.setattr(asyncio, "_get_running_loop", peek_running_loop)
            assert await finished(made) == b"abc"
            future, port = pending(made)
            ran_on = []
            future.add_done_callback(lambda _future: ran_on.append(threading.get_ident()))
            port.write(b"abc")
            assert await future == b"abc"
            monkeypatch.undo()
            await until_true(lambda: ran_on)
            return calls, ran_on

    calls, ran_on = asyncio.run(main())
    assert calls == ["get_running_loop", "_get_running_loop", "get_running_loop"]
    assert ran_on != [threading.get_ident()]


class NotedFuture(asyncio.Future):
    """An asyncio future that notes the calls the completion makes on it."""

    def __init__(self, notes, *, loop):
        super().__init__(loop=loop)
        self.notes = notes

    def add_done_callback(self, fn, *, context=None):
        if type(fn).__name__ == "_CancelHook":  # not the awaiting task's own callback
            self.notes("add_done_callback")
        super().add_done_callback(fn, context=context)

    def __await__(self):
        self.notes("__await__")
        return super().__await__()

    def done(self):
        self.notes("done")
        return super().done()

    def set_result(self, result):
        self.notes("set_result")
        super().set_result(result)


def test_methods_replaced_on_the_loop_and_its_futures_are_the_ones_called():
    # Each completion looks its methods up on the objects: a method replaced on the loop
    # instance, even after earlier completions, is the one called; so are the methods of the
    # future the loop's create_future makes.
    noted = []

    def callback(_future):
        pass

    async def main():
        loop = asyncio.get_running_loop()
        with ports() as made:
            for round_number in (1, 2):
                def notes(name, round_number=round_number):
                    noted.append((round_number, name))

                def replace(name, round_number=round_number):
                    method = getattr(type(loop), name).__get__(loop)

                    def replacement(*args, **kwargs):
                        if name != "call_soon" or args[0] is callback:  # asyncio calls call_soon too
                            noted.append((round_number, name, *sorted(kwargs)))
                        return method(*args, **kwargs)

                    setattr(loop, name, replacement)

                for name in ("is_closed", "call_soon_threadsafe", "call_soon"):
                    replace(name)
                loop.create_future = lambda: NotedFuture(notes, loop=loop)
                future, port = pending(made)
                future.add_done_callback(callback)
                loop.call_soon(port.write, b"abc")  # once the await below is waiting
                assert await future == b"abc"
                del loop.create_future  # the waits below make futures of their own
                finished(made).add_done_callback(callback)
                await until_true(lambda: (round_number, "call_soon_threadsafe", "context") in noted)
        for name in ("is_closed", "call_soon_threadsafe", "call_soon"):
            delattr(loop, name)  # the loop's own shutdown calls them as well

    asyncio.run(main())
    for round_number in (1, 2):
        assert sorted(note[1:] for note in noted if note[0] == round_number) == sorted([
            ("__await__",), ("add_done_callback",), ("call_soon", "context"), ("call_soon_threadsafe",),
            ("call_soon_threadsafe", "context"), ("done",), ("is_closed",), ("set_result",),
        ]), round_number


async def until_true(condition, limit=5.0):
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, "condition not reached"
        await asyncio.sleep(0.002)


def test_ready():
    async def main():
        with ports() as made:
            future = finished(made)
            ready = future.__await__()
            Ready = type(ready)
            assert Ready.__name__ == "Ready" and Ready.__module__ == "quorvelin.aio"
            assert not hasattr(aio, "Ready")
            assert Ready.__doc__.startswith("What awaiting a finished future iterates: it yields once")
            with pytest.raises(TypeError):
                Ready()
            with pytest.raises(TypeError):
                type("Sub", (Ready,), {})
            assert iter(ready) is ready
            assert ready.close() is None
            with pytest.raises(ValueError) as made_error:
                ready.throw(ValueError)
            assert made_error.value.args == ()
            given = KeyError("k")
            with pytest.raises(KeyError) as thrown:
                ready.throw(given, None, None)
            assert thrown.value is given
            with pytest.raises(TypeError):
                ready.throw(5)
            assert next(ready) is None  # throw did not count as a step
            for step in (lambda: next(ready), lambda: ready.send(7), lambda: ready.send(_value=None)):
                with pytest.raises(StopIteration) as stop:
                    step()
                assert stop.value.value == b"abc"
                assert stop.value.args == (b"abc",)
            with pytest.raises(TypeError):
                ready.send()

    asyncio.run(main())


def test_ready_steps_once_across_threads():
    async def make_ready():
        with ports() as made:
            return finished(made).__await__()

    ready = asyncio.run(make_ready())
    barrier = threading.Barrier(8)
    answers = []

    def step():
        barrier.wait()
        try:
            answers.append(next(ready))
        except StopIteration as stop:
            answers.append(stop.value)

    threads = [threading.Thread(target=step) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert sorted(answers, key=repr) == [None] + [b"abc"] * 7


def test_two_tasks_on_one_future_both_get_the_result():
    async def main():
        with ports() as made:
            future, port = pending(made)
            tasks = [asyncio.create_task(wait_for(future)) for _ in range(2)]
            await loop_turns(3)
            port.write(b"abc")
            results = await asyncio.wait_for(asyncio.gather(*tasks), 5)
            assert results == [b"abc", b"abc"]
            assert results[0] is not results[1]

    asyncio.run(main())


async def wait_for(future):
    return await future


def test_cancelling_one_awaiting_task_cancels_the_operation_for_all():
    async def main():
        with ports() as made:
            future, port = pending(made)
            first = asyncio.create_task(wait_for(future))
            second = asyncio.create_task(wait_for(future))
            await loop_turns(3)
            first.cancel()
            with pytest.raises(asyncio.CancelledError):
                await asyncio.wait_for(second, 5)
            assert first.cancelled()
            assert future.cancelled()
            # The operation is gone: the port serves the next read.
            port.write(b"new")
            assert await asyncio.wait_for(wait_for(port.read(3)), 5) == b"new"

    asyncio.run(main())


def test_wait_for_timeout_cancels_the_operation():
    async def main():
        with ports() as made:
            future, port = pending(made)
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(wait_for(future), 0.05)
            assert future.cancelled()

    asyncio.run(main())


class Stop(Exception):
    pass


async def ignoring(error_type, awaitable):
    try:
        await awaitable
    except error_type:
        pass


async def cancel_gather(future, turns):
    gathered = asyncio.gather(future)
    await loop_turns(turns)
    gathered.cancel()
    await ignoring(asyncio.CancelledError, gathered)


async def cancel_wrapping_task(future):
    task = asyncio.ensure_future(future)
    task.cancel()
    await ignoring(asyncio.CancelledError, task)


async def leave_task_group(future, turns):
    try:
        async with asyncio.TaskGroup() as group:
            group.create_task(wait_for(future))
            await loop_turns(turns)
            raise Stop
    except* Stop:
        pass


async def under_timeout(future, seconds):
    async with asyncio.timeout(seconds):
        await future


async def cancel_awaiting_task(future):
    task = asyncio.create_task(wait_for(future))
    await loop_turns(1)
    task.cancel()
    await ignoring(asyncio.CancelledError, task)


async def wait_for_eagerly(future, seconds):
    loop = asyncio.get_running_loop()
    loop.set_task_factory(asyncio.eager_task_factory)
    try:
        await ignoring(TimeoutError, asyncio.wait_for(future, seconds))
    finally:
        loop.set_task_factory(None)


# What the README's asyncio section says: cancellation reaches the operation through an await
# of the Future that has begun. The helpers that wrap the Future in a task and cancel that task
# before its first step never await it, so the operation runs on until f.cancel().
CANCELLING_FORMS = [
    ("wait_for 0", lambda f: ignoring(TimeoutError, asyncio.wait_for(f, 0)), False),
    ("wait_for -1", lambda f: ignoring(TimeoutError, asyncio.wait_for(f, -1)), False),
    ("gather cancelled at once", lambda f: cancel_gather(f, 0), False),
    ("ensure_future cancelled at once", cancel_wrapping_task, False),
    ("TaskGroup left before its task ran", lambda f: leave_task_group(f, 0), False),
    ("wait_for 1e-6", lambda f: ignoring(TimeoutError, asyncio.wait_for(f, 1e-6)), True),
    ("wait_for 0.02", lambda f: ignoring(TimeoutError, asyncio.wait_for(f, 0.02)), True),
    ("wait_for 0 with eager tasks", lambda f: wait_for_eagerly(f, 0), True),
    ("timeout 0", lambda f: ignoring(TimeoutError, under_timeout(f, 0)), True),
    ("timeout 0.02", lambda f: ignoring(TimeoutError, under_timeout(f, 0.02)), True),
    ("gather cancelled after a turn", lambda f: cancel_gather(f, 1), True),
    ("TaskGroup left after its task ran", lambda f: leave_task_group(f, 1), True),
    ("awaiting task cancelled", cancel_awaiting_task, True),
]


@pytest.mark.parametrize("form,aborts", [(f, a) for _, f, a in CANCELLING_FORMS],
                         ids=[name for name, _, _ in CANCELLING_FORMS])
def test_which_asyncio_helpers_end_the_operation(form, aborts):
    async def main():
        with ports() as made:
            future, port = pending(made)
            await form(future)
            await loop_turns(3)
            if aborts:
                assert future.cancelled()
            else:
                assert not future.done()
                assert future.cancel()  # what ends it
            # Either way the operation is gone: the next read gets the bytes.
            port.write(b"abc")
            assert await asyncio.wait_for(wait_for(port.read(3)), 5) == b"abc"

    asyncio.run(main())


def test_a_helper_that_never_awaits_leaves_the_read_taking_the_next_bytes():
    async def main():
        with ports() as made:
            future, port = pending(made)
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(future, 0)
            port.write(b"abcdef")
            assert future.wait(5) == b"abc"
            assert await asyncio.wait_for(wait_for(port.read(3)), 5) == b"def"

    asyncio.run(main())


def test_shield_keeps_the_operation_running():
    async def main():
        with ports() as made:
            future, port = pending(made)
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(asyncio.shield(future), 0.02)
            assert not future.done()
            port.write(b"abc")
            assert await asyncio.wait_for(wait_for(future), 5) == b"abc"

    asyncio.run(main())


def loop_in_thread():
    """An event loop running forever on its own thread."""
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    return loop, thread


def stop_loop(loop, thread):
    loop.call_soon_threadsafe(loop.stop)
    thread.join(5)
    loop.close()


async def wait_signalled(future, started):
    started.set()
    return await future


def test_waiters_on_several_loops_and_a_closed_one():
    reports = []
    previous = sys.unraisablehook
    sys.unraisablehook = reports.append
    loops = [loop_in_thread() for _ in range(2)]
    try:
        with ports() as made:
            future, port = pending(made)
            started = [threading.Event() for _ in loops]
            results = [asyncio.run_coroutine_threadsafe(wait_signalled(future, event), loop)
                       for (loop, _), event in zip(loops, started)]
            assert all(event.wait(5) for event in started)

            # A third loop registers a waiter, then closes before the result comes.
            closed = asyncio.new_event_loop()
            closed.set_exception_handler(lambda loop, context: None)
            abandoned = closed.create_task(wait_for(future))
            closed.run_until_complete(asyncio.sleep(0.05))
            closed.close()

            time.sleep(0.1)
            port.write(b"abc")
            values = [r.result(5) for r in results]
            assert values == [b"abc", b"abc"]
            assert values[0] is not values[1]
            assert not abandoned.done()
            del abandoned
    finally:
        for loop, thread in loops:
            stop_loop(loop, thread)
        sys.unraisablehook = previous
    assert reports == []


async def outcome_of(future):
    try:
        return ("value", await future)
    except asyncio.CancelledError:
        return ("cancelled", None)


def test_every_consumer_sees_the_one_outcome_of_a_race():
    # Per round: two cancelling threads, two blocking waiters, awaiting tasks on two loops and
    # a writer race on one read. Whichever completion wins, all consumers agree with it,
    # exactly one cancel() reports the win when cancellation won, and the port serves on.
    rounds = 150
    loops = [loop_in_thread() for _ in range(2)]
    with ports() as made:
        port = made.port()
        current = {}
        start, end = threading.Barrier(6), threading.Barrier(6)

        def cancel():
            current["cancels"].append(current["future"].cancel())

        def wait():
            try:
                current["outcomes"].append(("value", current["future"].wait(5)))
            except asyncio.CancelledError:
                current["outcomes"].append(("cancelled", None))

        def write():
            port.write(b"abc")

        def each_round(act):
            for _ in range(rounds):
                start.wait(10)
                act()
                end.wait(10)

        threads = [threading.Thread(target=each_round, args=(act,)) for act in (cancel, cancel, wait, wait, write)]
        for t in threads:
            t.start()
        try:
            for _ in range(rounds):
                future = current["future"] = port.read(3)
                current["cancels"], current["outcomes"] = [], []
                awaited = [asyncio.run_coroutine_threadsafe(outcome_of(future), loop) for loop, _ in loops]
                start.wait(10)
                end.wait(10)
                outcomes = current["outcomes"] + [a.result(5) for a in awaited]
                expected = ("cancelled", None) if future.cancelled() else ("value", b"abc")
                assert outcomes == [expected] * 4
                assert sorted(current["cancels"]) == ([False, True] if future.cancelled() else [False, False])
                port.reset_input_buffer()
                port.write(b"zz")
                assert port.read(2).wait(5) == b"zz"
        except BaseException:
            start.abort()  # frees the helper threads
            end.abort()
            raise
        finally:
            for t in threads:
                t.join(10)
            for loop, thread in loops:
                stop_loop(loop, thread)


def test_an_asyncio_future_cancelled_first_is_left_alone():
    async def main():
        with ports() as made:
            future, port = pending(made)
            task = asyncio.create_task(wait_for(future))
            await loop_turns(2)
            task.cancel()
            await asyncio.sleep(0)
            port.write(b"abc")
            with pytest.raises(asyncio.CancelledError):
                await task

    asyncio.run(main())


# --- wait() from plain threads ----------------------------------------------------------------


@pytest.mark.parametrize("timeout", [0, -1, math.nan, 0.01, 0.0])
def test_wait_with_a_short_timeout(timeout):
    with ports() as made:
        future, port = pending(made)
        start = time.monotonic()
        with pytest.raises(TimeoutError) as info:
            future.wait(timeout)
        assert str(info.value) == "the operation did not finish within the timeout"
        assert time.monotonic() - start < 0.5
        assert not future.done()
        # The operation runs on and can still finish.
        port.write(b"abc")
        assert future.wait(timeout=5) == b"abc"


@pytest.mark.parametrize("timeout", [math.inf, 1e300, None])
def test_wait_without_a_deadline(timeout):
    with ports() as made:
        future, port = pending(made)
        timer = threading.Timer(0.2, lambda: port.write(b"abc"))
        timer.start()
        assert future.wait(timeout) == b"abc"
        timer.join()


def test_wait_rejects_a_timeout_of_another_type():
    with ports() as made:
        future = finished(made)
        with pytest.raises(TypeError, match="timeout"):
            future.wait("1")
        with pytest.raises(TypeError):
            future.wait(1, 2)


def test_waits_from_several_threads():
    with ports() as made:
        future, port = pending(made)
        results = []
        threads = [threading.Thread(target=lambda: results.append(future.wait(10))) for _ in range(4)]
        for t in threads:
            t.start()
        time.sleep(0.1)
        port.write(b"abc")
        for t in threads:
            t.join(10)
        assert results == [b"abc"] * 4


class Interrupted(Exception):
    pass


def test_signal_handler_that_raises_ends_the_wait_only():
    def handler(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        with ports() as made:
            future, port = pending(made)
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            start = time.monotonic()
            with pytest.raises(Interrupted):
                future.wait()
            assert time.monotonic() - start < 1
            assert not future.done()  # waiting ended, the operation did not
            port.write(b"abc")
            assert future.wait(5) == b"abc"
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# --- done-callbacks ---------------------------------------------------------------------------

var = contextvars.ContextVar("var", default="unset")


def test_callback_on_a_finished_future_without_a_loop_runs_at_once():
    with ports() as made:
        future = finished(made)
        seen = []
        var.set("here")
        assert future.add_done_callback(lambda f: seen.append((f, var.get(), threading.get_ident()))) is None
        assert seen == [(future, "here", threading.get_ident())]


def test_callback_on_a_finished_future_inside_a_loop_runs_next_turn():
    async def main():
        with ports() as made:
            future = finished(made)
            seen = []
            future.add_done_callback(seen.append)
            assert seen == []
            await asyncio.sleep(0)
            assert seen == [future]

    asyncio.run(main())


def test_callback_registered_without_a_loop_runs_on_the_completing_thread():
    with ports() as made:
        future, port = pending(made)
        seen = []
        var.set("registered")
        done = threading.Event()

        def callback(f):
            seen.append((f, var.get(), threading.get_ident()))
            done.set()

        future.add_done_callback(callback)
        var.set("changed later")
        port.write(b"abc")
        assert done.wait(5)
        assert seen[0][:2] == (future, "registered")
        assert seen[0][2] != threading.get_ident()


def test_callback_registered_inside_a_loop_runs_on_the_loop_in_its_context():
    async def main():
        with ports() as made:
            future, port = pending(made)
            loop_thread = threading.get_ident()
            arrived = asyncio.get_running_loop().create_future()
            given = contextvars.Context()
            given.run(var.set, "given")

            def callback(f):
                arrived.set_result((f, var.get(), threading.get_ident()))

            future.add_done_callback(callback, context=given)
            port.write(b"abc")
            assert await asyncio.wait_for(arrived, 5) == (future, "given", loop_thread)

    asyncio.run(main())


def test_cancel_runs_callbacks_on_the_cancelling_thread():
    with ports() as made:
        future, _ = pending(made)
        seen = []
        future.add_done_callback(lambda f: seen.append(threading.get_ident()))
        ident = run_in_thread(lambda: (future.cancel(), threading.get_ident())[1])
        assert seen == [ident]


def test_raising_callback_goes_to_the_unraisable_hook_and_the_rest_still_run():
    reports = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda u: reports.append((u.object, type(u.exc_value)))
    try:
        with ports() as made:
            future, port = pending(made)
            seen = []
            done = threading.Event()

            def bad(f):
                raise ValueError("no")

            future.add_done_callback(seen.append)
            future.add_done_callback(bad)
            future.add_done_callback(lambda f: done.set())
            port.write(b"abc")
            assert done.wait(5)
            assert seen == [future]
            assert reports == [(bad, ValueError)]
            # The same after completion, on this thread.
            future.add_done_callback(bad)
            assert reports[-1] == (bad, ValueError)
    finally:
        sys.unraisablehook = previous


def test_callbacks_may_use_the_futures_they_run_for():
    # Callbacks run on the completing worker with nothing of the Future locked: they can add,
    # remove, query, wait and cancel, on their own Future and on others, whose callbacks then
    # run nested on the same thread.
    with ports() as made:
        first, first_port = pending(made)
        second, _ = pending(made)
        seen = []
        done = threading.Event()

        def later(f):
            seen.append(("later", f is first))

        def on_second(f):
            seen.append(("second", f.cancelled(), first.cancel(), first.wait(0)))

        def on_first(f):
            seen.append(("first", f.result(), f.exception(), f.wait(0), f.remove_done_callback(later)))
            f.add_done_callback(later)  # complete already: runs here, at once
            seen.append(("cancel", second.cancel(), second.cancel()))

        second.add_done_callback(on_second)
        first.add_done_callback(on_first)
        first.add_done_callback(later)
        first.add_done_callback(lambda f: done.set())
        first_port.write(b"abc")
        assert done.wait(5)
        assert seen == [
            ("first", b"abc", None, b"abc", 0),
            ("later", True),
            ("second", True, False, b"abc"),
            ("cancel", True, False),
            ("later", True),
        ]


def test_remove_done_callback():
    with ports() as made:
        future, port = pending(made)
        calls = []

        def f(fut):
            calls.append("f")

        def g(fut):
            calls.append("g")

        future.add_done_callback(f)
        future.add_done_callback(g)
        future.add_done_callback(f)
        assert future.remove_done_callback(print) == 0
        assert future.remove_done_callback(f) == 2
        assert future.remove_done_callback(f) == 0
        future.cancel()
        assert calls == ["g"]
        assert future.remove_done_callback(g) == 0


def test_remove_done_callback_stops_at_a_failing_comparison():
    class Touchy:
        def __eq__(self, other):
            raise RuntimeError("no comparing")

        __hash__ = object.__hash__

    with ports() as made:
        future, _ = pending(made)
        calls = []
        touchy = Touchy()
        future.add_done_callback(touchy)
        future.add_done_callback(calls.append)
        with pytest.raises(RuntimeError, match="no comparing"):
            future.remove_done_callback(calls.append)
        future.add_done_callback(calls.append)  # still registered: runs twice
        reports = []
        previous = sys.unraisablehook
        sys.unraisablehook = reports.append  # touchy is not callable
        try:
            future.cancel()
        finally:
            sys.unraisablehook = previous
        assert calls == [future, future]
        assert len(reports) == 1


@pytest.mark.parametrize("args,kwargs", [((), {}), ((print, print), {}), ((print,), {"fn": print}),
                                         ((print,), {"loop": None})])
def test_add_done_callback_arguments(args, kwargs):
    with ports() as made:
        future = finished(made)
        with pytest.raises(TypeError):
            future.add_done_callback(*args, **kwargs)
