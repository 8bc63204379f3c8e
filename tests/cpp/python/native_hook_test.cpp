// Native completion hooks in the embedded interpreter: each runs once, attached, on the thread
// that completes (a worker, a cancelling thread, or the registering thread when the completion
// came first), and is released attached where it ran.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "../port/support.h"
#include "attached.h"
#include "future/native_hook.h"
#include "future/shared.h"
#include "future_support.h"
#include "runtime/runtime.h"
#include "runtime/sleep.h"

namespace quorvelin::testing {
namespace {

using future::OpFuture;
using runtime::Operation;

// What the hooks saw when they ran.
struct Seen {
    std::atomic<int> runs{0};
    std::atomic<bool> attached{false};
    std::atomic<bool> on_worker{false};
    std::atomic<bool> python_worked{false};
    std::mutex mutex;
    std::thread::id thread;

    std::thread::id ran_on() {
        std::lock_guard lock(mutex);
        return thread;
    }
};

class Probe final : public future::NativeHook {
public:
    explicit Probe(std::shared_ptr<Seen> seen, PyObject* held = nullptr)
        : seen_(std::move(seen)), held_(future::HeldRef::borrow(held)) {}

    void run() noexcept override {
        seen_->attached = future::is_attached();
        seen_->on_worker = runtime::Runtime::current_worker() != nullptr;
        {
            std::lock_guard lock(seen_->mutex);
            seen_->thread = std::this_thread::get_id();
        }
        if (seen_->attached) {
            PyObject* list = PyList_New(0);  // Python work is allowed here
            seen_->python_worked = list != nullptr;
            Py_XDECREF(list);
        }
        seen_->runs.fetch_add(1);
    }

private:
    std::shared_ptr<Seen> seen_;
    future::HeldRef held_;
};

Operation<Outcome> after(std::chrono::microseconds length) {
    if (length.count() > 0) {
        auto sleep = runtime::sleep_until(runtime::Clock::now() + length);
        co_await sleep;
    }
    co_return Outcome(std::size_t{1});
}

TEST(NativeHook, RunsOnceOnTheWorkerThatCompletes) {
    Attached attached;
    auto started = OpFuture::spawn(after(std::chrono::milliseconds(20)));
    ASSERT_TRUE(started.ok());
    OpFuture future = started.value();
    auto seen = std::make_shared<Seen>();
    future::add_native_hook(*future.shared(), std::make_unique<Probe>(seen));
    EXPECT_EQ(seen->runs.load(), 0) << "ran before the completion";
    ASSERT_TRUE(eventually([&] { return seen->runs.load() == 1; }));
    EXPECT_TRUE(seen->attached);
    EXPECT_TRUE(seen->on_worker);
    EXPECT_TRUE(seen->python_worked);
    EXPECT_NE(seen->ran_on(), std::this_thread::get_id());
    // Later completions lose, and nothing runs twice.
    EXPECT_FALSE(future::complete(*future.shared(), Outcome(Unit{})));
    EXPECT_FALSE(future.cancel());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(seen->runs.load(), 1);
}

// Complete before the registration (born complete, or cancelled by this very thread): the
// hook runs before add_native_hook returns, on this thread.
TEST(NativeHook, RunsHereWhenTheCompletionCameFirstOrHappensHere) {
    Attached attached;
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled here" : "born complete");
        auto seen = std::make_shared<Seen>();
        OpFuture future = OpFuture::resolved(Outcome(std::size_t{2}));
        if (cancel) {
            auto started = OpFuture::spawn(after(std::chrono::seconds(30)));
            ASSERT_TRUE(started.ok());
            future = started.value();
            future::add_native_hook(*future.shared(), std::make_unique<Probe>(seen));
            EXPECT_EQ(seen->runs.load(), 0);
            ASSERT_TRUE(future.cancel());
        } else {
            future::add_native_hook(*future.shared(), std::make_unique<Probe>(seen));
        }
        EXPECT_EQ(seen->runs.load(), 1);
        EXPECT_EQ(seen->ran_on(), std::this_thread::get_id());
        EXPECT_TRUE(seen->attached);
        EXPECT_FALSE(seen->on_worker);
    }
}

// Registrations racing the task's end and a cancellation from another thread: every hook runs
// exactly once, whichever comes first.
TEST(NativeHook, RacingCompletionsRunEachHookOnce) {
    Attached attached;
    std::mt19937 random(5);
    const int rounds = 300;
    std::vector<std::shared_ptr<Seen>> all;
    for (int round = 0; round < rounds; ++round) {
        auto started = OpFuture::spawn(after(std::chrono::microseconds(random() % 300)));
        ASSERT_TRUE(started.ok());
        OpFuture future = started.value();
        const auto cancel_after = std::chrono::microseconds(random() % 300);
        std::thread canceller([future, cancel_after] {
            std::this_thread::sleep_for(cancel_after);
            Attached attached_there;
            future.cancel();
        });
        for (int i = 0; i < 3; ++i) {
            auto seen = std::make_shared<Seen>();
            all.push_back(seen);
            future::add_native_hook(*future.shared(), std::make_unique<Probe>(seen));
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 150));
        }
        {
            // The canceller attaches; waiting here for it must not hold it off.
            py::Unattached released;
            canceller.join();
        }
        ASSERT_TRUE(eventually([&] { return future.done(); }));
    }
    for (std::size_t i = 0; i < all.size(); ++i) {
        ASSERT_TRUE(eventually([&] { return all[i]->runs.load() >= 1; })) << "hook " << i << " never ran";
        EXPECT_EQ(all[i]->runs.load(), 1) << "hook " << i;
        EXPECT_TRUE(all[i]->attached) << "hook " << i;
    }
}

// A completing thread with no thread state attaches to run the hooks and releases their
// Python references before it detaches: the object they held dies.
TEST(NativeHook, ReleasedAttachedByAThreadWithoutAThreadState) {
    auto shared = std::make_shared<future::Shared>();
    auto seen = std::make_shared<Seen>();
    PyObject* weak = nullptr;
    {
        Attached attached;
        PyObject* g = PyDict_New();
        ASSERT_TRUE(exec_in(g, "import weakref\nclass Probe: pass\nprobe = Probe()\nref = weakref.ref(probe)\n"));
        weak = Py_NewRef(PyDict_GetItemString(g, "ref"));
        future::add_native_hook(*shared, std::make_unique<Probe>(seen, PyDict_GetItemString(g, "probe")));
        PyDict_DelItemString(g, "probe");
        Py_DECREF(g);
    }
    auto before = future::attach_count();
    std::thread completer([&] { EXPECT_TRUE(future::complete(*shared, Outcome(Unit{}))); });
    completer.join();
    EXPECT_EQ(seen->runs.load(), 1);
    EXPECT_TRUE(seen->attached);
    EXPECT_GT(future::attach_count(), before);
    Attached attached;
    PyObject* g = PyDict_New();
    ASSERT_TRUE(exec_in(g, "import gc\ngc.collect()\n"));  // merges a reference dropped elsewhere
    Py_DECREF(g);
    PyObject* target = nullptr;
    EXPECT_EQ(PyWeakref_GetRef(weak, &target), 0) << "the hook's reference outlived its run";
    Py_XDECREF(target);
    Py_DECREF(weak);
}

}  // namespace
}  // namespace quorvelin::testing
