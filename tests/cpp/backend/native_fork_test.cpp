// A child created by fork that closes its copy of a device leaves the parent's port intact.

#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>

#include "backend/native/open.h"
#include "emulation_gaps.h"
#include "pty_pair.h"
#include "reap_child.h"

namespace quorvelin::native {
namespace {

using testing::PtyPair;
using testing::wait_for;

int exclusive_mode(int fd) {
    int on = -1;
    return ::ioctl(fd, TIOCGEXCL, &on) == 0 ? on : -1;
}

PortSettings exclusive_settings() {
    PortSettings settings;
    settings.exclusive = Exclusive::Yes;
    return settings;
}

// Forks a child that closes its copy of `device` and exits; true when it did so cleanly.
bool child_closes_its_copy(std::optional<Device>& device) {
    pid_t child = ::fork();
    if (child == -1) return false;
    if (child == 0) {
        device.reset();
        ::_exit(0);
    }
    return quorvelin::testing::reap_child(child) == 0;
}

TEST(NativeFork, ChildClosingItsCopyKeepsTheParentsPort) {
    PtyPair pty;
    auto opened = open_terminal(pty.slave_path(), exclusive_settings(), true, true);
    ASSERT_TRUE(opened.ok()) << opened.error().display();
    std::optional<Device> device(std::move(opened).value());

    ASSERT_TRUE(child_closes_its_copy(device));

    EXPECT_TRUE(device->opened_in_this_process());
    EXPECT_FALSE(open_terminal(pty.slave_path(), exclusive_settings(), true, true).ok())
        << "the lock went with the child";
    ASSERT_EQ(::write(pty.master(), "z", 1), 1);
    ASSERT_TRUE(wait_for(device->fileno(), POLLIN));
    std::uint8_t byte = 0;
    EXPECT_EQ(device->read_some({&byte, 1}), IoAttempt::ready(1));
    EXPECT_EQ(byte, 'z');
}

TEST(NativeFork, ChildClosingItsCopyKeepsExclusiveMode) {
    QUORVELIN_SKIP_IF_MISSING(emulation_gaps::missing_exclusive_query());
    PtyPair pty;
    auto opened = open_terminal(pty.slave_path(), exclusive_settings(), true, true);
    ASSERT_TRUE(opened.ok()) << opened.error().display();
    std::optional<Device> device(std::move(opened).value());
    ASSERT_EQ(exclusive_mode(device->fileno()), 1);

    ASSERT_TRUE(child_closes_its_copy(device));

    EXPECT_EQ(exclusive_mode(device->fileno()), 1);
}

}  // namespace
}  // namespace quorvelin::native
