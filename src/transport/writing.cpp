// The write side: written bytes queue in the write buffer, and the whole buffer goes to one
// write operation at a time, moved rather than copied; writes made meanwhile queue anew.

#include "future/python_future.h"
#include "errors/exceptions.h"
#include "serial/to_bytes.h"
#include "transport/operations.h"
#include "transport/transport_core.h"

#include <exception>
#include <optional>

namespace quorvelin::transport {

bool TransportCore::write(PyObject* data) {
    std::optional<std::string> bytes = serial::to_bytes(data);
    if (!bytes) {
        return false;
    }
    bool writer_busy = false;
    {
        std::lock_guard lock(mutex);
        if (state.closing || bytes->empty()) {
            return true;
        }
        if (state.write_buf.empty()) {
            state.write_buf = std::move(*bytes);
        } else {
            state.write_buf.append(*bytes);
        }
        writer_busy = static_cast<bool>(state.write_fut);
    }
    if (!writer_busy && !start_writing()) {
        return false;
    }
    // After the start, so one write above the high-water mark pauses at once.
    return maybe_pause();
}

bool TransportCore::writelines(PyObject* items) {
    py::Ref iterator = py::Ref::steal(PyObject_GetIter(items));
    if (!iterator) {
        return false;
    }
    while (py::Ref item = py::Ref::steal(PyIter_Next(iterator.get()))) {
        if (!write(item.get())) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

bool TransportCore::start_writing() {
    std::string taken;
    {
        std::lock_guard lock(mutex);
        if (state.write_fut || state.write_buf.empty()) {
            return true;
        }
        taken = std::exchange(state.write_buf, std::string());
        state.in_flight = taken.size();
    }
    std::optional<Result<future::OpFuture>> attempt;
    try {
        attempt.emplace(future::OpFuture::start(write_op(port, std::move(taken))));
    } catch (const std::exception&) {
        // Out of memory making the operation: what it took is gone with it, and the buffered
        // size must say so before the MemoryError goes up.
        std::lock_guard lock(mutex);
        state.in_flight = 0;
        throw;
    }
    Result<future::OpFuture>& started = *attempt;
    if (!started) {
        // The taken bytes are gone with the operation; the buffered size says so.
        {
            std::lock_guard lock(mutex);
            state.in_flight = 0;
        }
        exceptions::raise(std::move(started).error());
        return false;
    }
    return track(std::move(started).value(), &State::write_fut, Step::OnWrite);
}

bool TransportCore::on_write(PyObject* fut) {
    py::Ref taken;
    {
        std::lock_guard lock(mutex);
        if (!state.write_fut || state.write_fut.get() != fut) {
            return true;  // stale: a write that abort cancelled
        }
        taken = std::move(state.write_fut);
        state.in_flight = 0;
    }
    py::Ref count = py::Ref::steal(future::unwrap(fut)->result());
    if (!count) {
        py::Ref error = py::Ref::steal(PyErr_GetRaisedException());
        bool already_failed = false;
        {
            std::lock_guard lock(mutex);
            already_failed = state.closing && state.exc;
        }
        // A transport already closing for an error of its own does not report a second one.
        if (!already_failed && !report("Fatal write error on serial transport", error.get())) {
            return false;
        }
        return abort_with(std::move(error));
    }
    if (!maybe_resume()) {
        return false;
    }
    bool more = false;
    bool closed_and_sent = false;
    {
        std::lock_guard lock(mutex);
        more = !state.write_buf.empty();
        closed_and_sent = state.closing && !state.write_fut && !state.finished;
    }
    if (more) {
        return start_writing();
    }
    if (closed_and_sent) {
        return finish(true);
    }
    return true;
}

}  // namespace quorvelin::transport
