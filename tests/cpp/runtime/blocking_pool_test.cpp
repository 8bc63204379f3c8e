#include "runtime/blocking_pool.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <condition_variable>
#include <set>
#include <stdexcept>

#include "runtime/block_on.h"
#include "runtime/spawn_blocking.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;

// A latch with a bounded wait, so a broken pool fails instead of hanging.
class Latch {
public:
    // Notifies under the lock: the waiter may destroy the latch as soon as it returns.
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, 5s, [&] { return released_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
};

TEST(BlockingPool, GrowsOnDemandUpToTheLimitAndIdleThreadsExit) {
    BlockingPool pool(BlockingPool::Limits{4, 100ms});
    EXPECT_EQ(pool.thread_count(), 0u) << "no thread before the first job";
    Latch latch;
    std::atomic<int> started{0}, finished{0};
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(pool.submit([&] {
            started.fetch_add(1);
            latch.wait();
            finished.fetch_add(1);
        }).ok());
    }
    ASSERT_TRUE(testing::eventually([&] { return started.load() == 4; }));
    EXPECT_EQ(pool.thread_count(), 4u);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(started.load(), 4) << "jobs beyond the limit wait for a free thread";
    latch.release();
    ASSERT_TRUE(testing::eventually([&] { return finished.load() == 6; }));
    EXPECT_TRUE(testing::eventually([&] { return pool.thread_count() == 0; }))
        << "idle threads exit after the keep-alive time";
}

TEST(BlockingPool, IdleThreadIsReused) {
    BlockingPool pool(BlockingPool::Limits{8, 2000ms});
    for (int i = 0; i < 5; ++i) {
        Latch done;
        ASSERT_TRUE(pool.submit([&] { done.release(); }).ok());
        ASSERT_TRUE(done.wait());
        ASSERT_TRUE(testing::eventually([&] { return pool.idle_count() == 1; }));
    }
    EXPECT_EQ(pool.thread_count(), 1u);
}

TEST(BlockingPool, ThreadsAreNamedAndBlockAsynchronousSignals) {
    BlockingPool pool(BlockingPool::Limits{2, 100ms});
    Latch done;
    std::string name;
    sigset_t mask;
    sigemptyset(&mask);
    ASSERT_TRUE(pool.submit([&] {
        name = testing::current_thread_name();
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        done.release();
    }).ok());
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(name, "quorvelin");
    for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGCHLD, SIGALRM, SIGPIPE}) {
        EXPECT_TRUE(sigismember(&mask, sig)) << "signal " << sig;
    }
    EXPECT_FALSE(sigismember(&mask, SIGSEGV));
}

TEST(SpawnBlocking, ResultsAndFailures) {
    BlockingPool pool(BlockingPool::Limits{2, 100ms});
    auto value = spawn_blocking(pool, [] { return 11; });
    auto ok = block_on(value, Clock::now() + 5s);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(*ok, Result<int>(11));

    auto thrower = spawn_blocking(pool, []() -> int { throw std::runtime_error("x"); });
    auto failed = block_on(thrower, Clock::now() + 5s);
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(*failed, Result<int>(SerialError::io(std::nullopt, "blocking task panicked")));
}

TEST(SpawnBlocking, DroppedJoinLetsTheJobFinish) {
    BlockingPool pool(BlockingPool::Limits{2, 100ms});
    std::atomic<bool> ran{false};
    {
        auto join = spawn_blocking(pool, [&] {
            std::this_thread::sleep_for(20ms);
            ran = true;
            return 0;
        });
    }
    EXPECT_TRUE(testing::eventually([&] { return ran.load(); }));
}

}  // namespace
}  // namespace quorvelin::runtime
