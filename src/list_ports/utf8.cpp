#include "list_ports/utf8.h"

#include <cstdint>

namespace quorvelin::list_ports {

std::optional<std::u32string> decode_utf8(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        auto lead = static_cast<std::uint8_t>(bytes[i]);
        std::size_t length = 0;
        char32_t c = 0;
        char32_t smallest = 0;  // below this the form is overlong
        if (lead < 0x80) {
            length = 1;
            c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            c = lead & 0x1F;
            smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            c = lead & 0x0F;
            smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            c = lead & 0x07;
            smallest = 0x10000;
        } else {
            return std::nullopt;
        }
        if (bytes.size() - i < length) {
            return std::nullopt;
        }
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<std::uint8_t>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            c = (c << 6) | (next & 0x3F);
        }
        if (c < smallest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return std::nullopt;
        }
        out.push_back(c);
        i += length;
    }
    return out;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

std::u32string_view trim_white_space(std::u32string_view text) {
    while (!text.empty() && is_white_space(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_white_space(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace quorvelin::list_ports
