#pragma once
// TransportCore: the state and behaviour of one asyncio transport over one serial object,
// seen from Python as quorvelin.aio._TransportCore. The public SerialTransport forwards every
// method to it.
//
// The transport reads without pause, one read operation at a time, and hands each chunk to
// the protocol; it queues written bytes and sends them with one write operation at a time,
// pausing and resuming the protocol around two marks; it closes gracefully (queued bytes are
// sent, then the output is drained) or at once, and always ends with the protocol's
// connection_lost followed by the serial object's close().
//
// Threads: everything runs on the event loop's thread except the forwarding of a completion,
// which runs where an operation's Future completes and only hands that completion to the loop. The state mutex
// guards short field updates: it is never held across a call into Python or into the
// operation futures, and no Python reference is dropped while it is held (references are
// moved out and dropped after the unlock). So protocol callbacks may call back into the
// transport freely.

#include <Python.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "future/shared.h"
#include "port/port_core.h"
#include "pyapi/ref.h"
#include "transport/read_buffer.h"
#include "transport/read_period.h"

namespace quorvelin::transport {

inline constexpr Py_ssize_t DEFAULT_HIGH_WATER = 65536;
inline constexpr Py_ssize_t DEFAULT_LOW_WATER = 16384;

struct State {
    std::string paused_read_buf;  // chunks read while reading was paused
    std::string write_buf;        // accepted by write, not yet handed to a write operation
    py::Ref protocol;             // empty only once connection_lost took it
    py::Ref read_fut;             // the Future of the current read operation
    std::size_t in_flight = 0;    // bytes handed to the current write operation
    py::Ref write_fut;
    Py_ssize_t high = DEFAULT_HIGH_WATER;
    Py_ssize_t low = DEFAULT_LOW_WATER;
    py::Ref exc;         // what connection_lost will pass on
    py::Ref finish_fut;  // the Future of the final drain
    bool closing = false;
    bool reading_paused = false;
    bool writing_paused = false;
    bool finished = false;
    bool made = false;            // the protocol's connection_made has been called
    bool pause_deferred = false;  // a pause that came before connection_made, not yet told

    std::size_t buffered() const { return write_buf.size() + in_flight; }
};

// The steps the loop runs for the transport: the protocol's connection_made, the first read,
// what each kind of completed operation is handed to, and the delivery of bytes held while
// reading was paused.
enum class Step { OnStart, OnRead, OnWrite, ConnectionLost, DeliverHeld, ConnectionMade };
inline constexpr int STEP_COUNT = 6;

struct TransportCore {
    PyObject_HEAD
    PyObject* loop;    // strong; never changes
    PyObject* serial;  // strong, a SerialBase; never changes
    std::shared_ptr<PortCore> port;
    std::shared_ptr<ReadPeriod> read_period;  // made by the first read; under mutex
    std::shared_ptr<ReadBuffer> read_buffer;  // the same
    std::mutex mutex;  // guards state
    State state;
    PyObject* transport_ref;  // weak reference to the SerialTransport; set once by create
    // The step callables, indexed by Step, each made on first use and kept: every read and
    // write hands one to the loop. Each holds the core (a cycle the collector sees).
    PyObject* steps[STEP_COUNT];

    static TransportCore* of(PyObject* object) { return reinterpret_cast<TransportCore*>(object); }
    PyObject* object() { return reinterpret_cast<PyObject*>(this); }

    // Every operation below returns false with a Python exception set when it fails.

    // reading.cpp
    bool start_reading();
    bool read_while_closing();
    bool start_read();  // starts and tracks one read, with no check of the state
    bool on_read(PyObject* fut);
    void pause_reading();
    bool resume_reading();
    bool deliver_held(PyObject* delivery);

    // writing.cpp
    bool write(PyObject* data);
    bool writelines(PyObject* items);
    bool start_writing();
    bool on_write(PyObject* fut);

    // flow_control.cpp
    // Calls `call`, the pair (protocol.connection_made, transport), then tells the protocol
    // of a pause that came before it.
    bool connection_made(PyObject* call);
    bool maybe_pause();
    bool maybe_resume();
    bool notify(py::Ref protocol, const char* method);
    bool report(const char* message, PyObject* exception);
    bool set_write_buffer_limits(PyObject* high, PyObject* low);
    bool flush();

    // closing.cpp
    bool close_with(py::Ref exc);
    bool abort_with(py::Ref exc);
    bool finish(bool drain);
    bool connection_lost();

    // callables.cpp: the callable bound to this core that runs `step` with its first
    // argument (or None), a new reference; and the registration on `fut` (a Python Future)
    // of the forwarding that hands the completed Future to the loop for `step`, run where
    // the Future completes.
    py::Ref callable(Step step);
    bool when_done(PyObject* fut, Step step);
    // Wraps a started operation in a Python Future, records it in `slot` (the caller's check
    // for a stale completion) and has `step` run when it completes.
    bool track(future::OpFuture started, py::Ref State::*slot, Step step);

    // The protocol, or None when absent (a new reference).
    py::Ref protocol_or_none();
};

// The class _TransportCore (borrowed), built on first use; nullptr with an exception set.
PyTypeObject* transport_core_type();

// A new core over `serial` (already checked to be a SerialBase) with `protocol`.
py::Ref new_transport_core(PyObject* loop, PyObject* protocol, PyObject* serial);

}  // namespace quorvelin::transport
