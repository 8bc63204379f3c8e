#pragma once
// SipHash-1-3: the hash of a port's device, stable across processes.

#include <cstdint>
#include <string_view>

namespace quorvelin::list_ports {

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view data);

// SipHash-1-3 with zero keys over the UTF-8 of `device` followed by one 0xFF byte.
std::uint64_t device_digest(std::string_view device);

}  // namespace quorvelin::list_ports
