#include "backend/native/open.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <string>

#include "backend/native/library_error.h"
#include "backend/native/line_steps.h"
#include "backend/native/retry.h"
#include "backend/native/syscalls.h"

namespace quorvelin::native {

namespace {

Status lock(Syscalls& sys, int fd, bool exclusive) {
    int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    if (retry_on_eintr([&] { return sys.flock(fd, operation); }) == -1) {
        if (errno == EWOULDBLOCK) {
            return library_failure(exclusive ? "the port is already open in another process"
                                             : "the port is open exclusively in another process");
        }
        return library_os_error(errno);
    }
    // Locked first, so that a refused open leaves the holder's terminal mode alone.
    if (exclusive && retry_on_eintr([&] { return sys.ioctl(fd, TIOCEXCL, nullptr); }) == -1) {
        return library_os_error(errno);
    }
    return ok_status();
}

// Opening, locking and raw mode: the steps whose failure names the port.
Result<Device> open_device(const std::string& path, const PortSettings& settings,
                           Syscalls& sys) {
    // A name with a NUL would reach the kernel cut short: another device's name.
    if (path.find('\0') != std::string::npos) {
        return library_os_error(EINVAL);
    }
    int fd = retry_on_eintr(
        [&] { return sys.open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd == -1) {
        return library_os_error(errno);
    }
    if (Status locked = lock(sys, fd, settings.exclusive == Exclusive::Yes); !locked) {
        sys.close(fd);
        return std::move(locked).error();
    }
    Device device(fd, sys, sys.getpid());
    if (Status raw = apply_raw_mode(device, settings.baudrate); !raw) {
        return std::move(raw).error();
    }
    return device;
}

}  // namespace

Result<Device> open_terminal(std::string_view port, const PortSettings& settings, bool rts, bool dtr) {
    return open_terminal(port, settings, rts, dtr, Syscalls::current());
}

Result<Device> open_terminal(std::string_view port, const PortSettings& settings, bool rts, bool dtr,
                    Syscalls& syscalls) {
    std::string path(port);
    Result<Device> device = open_device(path, settings, syscalls);
    if (!device) {
        return SerialError::open_failed(port, device.error());
    }
    if (Status configured = device->configure(settings, rts, dtr); !configured) {
        return std::move(configured).error();
    }
    return device;
}

}  // namespace quorvelin::native
