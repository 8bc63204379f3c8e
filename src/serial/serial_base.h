#pragma once
// SerialBase: the Python class that owns one port through a shared PortCore. It is the base
// of the blocking and the asyncio Serial classes; all its state lives in the PortCore, so one
// object may be used from any number of threads at once.

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "errors/exceptions.h"
#include "port/port_core.h"
#include "pyapi/ref.h"
#include "settings/seconds.h"

namespace quorvelin::serial {

struct SerialBaseObject {
    PyObject_HEAD
    std::shared_ptr<PortCore> core;  // set once when the object is made
};

inline std::shared_ptr<PortCore>& core_of(PyObject* self) {
    return reinterpret_cast<SerialBaseObject*>(self)->core;
}

// The process-wide class (borrowed), created on first use; nullptr with an exception set.
PyTypeObject* serial_base_type();

// A new instance of `type` (a subclass of SerialBase) over a new, closed port with the
// default settings.
PyObject* unopened(PyTypeObject* type);

// The constructor arguments after the subclass converted them, in parameter order.
struct InitArguments {
    std::optional<std::string> port;
    std::uint32_t baudrate = 9600;
    std::uint8_t bytesize = 8;
    std::string parity = "N";
    double stopbits = 1.0;
    std::optional<Seconds> timeout;
    bool xonxoff = false;
    bool rtscts = false;
    std::optional<Seconds> write_timeout;
    std::optional<bool> dsrdtr = false;  // nullopt: take rtscts
    std::optional<Seconds> inter_byte_timeout;
    std::optional<bool> exclusive;
};

// The shared constructor body; false with an exception set.
bool init(PyObject* self, InitArguments arguments);
// Opens the port through `self.open()` when it has a name and is closed.
bool enter(PyObject* self);

// Runs port work with the interpreter released and raises the SerialError it returns.
// `work` never touches Python objects.
template <class F>
bool detached(F&& work) {
    Status status = py::without_interpreter(std::forward<F>(work));
    if (!status) {
        exceptions::raise(std::move(status).error());
        return false;
    }
    return true;
}

template <class T, class F>
std::optional<T> detached_value(F&& work) {
    Result<T> result = py::without_interpreter(std::forward<F>(work));
    if (!result) {
        exceptions::raise(std::move(result).error());
        return std::nullopt;
    }
    return std::move(result).value();
}

// Whether the port is open, asked with the interpreter released.
bool is_open_released(PortCore& core);

}  // namespace quorvelin::serial
