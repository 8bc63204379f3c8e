#pragma once
// The data of writes and terminators as an owned byte string. Call attached.

#include <Python.h>

#include <optional>
#include <string>

namespace quorvelin::serial {

// bytes are copied, str encoded as UTF-8, any buffer copied in C order; other objects raise
// TypeError "a bytes-like object or str is required, not '{}'". nullopt with an exception set.
std::optional<std::string> to_bytes(PyObject* object);

}  // namespace quorvelin::serial
