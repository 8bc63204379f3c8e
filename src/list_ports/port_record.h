#pragma once
// One serial port as the sysfs enumeration reports it, before it becomes a ListPortInfo.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quorvelin::list_ports {

// Where a USB device hangs: its bus and the hub port numbers from the root hub down.
struct BusLocation {
    std::string bus;
    std::vector<std::uint8_t> ports;
    bool operator==(const BusLocation&) const = default;
};

struct UsbPort {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::optional<std::string> serial_number;
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;
    std::optional<BusLocation> location;
    bool operator==(const UsbPort&) const = default;
};

struct PciPort {
    bool operator==(const PciPort&) const = default;
};
struct BluetoothPort {
    bool operator==(const BluetoothPort&) const = default;
};
// Platform UARTs, PNP ports and everything else without USB details.
struct UnknownPort {
    bool operator==(const UnknownPort&) const = default;
};

using PortType = std::variant<UnknownPort, UsbPort, PciPort, BluetoothPort>;

struct PortRecord {
    std::string port_name;  // the device path, e.g. /dev/ttyUSB0
    PortType type;
    bool operator==(const PortRecord&) const = default;
};

}  // namespace quorvelin::list_ports
