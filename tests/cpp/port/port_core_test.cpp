#include <gtest/gtest.h>

#include "../backend/pty_pair.h"
#include "../backend/scripted_syscalls.h"
#include "backend/backend.h"
#include "serial/update.h"
#include "support.h"

namespace quorvelin::testing {
namespace {

TEST(PortCoreState, NewPortDefaults) {
    auto core = PortCore::make();
    EXPECT_FALSE(core->is_open());
    PortSettings s = core->settings_snapshot();
    EXPECT_EQ(s.baudrate, 9600u);
    EXPECT_EQ(s.bytesize, 8);
    EXPECT_EQ(s.parity, Parity::None);
    EXPECT_EQ(s.stopbits, StopBits::One);
    EXPECT_EQ(s.exclusive, Exclusive::Unset);
    EXPECT_FALSE(s.timeout || s.write_timeout || s.inter_byte_timeout || s.port);
    EXPECT_TRUE(s.rts && s.dtr);
    EXPECT_FALSE(s.break_condition);
}

TEST(PortCoreState, OpenErrors) {
    auto core = PortCore::make();
    EXPECT_EQ(core->open().error(), SerialError::not_configured());
    core->with_settings([](PortSettings& s) { s.port = "LoOp://anything"; });
    EXPECT_TRUE(core->open().ok());
    EXPECT_EQ(core->open().error(), SerialError::already_open());
    core->with_settings([](PortSettings& s) { s.port.reset(); });
    EXPECT_EQ(core->open().error(), SerialError::not_configured());  // the name check comes first
}

TEST(PortCoreState, ClosedPortAccessFails) {
    auto core = PortCore::make();
    EXPECT_EQ(core->cts().error(), SerialError::port_not_open());
    EXPECT_EQ(core->in_waiting().error(), SerialError::port_not_open());
    EXPECT_EQ(core->reset_input_buffer().error(), SerialError::port_not_open());
    EXPECT_EQ(core->fileno().error(), SerialError::port_not_open());
    core->close();  // closing a closed port does nothing visible
    EXPECT_FALSE(core->is_open());
}

// Makes the scripted calls current for a scope.
class InstalledSyscalls {
public:
    explicit InstalledSyscalls(native::Syscalls& calls) : previous_(native::Syscalls::install(&calls)) {}
    ~InstalledSyscalls() { native::Syscalls::install(previous_); }
    InstalledSyscalls(const InstalledSyscalls&) = delete;
    InstalledSyscalls& operator=(const InstalledSyscalls&) = delete;

private:
    native::Syscalls* previous_;
};

// Remembered: the level reads back. Not applied: no break request reaches the device while
// the port is closed, nor when it opens or is reconfigured; only a level set on the open port
// does (which also shows that the log sees break requests).
TEST(PortCoreState, BreakOnAClosedPortIsRememberedNotApplied) {
    auto core = PortCore::make();
    EXPECT_TRUE(core->set_break_condition(true).ok());
    EXPECT_TRUE(core->settings_snapshot().break_condition);
    core->with_settings([](PortSettings& s) { s.port = "loop://"; });
    EXPECT_TRUE(core->open().ok());

    native::testing::PtyPair pty;
    native::testing::ScriptedSyscalls calls;
    InstalledSyscalls installed(calls);
    auto terminal = PortCore::make();
    EXPECT_TRUE(terminal->set_break_condition(true).ok());
    EXPECT_TRUE(calls.log.empty());
    terminal->with_settings([&](PortSettings& s) { s.port = pty.slave_path(); });
    Status opened = terminal->open();
    ASSERT_TRUE(opened.ok()) << opened.error().display();
    EXPECT_TRUE(serial::update_settings(*terminal, [](PortSettings& s) { s.baudrate = 19200; }).ok());
    EXPECT_EQ(calls.count("TIOCSBRK") + calls.count("TIOCCBRK"), 0);
    EXPECT_TRUE(terminal->settings_snapshot().break_condition);
    (void)terminal->set_break_condition(false);  // an emulator may refuse the request itself
    EXPECT_EQ(calls.count("TIOCCBRK"), 1);
    terminal->close();
}

TEST(PortCoreState, RenamingAnOpenPortReopensIt) {
    auto core = open_loopback();
    write_all(core, "lost");
    EXPECT_TRUE(core->set_port(std::string("loop://other")).ok());
    EXPECT_TRUE(core->is_open());
    EXPECT_EQ(core->in_waiting().value(), 0u);  // a new loopback port
    EXPECT_EQ(core->set_port(std::nullopt).error(), SerialError::not_configured());
    EXPECT_FALSE(core->is_open());
    EXPECT_EQ(core->port(), std::nullopt);
}

TEST(BackendOpen, LoopbackNames) {
    struct Case {
        const char* name;
        bool loopback;
    };
    const Case cases[] = {
        {"loop://", true}, {"LOOP://", true}, {"LoOp://x?y", true},
        {"loop:/", false}, {"loop:", false}, {" loop://", false}, {"/dev/null", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(backend::is_loopback_url(c.name), c.loopback) << c.name;
    }
}

TEST(Loopback, CapacityAndWakeups) {
    auto core = open_loopback();
    set_timeouts(core, std::nullopt, std::nullopt, Seconds::from_int(0));
    std::string data(5000, 'z');
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    EXPECT_EQ(run(PortCore::write_with(core, bytes, false)).value(), 4096u);
    EXPECT_EQ(run(PortCore::write_with(core, bytes, false)).value(), 0u);
    set_timeouts(core, Seconds::from_int(0), std::nullopt, Seconds::from_int(0));
    EXPECT_EQ(run(PortCore::read(core, 10)).value().size(), 10u);
    EXPECT_EQ(run(PortCore::write_with(core, bytes, false)).value(), 10u);
    EXPECT_EQ(core->in_waiting().value(), 4096u);
    EXPECT_EQ(core->out_waiting().value(), 4096u);
    EXPECT_TRUE(core->reset_output_buffer().ok());
    EXPECT_EQ(core->in_waiting().value(), 0u);
}

TEST(Loopback, ModemLinesEchoTheLevels) {
    auto core = PortCore::make();
    core->with_settings([](PortSettings& s) {
        s.port = "loop://";
        s.rts = false;
    });
    ASSERT_TRUE(core->open().ok());
    EXPECT_FALSE(core->cts().value());
    EXPECT_TRUE(core->dsr().value());
    EXPECT_FALSE(core->ri().value());
    EXPECT_TRUE(core->cd().value());
    EXPECT_EQ(core->fileno().value(), std::nullopt);
    EXPECT_TRUE(core->with_backend([](Backend& b) { return b.set_dtr(false); }).ok());
    EXPECT_FALSE(core->dsr().value());
}

}  // namespace
}  // namespace quorvelin::testing
