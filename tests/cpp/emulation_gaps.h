#pragma once
// Run-time probes for terminal features that some platforms lack. A user-mode emulator (the
// armhf suites run under one) does not translate every terminal ioctl or termios flag. A test
// that needs such a feature begins with
//     QUORVELIN_SKIP_IF_MISSING(quorvelin::emulation_gaps::missing_break_ioctls());
// and is skipped, with a reason that names the feature, when a probe on a pty fails. Nothing is
// skipped by architecture.

#include <asm/termbits.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quorvelin::emulation_gaps {

namespace detail {

// Runs `probe` on the slave side of a fresh pty; false when the pty cannot be made.
template <class Probe>
bool on_pty(Probe probe) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    char name[128];
    bool worked = false;
    if (::grantpt(master) == 0 && ::unlockpt(master) == 0 && ::ptsname_r(master, name, sizeof name) == 0) {
        int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave >= 0) {
            worked = probe(slave);
            ::close(slave);
        }
    }
    ::close(master);
    return worked;
}

inline std::optional<std::string> unless(bool works, const char* reason) {
    return works ? std::nullopt : std::optional<std::string>(reason);
}

}  // namespace detail

// TIOCSBRK and TIOCCBRK start and end a break condition.
inline std::optional<std::string> missing_break_ioctls() {
    static const bool works = detail::on_pty(
        [](int fd) { return ::ioctl(fd, TIOCSBRK) == 0 && ::ioctl(fd, TIOCCBRK) == 0; });
    return detail::unless(
        works, "terminal ioctls TIOCSBRK/TIOCCBRK are not supported here (a pty probe failed)");
}

// TIOCGEXCL reads back the exclusive mode that TIOCEXCL set.
inline std::optional<std::string> missing_exclusive_query() {
    static const bool works = detail::on_pty([](int fd) {
        int on = 0;
        return ::ioctl(fd, TIOCEXCL) == 0 && ::ioctl(fd, TIOCGEXCL, &on) == 0 && on == 1;
    });
    return detail::unless(
        works, "terminal ioctl TIOCGEXCL is not supported here (a pty probe failed)");
}

// CMSPAR (mark and space parity) survives a TCSETS2/TCGETS2 round trip.
inline std::optional<std::string> missing_mark_space_parity() {
    static const bool works = detail::on_pty([](int fd) {
        termios2 attributes{};
        if (::ioctl(fd, TCGETS2, &attributes) != 0) return false;
        attributes.c_cflag |= CMSPAR | PARENB;
        if (::ioctl(fd, TCSETS2, &attributes) != 0) return false;
        termios2 read_back{};
        return ::ioctl(fd, TCGETS2, &read_back) == 0 && (read_back.c_cflag & CMSPAR) == CMSPAR;
    });
    return detail::unless(
        works, "termios flag CMSPAR (mark/space parity) does not survive TCSETS2 here (a pty probe failed)");
}

}  // namespace quorvelin::emulation_gaps

// Skips the running test, with the probe's reason, when the feature is missing. Use it in a test
// body or a fixture's SetUp.
#define QUORVELIN_SKIP_IF_MISSING(missing)                          \
    if (std::optional<std::string> quorvelin_missing_ = (missing)) \
    GTEST_SKIP() << *quorvelin_missing_
