#pragma once
// Reads a small sysfs file whole, without exceptions.

#include <filesystem>
#include <optional>
#include <string>

namespace quorvelin::list_ports {

// The file's bytes; nothing when it is absent, a folder, or a read fails.
std::optional<std::string> read_file(const std::filesystem::path& path);

}  // namespace quorvelin::list_ports
