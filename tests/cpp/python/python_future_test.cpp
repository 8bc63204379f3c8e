// The Python Future's paths that Python code cannot steer: garbage-collector traversal by
// holder count, hand-overs to loops that refuse, completions racing awaits, cancellation
// hooks, callback removal and concurrent builders of the one exception object.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "../port/support.h"
#include "attached.h"
#include "future/object_handle.h"
#include "future/python_future.h"
#include "future/shared.h"
#include "future_support.h"
#include "port/ops.h"

namespace quorvelin::testing {
namespace {

using future::OpFuture;
using future::Shared;

// The objects a traversal visits, in order.
std::vector<PyObject*> visited(PyObject* object) {
    std::vector<PyObject*> seen;
    auto visit = [](PyObject* o, void* arg) -> int {
        static_cast<std::vector<PyObject*>*>(arg)->push_back(o);
        return 0;
    };
    Py_TYPE(object)->tp_traverse(object, visit, &seen);
    return seen;
}

bool contains(const std::vector<PyObject*>& list, PyObject* object) {
    return std::find(list.begin(), list.end(), object) != list.end();
}

// Spins for a while: spreads the moment of a racing completion over a few hundred
// microseconds, across the steps of the code it races.
void spin(int rounds) {
    std::atomic<int> counter{0};
    for (int i = 0; i < rounds; ++i) {
        counter.fetch_add(1, std::memory_order_relaxed);
    }
}

// A Python Future over a fresh pending state, with a second handle for the test.
std::pair<py::Ref, std::shared_ptr<Shared>> pending_future() {
    auto shared = std::make_shared<Shared>();
    py::Ref object = py::Ref::steal(future::wrap(OpFuture(shared)));
    return {object, shared};
}

TEST(Collect, TheStateCountsOnlyForItsSoleHolder) {
    Attached attached;
    auto [object, shared] = pending_future();
    ASSERT_TRUE(object);
    Result<Outcome> failed = SerialError::io(5, "gone");
    ASSERT_TRUE(future::complete(*shared, failed));
    py::Ref exception = future::exception_object(*shared, failed.error());

    // Shared with another holder (here the test; in use a task or a blocking waiter): only
    // the type is the Future's own.
    EXPECT_EQ(visited(object.get()), std::vector<PyObject*>{reinterpret_cast<PyObject*>(Py_TYPE(object.get()))});
    Py_TYPE(object.get())->tp_clear(object.get());
    EXPECT_EQ(future::exception_object(*shared, failed.error()).get(), exception.get());

    std::weak_ptr<Shared> weak = shared;
    shared.reset();
    EXPECT_TRUE(contains(visited(object.get()), exception.get()));
    Py_TYPE(object.get())->tp_clear(object.get());
    EXPECT_FALSE(contains(visited(object.get()), exception.get()));
    EXPECT_FALSE(weak.expired());  // the state stays; only its Python references went
}

TEST(Collect, AnObjectResultIsVisitedAndClearedToNone) {
    Attached attached;
    auto [object, shared] = pending_future();
    PyObject* g = PyDict_New();
    ASSERT_TRUE(exec_in(g, "probe = object()\n"));
    PyObject* probe = PyDict_GetItemString(g, "probe");
    ASSERT_TRUE(future::complete(*shared, Outcome(future::make_object_handle(probe))));
    shared.reset();
    EXPECT_TRUE(contains(visited(object.get()), probe));
    Py_TYPE(object.get())->tp_clear(object.get());
    const OpFuture* handle = future::unwrap(object.get());
    ASSERT_NE(handle, nullptr);
    py::Ref value = py::Ref::steal(handle->result());
    EXPECT_EQ(value.get(), Py_None);
    Py_DECREF(g);
}

TEST(Unwrap, OnlyFutures) {
    Attached attached;
    auto [object, shared] = pending_future();
    EXPECT_EQ(future::unwrap(object.get())->shared(), shared);
    EXPECT_EQ(future::unwrap(Py_None), nullptr);
    EXPECT_FALSE(PyErr_Occurred());
}

// Loops that fail the hand-over: every failure reaches the unraisable hook, and the waiters
// after it are still served.
TEST(Completion, RefusedHandOversAreReportedAndTheRestServed) {
    Attached attached;
    PyObject* g = PyDict_New();
    ASSERT_TRUE(exec_in(g,
                        "import sys\n"
                        "reports = []\n"
                        "old_hook = sys.unraisablehook\n"
                        "sys.unraisablehook = lambda u: reports.append((u.object, type(u.exc_value)))\n"
                        "class Unsure:\n"
                        "    def is_closed(self): raise ValueError('closed?')\n"
                        "class Refusing:\n"
                        "    def is_closed(self): return False\n"
                        "    def call_soon_threadsafe(self, *args, **kwargs): raise RuntimeError('refused')\n"
                        "class Taking:\n"
                        "    def __init__(self): self.calls = []\n"
                        "    def is_closed(self): return False\n"
                        "    def call_soon_threadsafe(self, *args, **kwargs):\n"
                        "        self.calls.append((args, kwargs))\n"
                        "class AsyncioFuture:\n"
                        "    def __init__(self): self.value = None\n"
                        "    def done(self): return self.value is not None\n"
                        "    def set_result(self, value): self.value = value\n"
                        "taking = Taking()\n"
                        "fut = AsyncioFuture()\n"
                        "def callback(f): pass\n"));
    auto [object, shared] = pending_future();
    const OpFuture& handle = *future::unwrap(object.get());
    for (const char* loop : {"Unsure()", "Refusing()", "taking"}) {
        py::Ref made = py::Ref::steal(eval_in(g, loop));
        ASSERT_TRUE(made);
        EXPECT_EQ(handle.add_waiter(made, py::Ref::borrow(PyDict_GetItemString(g, "fut"))), nullptr);
    }
    py::Ref refusing = py::Ref::steal(eval_in(g, "Refusing()"));
    PyObject* callback = PyDict_GetItemString(g, "callback");
    handle.register_callback(py::Ref::borrow(callback), object, py::Ref::steal(PyContext_CopyCurrent()), refusing);
    {
        py::Unattached released;
        std::thread completer([&] { future::complete(*shared, Outcome(std::string("v"))); });
        completer.join();
    }
    EXPECT_TRUE(truth(g, "reports == [(None, ValueError), (None, RuntimeError), (callback, RuntimeError)]"));
    ASSERT_TRUE(truth(g, "len(taking.calls) == 1 and taking.calls[0][1] == {}"));
    // The scheduled callable settles the asyncio future when the loop runs it.
    ASSERT_TRUE(exec_in(g, "taking.calls[0][0][0]()\n"));
    EXPECT_TRUE(truth(g, "fut.value == b'v'"));
    ASSERT_TRUE(exec_in(g, "sys.unraisablehook = old_hook\n"));
    Py_DECREF(g);
}

TEST(OnDoneHere, RunsOnTheCompletingThreadOrAtOnce) {
    Attached attached;
    PyObject* g = PyDict_New();
    ASSERT_TRUE(exec_in(g,
                        "import threading\n"
                        "seen = []\n"
                        "def fn(f): seen.append((f, threading.get_ident()))\n"));
    auto [object, shared] = pending_future();
    ASSERT_TRUE(future::on_done_here(object.get(), PyDict_GetItemString(g, "fn")));
    EXPECT_TRUE(truth(g, "seen == []"));
    unsigned long completer_ident = 0;
    {
        py::Unattached released;
        std::thread completer([&] {
            {
                Attached inner;
                completer_ident = PyThread_get_thread_ident();
            }
            future::complete(*shared, Outcome(Unit{}));
        });
        completer.join();
    }
    PyDict_SetItemString(g, "future", object.get());
    py::Ref ident = py::Ref::steal(PyLong_FromUnsignedLong(completer_ident));
    PyDict_SetItemString(g, "completer", ident.get());
    EXPECT_TRUE(truth(g, "seen == [(future, completer)]"));
    ASSERT_TRUE(future::on_done_here(object.get(), PyDict_GetItemString(g, "fn")));
    EXPECT_TRUE(truth(g, "seen[1] == (future, threading.get_ident())"));
    ASSERT_TRUE(exec_in(g, "seen.clear()\n"));
    Py_DECREF(g);
}

// Completion on another thread races the await: whichever order the two take, the awaiting
// coroutine gets the value exactly once.
TEST(Await, CompletionRacingTheAwait) {
    Attached attached;
    PyObject* g = PyDict_New();
    ASSERT_TRUE(exec_in(g,
                        "import asyncio\n"
                        "loop = asyncio.new_event_loop()\n"
                        "async def take(f): return await f\n"));
    constexpr int kRounds = 200;
    int served = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto [object, shared] = pending_future();
        PyDict_SetItemString(g, "f", object.get());
        std::atomic<bool> go{false};
        std::thread completer([&, shared = shared] {
            while (!go.load()) {
            }
            spin(round * 500);
            future::complete(*shared, Outcome(std::size_t(round)));
        });
        go.store(true);
        py::Ref value = py::Ref::steal(eval_in(g, "loop.run_until_complete(asyncio.wait_for(take(f), 5))"));
        {
            py::Unattached released;
            completer.join();
        }
        ASSERT_TRUE(value) << take_error();
        served += PyLong_AsLong(value.get()) == round;
    }
    EXPECT_EQ(served, kRounds);
    ASSERT_TRUE(exec_in(g, "loop.close()\n"));
    Py_DECREF(g);
}

// The cancellation hook races a completion from a worker: exactly one result is stored, and
// the task (here a real spawned operation) is aborted only when the cancellation won.
TEST(CancelHook, RacesWithCompletion) {
    Attached attached;
    PyObject* g = PyDict_New();
    ASSERT_TRUE(exec_in(g,
                        "import asyncio\n"
                        "loop = asyncio.new_event_loop()\n"
                        "async def take(f): return await f\n"
                        "async def cancel_soon(f):\n"
                        "    task = asyncio.ensure_future(take(f))\n"
                        "    await asyncio.sleep(0)\n"
                        "    task.cancel()\n"
                        "    try:\n"
                        "        return await task\n"
                        "    except asyncio.CancelledError:\n"
                        "        return 'cancelled'\n"));
    int cancelled = 0;
    int completed = 0;
    for (int round = 0; round < 100; ++round) {
        auto core = open_loopback();
        auto started = OpFuture::start(ops::read(core, 1));
        ASSERT_TRUE(started.ok());
        py::Ref object = py::Ref::steal(future::wrap(started.value()));
        std::shared_ptr<Shared> shared = started.value().shared();
        PyDict_SetItemString(g, "f", object.get());
        std::thread writer([&, core] {
            spin(round * 1000);
            write_all(core, "x");
        });
        py::Ref answer = py::Ref::steal(eval_in(g, "loop.run_until_complete(cancel_soon(f))"));
        {
            py::Unattached released;
            writer.join();
        }
        ASSERT_TRUE(answer) << take_error();
        const Result<Outcome>* stored = started.value().stored();
        if (!stored) {
            // The hook had not run yet when the loop stopped; it must not have been lost.
            ADD_FAILURE() << "the Future is still pending after the awaiting task was cancelled";
            break;
        }
        if (stored->ok()) {
            ++completed;
        } else {
            EXPECT_EQ(stored->error().kind(), SerialError::Kind::Cancelled);
            ++cancelled;
        }
        std::lock_guard lock(shared->mutex);
        EXPECT_FALSE(shared->state.abort.has_value());
        core->close();
    }
    EXPECT_EQ(cancelled + completed, 100);
    ASSERT_TRUE(exec_in(g, "loop.close()\n"));
    Py_DECREF(g);
}

// Removal races completion: every registered callback either runs or is removed, never both
// and never neither.
TEST(RemoveCallbacks, RacingCompletion) {
    Attached attached;
    PyObject* g = PyDict_New();
    ASSERT_TRUE(exec_in(g,
                        "import contextvars\n"
                        "ran = []\n"
                        "def make(i):\n"
                        "    def callback(f): ran.append(i)\n"
                        "    return callback\n"
                        "callbacks = [make(i) for i in range(40)]\n"));
    for (int round = 0; round < 50; ++round) {
        auto [object, shared] = pending_future();
        const OpFuture& handle = *future::unwrap(object.get());
        PyObject* callbacks = PyDict_GetItemString(g, "callbacks");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(callbacks); ++i) {
            handle.register_callback(py::Ref::borrow(PyList_GET_ITEM(callbacks, i)), object,
                                     py::Ref::steal(PyContext_CopyCurrent()), py::Ref());
        }
        std::size_t removed = 0;
        std::thread completer([shared = shared] {
            std::this_thread::yield();
            future::complete(*shared, Outcome(Unit{}));
        });
        {
            auto snapshot = handle.callbacks();
            for (std::size_t i = 0; i < snapshot.size(); i += 2) {
                removed += handle.remove_callbacks({snapshot[i]});
            }
        }
        {
            py::Unattached released;
            completer.join();
        }
        py::Ref ran = py::Ref::steal(eval_in(g, "len(ran)"));
        EXPECT_EQ(static_cast<std::size_t>(PyLong_AsSize_t(ran.get())) + removed, 40u);
        ASSERT_TRUE(exec_in(g, "ran.clear()\n"));
    }
    Py_DECREF(g);
}

TEST(ExceptionObject, ConcurrentFirstCallersShareOne) {
    auto shared = std::make_shared<Shared>();
    Result<Outcome> failed = SerialError::io(std::nullopt, "once");
    ASSERT_TRUE(future::complete(*shared, failed));
    constexpr int kThreads = 4;
    std::vector<PyObject*> seen(kThreads, nullptr);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            Attached attached;
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            py::Ref made = future::exception_object(*shared, failed.error());
            seen[i] = made.get();
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (int i = 1; i < kThreads; ++i) {
        EXPECT_EQ(seen[i], seen[0]);
    }
    Attached attached;
    shared.reset();
}

}  // namespace
}  // namespace quorvelin::testing
