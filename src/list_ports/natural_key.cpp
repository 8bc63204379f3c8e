#include "list_ports/natural_key.h"

#include <algorithm>
#include <optional>

namespace quorvelin::list_ports {
namespace {

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

std::optional<KeyNumber> decimal_value(std::string_view digits) {
    KeyNumber value;
    for (char c : digits) {
        std::optional<KeyNumber> next = value.times_ten_plus(static_cast<unsigned>(c - '0'));
        if (!next) {
            return std::nullopt;
        }
        value = *next;
    }
    return value;
}

std::vector<KeyNumber> bytes_of(std::string_view run) {
    std::vector<KeyNumber> out;
    out.reserve(run.size());
    for (char c : run) {
        out.push_back(static_cast<unsigned char>(c));
    }
    return out;
}

}  // namespace

std::optional<KeyNumber> KeyNumber::times_ten_plus(unsigned digit) const {
    // The low half in 32-bit pieces, so each product and its carry fit 64 bits.
    constexpr std::uint64_t mask = 0xFFFF'FFFF;
    std::uint64_t bottom = (low & mask) * 10 + digit;
    std::uint64_t top = (low >> 32) * 10 + (bottom >> 32);
    std::uint64_t carry = top >> 32;
    if (high > (~std::uint64_t{0} - carry) / 10) {
        return std::nullopt;
    }
    return KeyNumber{high * 10 + carry, (top << 32) | (bottom & mask)};
}

NaturalKey natural_key(std::string_view text) {
    // UTF-8 continuation and lead bytes are never ASCII digits, so splitting bytes is the same
    // as splitting characters.
    NaturalKey key;
    std::size_t start = 0;
    while (start < text.size()) {
        bool digits = is_ascii_digit(text[start]);
        std::size_t end = start + 1;
        while (end < text.size() && is_ascii_digit(text[end]) == digits) {
            ++end;
        }
        std::string_view run = text.substr(start, end - start);
        std::optional<KeyNumber> value = digits ? decimal_value(run) : std::nullopt;
        if (value) {
            key.push_back({*value});
        } else {
            key.push_back(bytes_of(run));
        }
        start = end;
    }
    return key;
}

bool natural_less(std::string_view a, std::string_view b) {
    NaturalKey left = natural_key(a);
    NaturalKey right = natural_key(b);
    return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end());
}

}  // namespace quorvelin::list_ports
