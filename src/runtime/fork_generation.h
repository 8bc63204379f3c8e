#pragma once
// Which process, in a line of fork() children, an object was made in.
//
// fork() copies the calling thread only. Tasks and parked threads that the parent's wakers
// point to do not exist in the child, so a waker made before a fork must not touch them there
// (their locks may have been held by a thread that the child lacks). The generation tells
// the two apart: it goes up by one in every child, at the fork.

#include <atomic>
#include <cstdint>

namespace quorvelin::runtime {

namespace detail {
// Defined, and advanced in each child, by the fork guard (runtime/fork_guard.cpp).
extern std::atomic<std::uint32_t> fork_generation;
}  // namespace detail

inline std::uint32_t fork_generation() { return detail::fork_generation.load(std::memory_order_relaxed); }

}  // namespace quorvelin::runtime
