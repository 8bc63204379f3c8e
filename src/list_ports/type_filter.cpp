#include "list_ports/type_filter.h"

#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "list_ports/utf8.h"

namespace quorvelin::list_ports {
namespace {

constexpr std::string_view dev_prefix = "/dev/";

std::optional<std::string> read_whole_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return content;
}

}  // namespace

bool type_content_lists_port(std::string_view content) {
    std::optional<std::u32string> text = decode_utf8(content);
    if (!text) {
        return true;
    }
    return trim_white_space(*text) != U"0";
}

bool is_listed(std::string_view port_name, const std::filesystem::path& root) {
    if (port_name.size() < dev_prefix.size() || !port_name.starts_with(dev_prefix)) {
        return true;
    }
    // Textual join: the rest of the name may itself hold slashes.
    std::string relative = "sys/class/tty/";
    relative += port_name.substr(dev_prefix.size());
    relative += "/type";
    std::optional<std::string> content = read_whole_file(root / relative);
    return !content || type_content_lists_port(*content);
}

}  // namespace quorvelin::list_ports
