#include "runtime/task.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;
using testing::Gate;

struct Events {
    std::vector<std::string> log;
    struct Guard {
        Events* events;
        ~Guard() { events->log.push_back("guard"); }
    };
};

// Tasks on a private io_context that the test drives by hand, so every state is reached
// deterministically.
class TaskStates : public ::testing::Test {
protected:
    void drain() {
        io_.restart();
        io_.poll();
    }
    asio::io_context io_{1};
};

TEST_F(TaskStates, AbortInEveryState) {
    enum class When { BeforeFirstPoll, WhilePending, DuringPendingPoll, DuringFinishingPoll, AfterFinishing };
    struct Case {
        const char* name;
        When when;
        TaskEnd end;
        bool cancelled;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {"before the first poll", When::BeforeFirstPoll, TaskEnd::AbortedBeforeStart, true, {}},
        {"while pending", When::WhilePending, TaskEnd::AbortedAfterStart, true, {"poll", "guard"}},
        {"during a poll that stays pending", When::DuringPendingPoll, TaskEnd::AbortedAfterStart, true,
         {"poll", "poll returns", "guard"}},
        {"during a poll that finishes", When::DuringFinishingPoll, TaskEnd::Finished, false,
         {"poll", "poll returns", "guard"}},
        {"after finishing", When::AfterFinishing, TaskEnd::Finished, false, {"poll", "poll returns", "guard"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Events events;
        auto abort_slot = std::make_shared<AbortHandle>();
        Waker stored;  // keeps the pending task alive, as a registered leaf would
        auto body = [&]() -> Operation<int> {
            Events::Guard guard{&events};
            co_await poll_fn([&](Context& cx) -> Poll<Unit> {
                stored = cx.waker();
                events.log.push_back("poll");
                if (c.when == When::DuringPendingPoll || c.when == When::DuringFinishingPoll) abort_slot->abort();
                // The drop must wait until the poll has returned.
                events.log.push_back("poll returns");
                if (c.when == When::DuringFinishingPoll || c.when == When::AfterFinishing) return Unit{};
                return pending;
            });
            co_return 42;
        };
        JoinHandle<int> join = spawn_on(io_, body());
        *abort_slot = join.abort_handle();
        if (c.when == When::BeforeFirstPoll) join.abort();
        drain();
        if (c.when == When::WhilePending) {
            EXPECT_FALSE(join.is_finished());
            events.log.pop_back();  // "poll returns" is noise here
            join.abort();
            drain();
        }
        if (c.when == When::AfterFinishing) {
            join.abort();
            drain();
        }
        EXPECT_EQ(join.end(), c.end);
        auto result = join.wait_for(1s);
        ASSERT_TRUE(result.has_value());
        if (c.cancelled) {
            EXPECT_EQ(*result, Result<int>(SerialError::cancelled()));
        } else {
            EXPECT_EQ(*result, Result<int>(42));
        }
        EXPECT_EQ(events.log, c.log);
    }
}

TEST_F(TaskStates, WakeDuringAPollPollsAgain) {
    int polls = 0;
    auto body = [&]() -> Operation<int> {
        co_await poll_fn([&](Context& cx) -> Poll<Unit> {
            if (++polls == 3) return Unit{};
            cx.waker().wake();
            return pending;
        });
        co_return polls;
    };
    JoinHandle<int> join = spawn_on(io_, body());
    drain();
    auto result = join.wait_for(1s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, Result<int>(3));
}

TEST_F(TaskStates, DroppingTheLastWakerDoesNotDestroyTheOperationInline) {
    Events events;
    auto stored = std::make_shared<Waker>();
    auto body = [&]() -> Operation<int> {
        Events::Guard guard{&events};
        co_await poll_fn([&](Context& cx) -> Poll<Unit> {
            *stored = cx.waker();
            return pending;
        });
        co_return 0;
    };
    {
        JoinHandle<int> join = spawn_on(io_, body());
        drain();
    }
    *stored = Waker();  // the last reference to the task
    EXPECT_TRUE(events.log.empty()) << "the frame must not be destroyed by the waker's owner";
    drain();
    EXPECT_EQ(events.log, std::vector<std::string>{"guard"});
}

TEST_F(TaskStates, FaultingOperationReportsPanicked) {
    auto body = []() -> Operation<int> {
        co_await testing::yield_now();
        throw std::runtime_error("fault");
    };
    JoinHandle<int> join = spawn_on(io_, body());
    drain();
    EXPECT_EQ(join.end(), TaskEnd::Finished);
    auto result = join.wait_for(1s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, Result<int>(operation_panicked()));
}

TEST(TaskOnRuntime, AbortFromAnotherThreadDropsOnAWorker) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Gate gate;
    std::atomic<bool> polled{false};
    std::atomic<bool> dropped_on_worker{false};
    struct Guard {
        std::atomic<bool>* flag;
        ~Guard() { flag->store(Runtime::current_worker() != nullptr); }
    };
    auto body = [&]() -> Operation<int> {
        Guard guard{&dropped_on_worker};
        polled = true;
        co_await gate.wait();
        co_return 1;
    };
    JoinHandle<int> join = owned.value()->runtime->spawn(body());
    ASSERT_TRUE(testing::eventually([&] { return polled.load(); }));
    std::thread([&] { join.abort(); }).join();
    auto result = join.wait_for(5s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, Result<int>(SerialError::cancelled()));
    EXPECT_TRUE(dropped_on_worker.load());
}

TEST(TaskOnRuntime, JoinHandleIsPollableFromAnotherTask) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime* rt = owned.value()->runtime;
    Gate gate;
    auto inner = [&]() -> Operation<int> {
        co_await gate.wait();
        co_return 5;
    };
    auto outer = [&]() -> Operation<int> {
        JoinHandle<int> join = rt->spawn(inner());
        Result<int> value = co_await join;
        co_return value ? value.value() * 2 : -1;
    };
    JoinHandle<int> join = rt->spawn(outer());
    std::this_thread::sleep_for(10ms);
    gate.open();
    auto result = join.wait_for(5s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, Result<int>(10));
}

}  // namespace
}  // namespace quorvelin::runtime
