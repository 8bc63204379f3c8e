#include "module/initialiser.h"

#include "aio/aio_serial.h"
#include "aio/connections.h"
#include "errors/exceptions.h"
#include "future/python_future.h"
#include "list_ports/python_members.h"
#include "module/add.h"
#include "module/constants.h"
#include "serial/conversions.h"
#include "serial/for_url.h"
#include "serial/serial_base.h"
#include "serial/serial_class.h"

namespace quorvelin::module {
namespace {

bool add_exception_classes(PyObject* m) {
    return add_value(m, "SerialException", py::Ref::borrow(exceptions::serial_exception())) &&
           add_value(m, "SerialTimeoutException", py::Ref::borrow(exceptions::serial_timeout_exception())) &&
           add_value(m, "PortNotOpenError", py::Ref::borrow(exceptions::port_not_open_error()));
}

// Baudrate, SerialBase, Serial and serial_for_url; SerialBase reads the enumeration.
bool add_serial_api(PyObject* m) {
    if (!add_value(m, "Baudrate", py::Ref::steal(serial::baudrate_enum()))) {
        return false;
    }
    PyTypeObject* base = serial::serial_base_type();
    if (base == nullptr || !add_type(m, base)) {
        return false;
    }
    PyTypeObject* blocking = serial::serial_type();
    return blocking != nullptr && add_type(m, blocking) && add_function(m, &serial::serial_for_url_def);
}

// Takes "__getattr__" out of the asyncio module's `__all__` (the function stays on the module)
// and names "SerialTransport" there instead, which that function serves.
bool export_serial_transport(PyObject* aio_module) {
    py::Ref all = py::Ref::steal(PyObject_GetAttrString(aio_module, "__all__"));
    if (!all) {
        return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return false;
    }
    py::Ref removed = py::Ref::steal(PyObject_CallMethod(all.get(), "remove", "s", "__getattr__"));
    if (!removed) {
        return false;
    }
    py::Ref name = py::Ref::steal(PyUnicode_FromString("SerialTransport"));
    return name && PyList_Append(all.get(), name.get()) == 0;
}

// quorvelin.aio: Future, the asyncio Serial and its serial_for_url, __getattr__ (serving
// SerialTransport), then the connection functions; entered in sys.modules only when complete.
bool add_aio(PyObject* m) {
    py::Ref aio_module = new_submodule("quorvelin.aio");
    if (!aio_module) {
        return false;
    }
    PyObject* aio = aio_module.get();
    PyTypeObject* future = future::future_type();
    PyTypeObject* serial = future != nullptr ? aio::aio_serial_type() : nullptr;
    return serial != nullptr && add_type(aio, future) && add_type(aio, serial) &&
           add_function(aio, &aio::serial_for_url_def) && add_function(aio, &aio::module_getattr_def) &&
           export_serial_transport(aio) && add_function(aio, &aio::create_serial_connection_def) &&
           add_function(aio, &aio::connection_for_serial_def) && add_function(aio, &aio::open_serial_connection_def) &&
           add_submodule(m, "aio", aio);
}

// quorvelin.tools and quorvelin.tools.list_ports; the inner module is entered in sys.modules
// before the outer one.
bool add_tools(PyObject* m) {
    py::Ref tools = new_submodule("quorvelin.tools");
    if (!tools) {
        return false;
    }
    py::Ref list_ports = new_submodule("quorvelin.tools.list_ports");
    return list_ports && list_ports::add_members(list_ports.get()) &&
           add_submodule(tools.get(), "list_ports", list_ports.get()) &&
           add_submodule(m, "tools", tools.get());
}

}  // namespace

bool initialise(PyObject* m) {
    return add_constants(m) && add_exception_classes(m) && add_serial_api(m) && add_aio(m) && add_tools(m);
}

}  // namespace quorvelin::module
