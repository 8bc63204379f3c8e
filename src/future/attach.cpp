#include "future/attach.h"

#include <atomic>

namespace quorvelin::future {
namespace {

std::atomic<std::uint64_t> attaches{0};

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
    state_ = PyGILState_Ensure();
    how_ = How::Ensured;
    attaches.fetch_add(1, std::memory_order_relaxed);
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
