#pragma once
// The text of a Python object for error messages. Call attached.

#include <Python.h>

#include <string>

namespace quorvelin::serial {

// The object's repr as UTF-8 (lone surrogates become U+FFFD), or "<unprintable>" when repr
// raises. Never leaves an exception set.
std::string describe(PyObject* object);

// UTF-8 of a str, lone surrogates replaced by U+FFFD.
std::string utf8_lossy(PyObject* text);

}  // namespace quorvelin::serial
