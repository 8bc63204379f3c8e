#include "settings/seconds.h"

#include <cmath>

namespace quorvelin {

double Seconds::to_double() const {
    return is_int() ? static_cast<double>(as_int()) : as_float();
}

namespace settings {
namespace {

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;

// Rounds fraction * 10^9 (0 <= fraction < 1) to the nearest integer, ties to even, exactly:
// the fraction is m * 2^-k with an integer m < 2^53, and m * 10^9 fits in 83 bits, which two
// 64-bit words hold without a 128-bit type (not every target has one).
std::uint64_t round_nanoseconds(double fraction) {
    if (fraction == 0.0) {
        return 0;
    }
    int exponent = 0;
    double mantissa = std::frexp(fraction, &exponent);  // fraction = mantissa * 2^exponent
    auto m = static_cast<std::uint64_t>(std::ldexp(mantissa, 53));
    int shift = 53 - exponent;  // fraction = m * 2^-shift, shift >= 54
    // product = m * 10^9 as hi:lo.
    std::uint64_t m_hi = m >> 32;
    std::uint64_t m_lo = m & 0xffffffffu;
    std::uint64_t hi_part = m_hi * kNanosPerSecond;  // < 2^51, weighs 2^32
    std::uint64_t lo_part = m_lo * kNanosPerSecond;  // < 2^62
    std::uint64_t lo = lo_part + (hi_part << 32);
    std::uint64_t hi = (hi_part >> 32) + (lo < lo_part ? 1 : 0);
    if (shift >= 128) {
        return 0;  // below 2^-45 of a nanosecond
    }
    // quotient = product >> shift; remainder compared with half of 2^shift.
    std::uint64_t quotient;
    bool above_half;
    bool exactly_half;
    if (shift >= 64) {
        int s = shift - 64;
        quotient = s == 0 ? hi : hi >> s;
        std::uint64_t rem_hi = s == 0 ? 0 : hi & ((std::uint64_t{1} << s) - 1);
        // half = 2^(shift-1): in the high word at bit s-1, or the top bit of lo when s == 0.
        if (s == 0) {
            above_half = lo > (std::uint64_t{1} << 63);
            exactly_half = lo == (std::uint64_t{1} << 63);
        } else {
            std::uint64_t half_hi = std::uint64_t{1} << (s - 1);
            above_half = rem_hi > half_hi || (rem_hi == half_hi && lo != 0);
            exactly_half = rem_hi == half_hi && lo == 0;
        }
    } else {
        // shift in 54..63: the quotient needs bits of both words.
        quotient = (lo >> shift) | (hi << (64 - shift));
        std::uint64_t rem = lo & ((std::uint64_t{1} << shift) - 1);
        std::uint64_t half = std::uint64_t{1} << (shift - 1);
        above_half = rem > half;
        exactly_half = rem == half;
    }
    if (above_half || (exactly_half && (quotient & 1) != 0)) {
        ++quotient;
    }
    return quotient;
}

}  // namespace

std::optional<Duration> duration(const std::optional<Seconds>& timeout) {
    if (!timeout) {
        return std::nullopt;
    }
    double value = timeout->to_double();
    if (std::isnan(value) || value < 0.0 || std::isinf(value) || value >= 18446744073709551616.0) {
        return std::nullopt;
    }
    double whole = std::floor(value);
    auto seconds = static_cast<std::uint64_t>(whole);
    std::uint64_t nanos = round_nanoseconds(value - whole);  // the subtraction is exact
    if (nanos >= kNanosPerSecond) {
        seconds += 1;
        nanos -= kNanosPerSecond;
    }
    return Duration{seconds, static_cast<std::uint32_t>(nanos)};
}

}  // namespace settings
}  // namespace quorvelin
