#include "list_ports/type_filter.h"

#include <optional>
#include <string>

#include "list_ports/read_file.h"
#include "list_ports/utf8.h"

namespace quorvelin::list_ports {
namespace {

constexpr std::string_view dev_prefix = "/dev/";

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
    std::optional<std::string> content = read_file(root / relative);
    return !content || type_content_lists_port(*content);
}

}  // namespace quorvelin::list_ports
