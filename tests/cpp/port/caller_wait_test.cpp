// Operations waited for on the calling thread itself (block_on: ppoll on the port's
// descriptor, the thread's waker and the deadlines), racing what must end such a wait at
// once: a close, a cancel request, the hand-off to the runtime, and the other direction of
// the same port working from another thread.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "../backend/pty_pair.h"
#include "../runtime/test_support.h"
#include "port/ops.h"
#include "runtime/fd_readiness.h"
#include "runtime/thread_waiter.h"
#include "support.h"

namespace quorvelin::testing {
namespace {

using native::testing::PtyPair;
using native::testing::read_up_to;
using runtime::Clock;

std::shared_ptr<PortCore> open_pty(const PtyPair& pty) {
    auto core = PortCore::make();
    core->with_settings([&](PortSettings& s) { s.port = pty.slave_path(); });
    Status opened = core->open();
    EXPECT_TRUE(opened.ok()) << opened.error().display();
    return core;
}

// A far end that sends back whatever the port writes.
class Echo {
public:
    explicit Echo(int master) : master_(master), thread_([this] { run(); }) {}
    ~Echo() {
        stop_.store(true);
        thread_.join();
    }

private:
    void run() {
        std::uint8_t buffer[4096];
        while (!stop_.load()) {
            if (!native::testing::wait_for(master_, POLLIN, 20)) continue;
            ssize_t n = ::read(master_, buffer, sizeof buffer);
            for (ssize_t done = 0; n > 0 && done < n;) {
                ssize_t w = ::write(master_, buffer + done, static_cast<std::size_t>(n - done));
                if (w > 0) {
                    done += w;
                } else {
                    native::testing::wait_for(master_, POLLOUT, 20);
                }
            }
        }
    }

    int master_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct PortKind {
    const char* name;
    bool pty;
};
const PortKind kinds[] = {{"pty", true}, {"loop://", false}};

TEST(CallerWait, CloseEndsItAtOnce) {
    std::minstd_rand random(7);
    for (const PortKind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        for (int i = 0; i < runtime::testing::stress_rounds(200, 100, 10); ++i) {
            std::optional<PtyPair> pty;
            std::shared_ptr<PortCore> core;
            if (kind.pty) {
                pty.emplace();
                core = open_pty(*pty);
            } else {
                core = open_loopback();
            }
            set_timeouts(core, std::nullopt);
            auto delay = std::chrono::microseconds(random() % 2000);
            std::thread closer([core, delay] {
                std::this_thread::sleep_for(delay);
                core->close();
            });
            auto start = Clock::now();
            auto result = run(ops::read(core, 10), 5000ms);
            closer.join();
            ASSERT_FALSE(result.ok());
            ASSERT_EQ(result.error(), SerialError::port_not_open());
            ASSERT_LT(Clock::now() - start, 2s);
        }
    }
}

TEST(CallerWait, CancelEndsItAtOnceAndIsUsedUp) {
    std::minstd_rand random(11);
    for (const PortKind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        std::optional<PtyPair> pty;
        std::shared_ptr<PortCore> core;
        if (kind.pty) {
            pty.emplace();
            core = open_pty(*pty);
        } else {
            core = open_loopback();
        }
        set_timeouts(core, std::nullopt, std::nullopt, std::nullopt);
        for (int i = 0; i < runtime::testing::stress_rounds(200, 100, 10); ++i) {
            auto delay = std::chrono::microseconds(random() % 2000);
            std::thread canceller([core, delay] {
                std::this_thread::sleep_for(delay);
                core->cancel_read().notify_one();
            });
            auto start = Clock::now();
            auto result = run(PortCore::read(core, 10), 5000ms);
            canceller.join();
            ASSERT_TRUE(result.ok()) << result.error().display();
            ASSERT_EQ(result.value(), "");
            ASSERT_LT(Clock::now() - start, 2s);
            ASSERT_FALSE(core->cancel_read().has_stored_wakeup()) << "the request ended the read";
        }
        EXPECT_TRUE(core->is_open());
    }
}

// Each read waits on its thread for a few milliseconds at most and is then handed to the
// runtime as the same operation, while the far end sends a counted stream at random
// moments: every byte arrives once and in order, whichever side of the hand-off it meets.
TEST(CallerWait, HandOffInTheMiddleOfAWaitLosesNothing) {
    PtyPair pty;
    auto core = open_pty(pty);
    set_timeouts(core, std::nullopt);
    const int count = runtime::testing::stress_rounds(300, 100, 10);
    std::thread sender([&] {
        std::minstd_rand random(3);
        for (int i = 0; i < count; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
            std::uint8_t byte = static_cast<std::uint8_t>(i);
            ASSERT_EQ(::write(pty.master(), &byte, 1), 1);
        }
    });
    std::minstd_rand random(5);
    std::string got;
    int handed_off = 0;
    while (got.size() < static_cast<std::size_t>(count)) {
        std::size_t want = std::min<std::size_t>(1 + random() % 3, count - got.size());
        auto op = PortCore::read(core, want);
        auto inline_end = Clock::now() + std::chrono::microseconds(random() % 4000);
        auto finished = runtime::block_on(op, inline_end);
        if (finished) {
            ASSERT_TRUE(finished->ok());
            got += finished->value();
            continue;
        }
        ++handed_off;
        auto task = spawn(std::move(op));
        auto result = join(task);
        ASSERT_TRUE(result.ok()) << result.error().display();
        got += result.value();
    }
    sender.join();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(static_cast<std::uint8_t>(got[i]), static_cast<std::uint8_t>(i)) << "at " << i;
    }
    EXPECT_GT(handed_off, 0);
}

// A writer and a reader of one port, each waiting on its own thread, through an echoing
// far end: both directions work at once and nothing is lost.
TEST(CallerWait, ReadAndWriteOfOnePortFromTwoThreads) {
    PtyPair pty;
    auto core = open_pty(pty);
    set_timeouts(core, Seconds::from_int(10), std::nullopt, Seconds::from_int(10));
    Echo echo(pty.master());
    std::string data(std::size_t{256} << 10, '\0');
    std::minstd_rand random(9);
    for (char& c : data) c = static_cast<char>(random());
    std::thread writer([&] {
        std::size_t at = 0;
        while (at < data.size()) {
            std::size_t piece = std::min<std::size_t>(data.size() - at, 1 + random() % 20000);
            auto written = run(ops::write(core, data.substr(at, piece)), 10000ms);
            ASSERT_TRUE(written.ok());
            ASSERT_EQ(std::get<std::size_t>(written.value().value()), piece);
            at += piece;
        }
    });
    std::string got;
    while (got.size() < data.size()) {
        auto read = run(PortCore::read(core, data.size() - got.size()), 10000ms);
        ASSERT_TRUE(read.ok()) << read.error().display();
        ASSERT_FALSE(read.value().empty()) << "timed out after " << got.size() << " bytes";
        got += read.value();
    }
    writer.join();
    EXPECT_TRUE(got == data);
}

// While the calling thread does the waiting, the descriptor leaves the reactor's set (which
// would otherwise wake a worker for every byte); the next reactor wait puts it back.
TEST(CallerWait, TheReactorKeepsTheDescriptorOnlyWhileItWaitsForIt) {
    PtyPair pty;
    auto owned = runtime::runtime();
    ASSERT_TRUE(owned.ok());
    auto readiness = runtime::FdReadiness::register_fd(owned.value()->runtime->io(), pty.master());
    ASSERT_TRUE(readiness.ok());
    runtime::FdReadiness& ready = *readiness.value();
    EXPECT_TRUE(ready.is_registered());

    runtime::Waker waker = *runtime::ThreadWaiter::current().waker;
    runtime::DirectWait direct;
    runtime::Context thread_cx(waker, &direct);
    ASSERT_TRUE(ready.poll_read_ready(thread_cx).is_pending());
    EXPECT_FALSE(ready.is_registered());
    EXPECT_EQ(direct.size(), 1u);

    // A look never waits: it neither registers nor records.
    runtime::DirectWait look(runtime::DirectWait::Mode::Look);
    runtime::Context look_cx(waker, &look);
    ASSERT_TRUE(ready.poll_read_ready(look_cx).is_pending());
    EXPECT_FALSE(ready.is_registered());
    EXPECT_EQ(look.size(), 0u);

    runtime::testing::CountingWaker task;
    runtime::Context task_cx(task.waker);
    ASSERT_TRUE(ready.poll_read_ready(task_cx).is_pending());
    EXPECT_TRUE(ready.is_registered());
    // Armed for the reactor: a thread's wait now leaves the registration alone.
    direct.clear();
    ASSERT_TRUE(ready.poll_read_ready(thread_cx).is_pending());
    EXPECT_TRUE(ready.is_registered());
}

}  // namespace
}  // namespace quorvelin::testing
