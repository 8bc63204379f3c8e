#pragma once
// Owning references to Python objects. Drop them only while attached to the interpreter.

#include <Python.h>

#include <utility>

namespace quorvelin::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (nullptr allowed: an empty Ref, usually an error is set).
    static Ref steal(PyObject* object) { return Ref(object); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref& other) : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Gives the reference to the caller (a new reference, or nullptr).
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset() { Py_CLEAR(object_); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// Releases the interpreter for the lifetime of the guard: wrap anything that may block.
class Unattached {
public:
    Unattached() : state_(PyEval_SaveThread()) {}
    ~Unattached() { PyEval_RestoreThread(state_); }
    Unattached(const Unattached&) = delete;
    Unattached& operator=(const Unattached&) = delete;

private:
    PyThreadState* state_;
};

// Runs `work` with the interpreter released and returns its result.
template <class F>
auto without_interpreter(F&& work) {
    Unattached released;
    return std::forward<F>(work)();
}

}  // namespace quorvelin::py
