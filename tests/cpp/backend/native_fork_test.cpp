// A child created by fork that closes its copy of a device leaves the parent's port intact.

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "backend/native/open.h"
#include "emulation_gaps.h"
#include "pty_pair.h"

namespace quorvelin::native {
namespace {

using testing::PtyPair;
using testing::wait_for;

// Waits up to five seconds for `child`; kills it if it hangs. True when it exited with 0.
bool reap(pid_t child) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done == -1 && errno != EINTR) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return false;
}

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
    return reap(child);
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
