#include "runtime/fd_readiness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/epoll.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "runtime/runtime.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;
using testing::CountingWaker;

class FdReadinessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds_), 0);
        auto owned = runtime();
        ASSERT_TRUE(owned.ok());
        io_ = &owned.value()->runtime->io();
    }
    void TearDown() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    std::unique_ptr<FdReadiness> make() {
        auto registered = FdReadiness::register_fd(*io_, fds_[0]);
        EXPECT_TRUE(registered.ok());
        return registered ? std::move(registered.value()) : nullptr;
    }

    int fds_[2] = {-1, -1};
    asio::io_context* io_ = nullptr;
};

TEST_F(FdReadinessTest, ReadReadinessWakesTheNewestWakerAndClearsAfterEagain) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker stale, newest;
    Context stale_cx(stale.waker), cx(newest.waker);
    ASSERT_TRUE(readiness->poll_read_ready(stale_cx).is_pending());
    ASSERT_TRUE(readiness->poll_read_ready(cx).is_pending());
    ASSERT_EQ(::write(fds_[1], "x", 1), 1);
    ASSERT_TRUE(testing::eventually([&] { return newest.count() == 1; }));
    EXPECT_EQ(stale.count(), 0);

    auto tick = readiness->poll_read_ready(cx);
    ASSERT_TRUE(tick.is_ready());
    char byte;
    EXPECT_EQ(::read(fds_[0], &byte, 1), 1);
    EXPECT_EQ(::read(fds_[0], &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    readiness->clear_read_ready(tick.value());
    EXPECT_TRUE(readiness->poll_read_ready(cx).is_pending());
}

TEST_F(FdReadinessTest, DataBeforeTheFirstPollIsSeen) {
    ASSERT_EQ(::write(fds_[1], "x", 1), 1);
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker waker;
    Context cx(waker.waker);
    // Either at once or through the waker: never lost.
    if (readiness->poll_read_ready(cx).is_pending()) {
        ASSERT_TRUE(testing::eventually([&] { return waker.count() > 0; }));
        EXPECT_TRUE(readiness->poll_read_ready(cx).is_ready());
    }
}

TEST_F(FdReadinessTest, DataBetweenEagainAndTheNextPollIsSeen) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker waker;
    Context cx(waker.waker);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(::write(fds_[1], "x", 1), 1);
        std::uint64_t tick = 0;
        ASSERT_TRUE(testing::eventually([&] {
            auto polled = readiness->poll_read_ready(cx);
            if (polled.is_ready()) tick = polled.value();
            return polled.is_ready();
        }));
        char byte;
        ASSERT_EQ(::read(fds_[0], &byte, 1), 1);
        ASSERT_EQ(::read(fds_[0], &byte, 1), -1);
        readiness->clear_read_ready(tick);
    }
}

TEST_F(FdReadinessTest, StaleClearKeepsNewerReadiness) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker waker;
    Context cx(waker.waker);
    ASSERT_TRUE(readiness->poll_read_ready(cx).is_pending());
    ASSERT_EQ(::write(fds_[1], "x", 1), 1);
    ASSERT_TRUE(testing::eventually([&] { return waker.count() == 1; }));
    auto tick = readiness->poll_read_ready(cx);
    ASSERT_TRUE(tick.is_ready());
    readiness->clear_read_ready(tick.value() - 1);
    EXPECT_TRUE(readiness->poll_read_ready(cx).is_ready());
}

TEST_F(FdReadinessTest, WriteReadinessOfAnEmptySocket) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker waker;
    Context cx(waker.waker);
    bool ready = readiness->poll_write_ready(cx).is_ready() ||
                 testing::eventually([&] { return readiness->poll_write_ready(cx).is_ready(); });
    EXPECT_TRUE(ready);
}

TEST_F(FdReadinessTest, DestroyAndForgetLeaveTheDescriptorOpen) {
    for (bool forget : {false, true}) {
        SCOPED_TRACE(forget ? "forget" : "destroy");
        auto readiness = make();
        ASSERT_TRUE(readiness);
        CountingWaker waker;
        Context cx(waker.waker);
        ASSERT_TRUE(readiness->poll_read_ready(cx).is_pending());
        if (forget) readiness->forget();
        readiness.reset();
        EXPECT_NE(::fcntl(fds_[0], F_GETFD), -1) << "the descriptor must not be closed";
    }
}

// The events an epoll set of this process watches `fd` for, from /proc; nothing when no set
// holds it.
std::optional<unsigned> epoll_events_of(int fd) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        auto target = std::filesystem::read_symlink(entry.path(), error);
        if (error || target.string() != "anon_inode:[eventpoll]") continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string line;
        while (std::getline(info, line)) {
            std::istringstream fields(line);
            std::string key, events_key;
            int watched = -1;
            std::string events;
            if (fields >> key >> watched >> events_key >> events && key == "tfd:" && watched == fd) {
                return static_cast<unsigned>(std::stoul(events, nullptr, 16));
            }
        }
    }
    return std::nullopt;
}

// Write readiness is asked of the reactor only while write waits come; the first read wait
// after them registers for reading alone, so read waits do not wake a worker for a writable
// descriptor.
TEST_F(FdReadinessTest, WriteReadinessLeavesTheRegistrationAfterTheWriteWaits) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    auto events = epoll_events_of(fds_[0]);
    ASSERT_TRUE(events.has_value());
    EXPECT_EQ(*events & EPOLLOUT, 0u);

    // Fill the socket until a write would block, then wait for room through the reactor.
    std::string block(4096, 'w');
    while (::write(fds_[0], block.data(), block.size()) > 0) {
    }
    CountingWaker writer;
    Context write_cx(writer.waker);
    ASSERT_TRUE(readiness->poll_write_ready(write_cx).is_pending());
    events = epoll_events_of(fds_[0]);
    ASSERT_TRUE(events.has_value());
    EXPECT_NE(*events & EPOLLOUT, 0u);
    char sink[65536];
    while (::read(fds_[1], sink, sizeof sink) > 0) {
    }
    ASSERT_TRUE(testing::eventually([&] { return writer.count() == 1; }));

    CountingWaker reader;
    Context read_cx(reader.waker);
    ASSERT_TRUE(readiness->poll_read_ready(read_cx).is_pending());
    events = epoll_events_of(fds_[0]);
    ASSERT_TRUE(events.has_value());
    EXPECT_EQ(*events & EPOLLOUT, 0u);
    EXPECT_NE(*events & EPOLLIN, 0u);
    ASSERT_EQ(::write(fds_[1], "x", 1), 1);
    EXPECT_TRUE(testing::eventually([&] { return reader.count() == 1; }));
}

// One-shot waits: an operation that finds the descriptor ready by itself (no reactor wait
// reported it) while no wait is queued drops the registration, so edges nobody waits for wake
// no worker; the next wait registers again and loses no wake-up.
TEST_F(FdReadinessTest, ReadinessFoundWithoutTheReactorDropsTheRegistrationUntilTheNextWait) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    ASSERT_EQ(::write(fds_[1], "ab", 2), 2);
    CountingWaker task;
    Context cx(task.waker);
    auto ready = readiness->poll_read_ready(cx);
    ASSERT_TRUE(ready.is_ready());
    EXPECT_FALSE(readiness->is_registered());
    EXPECT_FALSE(epoll_events_of(fds_[0]).has_value());

    char buffer[16];
    ASSERT_EQ(::read(fds_[0], buffer, sizeof buffer), 2);
    readiness->spend_read_ready(ready.value());
    ASSERT_TRUE(readiness->poll_read_ready(cx).is_pending());
    EXPECT_TRUE(readiness->is_registered());
    ASSERT_EQ(::write(fds_[1], "c", 1), 1);
    EXPECT_TRUE(testing::eventually([&] { return task.count() == 1; }));
}

// The wake-up of a wait is what the registration was kept for: the poll that takes it up
// leaves it in place, so waits that follow each other (round trips) re-arm without
// registering anew.
TEST_F(FdReadinessTest, TheWakeUpOfAWaitKeepsTheRegistration) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker task;
    Context cx(task.waker);
    char buffer[16];
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(readiness->poll_read_ready(cx).is_pending());
        ASSERT_EQ(::write(fds_[1], "x", 1), 1);
        ASSERT_TRUE(testing::eventually([&] { return task.count() == round; }));
        auto ready = readiness->poll_read_ready(cx);
        ASSERT_TRUE(ready.is_ready());
        EXPECT_TRUE(readiness->is_registered()) << "round " << round;
        ASSERT_EQ(::read(fds_[0], buffer, sizeof buffer), 1);
        readiness->spend_read_ready(ready.value());
    }
}

// A wait queued in either direction keeps the registration whatever the other direction
// finds; write readiness found by itself drops it only once write waits have put writability
// into it.
TEST_F(FdReadinessTest, WriteReadinessFoundByItselfDropsTheRegistrationOnlyWhenItWatchesWrites) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker writer;
    Context write_cx(writer.waker);
    auto writable = readiness->poll_write_ready(write_cx);
    ASSERT_TRUE(writable.is_ready());
    EXPECT_TRUE(readiness->is_registered()) << "no write wait ever asked for writability";

    CountingWaker reader;
    Context read_cx(reader.waker);
    ASSERT_TRUE(readiness->poll_read_ready(read_cx).is_pending());
    std::string block(4096, 'w');
    while (::write(fds_[0], block.data(), block.size()) > 0) {
    }
    readiness->clear_write_ready(writable.value());
    ASSERT_TRUE(readiness->poll_write_ready(write_cx).is_pending());
    char sink[65536];
    while (::read(fds_[1], sink, sizeof sink) > 0) {
    }
    ASSERT_TRUE(testing::eventually([&] { return writer.count() == 1; }));
    writable = readiness->poll_write_ready(write_cx);
    ASSERT_TRUE(writable.is_ready());
    readiness->spend_write_ready(writable.value());
    // Found writable by the level check, with the read wait still queued: kept.
    ASSERT_TRUE(readiness->poll_write_ready(write_cx).is_ready());
    EXPECT_TRUE(readiness->is_registered());
    ASSERT_EQ(::write(fds_[1], "x", 1), 1);
    EXPECT_TRUE(testing::eventually([&] { return reader.count() == 1; })) << "the read wait was lost";

    // No wait queued any more, and the registration watches writability: it goes.
    ASSERT_TRUE(readiness->poll_write_ready(write_cx).is_ready());
    EXPECT_FALSE(readiness->is_registered());
}

// The epoll set is shared with a forked child. What a child does with its copy of a readiness
// (a closing port forgets it there; a poll then reports ready without touching the reactor)
// leaves the parent's registration and its queued wait alone.
TEST_F(FdReadinessTest, AForkedChildLeavesTheParentsRegistrationAndWaitAlone) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker task;
    Context cx(task.waker);
    ASSERT_TRUE(readiness->poll_read_ready(cx).is_pending());
    pid_t child = ::fork();
    if (child == 0) {
        readiness->forget();
        CountingWaker mine;
        Context child_cx(mine.waker);
        bool ready = readiness->poll_read_ready(child_cx).is_ready();
        readiness.reset();
        std::_Exit(ready ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(readiness->is_registered());
    EXPECT_TRUE(epoll_events_of(fds_[0]).has_value()) << "the child took the descriptor out of the shared set";
    ASSERT_EQ(::write(fds_[1], "x", 1), 1);
    EXPECT_TRUE(testing::eventually([&] { return task.count() == 1; })) << "the parent's wait was lost";
}

// Readers that find bursts by themselves and wait between them, so their registrations are
// dropped and made again all the time, against writers racing them: every byte is read and
// no reader is left waiting.
TEST_F(FdReadinessTest, RegistrationsDroppedAndRemadeUnderRacingWritersLoseNoWakeUp) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime* rt = owned.value()->runtime;
    const int readers = 8;
    const int total = testing::stress_rounds(20000, 5, 200);
    struct Pair {
        int fds[2] = {-1, -1};
        std::unique_ptr<FdReadiness> readiness;
    };
    std::vector<Pair> pairs(readers);
    for (auto& pair : pairs) {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair.fds), 0);
        auto registered = FdReadiness::register_fd(rt->io(), pair.fds[0]);
        ASSERT_TRUE(registered.ok());
        pair.readiness = std::move(registered.value());
    }
    auto reader = [](FdReadiness* readiness, int want) -> Operation<int> {
        int got = 0;
        while (got < want) {
            auto ready = poll_fn([readiness](Context& cx) { return readiness->poll_read_ready(cx); });
            std::uint64_t tick = co_await ready;
            char buffer[32];
            ssize_t n = ::read(readiness->fd(), buffer, sizeof buffer);
            if (n > 0) {
                got += static_cast<int>(n);
                if (n < static_cast<ssize_t>(sizeof buffer)) readiness->spend_read_ready(tick);
            } else if (n < 0 && errno == EAGAIN) {
                readiness->clear_read_ready(tick);
            } else {
                co_return -1;
            }
        }
        co_return got;
    };
    std::vector<JoinHandle<int>> joins;
    for (auto& pair : pairs) joins.push_back(rt->spawn(reader(pair.readiness.get(), total)));
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            unsigned seed = 7u + static_cast<unsigned>(w);
            std::string burst(100, 'b');
            for (int i = w; i < readers; i += 2) {
                int left = total;
                while (left > 0) {
                    seed = seed * 1103515245u + 12345u;
                    int size = std::min(left, 1 + static_cast<int>((seed >> 16) % 100));
                    ssize_t n = ::write(pairs[i].fds[1], burst.data(), static_cast<std::size_t>(size));
                    if (n > 0) left -= static_cast<int>(n);
                    if ((seed >> 8) % 4 == 0) std::this_thread::yield();
                }
            }
        });
    }
    for (auto& writer : writers) writer.join();
    for (int i = 0; i < readers; ++i) {
        auto result = joins[i].wait_for(60s);
        ASSERT_TRUE(result.has_value()) << "reader " << i << " was never woken";
        ASSERT_TRUE(result->ok());
        EXPECT_EQ(result->value(), total) << "reader " << i;
    }
    for (auto& pair : pairs) {
        pair.readiness.reset();
        ::close(pair.fds[0]);
        ::close(pair.fds[1]);
    }
}

}  // namespace
}  // namespace quorvelin::runtime
