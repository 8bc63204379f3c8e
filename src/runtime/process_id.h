#pragma once
// The id of this process, read once and refreshed in the child after every fork(), so that
// the fork check made on every use of the runtime costs a load instead of a system call.

#include <cstdint>

namespace quorvelin::runtime {

std::uint32_t process_id();

}  // namespace quorvelin::runtime
