#include "list_ports/siphash.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvelin::list_ports {
namespace {

struct DigestCase {
    const char* device;
    std::int64_t digest;  // as the interpreter's 64-bit hash reads it
};

class DeviceDigest : public ::testing::TestWithParam<DigestCase> {};

// Values computed independently: with hash randomisation off, the interpreter's own bytes
// hash is SipHash-1-3 with zero keys, so hash(device.encode() + b"\xff") gives them.
TEST_P(DeviceDigest, MatchesReference) {
    EXPECT_EQ(static_cast<std::int64_t>(device_digest(GetParam().device)), GetParam().digest);
}

INSTANTIATE_TEST_SUITE_P(Devices, DeviceDigest,
                         ::testing::Values(DigestCase{"/dev/ttyUSB0", 6446636222193941940},
                                           DigestCase{"/dev/ttyS0", -3007146999624241898},
                                           DigestCase{"COM3", -1839669187439469309},
                                           DigestCase{"", 3476900567878811119}));

TEST(SipHash13, KeysAndBlockBoundariesMatter) {
    // Lengths around the 8-byte block: the length byte and the tail must both count.
    std::string text = "0123456789abcdef";
    std::uint64_t previous = siphash13(0, 0, "");
    for (std::size_t n = 1; n <= text.size(); ++n) {
        std::uint64_t digest = siphash13(0, 0, std::string_view(text).substr(0, n));
        EXPECT_NE(digest, previous) << n;
        previous = digest;
    }
    EXPECT_NE(siphash13(1, 0, "x"), siphash13(0, 0, "x"));
    EXPECT_NE(siphash13(0, 1, "x"), siphash13(0, 0, "x"));
}

}  // namespace
}  // namespace quorvelin::list_ports
