// The two workers' roles: one runs the reactor and the tasks its handlers wake, right after
// the handler; the other runs tasks spawned or woken from elsewhere. Wake-ups crossing between
// them are neither lost nor doubled, also with aborts racing, and a worker that blocks in a
// task leaves its context to a stand-in, the reactor included.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <thread>
#include <vector>

#include "runtime/block_on.h"
#include "runtime/fd_readiness.h"
#include "runtime/notify.h"
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

// The thread that runs handlers posted to `context`.
std::thread::id thread_of(asio::io_context& context) {
    std::promise<std::thread::id> id;
    asio::post(context, [&] { id.set_value(std::this_thread::get_id()); });
    return id.get_future().get();
}

auto readable(FdReadiness* readiness) {
    return poll_fn([readiness](Context& cx) { return readiness->poll_read_ready(cx); });
}

// Reads one byte once readable, waiting through the reactor.
Operation<int> read_one(FdReadiness* readiness, std::atomic<int>* live) {
    LiveCount alive(*live);
    for (;;) {
        std::uint64_t tick = co_await readable(readiness);
        char byte;
        ssize_t n = ::read(readiness->fd(), &byte, 1);
        if (n == 1) {
            readiness->spend_read_ready(tick);
            co_return 1;
        }
        if (n < 0 && errno == EAGAIN) {
            readiness->clear_read_ready(tick);
            continue;
        }
        co_return -1;
    }
}

TEST(WorkerRoles, SpawnedTasksRunOnTheTaskWorkerAndReactorWokenOnesOnTheReactorWorker) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime* rt = owned.value()->runtime;
    const std::thread::id reactor_worker = thread_of(rt->io());
    const std::thread::id task_worker = thread_of(rt->tasks());
    ASSERT_NE(reactor_worker, task_worker);

    SocketPair pair;
    auto registered = FdReadiness::register_fd(rt->io(), pair.fds[0]);
    ASSERT_TRUE(registered.ok());
    auto readiness = std::move(registered.value());
    std::vector<std::thread::id> polls;  // written by the task only, read after its end
    std::atomic<bool> started{false};
    auto body = [](FdReadiness* readiness, std::vector<std::thread::id>* polls,
                   std::atomic<bool>* started) -> Operation<int> {
        for (;;) {
            polls->push_back(std::this_thread::get_id());
            started->store(true);
            std::uint64_t tick = co_await readable(readiness);
            polls->push_back(std::this_thread::get_id());
            char byte;
            if (::read(readiness->fd(), &byte, 1) == 1) co_return 1;
            readiness->clear_read_ready(tick);
        }
    };
    JoinHandle<int> join = rt->spawn(body(readiness.get(), &polls, &started));
    ASSERT_TRUE(testing::eventually([&] { return started.load(); }));
    std::this_thread::sleep_for(20ms);  // the first poll arms its wait right after the flag
    ASSERT_EQ(::write(pair.fds[1], "x", 1), 1);
    auto result = join.wait_for(10s);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(*result, Result<int>(1));
    ASSERT_GE(polls.size(), 2u);
    EXPECT_EQ(polls.front(), task_worker) << "a task spawned from a foreign thread runs on the task worker";
    EXPECT_EQ(polls.back(), reactor_worker) << "the readiness handler's worker continues the task";
}

// Nested guards run what was queued under them only when the outermost ends, in order, and
// with no guard active any more (so a continuation's own wake-ups are queued as usual).
TEST(WorkerRoles, ContinuationsRunWhenTheOutermostGuardEnds) {
    struct Recorder final : ReactorContinuation {
        Recorder(std::vector<int>& log, int id) : log(log), id(id) {}
        void run_continuation() override {
            EXPECT_FALSE(ReactorWake::active());
            log.push_back(id);
        }
        std::vector<int>& log;
        int id;
    };
    std::vector<int> log;
    {
        ReactorWake outer;
        ReactorWake::run_after(std::make_shared<Recorder>(log, 1));
        {
            ReactorWake inner;
            ReactorWake::run_after(std::make_shared<Recorder>(log, 2));
        }
        EXPECT_TRUE(log.empty());
        ReactorWake::run_after(std::make_shared<Recorder>(log, 3));
    }
    EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
}

// Ping-pong across the two workers: a task woken by readiness (on the reactor worker) wakes
// a task through a Notify (queued for the task worker), which writes the byte that wakes the
// first again. Many pairs at once, a third of them aborted halfway from a foreign thread:
// every exchange completes exactly once, every frame goes.
TEST(WorkerRoles, WakeUpsCrossingBetweenTheWorkersAreNeitherLostNorDoubled) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime* rt = owned.value()->runtime;
    const int pairs = 12;
    const int rounds = testing::stress_rounds(2000, 20, 20);
    std::atomic<int> live{0};
    struct Exchange {
        SocketPair sockets;
        std::unique_ptr<FdReadiness> readiness;
        Notify notify;
        std::atomic<int> reads{0};
        std::atomic<int> writes{0};
    };
    std::vector<std::unique_ptr<Exchange>> exchanges;
    for (int i = 0; i < pairs; ++i) {
        auto exchange = std::make_unique<Exchange>();
        auto registered = FdReadiness::register_fd(rt->io(), exchange->sockets.fds[0]);
        ASSERT_TRUE(registered.ok());
        exchange->readiness = std::move(registered.value());
        exchanges.push_back(std::move(exchange));
    }
    auto reader = [](Exchange* x, int rounds, std::atomic<int>* live) -> Operation<int> {
        LiveCount alive(*live);
        for (int round = 0; round < rounds; ++round) {
            auto one = read_one(x->readiness.get(), live);
            if (co_await one != 1) co_return -1;
            x->reads.fetch_add(1);
            x->notify.notify_one();
        }
        co_return rounds;
    };
    auto writer = [](Exchange* x, int rounds, std::atomic<int>* live) -> Operation<int> {
        LiveCount alive(*live);
        for (int round = 0; round < rounds; ++round) {
            if (round > 0) {
                auto notified = x->notify.notified();
                co_await notified;
            }
            if (::write(x->sockets.fds[1], "x", 1) != 1) co_return -1;
            x->writes.fetch_add(1);
        }
        co_return rounds;
    };
    std::vector<JoinHandle<int>> readers, writers;
    for (auto& x : exchanges) {
        readers.push_back(rt->spawn(reader(x.get(), rounds, &live)));
        writers.push_back(rt->spawn(writer(x.get(), rounds, &live)));
    }
    ASSERT_TRUE(testing::eventually([&] { return exchanges[0]->reads.load() >= rounds / 2; }, 30s));
    for (int i = 0; i < pairs; i += 3) {
        readers[i].abort();
        writers[i].abort();
    }
    for (int i = 0; i < pairs; ++i) {
        auto read = readers[i].wait_for(60s);
        auto written = writers[i].wait_for(60s);
        ASSERT_TRUE(read.has_value() && written.has_value()) << "exchange " << i << " stalled";
        if (i % 3 == 0) {
            // Aborted: each side either finished first or was cancelled; no count overshoots.
            EXPECT_LE(exchanges[i]->reads.load(), rounds);
            EXPECT_LE(exchanges[i]->reads.load(), exchanges[i]->writes.load());
            continue;
        }
        ASSERT_TRUE(read->ok() && written->ok());
        EXPECT_EQ(read->value(), rounds);
        EXPECT_EQ(written->value(), rounds);
        EXPECT_EQ(exchanges[i]->reads.load(), rounds) << "exchange " << i;
        EXPECT_EQ(exchanges[i]->writes.load(), rounds) << "exchange " << i;
    }
    readers.clear();
    writers.clear();
    for (auto& x : exchanges) x->readiness.reset();
    EXPECT_TRUE(testing::eventually([&] { return live.load() == 0; })) << live.load() << " frames leaked";
}

// A task continued on the reactor worker blocks until another task, which itself needs the
// reactor, has finished: only a stand-in that drives the reactor's context can wake that one.
TEST(WorkerRoles, ATaskBlockingTheReactorWorkerLeavesTheReactorToAStandIn) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime* rt = owned.value()->runtime;
    const std::thread::id reactor_worker = thread_of(rt->io());
    std::atomic<int> live{0};
    SocketPair first, second;
    auto registered_first = FdReadiness::register_fd(rt->io(), first.fds[0]);
    auto registered_second = FdReadiness::register_fd(rt->io(), second.fds[0]);
    ASSERT_TRUE(registered_first.ok() && registered_second.ok());
    auto first_ready = std::move(registered_first.value());
    auto second_ready = std::move(registered_second.value());
    JoinHandle<int> inner = rt->spawn(read_one(second_ready.get(), &live));
    std::atomic<bool> blocked_on_reactor_worker{false};
    auto outer_body = [&]() -> Operation<int> {
        LiveCount alive(live);
        // A timer's handler wakes it, so it goes on on the reactor worker.
        auto nap = sleep_until(Clock::now() + 5ms);
        co_await nap;
        auto one = read_one(first_ready.get(), &live);
        if (co_await one != 1) co_return -1;
        blocked_on_reactor_worker = std::this_thread::get_id() == reactor_worker;
        auto waited = block_on(inner, Clock::now() + 20s);
        co_return waited && waited->ok() ? waited->value() + 1 : -1;
    };
    ASSERT_EQ(::write(first.fds[1], "x", 1), 1);
    JoinHandle<int> outer = rt->spawn(outer_body());
    ASSERT_TRUE(testing::eventually([&] { return blocked_on_reactor_worker.load(); }, 10s));
    std::this_thread::sleep_for(20ms);  // the reactor worker is blocked by now
    ASSERT_EQ(::write(second.fds[1], "y", 1), 1);
    auto result = outer.wait_for(30s);
    ASSERT_TRUE(result.has_value()) << "nothing drove the reactor while its worker blocked";
    EXPECT_EQ(*result, Result<int>(2));
    first_ready.reset();
    second_ready.reset();
    EXPECT_TRUE(testing::eventually([&] { return live.load() == 0; }));
}

}  // namespace
}  // namespace quorvelin::runtime
