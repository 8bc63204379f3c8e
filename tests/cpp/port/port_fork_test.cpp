// A child created by fork() while other threads work on a port can still close it, change
// its settings and open new loopback ports, and waking what the parent's operations wait for
// does nothing there.

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "../backend/pty_pair.h"
#include "reap_child.h"
#include "runtime/fork_guard.h"
#include "runtime/notify.h"
#include "serial/update.h"
#include "support.h"

namespace quorvelin {
namespace {

using namespace std::chrono_literals;
using testing::reap_child;

// Exit codes name the first failed step.
int close_configure_and_open(PortCore& core) {
    core.close();
    if (core.is_open()) return 2;
    Status changed = serial::update_settings(core, [](PortSettings& s) { s.baudrate = 19200; });
    if (!changed.ok() || core.settings_snapshot().baudrate != 19200) return 3;
    auto fresh = PortCore::make();
    fresh->with_settings([](PortSettings& s) { s.port = "loop://"; });
    if (!fresh->open().ok() || !fresh->reset_input_buffer().ok() || fresh->in_waiting().value() != 0) return 4;
    fresh->close();
    return 0;
}

// Wakes by taking a lock, as a parked thread's waker does.
struct LockingTarget final : runtime::WakeTarget {
    std::mutex mutex;
    std::atomic<int> wakes{0};
    void wake() override {
        std::lock_guard lock(mutex);
        wakes.fetch_add(1);
    }
};

TEST(PortFork, ChildOfABusyPortFindsItsLocksFree) {
    auto core = testing::open_loopback();
    std::atomic<bool> stop{false};
    // Holds the state and settings mutexes most of the time, as a stream of device calls does.
    std::thread busy([&] {
        while (!stop.load()) {
            (void)serial::update_settings(*core, [](PortSettings& s) {
                std::this_thread::sleep_for(200us);
                s.xonxoff = !s.xonxoff;
            });
            (void)core->in_waiting();
        }
    });
    int forks = 0;
    int outcome = 0;
    while (forks < 20 && outcome == 0) {
        ++forks;
        pid_t child = ::fork();
        if (child == 0) std::_Exit(close_configure_and_open(*core));
        outcome = child == -1 ? -2 : reap_child(child);
    }
    stop.store(true);
    busy.join();
    EXPECT_EQ(outcome, 0) << "child " << forks << " (-1: hung)";
    EXPECT_TRUE(core->is_open()) << "the children's closes reached the parent's port";
}

TEST(PortFork, ChildLeavesTheParentsWaitersAlone) {
    auto core = testing::open_loopback();
    auto target = std::make_shared<LockingTarget>();
    runtime::Waker waker(target);
    runtime::Context cx(waker);
    runtime::Notified waiting = core->closed().notified();
    ASSERT_TRUE(waiting.poll(cx).is_pending());

    // The target's lock is held at the fork, as a parked thread holds its own for a moment.
    pid_t child = 0;
    {
        std::lock_guard held(target->mutex);
        child = ::fork();
        ASSERT_NE(child, -1);
        if (child == 0) std::_Exit(close_configure_and_open(*core));
    }
    EXPECT_EQ(reap_child(child), 0);
    EXPECT_EQ(target->wakes.load(), 0);

    core->close();  // in the parent the waiter is woken as always
    EXPECT_EQ(target->wakes.load(), 1);
    EXPECT_TRUE(waiting.poll(cx).is_ready());
}

// Opening a terminal registers its readiness record while the port's state mutex is held;
// forks meanwhile must neither wait for ever in the parent nor hang the child.
void forks_while_terminals_open() {
    native::testing::PtyPair pty;
    std::atomic<bool> stop{false};
    std::thread opener([&] {
        auto core = PortCore::make();
        core->with_settings([&](PortSettings& s) { s.port = pty.slave_path(); });
        while (!stop.load()) {
            if (!core->open().ok()) std::_Exit(2);
            core->close();
        }
    });
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        auto end = std::chrono::steady_clock::now() + 20s;
        while (!done.load()) {
            if (std::chrono::steady_clock::now() > end) std::_Exit(3);  // the parent hangs in fork()
            std::this_thread::sleep_for(10ms);
        }
    });
    for (int i = 0; i < 200; ++i) {
        pid_t child = ::fork();
        if (child == 0) std::_Exit(0);
        if (child == -1 || reap_child(child) != 0) std::_Exit(4);
    }
    done.store(true);
    stop.store(true);
    opener.join();
    watchdog.join();
    std::_Exit(0);
}

TEST(PortFork, ForksWhileAnotherThreadOpensTerminals) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(forks_while_terminals_open(), ::testing::ExitedWithCode(0), "");
}

TEST(ForkGuard, HoldsEveryRegisteredLockUntilAfterTheFork) {
    std::mutex state, settings, leaf;
    runtime::ForkLock a(state, runtime::ForkLockLevel::PortState);
    runtime::ForkLock b(settings, runtime::ForkLockLevel::PortSettings);
    runtime::ForkLock c(leaf, runtime::ForkLockLevel::Leaf);
    auto free_elsewhere = [&](std::mutex& m) {
        bool free = false;
        std::thread([&] {
            free = m.try_lock();
            if (free) m.unlock();
        }).join();
        return free;
    };
    runtime::fork_guard::before_fork();
    EXPECT_FALSE(free_elsewhere(state));
    EXPECT_FALSE(free_elsewhere(settings));
    EXPECT_FALSE(free_elsewhere(leaf));
    runtime::fork_guard::after_fork_in_parent();
    EXPECT_TRUE(free_elsewhere(state));
    EXPECT_TRUE(free_elsewhere(settings));
    EXPECT_TRUE(free_elsewhere(leaf));
}

}  // namespace
}  // namespace quorvelin
