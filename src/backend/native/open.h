#pragma once
// open_terminal: opens a terminal device by path and gives it the port's settings.

#include <string_view>

#include "backend/native/device.h"
#include "errors/result.h"
#include "port/port_settings.h"

namespace quorvelin::native {

class Syscalls;

// Opens `port` read-write, non-blocking, close-on-exec and without becoming its controlling
// terminal; locks it (exclusively when settings.exclusive is Yes, else shared, so either
// kind fails while another holder excludes it); puts it in raw mode; then configures it
// with the settings and the RTS and DTR levels. Opening failures name the port; a failing
// configuration is returned as it is, with the device closed again.
Result<Device> open_terminal(std::string_view port, const PortSettings& settings, bool rts, bool dtr);
Result<Device> open_terminal(std::string_view port, const PortSettings& settings, bool rts, bool dtr,
                    Syscalls& syscalls);

}  // namespace quorvelin::native
