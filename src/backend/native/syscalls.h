#pragma once
// The system calls of the terminal-device layer, behind one seam so that tests can stand in
// for what a pseudo-terminal cannot do (modem lines, vanished devices, failing drains).

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

namespace quorvelin::native {

// Each call keeps the C library's convention: -1 with errno set on failure. The defaults
// make the real calls; a test derives and overrides the calls it needs to control.
class Syscalls {
public:
    virtual ~Syscalls() = default;

    virtual int open(const char* path, int flags);
    virtual int close(int fd);
    virtual int ioctl(int fd, unsigned long request, void* argument);
    virtual int flock(int fd, int operation);
    virtual ssize_t read(int fd, void* buffer, std::size_t size);
    virtual ssize_t write(int fd, const void* data, std::size_t size);
    virtual int poll(pollfd* fds, nfds_t count, int timeout_ms);
    // Discards a queue: TCIFLUSH, TCOFLUSH or TCIOFLUSH.
    virtual int tcflush(int fd, int queue);
    // Blocks until the output queue has been sent.
    virtual int tcdrain(int fd);
    // A new descriptor for the same open file, close-on-exec.
    virtual int dup_cloexec(int fd);
    virtual pid_t getpid();

    // The real calls.
    static Syscalls& real();
    // The instance new devices use: the real calls unless a test installed another.
    static Syscalls& current();
    // Makes `replacement` current (nullptr restores the real calls); returns the previous one.
    // The replacement must outlive every device and drain that uses it.
    static Syscalls* install(Syscalls* replacement);
};

}  // namespace quorvelin::native
