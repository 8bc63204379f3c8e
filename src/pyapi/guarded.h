#pragma once
// guarded<&fn>: fn itself, with the same signature, except that an allocation failure inside
// it becomes Python's MemoryError instead of an exception unwinding into the interpreter
// (which ends the process). Every function the interpreter calls, from method tables, type
// slots, getsets and callables handed to Python, goes in as guarded<&fn>.
//
// Both std::bad_alloc and std::length_error count as "out of memory": the latter is what a
// container throws for a size above its max_size(), which a 32-bit target reaches with sizes
// Python accepts. The failure value is that of the slot: nullptr for an object, -1 for an
// int or a hash. A void slot (dealloc) cannot fail, so the error goes to the unraisable hook.
//
// Unwinding has already released every lock and every interpreter release (they are RAII
// guards) by the time the catch runs, so the MemoryError is raised attached, as usual.

#include <Python.h>

#include <new>
#include <stdexcept>
#include <type_traits>

namespace quorvelin::py {

namespace detail {

// Raises MemoryError (PyErr_NoMemory allocates nothing).
inline void raise_memory_error() noexcept { PyErr_NoMemory(); }

// For a void slot: report MemoryError to the unraisable hook, keeping an exception already set.
inline void report_memory_error() noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    PyErr_NoMemory();
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
}

template <class R>
R failure_value() noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        static_assert(std::is_integral_v<R> && std::is_signed_v<R>, "a slot returns an object, an int or a hash");
        return static_cast<R>(-1);
    }
}

template <auto F>
struct Guard;

template <class R, class... A, R (*F)(A...)>
struct Guard<F> {
    static R call(A... args) noexcept {
        try {
            return F(args...);
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
        if constexpr (std::is_void_v<R>) {
            report_memory_error();
        } else {
            raise_memory_error();
            return failure_value<R>();
        }
    }
};

// Already noexcept: nothing can escape it.
template <class R, class... A, R (*F)(A...) noexcept>
struct Guard<F> {
    static R call(A... args) noexcept { return F(args...); }
};

}  // namespace detail

template <auto F>
inline constexpr auto guarded = &detail::Guard<F>::call;

}  // namespace quorvelin::py
