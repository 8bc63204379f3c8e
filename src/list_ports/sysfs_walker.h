#pragma once
// Lists the serial ports of a Linux system from sysfs: every entry of /sys/class/tty with a
// `device` link (hardware behind it), classified as USB, PCI, Bluetooth or other.
//
// Every path is taken below `root` ("/" on a live system), so tests can point it at a fake
// tree. Nothing here touches Python; run it with the interpreter released.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "errors/serial_error.h"
#include "list_ports/port_record.h"

namespace quorvelin::list_ports {

// Why the enumeration could not run, in the terms SerialError::from_library_error takes.
struct LibraryError {
    LibraryErrorKind kind;
    std::string description;
    bool operator==(const LibraryError&) const = default;
};

using Enumeration = std::variant<std::vector<PortRecord>, LibraryError>;

// The ports in natural order of their tty names. Fails only when root/sys/class/tty cannot
// be listed; an entry whose links or attributes cannot be read is degraded, never fatal.
Enumeration enumerate_ports(const std::filesystem::path& root);

// The bus location encoded in a USB device directory name, "<bus>-<port>[.<port>...]"
// (e.g. "1-1.2" gives bus "1" and ports [1, 2]); nothing for root hubs ("usb1") or names
// that do not follow the pattern.
std::optional<BusLocation> usb_location_from_name(std::string_view directory_name);

}  // namespace quorvelin::list_ports
