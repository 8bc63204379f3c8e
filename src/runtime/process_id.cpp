#include "runtime/process_id.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace quorvelin::runtime {
namespace {

std::atomic<std::uint32_t> cached_pid{0};

// Also the fork handler of the child: it runs there before fork() returns, alone.
void refresh_pid() { cached_pid.store(static_cast<std::uint32_t>(::getpid()), std::memory_order_relaxed); }

}  // namespace

std::uint32_t process_id() {
    // Registered before the first read, so that no fork after it can leave a stale id behind.
    static const bool ready = [] {
        pthread_atfork(nullptr, nullptr, refresh_pid);
        refresh_pid();
        return true;
    }();
    (void)ready;
    return cached_pid.load(std::memory_order_relaxed);
}

}  // namespace quorvelin::runtime
