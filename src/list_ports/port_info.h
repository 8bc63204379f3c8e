#pragma once
// The data of one ListPortInfo and its USB text formats, free of Python.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvelin::list_ports {

struct PortInfo {
    std::string device;
    std::string name;
    std::string description = "n/a";
    std::string hwid = "n/a";
    std::optional<std::string> serial_number;
    std::optional<std::string> location;
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;
    std::optional<std::string> interface;
    std::optional<std::uint16_t> vid;
    std::optional<std::uint16_t> pid;

    // A port known only by its device path: `name` from the path, the rest defaults.
    static PortInfo for_device(std::string device);

    // "{product} - {interface}", else the product, else the name.
    std::string usb_description() const;
    // "USB VID:PID=vvvv:pppp" with " SER=..." and " LOCATION=..." when known.
    std::string usb_info() const;
    // Replaces `description` and `hwid` with the two texts above.
    void apply_usb_info();
};

// The last path component of `device`, ignoring empty and "." components; the whole
// text when there is none or the last one is "..".
std::string name_from_device(std::string_view device);

}  // namespace quorvelin::list_ports
