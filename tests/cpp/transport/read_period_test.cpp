// One timer for a transport's successive read periods: every wait is woken at its own end,
// not before and not much after, also when earlier waits were withdrawn while the timer was
// armed for them, and the timer never keeps a withdrawn wait.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "../runtime/test_support.h"
#include "runtime/runtime.h"
#include "transport/read_period.h"

namespace quorvelin::transport {
namespace {

using namespace std::chrono_literals;
using runtime::Clock;
using runtime::Context;
using runtime::testing::CountingWaker;

std::shared_ptr<ReadPeriod> make_period() {
    auto owned = runtime::runtime();
    EXPECT_TRUE(owned.ok());
    return ReadPeriod::make(owned.value()->runtime->io());
}

TEST(ReadPeriod, AWaitAfterAWithdrawnOneIsWokenAtItsOwnEnd) {
    auto period = make_period();
    CountingWaker first_waker, second_waker;
    Context first_cx(first_waker.waker), second_cx(second_waker.waker);
    const auto start = Clock::now();
    {
        auto first = period->wait_until(start + 40ms);
        ASSERT_TRUE(first.poll(first_cx).is_pending());
    }  // withdrawn; the timer stays armed for 40 ms
    EXPECT_EQ(period->waiting(), 0u);
    auto second = period->wait_until(start + 150ms);
    ASSERT_TRUE(second.poll(second_cx).is_pending());
    std::this_thread::sleep_until(start + 100ms);
    EXPECT_EQ(second_waker.count(), 0) << "woken when the withdrawn wait's timer fired";
    EXPECT_TRUE(second.poll(second_cx).is_pending());
    ASSERT_TRUE(runtime::testing::eventually([&] { return second_waker.count() == 1; }));
    EXPECT_GE(Clock::now(), start + 150ms);
    EXPECT_TRUE(second.poll(second_cx).is_ready());
    EXPECT_EQ(first_waker.count(), 0);
}

TEST(ReadPeriod, AnEarlierWaitRearmsTheTimer) {
    auto period = make_period();
    CountingWaker late_waker, early_waker;
    Context late_cx(late_waker.waker), early_cx(early_waker.waker);
    const auto start = Clock::now();
    auto late = period->wait_until(start + 10s);
    ASSERT_TRUE(late.poll(late_cx).is_pending());
    auto early = period->wait_until(start + 30ms);
    ASSERT_TRUE(early.poll(early_cx).is_pending());
    ASSERT_TRUE(runtime::testing::eventually([&] { return early_waker.count() == 1; }, 2000ms));
    EXPECT_TRUE(early.poll(early_cx).is_ready());
    EXPECT_EQ(late_waker.count(), 0);
    EXPECT_EQ(period->waiting(), 1u);
}

// Threads that each run reads one after another on a shared period: most are withdrawn early
// (data came), the rest wait for their end; every one of those is woken once, at its end.
TEST(ReadPeriod, SuccessiveWaitsFromManyThreadsAreEachWokenOnceAtTheirEnd) {
    auto period = make_period();
    const int threads = 4;
    const int reads = runtime::testing::stress_rounds(400, 100);
    std::vector<std::thread> readers;
    std::atomic<int> failures{0};
    for (int t = 0; t < threads; ++t) {
        readers.emplace_back([&, t] {
            std::mt19937 rng(t);
            for (int i = 0; i < reads; ++i) {
                CountingWaker waker;
                Context cx(waker.waker);
                const auto deadline = Clock::now() + std::chrono::microseconds(200 + rng() % 3000);
                auto wait = period->wait_until(deadline);
                if (wait.poll(cx).is_ready()) continue;
                if (rng() % 4 != 0) continue;  // withdrawn: the read got data
                while (waker.count() == 0) {
                    if (Clock::now() > deadline + 2s) {
                        failures.fetch_add(1);
                        break;
                    }
                    std::this_thread::sleep_for(100us);
                }
                if (Clock::now() < deadline || waker.count() > 1 || wait.poll(cx).is_pending()) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(period->waiting(), 0u);
}

}  // namespace
}  // namespace quorvelin::transport
