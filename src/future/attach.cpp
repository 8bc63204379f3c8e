#include "future/attach.h"

#include <atomic>

#include "runtime/runtime.h"

namespace quorvelin::future {
namespace {

std::atomic<std::uint64_t> attaches{0};

// A runtime thread attaches for every completion it delivers, and making and destroying a
// thread state each time (its memory, its allocator heaps) costs more than the delivery. So
// a runtime thread keeps its thread state: one more PyGILState_Ensure, undone when the thread
// ends (blocking-pool threads end after idling).
class KeptThreadState {
public:
    void keep() {
        if (!kept_) {
            PyGILState_Ensure();  // nested: the caller is attached
            kept_ = true;
        }
    }
    ~KeptThreadState() {
        if (!kept_ || !Py_IsInitialized() || Py_IsFinalizing()) {
            return;  // at exit the interpreter owns what is left
        }
        PyGILState_STATE attached = PyGILState_Ensure();
        PyGILState_Release(PyGILState_LOCKED);  // the kept one
        PyGILState_Release(attached);           // the last: the thread state is deleted
    }

private:
    bool kept_ = false;
};

void keep_thread_state_on_runtime_threads() {
    if (runtime::Runtime::current_worker() == nullptr) {
        return;
    }
    thread_local KeptThreadState kept;
    kept.keep();
}

}  // namespace

Attach::Attach() {
    if (is_attached()) {
        how_ = How::Nested;
        return;
    }
    // PyGILState_Ensure would hang a thread during finalisation; a small race with a
    // finalisation that starts right after this check remains, as for any foreign thread.
    if (!Py_IsInitialized() || Py_IsFinalizing()) {
        how_ = How::Refused;
        return;
    }
    occupied_.emplace(runtime::Occupied::Blocks::Maybe);
    state_ = PyGILState_Ensure();
    how_ = How::Ensured;
    attaches.fetch_add(1, std::memory_order_relaxed);
    keep_thread_state_on_runtime_threads();
}

Attach::~Attach() {
    if (how_ == How::Ensured) {
        PyGILState_Release(state_);
    }
}

void release_anywhere(PyObject* object) {
    if (object == nullptr) {
        return;
    }
    if (is_attached()) {
        Py_DECREF(object);
        return;
    }
    Attach attach;
    if (attach) {
        Py_DECREF(object);
    }
    // Otherwise leaked: the interpreter is gone or going.
}

std::uint64_t attach_count() { return attaches.load(std::memory_order_relaxed); }

}  // namespace quorvelin::future
