#pragma once
// A pseudo-terminal for the device tests: the test keeps the master, the device under test
// opens the slave by its path. Every wait is bounded so a hang fails the test.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvelin::native::testing {

inline constexpr int kWaitMs = 2000;

class PtyPair {
public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) {
            throw std::runtime_error("no pseudo-terminal name");
        }
        slave_path_ = name;
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    ~PtyPair() { close_master(); }

    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }
    void close_master() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

private:
    int master_ = -1;
    std::string slave_path_;
};

// Waits up to `timeout_ms` for `events` on `fd`; true when they came.
inline bool wait_for(int fd, short events, int timeout_ms = kWaitMs) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, timeout_ms) == 1 && (p.revents & events) != 0;
}

// Reads from a non-blocking `fd` until `size` bytes came or `timeout_ms` passed.
inline std::vector<std::uint8_t> read_up_to(int fd, std::size_t size, int timeout_ms = kWaitMs) {
    std::vector<std::uint8_t> data;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (data.size() < size) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !wait_for(fd, POLLIN, static_cast<int>(left))) {
            break;
        }
        std::uint8_t chunk[4096];
        ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, size - data.size()));
        if (n <= 0) {
            if (n == -1 && errno == EAGAIN) continue;
            break;
        }
        data.insert(data.end(), chunk, chunk + n);
    }
    return data;
}

}  // namespace quorvelin::native::testing
