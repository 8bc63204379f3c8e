// The port engine over a real terminal device: a pseudo-terminal whose master the test holds.

#include <gtest/gtest.h>

#include "../backend/pty_pair.h"
#include "port/disconnect.h"
#include "port/ops.h"
#include "reap_child.h"
#include "support.h"

namespace quorvelin::testing {
namespace {

using native::testing::PtyPair;
using native::testing::read_up_to;

std::shared_ptr<PortCore> open_pty(const PtyPair& pty) {
    auto core = PortCore::make();
    core->with_settings([&](PortSettings& s) { s.port = pty.slave_path(); });
    Status opened = core->open();
    EXPECT_TRUE(opened.ok()) << opened.error().display();
    return core;
}

void master_write(const PtyPair& pty, const std::string& data) {
    ASSERT_EQ(::write(pty.master(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
}

TEST(NativePort, DataBothWays) {
    PtyPair pty;
    auto core = open_pty(pty);
    set_timeouts(core, Seconds::from_int(1));
    auto reader = spawn(PortCore::read(core, 5));
    std::this_thread::sleep_for(10ms);  // the read waits on readiness
    master_write(pty, "hello");
    EXPECT_EQ(join(reader).value(), "hello");

    EXPECT_EQ(run(ops::write(core, "world")).value(), Outcome(std::size_t{5}));
    auto got = read_up_to(pty.master(), 5);
    EXPECT_EQ(std::string(got.begin(), got.end()), "world");
    EXPECT_TRUE(run(ops::flush(core)).ok());
    EXPECT_TRUE(core->fileno().value().has_value());
}

TEST(NativePort, AnEmptyDeviceIsNotADisconnect) {
    PtyPair pty;
    auto core = open_pty(pty);
    set_timeouts(core, Seconds::from_float(0.02));
    EXPECT_EQ(run(PortCore::read(core, 4)).value(), "");
    set_timeouts(core, Seconds::from_int(0));
    EXPECT_EQ(run(PortCore::read(core, 4)).value(), "");
    EXPECT_TRUE(core->is_open());
}

TEST(NativePort, AFullDeviceTakesWhatFitsAndLosesNothing) {
    PtyPair pty;
    auto core = open_pty(pty);
    set_timeouts(core, std::nullopt, std::nullopt, Seconds::from_int(0));
    std::string data(1 << 20, 'z');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    auto first = run(ops::write(core, data));
    std::size_t accepted = std::get<std::size_t>(first.value().value());
    EXPECT_GT(accepted, 0u);
    EXPECT_LT(accepted, data.size());  // the pty filled up: non-blocking gave what fit
    // An unbounded write of the rest completes while the master drains.
    set_timeouts(core, std::nullopt);
    auto writer = spawn(ops::write(core, data.substr(accepted)));
    auto got = read_up_to(pty.master(), data.size(), 10000);
    EXPECT_EQ(join(writer).value(), Outcome(data.size() - accepted));
    EXPECT_TRUE(std::string(got.begin(), got.end()) == data);
}

TEST(NativePort, MasterClosingDisconnectsAWaitingRead) {
    PtyPair pty;
    auto core = open_pty(pty);
    set_timeouts(core, std::nullopt);
    auto reader = spawn(PortCore::read(core, 1));
    std::this_thread::sleep_for(10ms);
    pty.close_master();
    auto result = join(reader);
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(port::is_disconnect(result.error())) << result.error().display();
    EXPECT_FALSE(core->is_open());
}

TEST(NativePort, MasterClosingDisconnectsAWrite) {
    PtyPair pty;
    auto core = open_pty(pty);
    pty.close_master();
    auto result = run(ops::write(core, "x"));
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(port::is_disconnect(result.error())) << result.error().display();
    EXPECT_FALSE(core->is_open());
}

TEST(NativePort, OpenFailureNamesThePort) {
    auto core = PortCore::make();
    core->with_settings([](PortSettings& s) { s.port = "/dev/quorvelin-no-such-port"; });
    auto opened = core->open();
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().os_errno(), ENOENT);
    EXPECT_EQ(opened.error().display().rfind("could not open port /dev/quorvelin-no-such-port: [Errno 2] ", 0), 0u)
        << opened.error().display();
}

TEST(NativePort, ParentStillReadsAfterAForkedChildClosedItsCopy) {
    PtyPair pty;
    auto core = open_pty(pty);
    set_timeouts(core, Seconds::from_int(2));
    EXPECT_EQ(run(ops::write(core, "warm")).value(), Outcome(std::size_t{4}));  // the runtime runs
    (void)read_up_to(pty.master(), 4);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        core->close();  // must not disarm the parent's registration in the shared epoll set
        auto owned = runtime::runtime();
        ::_exit(!owned.ok() && owned.error() == SerialError::forked() ? 0 : 3);
    }
    ASSERT_EQ(reap_child(child), 0) << "-1: the child hung or ended abnormally";
    set_timeouts(core, std::nullopt);  // only the reactor's readiness can end this read
    auto reader = spawn(PortCore::read(core, 3));
    std::this_thread::sleep_for(20ms);
    master_write(pty, "abc");
    EXPECT_EQ(join(reader, 1000ms).value(), "abc");
}

}  // namespace
}  // namespace quorvelin::testing
