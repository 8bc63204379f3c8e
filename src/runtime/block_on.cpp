#include "runtime/block_on.h"

#include "runtime/runtime.h"

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

WorkerHandOff::WorkerHandOff() {
    Runtime* runtime = Runtime::current_worker();
    asio::io_context* context = Runtime::current_context();
    if (!runtime || !context) {
        return;
    }
    auto stop = std::make_shared<std::atomic<bool>>(false);
    Status submitted = runtime->blocking_pool().submit([runtime, context, stop] {
        Runtime::DrivingScope scope(runtime, context);
        while (!stop->load(std::memory_order_acquire)) {
            // Short slices so the stand-in notices promptly that the worker is back.
            context->run_one_for(std::chrono::milliseconds(10));
        }
    });
    if (submitted) {
        stop_ = std::move(stop);
    }
    // Without a pool thread the worker simply blocks; the other worker keeps running.
}

WorkerHandOff::~WorkerHandOff() {
    if (stop_) {
        stop_->store(true, std::memory_order_release);
    }
}

}  // namespace quorvelin::runtime
