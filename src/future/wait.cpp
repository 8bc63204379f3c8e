// The blocking and query side of OpFuture: wait in interruptible slices, result, callbacks.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <unordered_set>

#include "errors/exceptions.h"
#include "future/asyncio_names.h"
#include "future/shared.h"
#include "port/deadline.h"
#include "runtime/block_on.h"
#include "runtime/runtime.h"

namespace quorvelin::future {
namespace {

using runtime::Clock;
using runtime::Instant;

constexpr auto SLICE = std::chrono::milliseconds(50);

// NaN, zero and negative timeouts become 0; no deadline for an infinite or huge one.
std::optional<Instant> wait_deadline(std::optional<double> timeout) {
    if (!timeout) {
        return std::nullopt;
    }
    double t = *timeout > 0 ? *timeout : 0.0;
    return port::deadline_after(settings::duration(Seconds::from_float(t)), Clock::now());
}

}  // namespace

PyObject* OpFuture::wait(std::optional<double> timeout) const {
    std::optional<Instant> deadline = wait_deadline(timeout);
    // On a runtime worker (a done callback waiting) a stand-in drives its context meanwhile.
    runtime::WorkerHandOff hand_off;
    Shared& shared = *shared_;
    for (;;) {
        bool finished;
        {
            py::Unattached released;
            Instant now = Clock::now();
            Clock::duration slice = SLICE;
            if (deadline) {
                slice = std::min<Clock::duration>(slice, std::max<Clock::duration>(*deadline - now, {}));
            }
            std::unique_lock lock(shared.mutex);
            shared.cond.wait_until(lock, now + slice, [&] { return shared.state.result.has_value(); });
            finished = shared.state.result.has_value();
        }
        if (finished) {
            return result();
        }
        // A forked child inherits pending Futures whose operations ran on the parent's
        // threads: nothing here will ever complete them.
        if (Result<runtime::Owned*> owned = runtime::runtime(); !owned) {
            return exceptions::raise(std::move(owned).error());
        }
        if (PyErr_CheckSignals() < 0) {
            return nullptr;
        }
        if (deadline && Clock::now() >= *deadline) {
            PyErr_SetString(PyExc_TimeoutError, "the operation did not finish within the timeout");
            return nullptr;
        }
    }
}

PyObject* OpFuture::result() const {
    // Read in place rather than copied, so a large result is not copied (and cannot fail to
    // be) on its way to Python.
    const Result<Outcome>* result = stored();
    if (result == nullptr) {
        if (PyObject* invalid_state = asyncio_name(AsyncioName::InvalidStateError)) {
            PyErr_SetString(invalid_state, "Result is not ready.");
        }
        return nullptr;
    }
    return to_python(*shared_, *result).release_or_raise();
}

const Result<Outcome>* OpFuture::stored() const {
    if (!shared_->finished.load(std::memory_order_acquire)) {
        return nullptr;
    }
    return &*shared_->state.result;
}

bool OpFuture::done() const { return shared_->finished.load(std::memory_order_acquire); }

bool OpFuture::cancelled() const {
    std::lock_guard lock(shared_->mutex);
    const auto& result = shared_->state.result;
    return result && !result->ok() && result->error().kind() == SerialError::Kind::Cancelled;
}

void OpFuture::register_callback(py::Ref func, py::Ref future_object, py::Ref context, py::Ref event_loop) const {
    auto record = std::make_shared<Callback>(Callback{HeldRef(std::move(func)), HeldRef(std::move(future_object)),
                                                      HeldRef(std::move(context)), HeldRef(std::move(event_loop))});
    {
        std::lock_guard lock(shared_->mutex);
        if (!shared_->state.result) {
            shared_->state.callbacks.push_back(std::move(record));
            return;
        }
    }
    record->run_or_report(Callback::LoopCall::CallSoon);
}

const Result<Outcome>* OpFuture::add_waiter(py::Ref event_loop, py::Ref asyncio_future) const {
    Waiter waiter{HeldRef(std::move(event_loop)), HeldRef(std::move(asyncio_future))};
    std::lock_guard lock(shared_->mutex);
    if (!shared_->state.result) {
        shared_->state.waiters.push_back(std::move(waiter));
        return nullptr;
    }
    // `waiter` is dropped after the lock (declared before it), attached. The result is
    // handed in place: a stored result never changes, and copying a large one could fail.
    return &*shared_->state.result;
}

std::vector<std::shared_ptr<Callback>> OpFuture::callbacks() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->state.callbacks;
}

std::size_t OpFuture::remove_callbacks(const std::vector<std::shared_ptr<Callback>>& records) const {
    // A set, built before locking: a callable registered many times must not make the
    // section under the lock quadratic.
    std::unordered_set<const Callback*> removed(records.size());
    for (const std::shared_ptr<Callback>& record : records) {
        removed.insert(record.get());
    }
    std::lock_guard lock(shared_->mutex);
    auto& list = shared_->state.callbacks;
    auto is_removed = [&](const std::shared_ptr<Callback>& record) { return removed.contains(record.get()); };
    auto keep = std::stable_partition(list.begin(), list.end(), [&](const auto& r) { return !is_removed(r); });
    std::size_t count = static_cast<std::size_t>(list.end() - keep);
    // The caller still holds `records`, so no record dies under the lock.
    list.erase(keep, list.end());
    return count;
}

}  // namespace quorvelin::future
