#include "settings/seconds.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorvelin::settings {
namespace {

struct Case {
    const char* name;
    std::optional<Seconds> input;
    std::optional<Duration> expected;
};

TEST(Duration, Table) {
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"absent", std::nullopt, std::nullopt},
        {"int 5", Seconds::from_int(5), Duration{5, 0}},
        {"int 0", Seconds::from_int(0), Duration{0, 0}},
        {"int -1", Seconds::from_int(-1), std::nullopt},
        {"int max rounds to 2^63", Seconds::from_int(INT64_MAX), Duration{9223372036854775808ull, 0}},
        {"1.5", Seconds::from_float(1.5), Duration{1, 500000000}},
        {"1e-10", Seconds::from_float(1e-10), Duration{0, 0}},
        {"5e-10 lies just above half a nanosecond", Seconds::from_float(5e-10), Duration{0, 1}},
        {"0.9999999999 carries", Seconds::from_float(0.9999999999), Duration{1, 0}},
        {"-0.0", Seconds::from_float(-0.0), Duration{0, 0}},
        {"-1.0", Seconds::from_float(-1.0), std::nullopt},
        {"nan", Seconds::from_float(std::nan("")), std::nullopt},
        {"inf", Seconds::from_float(inf), std::nullopt},
        {"2^64", Seconds::from_float(18446744073709551616.0), std::nullopt},
        {"just below 2^64", Seconds::from_float(18446744073709549568.0), Duration{18446744073709549568ull, 0}},
        {"2^70", Seconds::from_float(1.1805916207174113e21), std::nullopt},
        {"0.1", Seconds::from_float(0.1), Duration{0, 100000000}},
        {"0.05", Seconds::from_float(0.05), Duration{0, 50000000}},
        {"123.000000001", Seconds::from_float(123.000000001), Duration{123, 1}},
        {"smallest subnormal", Seconds::from_float(5e-324), Duration{0, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(duration(c.input), c.expected) << c.name;
    }
}

// j / 2^10 seconds is j * 976562.5 ns exactly: a true tie for odd j.
TEST(Duration, ExactTiesGoToEven) {
    EXPECT_EQ(duration(Seconds::from_float(1.0 / 1024)), (Duration{0, 976562}));
    EXPECT_EQ(duration(Seconds::from_float(3.0 / 1024)), (Duration{0, 2929688}));
    EXPECT_EQ(duration(Seconds::from_float(5.0 / 1024)), (Duration{0, 4882812}));
    EXPECT_EQ(duration(Seconds::from_float(0.5)), (Duration{0, 500000000}));
    EXPECT_EQ(duration(Seconds::from_float(0.25)), (Duration{0, 250000000}));
    EXPECT_EQ(duration(Seconds::from_float(std::ldexp(1.0, -30))), (Duration{0, 1}));  // 0.93 ns
    EXPECT_EQ(duration(Seconds::from_float(std::ldexp(1.0, -31))), (Duration{0, 0}));  // 0.466 ns
}

}  // namespace
}  // namespace quorvelin::settings
