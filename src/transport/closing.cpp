// Closing: gracefully (queued bytes are still written, then the output is drained) or at once
// (abort). Every road ends in exactly one connection_lost on the loop, followed by the serial
// object's close().

#include "errors/exceptions.h"
#include "future/python_future.h"
#include "transport/names.h"
#include "transport/operations.h"
#include "transport/transport_core.h"

namespace quorvelin::transport {
namespace {

// Our own Futures' cancel() completes them at once; their "forward" then hands the cancelled
// Future to a step that finds it stale (or, for the drain, runs connection_lost).
void cancel(const py::Ref& fut) {
    if (fut) {
        future::unwrap(fut.get())->cancel();
    }
}

}  // namespace

bool TransportCore::close_with(py::Ref exc) {
    py::Ref previous_exc;
    bool writer_idle = false;
    {
        std::lock_guard lock(mutex);
        if (state.closing) {
            return true;
        }
        state.closing = true;
        previous_exc = std::exchange(state.exc, std::move(exc));
        writer_idle = state.write_buf.empty() && !state.write_fut;
    }
    // The read that runs goes on (one starts when none does) until connection_lost, so the
    // queued bytes and the drain can finish; what it reads is dropped (see read_while_closing).
    py::Ref read_error;
    if (!read_while_closing()) {
        read_error = py::Ref::steal(PyErr_GetRaisedException());
    }
    // on_write finishes once the queued bytes are written; a failed read start does not hold
    // the end off.
    const bool finished = !writer_idle || finish(true);
    if (read_error) {
        if (!finished) {
            PyException_SetContext(read_error.get(), PyErr_GetRaisedException());
        }
        PyErr_SetRaisedException(read_error.release());
        return false;
    }
    return finished;
}

bool TransportCore::abort_with(py::Ref exc) {
    py::Ref read;
    py::Ref write;
    py::Ref drain;
    std::string dropped;
    {
        std::lock_guard lock(mutex);
        if (!state.exc) {
            state.exc = std::move(exc);  // otherwise the stored one is kept
        }
        state.closing = true;
        dropped = std::exchange(state.write_buf, std::string());
        state.in_flight = 0;
        read = std::move(state.read_fut);
        write = std::move(state.write_fut);
        drain = std::move(state.finish_fut);
    }
    cancel(read);
    cancel(write);
    cancel(drain);
    return finish(false);
}

bool TransportCore::finish(bool drain) {
    {
        std::lock_guard lock(mutex);
        if (state.finished) {
            return true;
        }
        state.finished = true;
    }
    auto schedule_connection_lost = [this] {
        py::Ref lost = callable(Step::ConnectionLost);
        return lost && call_method<names::call_soon>(loop, lost.get(), Py_None);
    };
    if (!drain) {
        return schedule_connection_lost();
    }
    Result<future::OpFuture> started = future::OpFuture::start(drain_op(port));
    if (!started) {
        // Without a drain nothing would ever bring connection_lost: the protocol would not
        // hear of the end and the port would stay open. It comes now, without the drain, and
        // the start error still reaches the caller.
        exceptions::raise(std::move(started).error());
        py::Ref start_error = py::Ref::steal(PyErr_GetRaisedException());
        if (!schedule_connection_lost()) {
            PyException_SetContext(start_error.get(), PyErr_GetRaisedException());
        }
        PyErr_SetRaisedException(start_error.release());
        return false;
    }
    return track(std::move(started).value(), &State::finish_fut, Step::ConnectionLost);
}

bool TransportCore::connection_lost() {
    py::Ref protocol;
    py::Ref exc;
    py::Ref drain;
    py::Ref read;
    {
        std::lock_guard lock(mutex);
        protocol = std::move(state.protocol);
        exc = std::move(state.exc);
        drain = std::move(state.finish_fut);
        read = std::move(state.read_fut);  // the read a graceful close kept running
    }
    drain.reset();
    cancel(read);  // its completion is stale from here on
    py::Ref protocol_error;
    if (protocol) {
        py::Ref told = call_method<names::connection_lost>(protocol.get(), exc ? exc.get() : Py_None);
        if (!told) {
            protocol_error = py::Ref::steal(PyErr_GetRaisedException());
        }
    }
    // Always, also when the protocol raised: the transport owns the port to its end.
    py::Ref closed = call_method<names::close>(serial);
    if (!closed) {
        return false;  // this exception wins over the protocol's
    }
    if (protocol_error) {
        PyErr_SetRaisedException(protocol_error.release());
        return false;
    }
    return true;
}

}  // namespace quorvelin::transport
