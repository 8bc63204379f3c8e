#pragma once
// The names of the methods the future calls on loops and asyncio futures (see
// pyapi/method_calls.h for how they are called).

#include <Python.h>

#include <cstddef>

#include "pyapi/method_calls.h"
#include "pyapi/ref.h"

namespace quorvelin::future {

using py::call_method;
using py::call_method_kw;
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

}  // namespace quorvelin::future
