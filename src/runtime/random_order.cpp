#include "runtime/random_order.h"

#include <cstdint>
#include <random>

namespace quorvelin::runtime {

bool random_coin() {
    // xorshift64*, seeded once per thread; quality only needs to avoid a fixed order.
    thread_local std::uint64_t state = [] {
        std::random_device device;
        std::uint64_t seed = (static_cast<std::uint64_t>(device()) << 32) ^ device();
        return seed | 1;
    }();
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return ((state * 0x2545F4914F6CDD1DULL) >> 63) != 0;
}

}  // namespace quorvelin::runtime
