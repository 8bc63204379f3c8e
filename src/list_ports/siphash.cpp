#include "list_ports/siphash.h"

#include <bit>
#include <string>

namespace quorvelin::list_ports {
namespace {

struct State {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    void absorb(std::uint64_t m) {
        v3 ^= m;
        round();  // one compression round: the "1" of 1-3
        v0 ^= m;
    }
};

std::uint64_t little_endian_word(std::string_view bytes) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        word |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    }
    return word;
}

}  // namespace

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view data) {
    State s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
            k1 ^ 0x7465646279746573ULL};
    std::size_t full = data.size() / 8 * 8;
    for (std::size_t i = 0; i < full; i += 8) {
        s.absorb(little_endian_word(data.substr(i, 8)));
    }
    std::uint64_t last = little_endian_word(data.substr(full)) | (static_cast<std::uint64_t>(data.size()) << 56);
    s.absorb(last);
    s.v2 ^= 0xFF;
    for (int i = 0; i < 3; ++i) {  // three finalisation rounds: the "3" of 1-3
        s.round();
    }
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t device_digest(std::string_view device) {
    std::string data(device);
    data.push_back('\xFF');
    return siphash13(0, 0, data);
}

}  // namespace quorvelin::list_ports
