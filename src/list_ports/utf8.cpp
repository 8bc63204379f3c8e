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

namespace {

// The length of the well-formed sequence that `lead` starts, with the range its second byte
// must lie in (the ranges that rule out overlong forms, surrogates and values beyond
// U+10FFFF); length 0 for a byte that starts none.
struct Lead {
    std::size_t length;
    std::uint8_t second_min;
    std::uint8_t second_max;
};

Lead classify_lead(std::uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

constexpr std::string_view replacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

std::string replace_invalid_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        auto lead = static_cast<std::uint8_t>(bytes[i]);
        if (lead < 0x80) {
            out += bytes[i++];
            continue;
        }
        Lead expected = classify_lead(lead);
        // How far the bytes from i on follow a well-formed sequence.
        std::size_t good = expected.length == 0 ? 0 : 1;
        while (good > 0 && good < expected.length && i + good < bytes.size()) {
            auto next = static_cast<std::uint8_t>(bytes[i + good]);
            bool fits = good == 1 ? next >= expected.second_min && next <= expected.second_max
                                  : next >= 0x80 && next <= 0xBF;
            if (!fits) {
                break;
            }
            ++good;
        }
        if (expected.length != 0 && good == expected.length) {
            out.append(bytes.substr(i, good));
            i += good;
        } else {
            out += replacement;  // one for the whole broken start, or for a stray byte
            i += good == 0 ? 1 : good;
        }
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
