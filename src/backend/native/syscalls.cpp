#include "backend/native/syscalls.h"

#include <asm/ioctls.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

namespace quorvelin::native {

int Syscalls::open(const char* path, int flags) { return ::open(path, flags); }

int Syscalls::close(int fd) { return ::close(fd); }

int Syscalls::ioctl(int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
}

int Syscalls::flock(int fd, int operation) { return ::flock(fd, operation); }

ssize_t Syscalls::read(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }

ssize_t Syscalls::write(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}

int Syscalls::poll(pollfd* fds, nfds_t count, int timeout_ms) {
    return ::poll(fds, count, timeout_ms);
}

// The two queue requests are what the C library's tcflush and tcdrain issue; calling them
// directly keeps glibc's termios declarations out of the termios2 code.
int Syscalls::tcflush(int fd, int queue) { return ::ioctl(fd, TCFLSH, queue); }

int Syscalls::tcdrain(int fd) { return ::ioctl(fd, TCSBRK, 1); }

int Syscalls::dup_cloexec(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }

pid_t Syscalls::getpid() { return ::getpid(); }

namespace {
std::atomic<Syscalls*> installed{nullptr};
}  // namespace

Syscalls& Syscalls::real() {
    static Syscalls instance;
    return instance;
}

Syscalls& Syscalls::current() {
    Syscalls* replacement = installed.load(std::memory_order_acquire);
    return replacement != nullptr ? *replacement : real();
}

Syscalls* Syscalls::install(Syscalls* replacement) {
    return installed.exchange(replacement, std::memory_order_acq_rel);
}

}  // namespace quorvelin::native
