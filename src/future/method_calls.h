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

namespace quorvelin::future {

using py::interned;

namespace names {
inline constexpr char add_done_callback[] = "add_done_callback";
inline constexpr char await_[] = "__await__";
inline constexpr char call_soon[] = "call_soon";
inline constexpr char call_soon_threadsafe[] = "call_soon_threadsafe";
inline constexpr char cancel[] = "cancel";
inline constexpr char cancelled[] = "cancelled";
inline constexpr char context[] = "context";
inline constexpr char create_future[] = "create_future";
inline constexpr char done[] = "done";
inline constexpr char is_closed[] = "is_closed";
inline constexpr char run[] = "run";
inline constexpr char set_exception[] = "set_exception";
inline constexpr char set_result[] = "set_result";
inline constexpr char with_traceback[] = "with_traceback";
}  // namespace names

// object.<Name>(*args), with `keywords` (a tuple of names) taking the last arguments as
// keywords; a new reference, or empty with the exception set. Call attached.
template <const char* Name, class... Args>
py::Ref call_method_kw(PyObject* keywords, PyObject* object, Args... args) {
    PyObject* name = interned<Name>();
    if (name == nullptr) {
        return {};
    }
    // The slot before `object` is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET), so
    // a bound call needs no copy of the arguments.
    PyObject* stack[] = {nullptr, object, static_cast<PyObject*>(args)...};
    const auto keyword_count = static_cast<std::size_t>(keywords != nullptr ? PyTuple_GET_SIZE(keywords) : 0);
    const std::size_t positional = sizeof...(Args) + 1 - keyword_count;
    return py::Ref::steal(
        PyObject_VectorcallMethod(name, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
}

// object.<Name>(*args); a new reference, or empty with the exception set. Call attached.
template <const char* Name, class... Args>
py::Ref call_method(PyObject* object, Args... args) {
    return call_method_kw<Name>(nullptr, object, args...);
}

}  // namespace quorvelin::future
