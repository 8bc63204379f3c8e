// The reading loop: one read operation at a time; each completion starts the next read
// before the chunk goes to the protocol, so the port is read again while the protocol works.

#include "errors/exceptions.h"
#include "future/python_future.h"
#include "runtime/runtime.h"
#include "transport/names.h"
#include "transport/operations.h"
#include "transport/transport_core.h"

namespace quorvelin::transport {

bool TransportCore::start_reading() {
    {
        std::lock_guard lock(mutex);
        if (state.closing || state.reading_paused || state.read_fut) {
            return true;
        }
    }
    return start_read();
}

// A graceful close goes on reading until connection_lost, paused or not, and drops what it
// reads: where only our reads make room for our writes (the loopback port, whose reads are
// its only way out; a pty whose far end echoes and stops reading us while its echo waits),
// the queued bytes and the drain would otherwise never finish.
bool TransportCore::read_while_closing() {
    {
        std::lock_guard lock(mutex);
        if (!state.closing || state.read_fut) {
            return true;
        }
    }
    return start_read();
}

bool TransportCore::start_read() {
    // The runtime is asked first for its timers; when it is unavailable, this is the error
    // that starting the read would raise.
    Result<runtime::Owned*> owned = runtime::runtime();
    if (!owned) {
        exceptions::raise(std::move(owned).error());
        return false;
    }
    std::shared_ptr<ReadPeriod> period;
    std::shared_ptr<ReadBuffer> buffer;
    {
        std::lock_guard lock(mutex);
        if (!read_period) {
            read_period = ReadPeriod::make(owned.value()->runtime->io());
            read_buffer = std::make_shared<ReadBuffer>(READ_LIMIT);
        }
        period = read_period;
        buffer = read_buffer;
    }
    Result<future::OpFuture> started = future::OpFuture::start(read_op(port, std::move(period), std::move(buffer)));
    if (!started) {
        exceptions::raise(std::move(started).error());
        return false;
    }
    return track(std::move(started).value(), &State::read_fut, Step::OnRead);
}

bool TransportCore::on_read(PyObject* fut) {
    py::Ref taken;
    {
        std::lock_guard lock(mutex);
        if (!state.read_fut || state.read_fut.get() != fut) {
            return true;  // stale: a read that was cancelled or replaced
        }
        taken = std::move(state.read_fut);
    }
    py::Ref data = py::Ref::steal(future::unwrap(fut)->result());
    if (!data) {
        return close_with(py::Ref::steal(PyErr_GetRaisedException()));
    }
    py::Ref protocol;
    bool closing = false;
    {
        std::lock_guard lock(mutex);
        if (state.closing) {
            closing = true;
        } else if (state.reading_paused) {
            state.paused_read_buf.append(PyBytes_AS_STRING(data.get()),
                                         static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
            return true;
        } else {
            protocol = state.protocol;
        }
    }
    if (closing) {
        return read_while_closing();  // the data is dropped: nothing read after close() is delivered
    }
    const bool has_data = PyBytes_GET_SIZE(data.get()) > 0;
    if (!start_reading()) {
        // The chunk has left the port already: it still goes to the protocol, and the start
        // error follows (carrying the protocol's own error, if any, as its context).
        py::Ref start_error = py::Ref::steal(PyErr_GetRaisedException());
        if (protocol && has_data) {
            py::Ref received = call_method<names::data_received>(protocol.get(), data.get());
            if (!received) {
                PyException_SetContext(start_error.get(), PyErr_GetRaisedException());
            }
        }
        PyErr_SetRaisedException(start_error.release());
        return false;
    }
    if (protocol && has_data) {
        // An exception of the protocol goes to the loop; the next read is already running.
        return static_cast<bool>(call_method<names::data_received>(protocol.get(), data.get()));
    }
    return true;
}

void TransportCore::pause_reading() {
    std::lock_guard lock(mutex);
    state.reading_paused = true;
}

bool TransportCore::resume_reading() {
    std::string held;
    py::Ref protocol;
    {
        std::lock_guard lock(mutex);
        if (!state.reading_paused) {
            return true;
        }
        state.reading_paused = false;
        held = std::exchange(state.paused_read_buf, std::string());
        protocol = state.protocol;
    }
    if (!held.empty() && protocol) {
        bool scheduled = false;
        py::Ref received = get_attribute<names::data_received>(protocol.get());
        if (received) {
            py::Ref chunk = py::Ref::steal(PyBytes_FromStringAndSize(held.data(), static_cast<Py_ssize_t>(held.size())));
            py::Ref delivery = chunk ? py::Ref::steal(PyTuple_Pack(2, received.get(), chunk.get())) : py::Ref();
            py::Ref deliver = delivery ? callable(Step::DeliverHeld) : py::Ref();
            scheduled = deliver && call_method<names::call_soon>(loop, deliver.get(), delivery.get());
        }
        if (!scheduled) {
            // Nothing is lost: the bytes go back in front of anything held meanwhile, and
            // reading stays paused, as is_reading() says.
            std::lock_guard lock(mutex);
            state.reading_paused = true;
            if (state.paused_read_buf.empty()) {
                state.paused_read_buf = std::move(held);  // no copy, so this cannot fail for memory
            } else {
                state.paused_read_buf.insert(0, held);
            }
            return false;
        }
    }
    return start_reading();
}

// The held bytes reach the protocol's data_received unless connection_lost ran first (after a
// close or an abort, it may already be queued when reading resumes): the protocol hears
// nothing after it.
bool TransportCore::deliver_held(PyObject* delivery) {
    if (!PyTuple_Check(delivery) || PyTuple_GET_SIZE(delivery) != 2) {
        PyErr_SetString(PyExc_TypeError, "deliver_held() takes the pair (data_received, data)");
        return false;
    }
    {
        std::lock_guard lock(mutex);
        if (!state.protocol) {
            return true;
        }
    }
    return static_cast<bool>(
        py::Ref::steal(PyObject_CallOneArg(PyTuple_GET_ITEM(delivery, 0), PyTuple_GET_ITEM(delivery, 1))));
}

}  // namespace quorvelin::transport
