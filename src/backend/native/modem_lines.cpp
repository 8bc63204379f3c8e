#include "backend/native/modem_lines.h"

#include <sys/ioctl.h>

#include "backend/native/device.h"
#include "backend/native/library_error.h"
#include "backend/native/retry.h"
#include "backend/native/syscalls.h"

namespace quorvelin::native {

Result<int> read_modem_bits(Device& device) {
    int bits = 0;
    if (retry_on_eintr([&] { return device.syscalls().ioctl(device.fileno(), TIOCMGET, &bits); }) == -1) {
        return library_os_error(errno);
    }
    return bits;
}

Status drive_modem_lines(Device& device, int bits, bool level) {
    unsigned long request = level ? TIOCMBIS : TIOCMBIC;
    if (retry_on_eintr([&] { return device.syscalls().ioctl(device.fileno(), request, &bits); }) == -1) {
        return library_os_error(errno);
    }
    return ok_status();
}

}  // namespace quorvelin::native
