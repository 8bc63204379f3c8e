#pragma once
// Turns an enumerated port record into the data of a ListPortInfo.

#include <string>
#include <string_view>

#include "list_ports/port_info.h"
#include "list_ports/port_record.h"

namespace quorvelin::list_ports {

// A USB port gets its ids, strings, location and the USB description formats; any other
// port keeps the defaults of PortInfo::for_device.
PortInfo from_record(const PortRecord& record);

// "{bus}-{p1.p2...}", the bus rewritten by usb_bus_text.
std::string location_text(const BusLocation& location);

// The bus text, except that a text holding "USBROOT(n" (a root-hub index counted from 0)
// becomes the bus number n + 1.
std::string usb_bus_text(std::string_view bus);

}  // namespace quorvelin::list_ports
