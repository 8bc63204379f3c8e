#pragma once
// ScriptedSyscalls: the real system calls with a log, injected failures, and stand-ins for
// what a pseudo-terminal lacks (modem lines, keeping data bits and parity, hang-up probes).

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "backend/native/syscalls.h"

namespace quorvelin::native::testing {

class ScriptedSyscalls : public Syscalls {
public:
    // Names of the calls, as logged and as keys of `fail`.
    std::vector<std::string> log;
    // Open flags and flock operations as requested.
    std::vector<int> open_flags;
    std::vector<int> flock_operations;

    // The next `times` calls named `call` fail with `err` without reaching the kernel.
    void fail(const std::string& call, int err, int times = 1) {
        for (int i = 1; i <= times; ++i) fail_nth(call, i, err);
    }
    // Only the `nth` next call named `call` (1 = the next one) fails with `err`.
    void fail_nth(const std::string& call, int nth, int err) {
        failures_[call][seen_[call] + nth] = err;
    }

    // Modem lines kept here (TIOCMGET/SET/BIS/BIC) instead of failing on the pty.
    bool emulate_modem = false;
    int modem_bits = 0;

    // Terminal attributes kept here, seeded from the device: a pty forces 8 data bits
    // without parity, a real port keeps what it is given.
    bool emulate_attributes = false;
    std::optional<termios2> attributes;
    // A TCSETS2 with this output speed fails with EINVAL.
    std::optional<unsigned> reject_speed;
    // With emulated attributes: the rate a driver settles on instead of an asked one.
    std::optional<unsigned> runs_at;

    // Reads that return 0 bytes before reaching the kernel, and what the hang-up probe
    // (poll) then reports (absent: ask the kernel).
    int zero_reads = 0;
    std::optional<short> poll_revents;

    std::optional<pid_t> pid;

    int count(const std::string& call) const {
        int n = 0;
        for (const auto& entry : log) n += entry == call;
        return n;
    }

    int open(const char* path, int flags) override {
        open_flags.push_back(flags);
        if (record("open")) return -1;
        return Syscalls::open(path, flags);
    }
    int close(int fd) override {
        log.push_back("close");
        return Syscalls::close(fd);
    }
    int flock(int fd, int operation) override {
        flock_operations.push_back(operation);
        if (record("flock")) return -1;
        return Syscalls::flock(fd, operation);
    }
    ssize_t read(int fd, void* buffer, std::size_t size) override {
        if (record("read")) return -1;
        if (zero_reads > 0) {
            --zero_reads;
            return 0;
        }
        return Syscalls::read(fd, buffer, size);
    }
    ssize_t write(int fd, const void* data, std::size_t size) override {
        if (record("write")) return -1;
        return Syscalls::write(fd, data, size);
    }
    int poll(pollfd* fds, nfds_t n, int timeout_ms) override {
        if (record("poll")) return -1;
        if (poll_revents) {
            fds[0].revents = *poll_revents;
            return *poll_revents != 0 ? 1 : 0;
        }
        return Syscalls::poll(fds, n, timeout_ms);
    }
    int tcflush(int fd, int queue) override {
        if (record(queue == TCIFLUSH ? "tcflush in" : queue == TCOFLUSH ? "tcflush out" : "tcflush both")) {
            return -1;
        }
        return Syscalls::tcflush(fd, queue);
    }
    int tcdrain(int fd) override {
        if (record("tcdrain")) return -1;
        return Syscalls::tcdrain(fd);
    }
    int dup_cloexec(int fd) override {
        if (record("dup")) return -1;
        return Syscalls::dup_cloexec(fd);
    }
    pid_t getpid() override { return pid ? *pid : Syscalls::getpid(); }

    int ioctl(int fd, unsigned long request, void* argument) override {
        std::string name = request_name(request, argument);
        if (record(name)) return -1;
        if (emulate_modem && is_modem_request(request)) {
            return modem(request, *static_cast<int*>(argument));
        }
        if (request == TCSETS2 && reject_speed &&
            static_cast<termios2*>(argument)->c_ospeed == *reject_speed) {
            errno = EINVAL;
            return -1;
        }
        if (emulate_attributes && (request == TCGETS2 || request == TCSETS2)) {
            if (!attributes) {
                attributes.emplace();
                if (Syscalls::ioctl(fd, TCGETS2, &*attributes) == -1) return -1;
            }
            if (request == TCGETS2) {
                *static_cast<termios2*>(argument) = *attributes;
            } else {
                *attributes = *static_cast<termios2*>(argument);
                if (runs_at) attributes->c_ispeed = attributes->c_ospeed = *runs_at;
            }
            return 0;
        }
        return Syscalls::ioctl(fd, request, argument);
    }

private:
    // Logs `call`; true when an injected failure is due (errno set).
    bool record(const std::string& call) {
        log.push_back(call);
        int index = ++seen_[call];
        auto it = failures_.find(call);
        if (it == failures_.end()) return false;
        auto due = it->second.find(index);
        if (due == it->second.end()) return false;
        errno = due->second;
        it->second.erase(due);
        return true;
    }

    static bool is_modem_request(unsigned long request) {
        return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    }

    int modem(unsigned long request, int& bits) {
        if (request == TIOCMGET) bits = modem_bits;
        if (request == TIOCMSET) modem_bits = bits;
        if (request == TIOCMBIS) modem_bits |= bits;
        if (request == TIOCMBIC) modem_bits &= ~bits;
        return 0;
    }

    static std::string lines(int bits) {
        std::string text;
        if (bits & TIOCM_RTS) text += "RTS";
        if (bits & TIOCM_DTR) text += text.empty() ? "DTR" : "|DTR";
        return text.empty() ? "-" : text;
    }

    static std::string request_name(unsigned long request, void* argument) {
        switch (request) {
            case TCGETS2: return "TCGETS2";
            case TCSETS2: return "TCSETS2";
            case TIOCMGET: return "TIOCMGET";
            case TIOCMSET: return "TIOCMSET";
            case TIOCMBIS: return "TIOCMBIS " + lines(*static_cast<int*>(argument));
            case TIOCMBIC: return "TIOCMBIC " + lines(*static_cast<int*>(argument));
            case TIOCEXCL: return "TIOCEXCL";
            case TIOCNXCL: return "TIOCNXCL";
            case TIOCSBRK: return "TIOCSBRK";
            case TIOCCBRK: return "TIOCCBRK";
            case FIONREAD: return "FIONREAD";
            case TIOCOUTQ: return "TIOCOUTQ";
            default: return "ioctl " + std::to_string(request);
        }
    }

    std::map<std::string, int> seen_;
    std::map<std::string, std::map<int, int>> failures_;
};

}  // namespace quorvelin::native::testing
