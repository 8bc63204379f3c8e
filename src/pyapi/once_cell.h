#pragma once
// A process-wide Python object built once, on first use, by exactly one thread. The builder
// holds no lock while it runs Python code; other callers wait with the interpreter released.
// A failed build is not remembered: the next caller builds again.

#include <Python.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace quorvelin::py {

class OnceCell {
public:
    // A borrowed reference to the object (kept for the life of the process), or nullptr with
    // the builder's exception set. `build` returns a new reference or nullptr.
    template <class Build>
    PyObject* get(Build&& build) {
        for (;;) {
            if (PyObject* ready = object_.load(std::memory_order_acquire)) {
                return ready;
            }
            bool expected = false;
            if (building_.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
                PyObject* made = nullptr;
                try {
                    made = build();
                } catch (...) {
                    // Out of memory in the builder: the next caller builds again, as after
                    // any failure, instead of waiting for good.
                    building_.store(false, std::memory_order_release);
                    throw;
                }
                if (made != nullptr) {
                    object_.store(made, std::memory_order_release);
                }
                building_.store(false, std::memory_order_release);
                return made;
            }
            Py_BEGIN_ALLOW_THREADS
            while (building_.load(std::memory_order_acquire)) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            Py_END_ALLOW_THREADS
        }
    }

private:
    std::atomic<PyObject*> object_{nullptr};
    std::atomic<bool> building_{false};
};

}  // namespace quorvelin::py
