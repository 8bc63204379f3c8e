// Non-blocking reads and writes, and how a vanished device shows.

#include <gtest/gtest.h>


#include "backend/native/open.h"
#include "pty_pair.h"
#include "scripted_syscalls.h"

namespace quorvelin::native {
namespace {

using testing::PtyPair;
using testing::ScriptedSyscalls;
using testing::read_up_to;
using testing::wait_for;
using Kind = IoAttempt::Kind;

std::span<const std::uint8_t> bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(NativeIo, DataBothWays) {
    PtyPair pty;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true);
    ASSERT_TRUE(device.ok());

    ASSERT_EQ(::write(pty.master(), "hello", 5), 5);
    ASSERT_TRUE(wait_for(device->fileno(), POLLIN));
    std::uint8_t buffer[16];
    IoAttempt read = device->read_some(buffer);
    ASSERT_EQ(read, IoAttempt::ready(5));
    EXPECT_EQ(std::string(buffer, buffer + 5), "hello");
    EXPECT_EQ(device->read_some(buffer), IoAttempt::would_block());

    ASSERT_EQ(device->write_some(bytes("world")), IoAttempt::ready(5));
    auto echoed = read_up_to(pty.master(), 5);
    EXPECT_EQ(std::string(echoed.begin(), echoed.end()), "world");
}

TEST(NativeIo, FullDeviceWouldBlockAndLosesNothing) {
    PtyPair pty;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true);
    ASSERT_TRUE(device.ok());
    std::vector<std::uint8_t> chunk(4096);
    std::vector<std::uint8_t> sent;
    IoAttempt attempt;
    for (int i = 0; i < 1000; ++i) {  // a pty takes some kilobytes; bounded regardless
        // Byte k of the stream is k mod 256, so a lost or repeated byte shows.
        for (std::size_t j = 0; j < chunk.size(); ++j) chunk[j] = std::uint8_t(sent.size() + j);
        attempt = device->write_some(chunk);
        if (attempt.kind != Kind::Ready) break;
        sent.insert(sent.end(), chunk.begin(), chunk.begin() + attempt.count);
    }
    ASSERT_EQ(attempt, IoAttempt::would_block());
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(read_up_to(pty.master(), sent.size() + 1, 500), sent);
}

TEST(NativeIo, ClosedMasterIsADisconnectBothWays) {
    PtyPair pty;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true);
    ASSERT_TRUE(device.ok());
    pty.close_master();
    ASSERT_TRUE(wait_for(device->fileno(), POLLIN));
    std::uint8_t buffer[16];
    IoAttempt read = device->read_some(buffer);
    EXPECT_EQ(read, IoAttempt::vanished());
    EXPECT_TRUE(read.is_disconnect());
    EXPECT_EQ(read.error(), SerialError::io(std::nullopt, std::string(port::DISCONNECT_TEXT)));
    EXPECT_EQ(port::DISCONNECT_TEXT.size(), 103u);

    IoAttempt write = device->write_some(bytes("x"));
    EXPECT_EQ(write, IoAttempt::failed(EIO));
    EXPECT_TRUE(write.is_disconnect());
    EXPECT_EQ(write.error(), SerialError::from_os_error(EIO));
}

TEST(NativeIo, FailuresByErrorNumber) {
    struct Case {
        int err;
        Kind kind;
        bool disconnect;
    };
    const Case cases[] = {
        {EAGAIN, Kind::WouldBlock, false}, {EIO, Kind::Failed, true},     {ENXIO, Kind::Failed, true},
        {ENODEV, Kind::Failed, true},      {EBADF, Kind::Failed, false},  {EINVAL, Kind::Failed, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        PtyPair pty;
        ScriptedSyscalls sys;
        auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
        ASSERT_TRUE(device.ok());
        sys.fail("read", c.err);
        sys.fail("write", c.err);
        std::uint8_t buffer[4];
        for (IoAttempt attempt : {device->read_some(buffer), device->write_some(bytes("x"))}) {
            EXPECT_EQ(attempt.kind, c.kind);
            EXPECT_EQ(attempt.is_disconnect(), c.disconnect);
            if (c.kind == Kind::Failed) {
                EXPECT_EQ(attempt.os_errno, c.err);
                EXPECT_EQ(port::is_disconnect(attempt.error()), c.disconnect);
            }
        }
    }
}

// Only a hung-up device turns a read of no data into a disconnect; otherwise (someone set
// VMIN 0 behind our back) it is an empty queue.
TEST(NativeIo, ReadOfNoDataIsADisconnectOnlyWhenHungUp) {
    struct Case {
        short revents;
        Kind kind;
    };
    const Case cases[] = {
        {POLLHUP, Kind::Vanished},
        {POLLIN | POLLERR, Kind::Vanished},
        {POLLNVAL, Kind::Vanished},
        {POLLIN, Kind::WouldBlock},
        {0, Kind::WouldBlock},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.revents);
        PtyPair pty;
        ScriptedSyscalls sys;
        auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
        ASSERT_TRUE(device.ok());
        sys.zero_reads = 1;
        sys.poll_revents = c.revents;
        std::uint8_t buffer[4];
        EXPECT_EQ(device->read_some(buffer).kind, c.kind);
    }
}

TEST(NativeIo, InterruptedReadsAndWritesAreRetried) {
    PtyPair pty;
    ScriptedSyscalls sys;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
    ASSERT_TRUE(device.ok());
    ASSERT_EQ(::write(pty.master(), "ab", 2), 2);
    ASSERT_TRUE(wait_for(device->fileno(), POLLIN));
    sys.fail("read", EINTR, 2);
    sys.fail("write", EINTR, 2);
    std::uint8_t buffer[4];
    EXPECT_EQ(device->read_some(buffer), IoAttempt::ready(2));
    EXPECT_EQ(device->write_some(bytes("cd")), IoAttempt::ready(2));
    EXPECT_EQ(sys.count("read"), 3);
    EXPECT_EQ(sys.count("write"), 3);
}

TEST(NativeIo, EmptySpansMoveNothingWithoutACall) {
    PtyPair pty;
    ScriptedSyscalls sys;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
    ASSERT_TRUE(device.ok());
    EXPECT_EQ(device->read_some({}), IoAttempt::ready(0));
    EXPECT_EQ(device->write_some({}), IoAttempt::ready(0));
    EXPECT_EQ(sys.count("read") + sys.count("write"), 0);
}

TEST(NativeIo, DisconnectErrors) {
    struct Case {
        SerialError error;
        bool disconnect;
    };
    std::string text(port::DISCONNECT_TEXT);
    const Case cases[] = {
        {SerialError::from_os_error(EIO), true},
        {SerialError::from_os_error(ENXIO), true},
        {SerialError::from_os_error(ENODEV), true},
        {SerialError::from_os_error(EINVAL), false},
        {SerialError::io(std::nullopt, text), true},
        {SerialError::io(std::nullopt, text + " "), false},
        {SerialError::io(EINVAL, text), false},
        {SerialError::timeout(text), false},
        {SerialError::port_not_open(), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(port::is_disconnect(c.error), c.disconnect) << c.error.display();
    }
}

}  // namespace
}  // namespace quorvelin::native
