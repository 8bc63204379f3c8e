#pragma once
// Deferred: a one-step coroutine. It holds a piece of synchronous work, does it on its first
// step (when awaited or run as a task) and finishes with the work's result.

#include <Python.h>

#include <array>

#include "pyapi/ref.h"

namespace quorvelin::aio {

// The work of a connection function, with the Python objects it was made with. Called once,
// attached; returns a new reference or nullptr with an exception set.
struct Work {
    static constexpr std::size_t CAPACITY = 5;
    PyObject* (*run)(std::array<py::Ref, CAPACITY>& objects) = nullptr;
    std::array<py::Ref, CAPACITY> objects;  // empty entries stand for absent arguments
};

// A new Deferred owning `work`; nullptr with an exception set.
PyObject* make_deferred(Work work);

}  // namespace quorvelin::aio
