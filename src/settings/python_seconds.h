#pragma once
// Timeouts between Python objects and Seconds. Call attached.

#include <Python.h>

#include <optional>

#include "settings/seconds.h"

namespace quorvelin::settings {

// An int (or subclass) that fits 64 bits reads as Seconds::Int; anything the float conversion
// takes reads as Seconds::Float; the rest fails with ValueError "Not a valid timeout: {}".
std::optional<Seconds> extract_seconds(PyObject* object);
// None, an int or a float: a new reference, nullptr with an exception set.
PyObject* seconds_to_python(const std::optional<Seconds>& timeout);

}  // namespace quorvelin::settings
