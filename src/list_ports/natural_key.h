#pragma once
// The sort key that orders ttyUSB9 before ttyUSB10.

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quorvelin::list_ports {

// An unsigned 128-bit number as two 64-bit halves, so it exists on every target (32-bit ARM has
// no 128-bit integer type). Member order makes the default comparison numeric.
struct KeyNumber {
    std::uint64_t high = 0;
    std::uint64_t low = 0;

    constexpr KeyNumber() = default;
    constexpr KeyNumber(std::uint64_t value) : low(value) {}
    constexpr KeyNumber(std::uint64_t high_half, std::uint64_t low_half) : high(high_half), low(low_half) {}

    static constexpr KeyNumber max() { return {~std::uint64_t{0}, ~std::uint64_t{0}}; }

    // value * 10 + digit, or nothing when that exceeds 128 bits.
    std::optional<KeyNumber> times_ten_plus(unsigned digit) const;

    friend constexpr auto operator<=>(const KeyNumber&, const KeyNumber&) = default;
};

// One list per run of the text: a digit run that fits 128 bits is [its value]; any other run
// (non-digits, or digits too many for 128 bits) is the list of its UTF-8 bytes.
using NaturalKey = std::vector<std::vector<KeyNumber>>;

NaturalKey natural_key(std::string_view text);

// Lexicographic at both levels; a proper prefix is less.
bool natural_less(std::string_view a, std::string_view b);

}  // namespace quorvelin::list_ports
