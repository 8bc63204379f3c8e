#include "backend/native/terminal_attributes.h"

#include <asm/ioctls.h>

#include <cerrno>

#include "backend/native/retry.h"
#include "backend/native/syscalls.h"

namespace quorvelin::native {

int get_attributes(Syscalls& syscalls, int fd, TerminalAttributes& attributes) {
    int rc = retry_on_eintr([&] { return syscalls.ioctl(fd, TCGETS2, &attributes); });
    return rc == -1 ? errno : 0;
}

int set_attributes(Syscalls& syscalls, int fd, const TerminalAttributes& attributes) {
    // TCSETS2 only reads its argument; the seam's ioctl takes a mutable pointer.
    auto copy = attributes;
    int rc = retry_on_eintr([&] { return syscalls.ioctl(fd, TCSETS2, &copy); });
    return rc == -1 ? errno : 0;
}

void set_speed(TerminalAttributes& attributes, std::uint32_t baudrate) {
    attributes.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    attributes.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    attributes.c_ispeed = baudrate;
    attributes.c_ospeed = baudrate;
}

}  // namespace quorvelin::native
