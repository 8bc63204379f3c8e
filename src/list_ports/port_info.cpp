#include "list_ports/port_info.h"

#include <cstdio>

namespace quorvelin::list_ports {

std::string name_from_device(std::string_view device) {
    std::string_view last;
    bool found = false;
    std::size_t start = 0;
    while (start <= device.size()) {
        std::size_t slash = device.find('/', start);
        std::size_t end = slash == std::string_view::npos ? device.size() : slash;
        std::string_view component = device.substr(start, end - start);
        if (!component.empty() && component != ".") {
            last = component;
            found = true;
        }
        start = end + 1;
    }
    if (!found || last == "..") {
        return std::string(device);
    }
    return std::string(last);
}

PortInfo PortInfo::for_device(std::string device) {
    PortInfo info;
    info.name = name_from_device(device);
    info.device = std::move(device);
    return info;
}

std::string PortInfo::usb_description() const {
    if (interface) {
        return product.value_or("None") + " - " + *interface;
    }
    if (product) {
        return *product;
    }
    return name;
}

std::string PortInfo::usb_info() const {
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB VID:PID=%04X:%04X", static_cast<unsigned>(vid.value_or(0)),
                  static_cast<unsigned>(pid.value_or(0)));
    std::string text = ids;
    if (serial_number) {
        text += " SER=" + *serial_number;
    }
    if (location) {
        text += " LOCATION=" + *location;
    }
    return text;
}

void PortInfo::apply_usb_info() {
    description = usb_description();
    hwid = usb_info();
}

}  // namespace quorvelin::list_ports
