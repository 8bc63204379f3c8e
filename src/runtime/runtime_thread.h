#pragma once
// Starting a runtime thread: detached, named "quorvelin", with asynchronous signals blocked
// so that signal handlers run on the interpreter's main thread and runtime waits never see
// EINTR.

#include <functional>

#include "errors/result.h"

namespace quorvelin::runtime {

inline constexpr const char* runtime_thread_name = "quorvelin";

// Fails with the OS error of the thread creation.
Status start_runtime_thread(std::function<void()> body);

}  // namespace quorvelin::runtime
