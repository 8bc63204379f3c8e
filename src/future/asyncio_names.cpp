#include "future/asyncio_names.h"

#include "pyapi/once_cell.h"

namespace quorvelin::future {
namespace {

template <const char* Attribute>
PyObject* cached() {
    static py::OnceCell cell;
    return cell.get([] { return PyImport_ImportModuleAttrString("asyncio", Attribute); });
}

constexpr char cancelled_error[] = "CancelledError";
constexpr char invalid_state_error[] = "InvalidStateError";

// The module object itself is kept: it is the one sys.modules holds for the whole run.
PyObject* asyncio_module() {
    static py::OnceCell cell;
    return cell.get([] { return PyImport_ImportModule("asyncio"); });
}

template <const char* Name>
PyObject* interned() {
    static py::OnceCell cell;
    return cell.get([] { return PyUnicode_InternFromString(Name); });
}

constexpr char get_running_loop_name[] = "get_running_loop";
constexpr char peek_running_loop_name[] = "_get_running_loop";

template <const char* Name>
py::Ref call_module_function() {
    PyObject* module = asyncio_module();
    PyObject* name = module != nullptr ? interned<Name>() : nullptr;
    if (name == nullptr) {
        return py::Ref();
    }
    py::Ref function = py::Ref::steal(PyObject_GetAttr(module, name));
    if (!function) {
        return py::Ref();
    }
    return py::Ref::steal(PyObject_CallNoArgs(function.get()));
}

}  // namespace

PyObject* asyncio_name(AsyncioName name) {
    switch (name) {
        case AsyncioName::CancelledError: return cached<cancelled_error>();
        case AsyncioName::InvalidStateError: return cached<invalid_state_error>();
    }
    return nullptr;
}

py::Ref get_running_loop() { return call_module_function<get_running_loop_name>(); }

py::Ref peek_running_loop() { return call_module_function<peek_running_loop_name>(); }

}  // namespace quorvelin::future
