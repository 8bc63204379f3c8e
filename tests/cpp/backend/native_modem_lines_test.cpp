// Modem lines: which requests drive RTS and DTR, what is tolerated, and how the status
// lines read.

#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include "backend/native/open.h"
#include "backend/native/platform.h"
#include "pty_pair.h"
#include "scripted_syscalls.h"

namespace quorvelin::native {
namespace {

using testing::PtyPair;
using testing::ScriptedSyscalls;

std::vector<std::string> modem_calls(const std::vector<std::string>& log) {
    std::vector<std::string> calls;
    for (const auto& entry : log) {
        if (entry.rfind("TIOCM", 0) == 0) calls.push_back(entry);
    }
    return calls;
}

TEST(NativeModemLines, ConfigureDrivesOnlyTheLinesNoHandshakeOwns) {
    struct Case {
        bool rtscts;
        bool dsrdtr;
        bool rts;
        bool dtr;
        std::vector<std::string> calls;
        int bits_after;  // starting from CTS with both lines up
    };
    const int start = TIOCM_CTS | TIOCM_RTS | TIOCM_DTR;
    const Case cases[] = {
        {false, false, false, true, {"TIOCMGET", "TIOCMSET"}, TIOCM_CTS | TIOCM_DTR},
        {false, false, true, false, {"TIOCMGET", "TIOCMSET"}, TIOCM_CTS | TIOCM_RTS},
        {false, false, false, false, {"TIOCMGET", "TIOCMSET"}, TIOCM_CTS},
        {true, false, false, false, {"TIOCMBIC DTR"}, TIOCM_CTS | TIOCM_RTS},
        {false, true, false, false, {"TIOCMBIC RTS"}, TIOCM_CTS | TIOCM_DTR},
        {false, true, true, false, {"TIOCMBIS RTS"}, start},
        {true, true, false, false, {}, start},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.rtscts << c.dsrdtr << c.rts << c.dtr);
        PtyPair pty;
        ScriptedSyscalls sys;
        sys.emulate_modem = true;
        sys.modem_bits = start;
        PortSettings settings;
        settings.rtscts = c.rtscts;
        settings.dsrdtr = c.dsrdtr;
        auto device = open_terminal(pty.slave_path(), settings, c.rts, c.dtr, sys);
        ASSERT_TRUE(device.ok()) << device.error().display();
        EXPECT_EQ(modem_calls(sys.log), c.calls);
        EXPECT_EQ(sys.modem_bits, c.bits_after);
    }
}

TEST(NativeModemLines, OneLineAtATimeDtrFirst) {
    PtyPair pty;
    ScriptedSyscalls sys;
    sys.emulate_modem = true;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, true, true, sys);
    ASSERT_TRUE(device.ok());
    sys.log.clear();
    ASSERT_TRUE(platform::set_lines(*device, std::nullopt, std::nullopt).ok());
    EXPECT_TRUE(sys.log.empty());
    ASSERT_TRUE(platform::set_lines(*device, true, std::nullopt).ok());
    ASSERT_TRUE(platform::set_lines(*device, std::nullopt, false).ok());
    EXPECT_EQ(modem_calls(sys.log), (std::vector<std::string>{"TIOCMBIS RTS", "TIOCMBIC DTR"}));
}

// Devices without modem lines fail with EINVAL or ENOTTY; configure goes on as if it had
// worked, but stops the update there (a tolerated TIOCMGET failure skips TIOCMSET).
TEST(NativeModemLines, MissingModemLinesAreToleratedByConfigure) {
    struct Case {
        const char* failing;
        int err;
        bool rtscts;
        bool ok;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"TIOCMGET", ENOTTY, false, true, {"TIOCMGET"}},
        {"TIOCMGET", EINVAL, false, true, {"TIOCMGET"}},
        {"TIOCMSET", ENOTTY, false, true, {"TIOCMGET", "TIOCMSET"}},
        {"TIOCMGET", EIO, false, false, {"TIOCMGET"}},
        {"TIOCMSET", EPERM, false, false, {"TIOCMGET", "TIOCMSET"}},
        // rtscts: DTR alone, by the single-line request.
        {"TIOCMBIS DTR", ENOTTY, true, true, {"TIOCMBIS DTR"}},
        {"TIOCMBIS DTR", EIO, true, false, {"TIOCMBIS DTR"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.failing << " " << c.err);
        PtyPair pty;
        ScriptedSyscalls sys;
        sys.emulate_modem = true;
        sys.fail(c.failing, c.err);
        PortSettings settings;
        settings.rtscts = c.rtscts;
        auto device = open_terminal(pty.slave_path(), settings, true, true, sys);
        EXPECT_EQ(device.ok(), c.ok);
        if (!device.ok()) {
            EXPECT_EQ(device.error().os_errno(), c.err);
        }
        EXPECT_EQ(modem_calls(sys.log), c.calls);
    }
}

TEST(NativeModemLines, DirectLineRequests) {
    PtyPair pty;
    ScriptedSyscalls sys;
    sys.emulate_modem = true;
    auto device = open_terminal(pty.slave_path(), PortSettings{}, false, false, sys);
    ASSERT_TRUE(device.ok());
    ASSERT_EQ(sys.modem_bits, 0);
    ASSERT_TRUE(device->set_rts(true).ok());
    EXPECT_EQ(sys.modem_bits, TIOCM_RTS);
    ASSERT_TRUE(device->set_dtr(true).ok());
    EXPECT_EQ(sys.modem_bits, TIOCM_RTS | TIOCM_DTR);
    ASSERT_TRUE(device->set_rts(false).ok());
    EXPECT_EQ(sys.modem_bits, TIOCM_DTR);
    ASSERT_TRUE(device->set_dtr(false).ok());
    EXPECT_EQ(sys.modem_bits, 0);
}

TEST(NativeModemLines, StatusLinesReadTheirOwnBit) {
    using Getter = Result<bool> (Device::*)();
    struct Case {
        const char* name;
        Getter get;
        int bit;
    };
    const Case cases[] = {
        {"cts", &Device::cts, TIOCM_CTS},
        {"dsr", &Device::dsr, TIOCM_DSR},
        {"ri", &Device::ri, TIOCM_RI},
        {"cd", &Device::cd, TIOCM_CD},
    };
    const int all = TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD | TIOCM_RTS | TIOCM_DTR;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        ScriptedSyscalls sys;
        sys.emulate_modem = true;
        PortSettings settings;
        settings.rtscts = settings.dsrdtr = true;  // keep the word as set below
        auto device = open_terminal(pty.slave_path(), settings, true, true, sys);
        ASSERT_TRUE(device.ok());
        sys.modem_bits = c.bit;
        EXPECT_EQ(((*device).*c.get)(), Result<bool>(true));
        sys.modem_bits = all & ~c.bit;
        EXPECT_EQ(((*device).*c.get)(), Result<bool>(false));
    }
}

// A pty has no modem lines: opening works whatever the handshakes, direct requests fail.
TEST(NativeModemLines, PtyOpensButRefusesDirectRequests) {
    for (bool rtscts : {false, true}) {
        for (bool dsrdtr : {false, true}) {
            PtyPair pty;
            PortSettings settings;
            settings.rtscts = rtscts;
            settings.dsrdtr = dsrdtr;
            auto device = open_terminal(pty.slave_path(), settings, true, true);
            ASSERT_TRUE(device.ok()) << device.error().display();
            SerialError not_a_modem = SerialError::io(ENOTTY, os_error_text(ENOTTY));
            EXPECT_EQ(device->set_rts(false), Status(not_a_modem));
            EXPECT_EQ(device->set_dtr(true), Status(not_a_modem));
            EXPECT_EQ(device->cts(), Result<bool>(not_a_modem));
            EXPECT_EQ(device->dsr(), Result<bool>(not_a_modem));
            EXPECT_EQ(device->ri(), Result<bool>(not_a_modem));
            EXPECT_EQ(device->cd(), Result<bool>(not_a_modem));
        }
    }
}

}  // namespace
}  // namespace quorvelin::native
