// A worker held occupied (as by a done-callback that takes its time) leaves its context to a
// stand-in: timers, readiness and tasks woken from elsewhere still come promptly, whichever
// worker is held. Short sections, as every completion's hand-over to Python is, bring none.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "runtime/context_drivers.h"
#include "runtime/fd_readiness.h"
#include "runtime/notify.h"
#include "runtime/runtime.h"
#include "runtime/sleep.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;

constexpr auto HOLD = 5s;       // how long a held worker stays occupied unless released
constexpr auto PROMPTLY = 1s;   // far below HOLD: what a probe may take while a worker is held

// Holds one worker occupied, from a handler posted to its context, until released.
class HeldWorker {
public:
    explicit HeldWorker(asio::io_context& context) {
        asio::post(context, [this] {
            Occupied occupied(Occupied::Blocks::Maybe);
            std::unique_lock lock(mutex_);
            held_ = true;
            changed_.notify_all();
            changed_.wait_for(lock, HOLD, [this] { return released_; });
            held_ = false;
            changed_.notify_all();
        });
        std::unique_lock lock(mutex_);
        EXPECT_TRUE(changed_.wait_for(lock, 5s, [this] { return held_; })) << "the worker never ran the hold";
    }
    ~HeldWorker() {
        std::unique_lock lock(mutex_);
        released_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, 10s, [this] { return !held_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool released_ = false;
};

struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0); }
    ~SocketPair() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
};

// Waits for one byte through the reactor.
Operation<int> read_one(FdReadiness* readiness) {
    for (;;) {
        auto readable = poll_fn([readiness](Context& cx) { return readiness->poll_read_ready(cx); });
        std::uint64_t tick = co_await readable;
        char byte;
        ssize_t n = ::read(readiness->fd(), &byte, 1);
        if (n == 1) {
            co_return 1;
        }
        if (n < 0 && errno == EAGAIN) {
            readiness->clear_read_ready(tick);
            continue;
        }
        co_return -1;
    }
}

// What must still happen while a worker is held; each spawns a task and returns how long it
// took to finish (or PROMPTLY * 10 when it did not finish within HOLD).
struct Probe {
    const char* name;
    std::function<Clock::duration(Runtime&)> run;
};

Clock::duration finish_time(JoinHandle<int>& join, Instant started) {
    auto result = join.wait_for(HOLD + 1s);
    if (!result || !result->ok() || result->value() != 1) {
        return PROMPTLY * 10;
    }
    return Clock::now() - started;
}

const Probe probes[] = {
    {"a timer's deadline",
     [](Runtime& rt) {
         const Instant started = Clock::now();
         auto nap = [](Instant until) -> Operation<int> {
             Sleep sleep = sleep_until(until);
             co_await sleep;
             co_return 1;
         };
         JoinHandle<int> join = rt.spawn(nap(started + 20ms));
         return finish_time(join, started);
     }},
    {"readiness of a descriptor",
     [](Runtime& rt) {
         SocketPair pair;
         auto registered = FdReadiness::register_fd(rt.io(), pair.fds[0]);
         EXPECT_TRUE(registered.ok());
         auto readiness = std::move(registered.value());
         JoinHandle<int> join = rt.spawn(read_one(readiness.get()));
         std::this_thread::sleep_for(20ms);  // the read waits for the reactor by now
         const Instant started = Clock::now();
         EXPECT_EQ(::write(pair.fds[1], "x", 1), 1);
         return finish_time(join, started);
     }},
    {"a task woken from a foreign thread",
     [](Runtime& rt) {
         Notify notify;
         auto woken = [](Notify* notify) -> Operation<int> {
             auto notified = notify->notified();
             co_await notified;
             co_return 1;
         };
         JoinHandle<int> join = rt.spawn(woken(&notify));
         std::this_thread::sleep_for(20ms);
         const Instant started = Clock::now();
         std::thread([&] { notify.notify_one(); }).join();
         return finish_time(join, started);
     }},
};

TEST(ContextDrivers, AHeldWorkerLeavesItsContextToAStandInUntilItIsFree) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime& rt = *owned.value()->runtime;
    struct Held {
        const char* name;
        asio::io_context& context;
    };
    const Held held_workers[] = {{"the reactor worker", rt.io()}, {"the task worker", rt.tasks()}};
    for (const Held& held : held_workers) {
        for (const Probe& probe : probes) {
            SCOPED_TRACE(std::string(held.name) + " held; " + probe.name);
            ContextDrivers& drivers = *rt.drivers_of(&held.context);
            const std::uint64_t stand_ins = ContextDrivers::stand_ins_started();
            {
                HeldWorker hold(held.context);
                EXPECT_LT(probe.run(rt), PROMPTLY);
                EXPECT_GT(ContextDrivers::stand_ins_started(), stand_ins);
            }
            // Free again: the stand-in goes, so the worker is its context's only driver.
            EXPECT_TRUE(testing::eventually([&] { return drivers.driver_count() == 1; }))
                << drivers.driver_count() << " drivers left";
        }
    }
}

// A section as short as a completion's hand-over to Python costs no hand-off: sections on
// each worker, spaced so that a stand-in brought by one would be gone before the next, bring
// (all but) no stand-in.
TEST(ContextDrivers, ShortSectionsBringNoStandIn) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime& rt = *owned.value()->runtime;
    const int sections = 50;
    for (asio::io_context* context : {&rt.io(), &rt.tasks()}) {
        const std::uint64_t stand_ins = ContextDrivers::stand_ins_started();
        for (int i = 0; i < sections; ++i) {
            std::atomic<bool> done{false};
            asio::post(*context, [&done] {
                Occupied occupied(Occupied::Blocks::Maybe);
                done.store(true);
            });
            ASSERT_TRUE(testing::eventually([&] { return done.load(); }));
            std::this_thread::sleep_for(15ms);  // longer than a stand-in's slice
        }
        // A section preempted for longer than the watch's period may bring one; one each would
        // be a hand-off per section.
        EXPECT_LE(ContextDrivers::stand_ins_started() - stand_ins, 5u);
    }
}

}  // namespace
}  // namespace quorvelin::runtime
