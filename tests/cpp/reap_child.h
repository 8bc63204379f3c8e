#pragma once
// Reaping a forked child with a bound, so that a child that hangs fails the test instead of
// stalling it (or passing for the zero its status started at).

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace quorvelin::testing {

// Waits up to `bound` for `child` and kills it if it is still running then. Its exit code,
// or -1 for a hang or an abnormal end.
inline int reap_child(pid_t child, std::chrono::milliseconds bound = std::chrono::seconds(5)) {
    auto end = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done == -1 && errno != EINTR) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return -1;
}

}  // namespace quorvelin::testing
