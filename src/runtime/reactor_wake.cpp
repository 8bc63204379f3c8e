#include "runtime/reactor_wake.h"

#include <utility>

namespace quorvelin::runtime {
namespace {

// Two lists that trade places, so both keep their room and a handler's wake-up allocates
// nothing once the first few have run.
thread_local std::vector<std::shared_ptr<ReactorContinuation>> queued;
thread_local std::vector<std::shared_ptr<ReactorContinuation>> running;

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
        running.swap(queued);
        for (auto& continuation : running) {
            try {
                continuation->run_continuation();
            } catch (...) {
                // Tasks do not throw; should one do so, the handler and the worker go on.
            }
            continuation.reset();
        }
        running.clear();
    }
}

}  // namespace quorvelin::runtime
