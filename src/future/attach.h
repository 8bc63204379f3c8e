#pragma once
// Attaching to the interpreter from any thread, and releasing Python references safely.
//
// Python references owned by the completion state may be dropped by a runtime worker that
// has no thread state. Dropping one unattached corrupts the free-threaded interpreter, so
// every such release goes through release_anywhere: attached threads release at once, others
// attach first, and when the interpreter is gone or finalising the reference is leaked.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <utility>

#include "pyapi/ref.h"
#include "runtime/occupied.h"

namespace quorvelin::future {

// Attaches the calling thread for its lifetime; nests when the thread is already attached.
// Refused (attached() false) when the interpreter is not initialised or is finalising. On a
// runtime worker the attached section counts as occupied: Python may take any time there, the
// attach itself included (it waits out a stop-the-world pause).
class Attach {
public:
    Attach();
    ~Attach();
    Attach(const Attach&) = delete;
    Attach& operator=(const Attach&) = delete;

    bool attached() const { return how_ != How::Refused; }
    explicit operator bool() const { return attached(); }

private:
    enum class How { Nested, Ensured, Refused };
    How how_;
    PyGILState_STATE state_{};
    // Declared last: it ends after the thread has detached again.
    std::optional<runtime::Occupied> occupied_;
};

// True when the calling thread has an attached thread state.
inline bool is_attached() { return PyThreadState_GetUnchecked() != nullptr; }

// Drops one reference from any thread (see above); null is ignored.
void release_anywhere(PyObject* object);

// How many times a thread attached that was not attached before (for tests).
std::uint64_t attach_count();

// An owned Python reference that may be dropped on any thread.
class HeldRef {
public:
    HeldRef() = default;
    explicit HeldRef(py::Ref ref) : object_(ref.release()) {}
    static HeldRef borrow(PyObject* object) { return HeldRef(py::Ref::borrow(object)); }
    HeldRef(HeldRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    HeldRef& operator=(HeldRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    HeldRef(const HeldRef&) = delete;
    HeldRef& operator=(const HeldRef&) = delete;
    ~HeldRef() { reset(); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // A new strong reference; call attached.
    py::Ref ref() const { return py::Ref::borrow(object_); }
    void reset() { release_anywhere(std::exchange(object_, nullptr)); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace quorvelin::future
