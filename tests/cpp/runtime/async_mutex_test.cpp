#include "runtime/async_mutex.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "runtime/block_on.h"
#include "runtime/runtime.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;
using testing::CountingWaker;

enum class Act { Lock, PollPending, PollGranted, Release, DropRequest, Woken, NotWoken };
struct Step {
    Act act;
    int who;
};
struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

TEST(AsyncMutex, OrderAndDroppedWaiters) {
    const Scenario scenarios[] = {
        {"waiters get the lock in arrival order",
         {{Act::Lock, 0}, {Act::PollGranted, 0}, {Act::PollPending, 1}, {Act::PollPending, 2}, {Act::Release, 0},
          {Act::Woken, 1}, {Act::NotWoken, 2}, {Act::PollPending, 2}, {Act::PollGranted, 1}, {Act::Release, 1},
          {Act::PollGranted, 2}}},
        {"a newcomer does not overtake a handed-off waiter",
         {{Act::PollGranted, 0}, {Act::PollPending, 1}, {Act::Release, 0}, {Act::PollPending, 2},
          {Act::PollGranted, 1}}},
        {"a dropped queued waiter is skipped",
         {{Act::PollGranted, 0}, {Act::PollPending, 1}, {Act::PollPending, 2}, {Act::DropRequest, 1},
          {Act::Release, 0}, {Act::Woken, 2}, {Act::PollGranted, 2}}},
        {"a waiter dropped after the hand-off passes the lock on",
         {{Act::PollGranted, 0}, {Act::PollPending, 1}, {Act::PollPending, 2}, {Act::Release, 0},
          {Act::DropRequest, 1}, {Act::Woken, 2}, {Act::PollGranted, 2}}},
        {"a waiter dropped after the hand-off with nobody behind unlocks",
         {{Act::PollGranted, 0}, {Act::PollPending, 1}, {Act::Release, 0}, {Act::DropRequest, 1},
          {Act::PollGranted, 2}}},
        {"releasing with nobody waiting unlocks", {{Act::PollGranted, 0}, {Act::Release, 0}, {Act::PollGranted, 1}}},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        AsyncMutex mutex;
        std::array<std::optional<LockFuture>, 3> requests;
        std::array<std::optional<AsyncMutexGuard>, 3> guards;
        std::array<CountingWaker, 3> wakers;
        auto request = [&](int i) -> LockFuture& {
            if (!requests[i]) requests[i].emplace(mutex.lock());
            return *requests[i];
        };
        for (std::size_t n = 0; n < s.steps.size(); ++n) {
            const Step& step = s.steps[n];
            SCOPED_TRACE("step " + std::to_string(n));
            Context cx(wakers[step.who].waker);
            switch (step.act) {
                case Act::Lock: (void)request(step.who); break;
                case Act::PollPending: EXPECT_TRUE(request(step.who).poll(cx).is_pending()); break;
                case Act::PollGranted: {
                    auto polled = request(step.who).poll(cx);
                    ASSERT_TRUE(polled.is_ready());
                    guards[step.who].emplace(polled.take());
                    break;
                }
                case Act::Release: guards[step.who].reset(); break;
                case Act::DropRequest: requests[step.who].reset(); break;
                case Act::Woken: EXPECT_EQ(wakers[step.who].count(), 1); break;
                case Act::NotWoken: EXPECT_EQ(wakers[step.who].count(), 0); break;
            }
        }
        for (auto& guard : guards) guard.reset();
        for (auto& request : requests) request.reset();
        EXPECT_FALSE(mutex.is_locked());
    }
}

TEST(AsyncMutex, SerialisesTasksAcrossThreads) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    AsyncMutex mutex;
    long counter = 0;  // deliberately not atomic: only the mutex protects it
    auto worker = [&]() -> Operation<Unit> {
        for (int i = 0; i < 200; ++i) {
            AsyncMutexGuard guard = co_await mutex.lock();
            long seen = counter;
            co_await testing::yield_now();
            counter = seen + 1;
        }
        co_return Unit{};
    };
    std::vector<JoinHandle<Unit>> joins;
    for (int t = 0; t < 4; ++t) joins.push_back(owned.value()->runtime->spawn(worker()));
    for (auto& join : joins) {
        auto result = join.wait_for(10s);
        ASSERT_TRUE(result.has_value()) << "task did not finish in time";
        EXPECT_TRUE(result->ok());
    }
    EXPECT_EQ(counter, 800);
    EXPECT_FALSE(mutex.is_locked());
}

// Threads taking and releasing the lock with no pause race the single-step paths (a free
// lock taken, a lock released with nobody queued) against queueing, hand-offs and requests
// dropped while queued: never two holders, never a lost hand-off, free at the end.
TEST(AsyncMutex, UncontendedStepsRaceQueueing) {
    AsyncMutex mutex;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> hangs{0};
    const int rounds = 20000;
    std::atomic<int> ready{0};
    auto body = [&](unsigned seed) {
        std::minstd_rand random(seed);
        ready.fetch_add(1);
        while (ready.load() < 4) {
        }
        for (int i = 0; i < rounds; ++i) {
            if (random() % 8 == 0) {
                // A request that queues (or wins) and is dropped at once.
                LockFuture dropped = mutex.lock();
                Waker noop;
                Context cx(noop);
                auto polled = dropped.poll(cx);
                continue;  // a guard it got is released here, a queued request leaves the queue
            }
            LockFuture request = mutex.lock();
            auto guard = block_on(request, Clock::now() + 5s);
            if (!guard) {
                hangs.fetch_add(1);
                return;
            }
            if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
            for (int spin = static_cast<int>(random() % 200); spin > 0; --spin) {
                std::atomic_signal_fence(std::memory_order_seq_cst);  // a moment inside
            }
            inside.fetch_sub(1);
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) threads.emplace_back(body, t + 1);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(hangs.load(), 0);
    EXPECT_FALSE(mutex.is_locked());
}

}  // namespace
}  // namespace quorvelin::runtime
