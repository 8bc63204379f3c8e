#include "runtime/reactor_wake.h"

#include <utility>

namespace quorvelin::runtime {
namespace {

thread_local std::vector<std::shared_ptr<ReactorContinuation>> queued;

}  // namespace

void ReactorWake::run_after(std::shared_ptr<ReactorContinuation> continuation) {
    queued.push_back(std::move(continuation));
}

ReactorWake::~ReactorWake() {
    active_ = previous_;
    if (previous_) {
        return;
    }
    // A continuation may itself wake tasks; with no guard active those are queued as usual.
    while (!queued.empty()) {
        std::vector<std::shared_ptr<ReactorContinuation>> batch;
        batch.swap(queued);
        for (auto& continuation : batch) {
            try {
                continuation->run_continuation();
            } catch (...) {
                // Tasks do not throw; should one do so, the handler and the worker go on.
            }
            continuation.reset();
        }
        if (queued.empty()) {
            // The room goes back, so the next handler's wake-ups allocate nothing.
            batch.clear();
            queued.swap(batch);
        }
    }
}

}  // namespace quorvelin::runtime
