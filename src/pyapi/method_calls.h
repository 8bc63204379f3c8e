#pragma once
// Method calls by name for the paths that run once per operation or per completion (awaiting,
// settling, scheduling on a loop). The name is interned once per process, and the call goes
// through PyObject_VectorcallMethod: it is still looked up on the object at every call (so a
// method replaced on an instance or a class is the one that runs), but an interned name hits
// the type's method cache, and no bound method or argument tuple is made.

#include <Python.h>

#include <cstddef>

#include "pyapi/interned.h"
#include "pyapi/ref.h"

namespace quorvelin::py {

// object.<Name>(*args), with `keywords` (a tuple of names) taking the last arguments as
// keywords; a new reference, or empty with the exception set. Call attached.
template <const char* Name, class... Args>
Ref call_method_kw(PyObject* keywords, PyObject* object, Args... args) {
    PyObject* name = interned<Name>();
    if (name == nullptr) {
        return {};
    }
    // The slot before `object` is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET), so
    // a bound call needs no copy of the arguments.
    PyObject* stack[] = {nullptr, object, static_cast<PyObject*>(args)...};
    const auto keyword_count = static_cast<std::size_t>(keywords != nullptr ? PyTuple_GET_SIZE(keywords) : 0);
    const std::size_t positional = sizeof...(Args) + 1 - keyword_count;
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
}

// object.<Name>(*args); a new reference, or empty with the exception set. Call attached.
template <const char* Name, class... Args>
Ref call_method(PyObject* object, Args... args) {
    return call_method_kw<Name>(nullptr, object, args...);
}

}  // namespace quorvelin::py
