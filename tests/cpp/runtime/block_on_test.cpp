#include "runtime/block_on.h"

#include <gtest/gtest.h>

#include "runtime/runtime.h"
#include "runtime/sleep.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;
using testing::Gate;

Operation<int> gated(Gate gate, std::atomic<int>* polls, int value) {
    polls->fetch_add(1);
    co_await gate.wait();
    co_return value;
}

TEST(BlockOn, Deadline) {
    struct Case {
        const char* name;
        std::chrono::milliseconds open_after;  // negative: never
        std::chrono::milliseconds deadline;
        bool finishes;
    };
    const Case cases[] = {
        {"woken from another thread before the deadline", 10ms, 5000ms, true},
        {"deadline passes first", -1ms, 40ms, false},
        {"already ready", 0ms, 0ms, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Gate gate;
        std::atomic<int> polls{0};
        Operation<int> op = gated(gate, &polls, 9);
        if (c.open_after == 0ms) gate.open();
        std::thread opener;
        if (c.open_after > 0ms) {
            opener = std::thread([&] {
                std::this_thread::sleep_for(c.open_after);
                gate.open();
            });
        }
        auto start = Clock::now();
        auto result = block_on(op, start + c.deadline);
        if (opener.joinable()) opener.join();
        EXPECT_EQ(result.has_value(), c.finishes);
        if (c.finishes) {
            EXPECT_EQ(*result, Result<int>(9));
        } else {
            EXPECT_GE(Clock::now() - start, c.deadline);
        }
        EXPECT_EQ(polls.load(), 1) << "the body ran once, on one frame";
    }
}

TEST(BlockOn, UnfinishedOperationContinuesAsATask) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Gate gate;
    std::atomic<int> polls{0};
    Operation<int> op = gated(gate, &polls, 3);
    ASSERT_FALSE(block_on(op, Clock::now() + 10ms).has_value());
    JoinHandle<int> join = owned.value()->runtime->spawn(std::move(op));
    std::thread([&] { gate.open(); }).join();
    auto result = join.wait_for(5s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, Result<int>(3));
    EXPECT_EQ(polls.load(), 1) << "the task continued the same frame";
}

TEST(BlockOn, OnBothWorkersTheRuntimeKeepsRunning) {
    // Both workers block on timers; only the stand-ins from the blocking pool can fire them.
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime* rt = owned.value()->runtime;
    auto body = []() -> Operation<bool> {
        bool on_worker = Runtime::current_worker() != nullptr;
        Sleep sleep = sleep_until(Clock::now() + 30ms);
        bool slept = block_on(sleep, Clock::now() + 3s).has_value();
        co_return on_worker && slept;
    };
    std::vector<JoinHandle<bool>> joins;
    for (int i = 0; i < Runtime::worker_threads + 1; ++i) joins.push_back(rt->spawn(body()));
    for (auto& join : joins) {
        auto result = join.wait_for(10s);
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, Result<bool>(true));
    }
}

}  // namespace
}  // namespace quorvelin::runtime
