#include "runtime/fd_readiness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/epoll.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "runtime/runtime.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

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

}  // namespace
}  // namespace quorvelin::runtime
