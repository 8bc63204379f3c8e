#pragma once
// Seconds: a timeout as Python gave it, kept in that form so it reads back unchanged.

#include <cstdint>
#include <optional>
#include <variant>

namespace quorvelin {

class Seconds {
public:
    static Seconds from_int(std::int64_t value) { return Seconds(value); }
    static Seconds from_float(double value) { return Seconds(value); }

    bool is_int() const { return value_.index() == 0; }
    std::int64_t as_int() const { return std::get<0>(value_); }
    double as_float() const { return std::get<1>(value_); }
    // The value as a double (an int rounded to the nearest double).
    double to_double() const;

    bool operator==(const Seconds&) const = default;

private:
    explicit Seconds(std::int64_t value) : value_(value) {}
    explicit Seconds(double value) : value_(value) {}
    std::variant<std::int64_t, double> value_;
};

namespace settings {

// A non-negative span of time too long for std::chrono's 64-bit nanoseconds.
struct Duration {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;  // below 1,000,000,000
    bool operator==(const Duration&) const = default;
};

// The deadline length of a timeout: absent for no timeout and for values that cannot be a
// deadline (negative, NaN, infinite, 2^64 s or more); fractions round to the nearest
// nanosecond, ties to even.
std::optional<Duration> duration(const std::optional<Seconds>& timeout);

}  // namespace settings
}  // namespace quorvelin
