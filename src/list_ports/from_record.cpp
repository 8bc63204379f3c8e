#include "list_ports/from_record.h"

#include <cstddef>
#include <limits>

#include "list_ports/utf8.h"

namespace quorvelin::list_ports {
namespace {

constexpr std::string_view root_marker = "USBROOT(";

// Names and strings come from sysfs as bytes. Python shows them decoded, and hashing and
// comparing use the stored text, so the two must be one text: store the decoded one.
std::optional<std::string> as_text(const std::optional<std::string>& bytes) {
    if (!bytes) {
        return std::nullopt;
    }
    return replace_invalid_utf8(*bytes);
}

}  // namespace

std::string usb_bus_text(std::string_view bus) {
    std::size_t marker = bus.rfind(root_marker);
    if (marker == std::string_view::npos) {
        return std::string(bus);
    }
    std::string_view rest = bus.substr(marker + root_marker.size());
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    std::size_t value = 0;
    std::size_t digits = 0;
    for (char c : rest) {
        if (c < '0' || c > '9') {
            break;
        }
        auto digit = static_cast<std::size_t>(c - '0');
        if (value > (max - digit) / 10) {
            return std::string(bus);  // does not fit a machine word
        }
        value = value * 10 + digit;
        ++digits;
    }
    if (digits == 0) {
        return std::string(bus);
    }
    return std::to_string(value == max ? max : value + 1);
}

std::string location_text(const BusLocation& location) {
    std::string ports;
    for (std::size_t i = 0; i < location.ports.size(); ++i) {
        if (i > 0) {
            ports += '.';
        }
        ports += std::to_string(location.ports[i]);
    }
    return usb_bus_text(location.bus) + "-" + ports;
}

PortInfo from_record(const PortRecord& record) {
    PortInfo info = PortInfo::for_device(replace_invalid_utf8(record.port_name));
    const auto* usb = std::get_if<UsbPort>(&record.type);
    if (usb == nullptr) {
        return info;
    }
    info.vid = usb->vid;
    info.pid = usb->pid;
    info.serial_number = as_text(usb->serial_number);
    info.manufacturer = as_text(usb->manufacturer);
    info.product = as_text(usb->product);
    if (usb->location) {
        info.location = location_text(*usb->location);
    }
    info.apply_usb_info();
    return info;
}

}  // namespace quorvelin::list_ports
