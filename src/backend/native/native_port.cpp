#include "backend/native/native_port.h"

#include <cerrno>

namespace quorvelin::native {

Result<std::unique_ptr<Backend>> open(std::string_view name, const PortSettings&, bool, bool) {
    // Terminal devices arrive with the native backend.
    return SerialError::open_failed(name, SerialError::from_os_error(ENOTSUP));
}

}  // namespace quorvelin::native
