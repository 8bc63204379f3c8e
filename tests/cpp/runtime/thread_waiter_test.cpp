// A thread's own wait: its waker, watched descriptors and deadlines end it, and no wake-up
// is lost however it races the waiting thread.

#include "runtime/thread_waiter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>

#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;

// Remembers what the waiting thread saw.
class RecordingSink final : public ReadinessSink {
public:
    void saw_ready(int tag) override { tags.push_back(tag); }
    std::vector<int> tags;
};

TEST(ThreadWaiter, EachThreadHasItsOwnWaiter) {
    ThreadWaiter::Mine mine = ThreadWaiter::current();
    ASSERT_NE(mine.waiter, nullptr);
    EXPECT_EQ(ThreadWaiter::current().waiter, mine.waiter);
    ThreadWaiter* other = nullptr;
    std::thread([&] { other = ThreadWaiter::current().waiter; }).join();
    EXPECT_NE(other, mine.waiter);
}

TEST(ThreadWaiter, WhatEndsAWait) {
    ThreadWaiter::Mine mine = ThreadWaiter::current();
    ASSERT_NE(mine.waiter, nullptr);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    auto sink = std::make_shared<RecordingSink>();

    // A wake-up that came before the wait ends it at once.
    mine.waker->wake();
    DirectWait direct;
    auto start = Clock::now();
    mine.waiter->wait(direct, start + 5s);
    EXPECT_LT(Clock::now() - start, 1s);

    // A deadline recorded by a leaf ends it.
    direct.clear();
    start = Clock::now();
    direct.until(start + 30ms);
    mine.waiter->wait(direct, start + 5s);
    EXPECT_GE(Clock::now() - start, 30ms);
    EXPECT_LT(Clock::now() - start, 1s);

    // A watched descriptor ends it and its sink hears of it; a silent one is not reported.
    direct.clear();
    ASSERT_TRUE(direct.watch(fds[0], POLLIN, sink, 7));
    ASSERT_TRUE(direct.watch(fds[1], 0, sink, 8));
    std::thread writer([&] {
        std::this_thread::sleep_for(20ms);
        ASSERT_EQ(::write(fds[1], "x", 1), 1);
    });
    start = Clock::now();
    mine.waiter->wait(direct, start + 5s);
    writer.join();
    EXPECT_LT(Clock::now() - start, 4s);
    EXPECT_EQ(sink->tags, std::vector<int>{7});

    // A wake-up from another thread ends it.
    direct.clear();
    std::thread waker([waker = *mine.waker] {
        std::this_thread::sleep_for(20ms);
        waker.wake();
    });
    start = Clock::now();
    mine.waiter->wait(direct, start + 5s);
    waker.join();
    EXPECT_LT(Clock::now() - start, 4s);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(ThreadWaiter, FullRecordRefusesMoreDescriptors) {
    DirectWait direct;
    auto sink = std::make_shared<RecordingSink>();
    for (std::size_t i = 0; i < DirectWait::capacity; ++i) {
        EXPECT_TRUE(direct.watch(0, POLLIN, sink, 0));
    }
    EXPECT_FALSE(direct.watch(0, POLLIN, sink, 0));
    direct.clear();
    EXPECT_EQ(direct.size(), 0u);
    EXPECT_TRUE(direct.watch(0, POLLIN, sink, 0));
}

// Ping-pong: each step's first wake-up is the only thing that can end the waiter's wait; a
// second one follows at once and races the waiter's draining of the first. Whatever that
// race leaves behind, the next step's wake-up must still end the next wait: a lost one shows
// as a wait that runs into its (long) deadline. Either side that stops early (the waiter
// after a lost wake-up, or a hang) lets the other stop too, so a fault fails with a message.
TEST(ThreadWaiter, WakeUpsRacingTheWaiterAreNeverLost) {
    ThreadWaiter::Mine mine = ThreadWaiter::current();
    ASSERT_NE(mine.waiter, nullptr);
    const int steps = testing::stress_rounds(20000, 10);
    constexpr auto kStepBound = 5s;
    std::atomic<int> posted{0};
    std::atomic<int> seen{0};
    std::atomic<bool> waiter_stopped{false};
    bool poster_gave_up = false;
    std::thread poster([&, waker = *mine.waker] {
        std::minstd_rand random(12345);
        for (int i = 1; i <= steps; ++i) {
            auto give_up = Clock::now() + 2 * kStepBound;
            while (seen.load(std::memory_order_acquire) < i - 1) {
                if (waiter_stopped.load(std::memory_order_acquire)) return;
                if (Clock::now() > give_up) {
                    poster_gave_up = true;
                    return;
                }
                std::this_thread::yield();
            }
            if (random() % 4 == 0) std::this_thread::yield();
            posted.store(i, std::memory_order_release);
            waker.wake();
            // About as long as the waiter takes to wake up and drain.
            auto until = Clock::now() + std::chrono::nanoseconds(random() % 30000);
            while (Clock::now() < until) {
            }
            waker.wake();
        }
    });
    int lost_at = 0;
    DirectWait direct;
    for (int i = 1; i <= steps && lost_at == 0; ++i) {
        // One deadline per step: waits that keep ending early without the post run into it too.
        auto deadline = Clock::now() + kStepBound;
        while (posted.load(std::memory_order_acquire) < i) {
            mine.waiter->wait(direct, deadline);
            if (Clock::now() >= deadline) {
                lost_at = i;
                break;
            }
        }
        seen.store(i, std::memory_order_release);
    }
    waiter_stopped.store(true, std::memory_order_release);
    poster.join();
    EXPECT_EQ(lost_at, 0) << "the wake-up of step " << lost_at << " of " << steps << " was lost";
    EXPECT_FALSE(poster_gave_up) << "the waiter stopped answering";
}

}  // namespace
}  // namespace quorvelin::runtime
