#include "runtime/block_on.h"

namespace quorvelin::runtime {

void Parker::wake() {
    {
        std::lock_guard lock(mutex_);
        notified_ = true;
    }
    cv_.notify_one();
}

bool Parker::park_until(std::optional<Instant> deadline) {
    std::unique_lock lock(mutex_);
    auto woken = [&] { return notified_; };
    bool notified = true;
    if (deadline) {
        notified = cv_.wait_until(lock, *deadline, woken);
    } else {
        cv_.wait(lock, woken);
    }
    notified_ = false;
    return notified;
}

}  // namespace quorvelin::runtime
