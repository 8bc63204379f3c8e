// Line settings: what reaches the terminal attributes, in which order, and what a failure
// leaves behind.

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "backend/native/open.h"
#include "emulation_gaps.h"
#include "pty_pair.h"
#include "scripted_syscalls.h"

namespace quorvelin::native {
namespace {

using testing::PtyPair;
using testing::ScriptedSyscalls;

// The attributes as another opener of the same terminal sees them.
termios2 attributes_of(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios2 a{};
    EXPECT_EQ(::ioctl(fd, TCGETS2, &a), 0);
    ::close(fd);
    return a;
}

void change_attributes(const std::string& path, const std::function<void(termios2&)>& change) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios2 a{};
    ASSERT_EQ(::ioctl(fd, TCGETS2, &a), 0);
    change(a);
    ASSERT_EQ(::ioctl(fd, TCSETS2, &a), 0);
    ::close(fd);
}

struct FlagCase {
    const char* name;
    std::function<void(PortSettings&)> set;
    tcflag_t termios2::*field;
    tcflag_t mask;
    tcflag_t expected;
};

// Opens the pty with each case's settings and checks the flags another opener reads back.
void expect_flags_read_back(const std::vector<FlagCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        PortSettings settings;
        c.set(settings);
        auto device = open_terminal(pty.slave_path(), settings, true, true);
        ASSERT_TRUE(device.ok()) << device.error().display();
        EXPECT_EQ(attributes_of(pty.slave_path()).*c.field & c.mask, c.expected);
    }
}

// Flags a pseudo-terminal keeps as given.
TEST(NativeSettings, FlagsReadBackFromThePty) {
    expect_flags_read_back({
        {"one stop bit", [](PortSettings& s) { s.stopbits = StopBits::One; }, &termios2::c_cflag, CSTOPB, 0},
        {"1.5 stop bits", [](PortSettings& s) { s.stopbits = StopBits::OnePointFive; }, &termios2::c_cflag, CSTOPB, CSTOPB},
        {"two stop bits", [](PortSettings& s) { s.stopbits = StopBits::Two; }, &termios2::c_cflag, CSTOPB, CSTOPB},
        {"rtscts", [](PortSettings& s) { s.rtscts = true; }, &termios2::c_cflag, CRTSCTS, CRTSCTS},
        {"no rtscts", [](PortSettings& s) { s.rtscts = false; }, &termios2::c_cflag, CRTSCTS, 0},
        {"xonxoff", [](PortSettings& s) { s.xonxoff = true; }, &termios2::c_iflag, IXON | IXOFF, IXON | IXOFF},
        {"no xonxoff", [](PortSettings& s) { s.xonxoff = false; }, &termios2::c_iflag, IXON | IXOFF | IXANY, 0},
        {"no parity", [](PortSettings& s) { s.parity = Parity::None; }, &termios2::c_cflag, CMSPAR | PARODD, 0},
        {"raw input", [](PortSettings&) {}, &termios2::c_lflag, ICANON | ECHO | ISIG | IEXTEN, 0},
        {"raw output", [](PortSettings&) {}, &termios2::c_oflag, OPOST, 0},
        {"receiver on, modem status ignored", [](PortSettings&) {}, &termios2::c_cflag, CREAD | CLOCAL, CREAD | CLOCAL},
    });
}

TEST(NativeSettings, MarkAndSpaceParityReadBackFromThePty) {
    QUORVELIN_SKIP_IF_MISSING(emulation_gaps::missing_mark_space_parity());
    expect_flags_read_back({
        {"mark", [](PortSettings& s) { s.parity = Parity::Mark; }, &termios2::c_cflag, CMSPAR | PARODD, CMSPAR | PARODD},
        {"space", [](PortSettings& s) { s.parity = Parity::Space; }, &termios2::c_cflag, CMSPAR | PARODD, CMSPAR},
    });
}

TEST(NativeSettings, AnyBaudRateReadsBackThroughTermios2) {
    for (std::uint32_t baud : {9600u, 115200u, 250000u, 12345u}) {
        SCOPED_TRACE(baud);
        PtyPair pty;
        PortSettings settings;
        settings.baudrate = baud;
        auto device = open_terminal(pty.slave_path(), settings, true, true);
        ASSERT_TRUE(device.ok()) << device.error().display();
        termios2 a = attributes_of(pty.slave_path());
        EXPECT_EQ(a.c_ospeed, baud);
        EXPECT_EQ(a.c_ispeed, baud);
    }
}

// A pty forces 8 data bits without parity, so what configure wrote is read from a
// stand-in that keeps the attributes as a serial port does.
TEST(NativeSettings, DataBitsAndParityAsWritten) {
    struct Case {
        std::uint8_t bytesize;
        Parity parity;
        tcflag_t size;
        tcflag_t parity_bits;
    };
    const Case cases[] = {
        {5, Parity::None, CS5, 0},
        {6, Parity::Even, CS6, PARENB},
        {7, Parity::Odd, CS7, PARENB | PARODD},
        {8, Parity::Mark, CS8, CMSPAR | PARENB | PARODD},
        {9, Parity::Space, CS8, CMSPAR | PARENB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.bytesize));
        PtyPair pty;
        ScriptedSyscalls sys;
        sys.emulate_attributes = true;
        PortSettings settings;
        settings.bytesize = c.bytesize;
        settings.parity = c.parity;
        auto device = open_terminal(pty.slave_path(), settings, true, true, sys);
        ASSERT_TRUE(device.ok()) << device.error().display();
        EXPECT_EQ(sys.attributes->c_cflag & CSIZE, c.size);
        EXPECT_EQ(sys.attributes->c_cflag & (CMSPAR | PARENB | PARODD), c.parity_bits);
    }
}

TEST(NativeSettings, BackToNoParityClearsStickParity) {
    PtyPair pty;
    ScriptedSyscalls sys;
    sys.emulate_attributes = true;
    PortSettings settings;
    settings.parity = Parity::Mark;
    auto device = open_terminal(pty.slave_path(), settings, true, true, sys);
    ASSERT_TRUE(device.ok());
    settings.parity = Parity::None;
    ASSERT_TRUE(device->configure(settings, true, true).ok());
    EXPECT_EQ(sys.attributes->c_cflag & (CMSPAR | PARENB | PARODD), 0u);
}

TEST(NativeSettings, ParityCheckingAndStrippingAlwaysOffIxanyKeptOnlyWithXonxoff) {
    PtyPair pty;
    PortSettings settings;
    auto device = open_terminal(pty.slave_path(), settings, true, true);
    ASSERT_TRUE(device.ok());
    change_attributes(pty.slave_path(), [](termios2& a) { a.c_iflag |= INPCK | ISTRIP | IXANY; });
    settings.xonxoff = true;
    ASSERT_TRUE(device->configure(settings, true, true).ok());
    EXPECT_EQ(attributes_of(pty.slave_path()).c_iflag & (INPCK | ISTRIP | IXON | IXOFF | IXANY),
              IXON | IXOFF | IXANY);
    settings.xonxoff = false;
    ASSERT_TRUE(device->configure(settings, true, true).ok());
    EXPECT_EQ(attributes_of(pty.slave_path()).c_iflag & (INPCK | ISTRIP | IXON | IXOFF | IXANY), 0u);
}

// An empty device must read as "would block", not as 0 bytes (which means hung up).
TEST(NativeSettings, EmptyDeviceReadsAsWouldBlock) {
    PtyPair pty;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true);
    ASSERT_TRUE(device.ok());
    termios2 a = attributes_of(pty.slave_path());
    EXPECT_EQ(a.c_cc[VMIN], 1);
    EXPECT_EQ(a.c_cc[VTIME], 0);
    char byte;
    EXPECT_EQ(::read(device->fileno(), &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
}

// Each step is one read-change-write; the n-th write failing ends configure there.
TEST(NativeSettings, FirstFailingStepEndsConfigure) {
    struct Case {
        int failing_write;  // 1 data bits ... 5 platform::apply, 6 baud rate
        SerialError error;
    };
    const Case cases[] = {
        {1, SerialError::io(EIO, os_error_text(EIO))},
        {2, SerialError::io(EIO, os_error_text(EIO))},
        {3, SerialError::io(EIO, os_error_text(EIO))},
        {4, SerialError::io(EIO, os_error_text(EIO))},
        {5, SerialError::from_os_error(EIO)},
        {6, SerialError::io(EIO, os_error_text(EIO))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing_write);
        PtyPair pty;
        ScriptedSyscalls sys;
        auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
        ASSERT_TRUE(device.ok());
        sys.log.clear();
        sys.fail_nth("TCSETS2", c.failing_write, EIO);
        Status status = device->configure(PortSettings{}, true, true);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error(), c.error);
        EXPECT_EQ(sys.count("TCSETS2"), c.failing_write);
        EXPECT_EQ(sys.count("TIOCMGET"), 0);
    }
}

TEST(NativeSettings, ConfigureOrder) {
    PtyPair pty;
    ScriptedSyscalls sys;
    sys.emulate_modem = true;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
    ASSERT_TRUE(device.ok());
    sys.log.clear();
    ASSERT_TRUE(device->configure(PortSettings{}, true, false).ok());
    std::vector<std::string> expected;
    for (int step = 0; step < 6; ++step) {
        expected.insert(expected.end(), {"TCGETS2", "TCSETS2"});
    }
    expected.insert(expected.end(), {"TCGETS2", "TIOCMGET", "TIOCMSET"});
    EXPECT_EQ(sys.log, expected);
}

// A driver that can only come near a rate reports the rate it runs at.
TEST(NativeSettings, RateFarFromTheAskedOneIsInvalidInput) {
    struct Case {
        std::uint32_t runs_at;
        bool accepted;
    };
    const Case cases[] = {{250000, true}, {256000, true}, {243000, true}, {230400, false}, {260000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.runs_at);
        PtyPair pty;
        ScriptedSyscalls sys;
        sys.emulate_attributes = true;
        auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
        ASSERT_TRUE(device.ok());
        sys.runs_at = c.runs_at;
        PortSettings settings;
        settings.baudrate = 250000;
        Status status = device->configure(settings, true, true);
        EXPECT_EQ(status.ok(), c.accepted);
        if (!c.accepted) {
            EXPECT_EQ(status.error(), SerialError::invalid_input(
                                          "the device does not support baud rate 250000 (it runs at " +
                                          std::to_string(c.runs_at) + ")"));
        }
    }
}

// A failed reconfiguration puts the previous settings back on the device too.
TEST(NativeSettings, FailedReconfigureReappliesThePreviousSettings) {
    PtyPair pty;
    ScriptedSyscalls sys;
    sys.emulate_attributes = true;
    PortSettings previous;
    auto device = open_terminal(pty.slave_path(), previous, true, true, sys);
    ASSERT_TRUE(device.ok());
    PortSettings next = previous;
    next.parity = Parity::Even;
    next.stopbits = StopBits::Two;
    next.baudrate = 1234;
    sys.reject_speed = 1234;
    Status status = device->reconfigure(next, previous, true, true);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().os_errno(), EINVAL);
    EXPECT_EQ(sys.attributes->c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(sys.attributes->c_ospeed, 9600u);
}

TEST(NativeSettings, BestEffortReapplyGoesOnPastAFailingStep) {
    PtyPair pty;
    ScriptedSyscalls sys;
    sys.emulate_attributes = true;
    PortSettings settings;
    auto device = open_terminal(pty.slave_path(), settings, true, true, sys);
    ASSERT_TRUE(device.ok());
    settings.bytesize = 7;
    settings.baudrate = 19200;
    sys.fail("TCSETS2", EIO);  // the data-bits step
    device->reapply_best_effort(settings, true, true);
    EXPECT_EQ(sys.attributes->c_cflag & CSIZE, CS8);
    EXPECT_EQ(sys.attributes->c_ospeed, 19200u);
}

}  // namespace
}  // namespace quorvelin::native
