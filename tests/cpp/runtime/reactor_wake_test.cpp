// Tasks woken by the reactor's own handlers (readiness, expired timers) are queued behind
// that handler on the same worker. None may be lost or run twice, also with aborts racing the
// wake-ups, and a task of another io_context woken from such a handler is still run there.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

#include "runtime/fd_readiness.h"
#include "runtime/reactor_wake.h"
#include "runtime/runtime.h"
#include "runtime/sleep.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;
using testing::LiveCount;

struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0); }
    ~SocketPair() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
};

// Reads `want` bytes one readiness at a time, then yields how many it read.
Operation<int> read_bytes(FdReadiness* readiness, int want, std::atomic<int>* live) {
    LiveCount alive(*live);
    int got = 0;
    while (got < want) {
        auto ready = poll_fn([readiness](Context& cx) { return readiness->poll_read_ready(cx); });
        std::uint64_t tick = co_await ready;
        char buffer[64];
        ssize_t n = ::read(readiness->fd(), buffer, sizeof buffer);
        if (n > 0) {
            got += static_cast<int>(n);
            readiness->spend_read_ready(tick);
        } else if (n < 0 && errno == EAGAIN) {
            readiness->clear_read_ready(tick);
        } else {
            co_return -1;
        }
    }
    co_return got;
}

Operation<int> sleep_then(Instant deadline, int value, std::atomic<int>* live) {
    LiveCount alive(*live);
    auto sleep = sleep_until(deadline);
    co_await sleep;
    co_return value;
}

TEST(ReactorWake, OnlyInsideTheGuard) {
    EXPECT_FALSE(ReactorWake::active());
    {
        ReactorWake outer;
        EXPECT_TRUE(ReactorWake::active());
        {
            ReactorWake inner;
        }
        EXPECT_TRUE(ReactorWake::active());  // the inner guard restores, not clears
    }
    EXPECT_FALSE(ReactorWake::active());
}

// Many readers woken byte by byte by a writer thread, and sleepers woken by their timers, on
// both workers at once; every third reader is aborted while it runs.
TEST(ReactorWake, ReadinessAndTimerWakeupsAreNeitherLostNorDoubled) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime* rt = owned.value()->runtime;
    const int readers = 16;
    const int rounds = testing::stress_rounds(1000, 100);
    std::atomic<int> live{0};
    std::vector<SocketPair> pairs(readers);
    std::vector<std::unique_ptr<FdReadiness>> readiness;
    std::vector<JoinHandle<int>> joins;
    for (auto& pair : pairs) {
        auto registered = FdReadiness::register_fd(rt->io(), pair.fds[0]);
        ASSERT_TRUE(registered.ok());
        readiness.push_back(std::move(registered.value()));
        joins.push_back(rt->spawn(read_bytes(readiness.back().get(), rounds, &live)));
    }
    std::vector<JoinHandle<int>> sleepers;
    for (int i = 0; i < 200; ++i) {
        sleepers.push_back(rt->spawn(sleep_then(Clock::now() + std::chrono::microseconds(50 * i), i, &live)));
    }
    std::thread writer([&] {
        bool aborted = false;
        for (int round = 0; round < rounds; ++round) {
            for (int i = 0; i < readers; ++i) {
                if (aborted && i % 3 == 0) continue;  // nobody reads those any more
                while (::write(pairs[i].fds[1], "x", 1) != 1) std::this_thread::yield();
            }
            if (round == rounds / 2) {
                aborted = true;
                for (int i = 0; i < readers; i += 3) joins[i].abort();
            }
        }
    });
    writer.join();
    auto deadline = std::chrono::steady_clock::now() + 60s;
    for (int i = 0; i < readers; ++i) {
        auto result = joins[i].wait_until(deadline);
        ASSERT_TRUE(result.has_value()) << "reader " << i << " was never woken";
        if (i % 3 == 0 && !result->ok()) {
            EXPECT_EQ(result->error().kind(), SerialError::Kind::Cancelled);
        } else {
            ASSERT_TRUE(result->ok());
            EXPECT_EQ(result->value(), rounds) << "reader " << i;
        }
    }
    for (int i = 0; i < static_cast<int>(sleepers.size()); ++i) {
        auto result = sleepers[i].wait_until(deadline);
        ASSERT_TRUE(result.has_value()) << "sleeper " << i << " was never woken";
        ASSERT_TRUE(result->ok());
        EXPECT_EQ(result->value(), i);
    }
    readiness.clear();
    EXPECT_TRUE(testing::eventually([&] { return live.load() == 0; })) << live.load() << " frames leaked";
}

// Readiness reported by a private io_context's reactor wakes a task of the process runtime:
// the handler's thread is no worker of the task's io_context, so the task is posted there.
TEST(ReactorWake, TaskOfAnotherContextIsStillRun) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    asio::io_context private_io(1);
    auto work = asio::make_work_guard(private_io);
    std::thread driver([&] { private_io.run(); });
    SocketPair pair;
    std::atomic<int> live{0};
    {
        auto registered = FdReadiness::register_fd(private_io, pair.fds[0]);
        ASSERT_TRUE(registered.ok());
        auto readiness = std::move(registered.value());
        auto join = owned.value()->runtime->spawn(read_bytes(readiness.get(), 3, &live));
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(2ms);
            ASSERT_EQ(::write(pair.fds[1], "x", 1), 1);
        }
        auto result = join.wait_for(10s);
        ASSERT_TRUE(result.has_value()) << "the task was never run";
        ASSERT_TRUE(result->ok());
        EXPECT_EQ(result->value(), 3);
    }
    work.reset();
    private_io.stop();
    driver.join();
    EXPECT_TRUE(testing::eventually([&] { return live.load() == 0; }));
}

}  // namespace
}  // namespace quorvelin::runtime
