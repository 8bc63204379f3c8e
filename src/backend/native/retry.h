#pragma once
// A signal landing during a system call must not surface as a port error.

#include <cerrno>

namespace quorvelin::native {

// Repeats `call` while it fails with EINTR. Not for close(2): on Linux the descriptor is
// gone even when close reports EINTR, so repeating it could close someone else's.
template <class Call>
auto retry_on_eintr(Call&& call) {
    for (;;) {
        auto result = call();
        if (result != -1 || errno != EINTR) {
            return result;
        }
    }
}

}  // namespace quorvelin::native
