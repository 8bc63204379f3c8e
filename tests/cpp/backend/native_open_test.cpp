// Opening a terminal device: flags, locking, naming of failures, cleanup.

#include "backend/native/open.h"

#include <fcntl.h>
#include <sys/file.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "pty_pair.h"
#include "scripted_syscalls.h"

namespace quorvelin::native {
namespace {

using testing::PtyPair;
using testing::ScriptedSyscalls;

PortSettings with_exclusive(Exclusive exclusive) {
    PortSettings settings;
    settings.exclusive = exclusive;
    return settings;
}

TEST(NativeOpen, MissingDeviceNamesThePortAndErrno) {
    auto device = open_terminal("/dev/quorvelin-missing", PortSettings{}, true, true);
    ASSERT_FALSE(device.ok());
    EXPECT_EQ(device.error().kind(), SerialError::Kind::Io);
    EXPECT_EQ(device.error().os_errno(), 2);
    EXPECT_EQ(device.error().payload(),
              "could not open port /dev/quorvelin-missing: [Errno 2] No such file or directory");
}

TEST(NativeOpen, NameWithNulIsRefusedNotTruncated) {
    PtyPair pty;
    ScriptedSyscalls sys;
    std::string name = pty.slave_path() + std::string(1, '\0') + "x";
    auto device = open_terminal(name, PortSettings{}, true, true, sys);
    ASSERT_FALSE(device.ok());
    EXPECT_EQ(device.error().os_errno(), EINVAL);
    EXPECT_EQ(device.error().payload(),
              "could not open port " + name + ": [Errno 22] Invalid argument");
    EXPECT_EQ(sys.count("open"), 0);
}

TEST(NativeOpen, DescriptorIsReadWriteNonBlockingCloseOnExecAndNotControlling) {
    PtyPair pty;
    ScriptedSyscalls sys;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
    ASSERT_TRUE(device.ok()) << device.error().display();
    ASSERT_EQ(sys.open_flags.size(), 1u);
    EXPECT_EQ(sys.open_flags[0], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_NE(::fcntl(device->fileno(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(device->fileno(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(NativeOpen, LockKindFollowsExclusive) {
    struct Case {
        Exclusive exclusive;
        int lock;
        bool sets_exclusive_mode;
    };
    const Case cases[] = {
        {Exclusive::Yes, LOCK_EX | LOCK_NB, true},
        {Exclusive::No, LOCK_SH | LOCK_NB, false},
        {Exclusive::Unset, LOCK_SH | LOCK_NB, false},
    };
    for (const auto& c : cases) {
        PtyPair pty;
        ScriptedSyscalls sys;
        auto device = open_terminal(pty.slave_path(), with_exclusive(c.exclusive), true, true, sys);
        ASSERT_TRUE(device.ok()) << device.error().display();
        EXPECT_EQ(sys.flock_operations, std::vector<int>{c.lock});
        EXPECT_EQ(sys.count("TIOCEXCL"), c.sets_exclusive_mode ? 1 : 0);
    }
}

// Run as root, TIOCEXCL does not refuse a second open; the file lock does.
TEST(NativeOpen, ExclusiveAndSharedOpensExcludeEachOther) {
    struct Case {
        Exclusive first;
        Exclusive second;
        bool second_opens;
    };
    const Case cases[] = {
        {Exclusive::Yes, Exclusive::Yes, false},
        {Exclusive::Yes, Exclusive::No, false},
        {Exclusive::Yes, Exclusive::Unset, false},
        {Exclusive::No, Exclusive::Yes, false},
        {Exclusive::Unset, Exclusive::Yes, false},
        {Exclusive::No, Exclusive::No, true},
        {Exclusive::Unset, Exclusive::No, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.first) << " then " << int(c.second));
        PtyPair pty;
        auto first = open_terminal(pty.slave_path(), with_exclusive(c.first), true, true);
        ASSERT_TRUE(first.ok()) << first.error().display();
        auto second = open_terminal(pty.slave_path(), with_exclusive(c.second), true, true);
        EXPECT_EQ(second.ok(), c.second_opens);
        if (!second.ok()) {
            EXPECT_EQ(second.error().kind(), SerialError::Kind::Io);
            EXPECT_EQ(second.error().os_errno(), std::nullopt);
            EXPECT_EQ(second.error().payload().rfind("could not open port " + pty.slave_path() + ": ", 0), 0u);
        }
        EXPECT_TRUE(first->in_waiting().ok());
    }
}

TEST(NativeOpen, ExclusiveLockIsReleasedByClosing) {
    PtyPair pty;
    {
        auto first = open_terminal(pty.slave_path(), with_exclusive(Exclusive::Yes), true, true);
        ASSERT_TRUE(first.ok());
    }
    auto again = open_terminal(pty.slave_path(), with_exclusive(Exclusive::Yes), true, true);
    EXPECT_TRUE(again.ok());
}

// Each failing step of opening leaves nothing open and is wrapped with the port name.
TEST(NativeOpen, OpeningFailuresCloseTheDescriptorAndNameThePort) {
    struct Case {
        const char* call;
        int err;
    };
    const Case cases[] = {
        {"flock", ENOLCK},
        {"TIOCEXCL", EIO},
        {"TCGETS2", EIO},
        {"TCSETS2", EINVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        PtyPair pty;
        ScriptedSyscalls sys;
        sys.fail(c.call, c.err);
        auto device = open_terminal(pty.slave_path(), with_exclusive(Exclusive::Yes), true, true, sys);
        ASSERT_FALSE(device.ok());
        EXPECT_EQ(device.error().os_errno(), c.err);
        EXPECT_EQ(device.error().payload(), "could not open port " + pty.slave_path() + ": [Errno " +
                                                std::to_string(c.err) + "] " + os_error_text(c.err));
        EXPECT_EQ(sys.count("close"), 1);
        EXPECT_EQ(sys.log.back(), "close");
    }
}

TEST(NativeOpen, ConfigureFailureIsReturnedUnwrappedWithTheDeviceClosed) {
    PtyPair pty;
    ScriptedSyscalls sys;
    sys.fail("TIOCMGET", EIO);
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
    ASSERT_FALSE(device.ok());
    EXPECT_EQ(device.error(), SerialError::from_os_error(EIO));
    ASSERT_GE(sys.log.size(), 2u);
    EXPECT_EQ(sys.log[sys.log.size() - 2], "TIOCNXCL");
    EXPECT_EQ(sys.log.back(), "close");
}

TEST(NativeOpen, UnsupportedBaudRateAtOpenIsAnOpenFailure) {
    PtyPair pty;
    ScriptedSyscalls sys;
    sys.reject_speed = 1234;
    PortSettings settings;
    settings.baudrate = 1234;
    auto device = open_terminal(pty.slave_path(), settings, true, true, sys);
    ASSERT_FALSE(device.ok());
    EXPECT_EQ(device.error().kind(), SerialError::Kind::Io);
    EXPECT_EQ(device.error().os_errno(), EINVAL);
}

TEST(NativeOpen, CurrentSyscallsAreUsedByDefault) {
    PtyPair pty;
    ScriptedSyscalls sys;
    Syscalls* previous = Syscalls::install(&sys);
    {
        auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true);
        EXPECT_TRUE(device.ok());
    }
    EXPECT_EQ(Syscalls::install(previous), &sys);
    EXPECT_EQ(sys.count("open"), 1);
    EXPECT_EQ(&Syscalls::current(), &Syscalls::real());
}

}  // namespace
}  // namespace quorvelin::native
