#pragma once
// Leaves out tty nodes that the serial core created without a UART behind them.

#include <filesystem>
#include <string_view>

namespace quorvelin::list_ports {

// Whether the content of a tty `type` file still lets the port be listed: only a type that
// reads exactly "0" once trimmed (no UART found) hides it; invalid UTF-8 never does.
bool type_content_lists_port(std::string_view content);

// Whether `port_name` is listed, judged by root/sys/class/tty/<name after /dev/>/type.
// Names that are not under /dev/ are listed without reading anything.
bool is_listed(std::string_view port_name, const std::filesystem::path& root);

}  // namespace quorvelin::list_ports
