#include "future/asyncio_names.h"

#include "future/method_calls.h"
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

constexpr char get_running_loop_name[] = "get_running_loop";
constexpr char peek_running_loop_name[] = "_get_running_loop";

// The module's attribute `Name`, looked up at this call. A function that asyncio defines
// lives in the module's dict, and reading that dict directly costs a fraction of the
// generic attribute lookup; anything else (a name missing from the dict, a module
// __getattr__) takes the generic lookup, with its own errors.
template <const char* Name>
py::Ref module_attribute(PyObject* module) {
    PyObject* name = interned<Name>();
    if (name == nullptr) {
        return py::Ref();
    }
    PyObject* found = nullptr;
    if (PyModule_CheckExact(module)) {
        if (PyDict_GetItemRef(PyModule_GetDict(module), name, &found) < 0) {
            return py::Ref();
        }
    }
    if (found != nullptr) {
        return py::Ref::steal(found);
    }
    return py::Ref::steal(PyObject_GetAttr(module, name));
}

template <const char* Name>
py::Ref call_module_function() {
    PyObject* module = asyncio_module();
    if (module == nullptr) {
        return py::Ref();
    }
    py::Ref function = module_attribute<Name>(module);
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
