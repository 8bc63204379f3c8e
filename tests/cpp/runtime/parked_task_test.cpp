// A parked task runs only once woken (or aborted), then like any other task; wake-ups and
// aborts racing each other from other threads never lose a task or run one twice.

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "runtime/runtime.h"
#include "runtime/task.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;
using testing::Gate;
using testing::LiveCount;

Operation<int> counted(std::atomic<int>* polls, int value) {
    polls->fetch_add(1);
    co_return value;
}

TEST(ParkedTask, RunsOnlyOnceWokenAndThenOnlyOnce) {
    asio::io_context io(1);
    std::atomic<int> polls{0};
    auto parked = spawn_parked_on(io, counted(&polls, 7));
    io.poll();
    EXPECT_EQ(polls.load(), 0) << "a parked task ran without a wake-up";
    EXPECT_FALSE(parked.join.is_finished());
    parked.target->wake();
    parked.target->wake();  // absorbed: the task is already scheduled
    io.restart();
    io.poll();
    EXPECT_EQ(polls.load(), 1);
    auto result = parked.join.wait_for(0s);
    ASSERT_TRUE(result.has_value());
    ASSERT_TRUE(result->ok());
    EXPECT_EQ(result->value(), 7);
    EXPECT_EQ(parked.join.end(), TaskEnd::Finished);
}

TEST(ParkedTask, AbortBeforeAnyWakeDropsItUnstarted) {
    asio::io_context io(1);
    std::atomic<int> polls{0};
    auto parked = spawn_parked_on(io, counted(&polls, 1));
    parked.join.abort();
    io.poll();
    EXPECT_EQ(polls.load(), 0);
    EXPECT_EQ(parked.join.end(), TaskEnd::AbortedBeforeStart);
    parked.target->wake();  // late: changes nothing
    io.restart();
    io.poll();
    EXPECT_EQ(polls.load(), 0);
}

Operation<int> gated(Gate gate, std::atomic<int>* live, int value) {
    LiveCount alive(*live);
    co_await gate.wait();
    co_return value;
}

// Each operation is polled once inline with the parked task's future waker standing by, as
// the asyncio start does; its gate opens, and some tasks are aborted, from two other threads
// at the same time as the task is parked.
TEST(ParkedTask, WakesAndAbortsRacingTheParkingLoseNothing) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime* rt = owned.value()->runtime;
    const int count = testing::stress_rounds(10000, 10);
    std::atomic<int> live{0};
    std::vector<Gate> gates(count);
    std::vector<JoinHandle<int>> joins;
    joins.reserve(count);
    std::atomic<int> parked_count{0};
    std::thread opener([&] {
        for (int i = 0; i < count; ++i) {
            while (parked_count.load() < i) std::this_thread::yield();
            gates[i].open();
        }
    });
    std::thread aborter([&] {
        for (int i = 0; i < count; i += 7) {
            while (parked_count.load() <= i) std::this_thread::yield();
            joins[i].abort();
        }
    });
    for (int i = 0; i < count; ++i) {
        Operation<int> op = gated(gates[i], &live, i);
        auto parked = rt->spawn_parked(std::move(op));
        // The first poll has to happen on the task for the gate to hold its waker: it is woken
        // once here, as a wake-up that arrived during the inline poll would do.
        if (i % 2 == 0) parked.target->wake();
        joins.push_back(std::move(parked.join));
        Waker keep(parked.target);
        parked_count.store(i + 1);
        if (i % 2 != 0) keep.wake();
    }
    opener.join();
    aborter.join();
    auto deadline = std::chrono::steady_clock::now() + 120s;
    for (int i = 0; i < count; ++i) {
        auto result = joins[i].wait_until(deadline);
        ASSERT_TRUE(result.has_value()) << "task " << i << " never ended";
        if (result->ok()) {
            EXPECT_EQ(result->value(), i);
        } else {
            EXPECT_EQ(i % 7, 0) << "only aborted tasks may end without their value";
            EXPECT_EQ(result->error().kind(), SerialError::Kind::Cancelled);
        }
    }
    EXPECT_TRUE(testing::eventually([&] { return live.load() == 0; })) << live.load() << " frames leaked";
}

}  // namespace
}  // namespace quorvelin::runtime
