#include "serial/serial_base.h"
#include "transport/names.h"
#include "transport/transport.h"
#include "transport/transport_core.h"

namespace quorvelin::transport {

PyObject* create(PyObject* loop, PyObject* protocol, PyObject* serial) {
    PyTypeObject* base = serial::serial_base_type();
    if (base == nullptr) {
        return nullptr;
    }
    // The object's own type, not isinstance(), which believes a __class__ attribute (as mocks
    // made with a spec have): the core takes the port out of the object's memory.
    if (!PyObject_TypeCheck(serial, base)) {
        PyErr_Format(PyExc_TypeError, "a quorvelin.SerialBase instance is required, not '%T'", serial);
        return nullptr;
    }
    // Through the setters, as user code would set them.
    py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
    if (!zero || PyObject_SetAttrString(serial, "timeout", zero.get()) < 0 ||
        PyObject_SetAttrString(serial, "write_timeout", zero.get()) < 0) {
        return nullptr;
    }
    py::Ref core = new_transport_core(loop, protocol, serial);
    if (!core) {
        return nullptr;
    }
    PyObject* cls = serial_transport_class();
    if (cls == nullptr) {
        return nullptr;
    }
    // Made with __new__ alone: the wrapper has nothing to initialise beyond its _core.
    py::Ref transport = py::Ref::steal(PyObject_CallMethod(cls, "__new__", "O", cls));
    if (!transport || PyObject_SetAttrString(transport.get(), "_core", core.get()) < 0) {
        return nullptr;
    }
    PyObject* weak = PyWeakref_NewRef(transport.get(), nullptr);
    if (weak == nullptr) {
        return nullptr;
    }
    TransportCore::of(core.get())->transport_ref = weak;

    // Through a step of the transport, which knows then that connection_made has come and
    // tells the protocol of a pause that a write before it caused.
    py::Ref connection_made = get_attribute<names::connection_made>(protocol);
    py::Ref call =
        connection_made ? py::Ref::steal(PyTuple_Pack(2, connection_made.get(), transport.get())) : py::Ref();
    py::Ref made = call ? TransportCore::of(core.get())->callable(Step::ConnectionMade) : py::Ref();
    if (!made || !call_method<names::call_soon>(loop, made.get(), call.get())) {
        return nullptr;
    }
    // After connection_made, so the protocol is ready before its first data_received.
    py::Ref on_start = TransportCore::of(core.get())->callable(Step::OnStart);
    if (!on_start || !call_method<names::call_soon>(loop, on_start.get())) {
        return nullptr;
    }
    return transport.release();
}

}  // namespace quorvelin::transport
