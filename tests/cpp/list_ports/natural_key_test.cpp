#include "list_ports/natural_key.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace quorvelin::list_ports {

// Failure messages show the two halves.
void PrintTo(const KeyNumber& number, std::ostream* out) {
    *out << "{high " << number.high << ", low " << number.low << "}";
}

namespace {

std::vector<KeyNumber> bytes(std::string_view text) {
    std::vector<KeyNumber> out;
    for (char c : text) {
        out.push_back(static_cast<unsigned char>(c));
    }
    return out;
}

TEST(NaturalKey, RunsOfDigitsAndOthers) {
    EXPECT_EQ(natural_key("ttyUSB9"), (NaturalKey{bytes("ttyUSB"), {9}}));
    EXPECT_EQ(natural_key("007"), (NaturalKey{{7}}));
    EXPECT_EQ(natural_key("a1b22"), (NaturalKey{bytes("a"), {1}, bytes("b"), {22}}));
    EXPECT_EQ(natural_key(""), NaturalKey{});
    // A non-ASCII digit (U+0663) is a non-digit and stays in the byte run.
    EXPECT_EQ(natural_key("x\xD9\xA3" "5"), (NaturalKey{bytes("x\xD9\xA3"), {5}}));
}

TEST(NaturalKey, DigitRunsCarryAcrossSixtyFourBits) {
    EXPECT_EQ(natural_key("18446744073709551615"), (NaturalKey{{KeyNumber{0, ~std::uint64_t{0}}}}));  // 2^64 - 1
    EXPECT_EQ(natural_key("18446744073709551616"), (NaturalKey{{KeyNumber{1, 0}}}));                   // 2^64
    EXPECT_EQ(natural_key("1000000000000000000000000000000"),                                          // 10^30
              (NaturalKey{{KeyNumber{0xC9F2C9CD0, 0x4674EDEA40000000}}}));
}

TEST(NaturalKey, DigitRunsBeyond128BitsBecomeBytes) {
    const std::string max = "340282366920938463463374607431768211455";  // 2^128 - 1
    const std::string beyond = "340282366920938463463374607431768211456";
    EXPECT_EQ(natural_key(max), (NaturalKey{{KeyNumber::max()}}));
    EXPECT_EQ(natural_key(beyond), (NaturalKey{bytes(beyond)}));
    const std::string forty_nines(40, '9');
    EXPECT_EQ(natural_key("tty" + forty_nines), (NaturalKey{bytes("tty"), bytes(forty_nines)}));
}

struct OrderCase {
    const char* smaller;
    const char* larger;
};

class NaturalOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(NaturalOrder, StrictlyLessOneWay) {
    EXPECT_TRUE(natural_less(GetParam().smaller, GetParam().larger));
    EXPECT_FALSE(natural_less(GetParam().larger, GetParam().smaller));
}

INSTANTIATE_TEST_SUITE_P(Pairs, NaturalOrder,
                         ::testing::Values(OrderCase{"ttyUSB9", "ttyUSB10"}, OrderCase{"ttyACM0", "ttyS0"},
                                           OrderCase{"/dev/ttyS0", "/dev/ttyUSB0"}, OrderCase{"a", "100"},
                                           OrderCase{"", "a"}, OrderCase{"tty", "tty0"},
                                           OrderCase{"tty1", "tty1a"}, OrderCase{"x2y", "x10"},
                                           // the high half decides; equal high halves leave it to the low
                                           OrderCase{"x18446744073709551615", "x18446744073709551616"},
                                           OrderCase{"x18446744073709551617", "x18446744073709551618"}));

TEST(NaturalOrder, EqualKeysAreNotLessEitherWay) {
    EXPECT_FALSE(natural_less("a1", "a01"));
    EXPECT_FALSE(natural_less("a01", "a1"));
    EXPECT_FALSE(natural_less("ttyS0", "ttyS0"));
}

}  // namespace
}  // namespace quorvelin::list_ports
