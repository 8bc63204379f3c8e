// Queues, buffer discarding, break, descriptor access, drains and the destruction path.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "backend/native/open.h"
#include "emulation_gaps.h"
#include "pty_pair.h"
#include "scripted_syscalls.h"

namespace quorvelin::native {
namespace {

using testing::PtyPair;
using testing::ScriptedSyscalls;

// Polls `in_waiting` until it reaches `count` or two seconds passed.
std::size_t wait_for_input(Device& device, std::size_t count) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::size_t seen = 0;
    while (std::chrono::steady_clock::now() < end) {
        auto waiting = device.in_waiting();
        if (!waiting.ok()) return 0;
        seen = *waiting;
        if (seen >= count) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return seen;
}

TEST(NativeControl, QueueCountsAndDiscardingInput) {
    PtyPair pty;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true);
    ASSERT_TRUE(device.ok());
    ASSERT_EQ(::write(pty.master(), "12345", 5), 5);
    EXPECT_EQ(wait_for_input(*device, 5), 5u);
    EXPECT_EQ(device->out_waiting(), Result<std::size_t>(0));
    ASSERT_TRUE(device->clear_buffers(true, false).ok());
    EXPECT_EQ(device->in_waiting(), Result<std::size_t>(0));
}

TEST(NativeControl, ClearBuffersPicksTheQueue) {
    struct Case {
        bool input;
        bool output;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {false, false, {}},
        {true, false, {"tcflush in"}},
        {false, true, {"tcflush out"}},
        {true, true, {"tcflush both"}},
    };
    for (const auto& c : cases) {
        PtyPair pty;
        ScriptedSyscalls sys;
        auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
        ASSERT_TRUE(device.ok());
        sys.log.clear();
        EXPECT_TRUE(device->clear_buffers(c.input, c.output).ok());
        EXPECT_EQ(sys.log, c.calls);
    }
}

TEST(NativeControl, BreakOnAndOff) {
    QUORVELIN_SKIP_IF_MISSING(emulation_gaps::missing_break_ioctls());
    PtyPair pty;
    ScriptedSyscalls sys;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
    ASSERT_TRUE(device.ok());
    sys.log.clear();
    EXPECT_TRUE(device->set_break_state(true).ok());
    EXPECT_TRUE(device->set_break_state(false).ok());
    EXPECT_EQ(sys.log, (std::vector<std::string>{"TIOCSBRK", "TIOCCBRK"}));
}

// Requests made as whole units fail as library errors: the bare text, number recovered.
TEST(NativeControl, RequestFailuresCarryTheErrorNumber) {
    struct Case {
        const char* call;
        std::function<Status(Device&)> run;
    };
    const auto as_status = [](auto result) { return result.ok() ? ok_status() : Status(result.error()); };
    const Case cases[] = {
        {"FIONREAD", [&](Device& d) { return as_status(d.in_waiting()); }},
        {"TIOCOUTQ", [&](Device& d) { return as_status(d.out_waiting()); }},
        {"tcflush both", [](Device& d) { return d.clear_buffers(true, true); }},
        {"TIOCSBRK", [](Device& d) { return d.set_break_state(true); }},
        {"TIOCCBRK", [](Device& d) { return d.set_break_state(false); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        PtyPair pty;
        ScriptedSyscalls sys;
        auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
        ASSERT_TRUE(device.ok());
        sys.fail(c.call, ENXIO);
        EXPECT_EQ(c.run(*device), Status(SerialError::io(ENXIO, os_error_text(ENXIO))));
    }
}

// Fails `call` with EINTR twice, then lets it through: `run` must still succeed.
void expect_retried_after_interruptions(const char* call, const std::function<bool(Device&)>& run) {
    SCOPED_TRACE(call);
    PtyPair pty;
    ScriptedSyscalls sys;
    sys.emulate_modem = true;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
    ASSERT_TRUE(device.ok());
    sys.fail(call, EINTR, 2);
    EXPECT_TRUE(run(*device));
}

// A signal during any call of the layer is retried, not reported.
TEST(NativeControl, InterruptedCallsAreRetried) {
    struct Case {
        const char* call;
        std::function<bool(Device&)> run;
    };
    const Case cases[] = {
        {"TCGETS2", [](Device& d) { return d.configure(PortSettings{}, true, true).ok(); }},
        {"TCSETS2", [](Device& d) { return d.configure(PortSettings{}, true, true).ok(); }},
        {"TIOCMBIS RTS", [](Device& d) { return d.set_rts(true).ok(); }},
        {"TIOCMGET", [](Device& d) { return d.cts().ok(); }},
        {"FIONREAD", [](Device& d) { return d.in_waiting().ok(); }},
        {"TIOCOUTQ", [](Device& d) { return d.out_waiting().ok(); }},
        {"tcflush in", [](Device& d) { return d.clear_buffers(true, false).ok(); }},
        {"dup", [](Device& d) { return d.drain_handle().ok(); }},
    };
    for (const auto& c : cases) {
        expect_retried_after_interruptions(c.call, c.run);
    }
}

// The retried break request finally reaches the device, so it needs one that takes it.
TEST(NativeControl, InterruptedBreakIsRetried) {
    QUORVELIN_SKIP_IF_MISSING(emulation_gaps::missing_break_ioctls());
    expect_retried_after_interruptions("TIOCSBRK", [](Device& d) { return d.set_break_state(true).ok(); });
}

TEST(NativeControl, InterruptedOpenAndLockAreRetried) {
    for (const char* call : {"open", "flock", "TIOCEXCL"}) {
        SCOPED_TRACE(call);
        PtyPair pty;
        ScriptedSyscalls sys;
        sys.fail(call, EINTR, 2);
        PortSettings settings;
        settings.exclusive = Exclusive::Yes;
        auto device = open_terminal(pty.slave_path(), settings, true, true, sys);
        EXPECT_TRUE(device.ok());
        EXPECT_EQ(sys.count(call), 3);
    }
}

TEST(NativeControl, FilenoIsTheDevice) {
    PtyPair pty;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true);
    ASSERT_TRUE(device.ok());
    struct stat opened {}, named {};
    ASSERT_EQ(::fstat(device->fileno(), &opened), 0);
    ASSERT_EQ(::stat(pty.slave_path().c_str(), &named), 0);
    EXPECT_EQ(opened.st_rdev, named.st_rdev);
    EXPECT_TRUE(device->cancel_write().ok());
    EXPECT_EQ(device->detach_write(), 0u);
}

TEST(NativeControl, DrainWaitsOnACloseOnExecDuplicateAndClosesIt) {
    PtyPair pty;
    ScriptedSyscalls sys;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
    ASSERT_TRUE(device.ok());
    auto drain = device->drain_handle();
    ASSERT_TRUE(drain.ok());
    ASSERT_TRUE(drain->fd().has_value());
    int fd = *drain->fd();
    EXPECT_NE(fd, device->fileno());
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    sys.log.clear();
    EXPECT_TRUE(std::move(*drain).wait().ok());
    EXPECT_EQ(sys.log, (std::vector<std::string>{"tcdrain", "close"}));
    EXPECT_FALSE(drain->fd().has_value());
}

TEST(NativeControl, DrainOutcomes) {
    struct Case {
        const char* name;
        std::vector<int> failures;  // errors of the successive tcdrain calls
        Status result;
        int tcdrain_calls;
    };
    const Case cases[] = {
        {"drained", {}, ok_status(), 1},
        {"interrupted, then drained", {EINTR, EINTR}, ok_status(), 3},
        {"failed", {EIO}, SerialError::from_os_error(EIO), 1},
        {"interrupted, then failed", {EINTR, ENXIO}, SerialError::from_os_error(ENXIO), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        ScriptedSyscalls sys;
        auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
        ASSERT_TRUE(device.ok());
        for (std::size_t i = 0; i < c.failures.size(); ++i) {
            sys.fail_nth("tcdrain", static_cast<int>(i) + 1, c.failures[i]);
        }
        auto drain = device->drain_handle();
        ASSERT_TRUE(drain.ok());
        sys.log.clear();
        EXPECT_EQ(std::move(*drain).wait(), c.result);
        EXPECT_EQ(sys.count("tcdrain"), c.tcdrain_calls);
        EXPECT_EQ(sys.log.back(), "close");
    }
}

TEST(NativeControl, DrainOutlivesTheDeviceAndClosesWhenUnused) {
    PtyPair pty;
    ScriptedSyscalls sys;
    std::optional<Result<Drain>> kept;
    {
        auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
        ASSERT_TRUE(device.ok());
        kept.emplace(device->drain_handle());
        ASSERT_TRUE(kept->ok());
        Result<Drain> unused = device->drain_handle();
        ASSERT_TRUE(unused.ok());
    }
    EXPECT_EQ(sys.count("close"), 2);  // the unused duplicate and the device
    EXPECT_TRUE(std::move(kept->value()).wait().ok());
    EXPECT_EQ(sys.count("close"), 3);
}

TEST(NativeControl, DuplicationFailureIsAnOsError) {
    PtyPair pty;
    ScriptedSyscalls sys;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
    ASSERT_TRUE(device.ok());
    sys.fail("dup", EMFILE);
    auto drain = device->drain_handle();
    ASSERT_FALSE(drain.ok());
    EXPECT_EQ(drain.error(), SerialError::from_os_error(EMFILE));
}

TEST(NativeControl, NothingToDrainSucceedsAtOnce) {
    EXPECT_TRUE(Drain().wait().ok());
}

TEST(NativeControl, DestructionClearsExclusiveModeThenCloses) {
    struct Case {
        int exclusive_mode_error;  // 0: TIOCNXCL works
    };
    for (Case c : {Case{0}, Case{ENOTTY}}) {
        PtyPair pty;
        ScriptedSyscalls sys;
        {
            auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
            ASSERT_TRUE(device.ok());
            if (c.exclusive_mode_error) sys.fail("TIOCNXCL", c.exclusive_mode_error);
            sys.log.clear();
        }
        EXPECT_EQ(sys.log, (std::vector<std::string>{"TIOCNXCL", "close"}));
        EXPECT_TRUE(sys.flock_operations.size() == 1 && (sys.flock_operations[0] & LOCK_UN) == 0);
    }
}

// In a child created by fork the open file is the parent's too: only close.
TEST(NativeControl, DestructionInAForkedChildOnlyCloses) {
    PtyPair pty;
    ScriptedSyscalls sys;
    {
        PortSettings settings;
        settings.exclusive = Exclusive::Yes;
        auto device = open_terminal(pty.slave_path(), settings, true, true, sys);
        ASSERT_TRUE(device.ok());
        EXPECT_TRUE(device->opened_in_this_process());
        sys.pid = device->owner_pid() + 1;
        EXPECT_FALSE(device->opened_in_this_process());
        sys.log.clear();
    }
    EXPECT_EQ(sys.log, (std::vector<std::string>{"close"}));
}

TEST(NativeControl, MovingHandsOverTheDescriptor) {
    PtyPair pty;
    ScriptedSyscalls sys;
    {
        auto opened = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
        ASSERT_TRUE(opened.ok());
        Device first = std::move(opened).value();
        int fd = first.fileno();
        Device second = std::move(first);
        EXPECT_EQ(second.fileno(), fd);
        auto other = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
        ASSERT_TRUE(other.ok());
        sys.log.clear();
        second = std::move(other).value();  // closes the one it held
        EXPECT_EQ(sys.count("close"), 1);
    }
    EXPECT_EQ(sys.count("close"), 2);
}

}  // namespace
}  // namespace quorvelin::native
