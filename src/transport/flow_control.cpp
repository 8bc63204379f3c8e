// Flow control of the write side: the protocol is paused when the buffered size (queued plus
// in flight) rises above the high-water mark and resumed once it is at or below the
// low-water mark; failures of either notification go to the loop's exception handler.

#include <limits>

#include "transport/names.h"
#include "transport/transport_core.h"

namespace quorvelin::transport {
namespace {

// A marks argument: absent when not given or None.
bool signed_size(PyObject* value, std::optional<Py_ssize_t>* out) {
    if (value == nullptr || value == Py_None) {
        return true;
    }
    Py_ssize_t converted = PyNumber_AsSsize_t(value, PyExc_OverflowError);
    if (converted == -1 && PyErr_Occurred()) {
        return false;
    }
    *out = converted;
    return true;
}

// 4 × low, saturating: a low-water mark that large asks for a high-water mark no buffer reaches.
Py_ssize_t four_times(Py_ssize_t low) {
    constexpr Py_ssize_t largest = std::numeric_limits<Py_ssize_t>::max();
    constexpr Py_ssize_t smallest = std::numeric_limits<Py_ssize_t>::min();
    if (low > largest / 4) {
        return largest;
    }
    if (low < smallest / 4) {
        return smallest;
    }
    return low * 4;
}

}  // namespace

// connection_made is the protocol's first call, and it comes from the loop after create has
// returned; a write made in between may go above the high-water mark. That pause is kept
// back and told right after connection_made (see maybe_pause and maybe_resume).
bool TransportCore::connection_made(PyObject* call) {
    if (!PyTuple_Check(call) || PyTuple_GET_SIZE(call) != 2) {
        PyErr_SetString(PyExc_TypeError, "connection_made() takes the pair (connection_made, transport)");
        return false;
    }
    {
        std::lock_guard lock(mutex);
        state.made = true;  // a pause from here on, inside connection_made too, is told at once
    }
    py::Ref made = py::Ref::steal(PyObject_CallOneArg(PyTuple_GET_ITEM(call, 0), PyTuple_GET_ITEM(call, 1)));
    py::Ref made_error = made ? py::Ref() : py::Ref::steal(PyErr_GetRaisedException());
    // Told also when connection_made raised: the transport stays paused either way.
    py::Ref protocol;
    {
        std::lock_guard lock(mutex);
        if (std::exchange(state.pause_deferred, false)) {
            protocol = state.protocol;
        }
    }
    const bool told = notify(std::move(protocol), "pause_writing");
    if (made_error) {
        if (!told) {
            PyException_SetContext(made_error.get(), PyErr_GetRaisedException());
        }
        PyErr_SetRaisedException(made_error.release());
        return false;
    }
    return told;
}

bool TransportCore::maybe_pause() {
    py::Ref protocol;
    {
        std::lock_guard lock(mutex);
        // The marks are never negative, so the comparison in size_t is exact.
        if (state.writing_paused || state.buffered() <= static_cast<std::size_t>(state.high)) {
            return true;
        }
        state.writing_paused = true;
        if (!state.made) {
            state.pause_deferred = true;  // connection_made tells it
            return true;
        }
        protocol = state.protocol;
    }
    return notify(std::move(protocol), "pause_writing");
}

bool TransportCore::maybe_resume() {
    py::Ref protocol;
    {
        std::lock_guard lock(mutex);
        if (!state.writing_paused || state.buffered() > static_cast<std::size_t>(state.low)) {
            return true;
        }
        state.writing_paused = false;
        if (std::exchange(state.pause_deferred, false)) {
            // The pause was never told (flush() before connection_made): both are dropped, so
            // the protocol, which never heard of a pause, is not told to resume from one.
            return true;
        }
        protocol = state.protocol;
    }
    return notify(std::move(protocol), "resume_writing");
}

bool TransportCore::notify(py::Ref protocol, const char* method) {
    if (!protocol) {
        return true;
    }
    py::Ref result = py::Ref::steal(PyObject_CallMethod(protocol.get(), method, nullptr));
    if (result) {
        return true;
    }
    py::Ref error = py::Ref::steal(PyErr_GetRaisedException());
    std::string message = std::string("protocol.") + method + "() failed";
    return report(message.c_str(), error.get());
}

bool TransportCore::report(const char* message, PyObject* exception) {
    py::Ref context = py::Ref::steal(PyDict_New());
    py::Ref text = py::Ref::steal(PyUnicode_FromString(message));
    if (!context || !text) {
        return false;
    }
    py::Ref transport;
    if (transport_ref != nullptr) {
        PyObject* alive = nullptr;
        if (PyWeakref_GetRef(transport_ref, &alive) < 0) {
            return false;
        }
        transport = py::Ref::steal(alive);
    }
    if (!transport) {
        transport = py::Ref::borrow(Py_None);
    }
    py::Ref protocol = protocol_or_none();
    if (PyDict_SetItemString(context.get(), "message", text.get()) < 0 ||
        PyDict_SetItemString(context.get(), "exception", exception) < 0 ||
        PyDict_SetItemString(context.get(), "transport", transport.get()) < 0 ||
        PyDict_SetItemString(context.get(), "protocol", protocol.get()) < 0) {
        return false;
    }
    return static_cast<bool>(call_method<names::call_exception_handler>(loop, context.get()));
}

bool TransportCore::set_write_buffer_limits(PyObject* high_argument, PyObject* low_argument) {
    std::optional<Py_ssize_t> high;
    std::optional<Py_ssize_t> low;
    if (!signed_size(high_argument, &high) || !signed_size(low_argument, &low)) {
        return false;
    }
    Py_ssize_t new_high = DEFAULT_HIGH_WATER;
    Py_ssize_t new_low = DEFAULT_LOW_WATER;
    if (high && low) {
        new_high = *high;
        new_low = *low;
    } else if (high) {
        new_high = *high;
        new_low = *high / 4;  // truncated toward zero
    } else if (low) {
        new_high = four_times(*low);
        new_low = *low;
    }
    if (!(new_high >= new_low && new_low >= 0)) {
        PyErr_Format(PyExc_ValueError, "high (%zd) must be >= low (%zd) must be >= 0", new_high, new_low);
        return false;
    }
    {
        std::lock_guard lock(mutex);
        state.high = new_high;
        state.low = new_low;
    }
    // Raising the marks does not resume a paused protocol; the next completed write does.
    return maybe_pause();
}

bool TransportCore::flush() {
    std::string dropped;
    {
        std::lock_guard lock(mutex);
        dropped = std::exchange(state.write_buf, std::string());
    }
    return maybe_resume();
}

py::Ref TransportCore::protocol_or_none() {
    py::Ref protocol;
    {
        std::lock_guard lock(mutex);
        protocol = state.protocol;
    }
    return protocol ? protocol : py::Ref::borrow(Py_None);
}

}  // namespace quorvelin::transport
