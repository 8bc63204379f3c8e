#pragma once
// The runtime's clock: monotonic, as every deadline of the engine is.

#include <chrono>

namespace quorvelin::runtime {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

}  // namespace quorvelin::runtime
