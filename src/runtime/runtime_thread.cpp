#include "runtime/runtime_thread.h"

#include <pthread.h>
#include <signal.h>

#include <new>
#include <system_error>
#include <thread>

namespace quorvelin::runtime {
namespace {

// Every signal except those raised synchronously by a faulting instruction, which must be
// delivered to the thread that caused them.
sigset_t asynchronous_signals() {
    sigset_t set;
    sigfillset(&set);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
        sigdelset(&set, sig);
    }
    return set;
}

// Blocks the signals on the creating thread for the duration of the creation; the new
// thread inherits the mask.
class SignalsBlockedForCreation {
public:
    SignalsBlockedForCreation() {
        sigset_t blocked = asynchronous_signals();
        pthread_sigmask(SIG_BLOCK, &blocked, &saved_);
    }
    ~SignalsBlockedForCreation() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsBlockedForCreation(const SignalsBlockedForCreation&) = delete;
    SignalsBlockedForCreation& operator=(const SignalsBlockedForCreation&) = delete;

private:
    sigset_t saved_;
};

}  // namespace

Status start_runtime_thread(std::function<void()> body) {
    SignalsBlockedForCreation blocked;
    try {
        std::thread thread(std::move(body));
        // Named here rather than by the thread itself, so the name is in place by the time
        // the start of the runtime returns.
        pthread_setname_np(thread.native_handle(), runtime_thread_name);
        thread.detach();
    } catch (const std::system_error& error) {
        return SerialError::from_os_error(error.code().value());
    } catch (const std::bad_alloc&) {
        return SerialError::out_of_memory();
    }
    return ok_status();
}

}  // namespace quorvelin::runtime
