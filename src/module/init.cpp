// The extension's entry point: a multi-phase module definition.

#include <Python.h>

#include "module/initialiser.h"
#include "pyapi/guarded.h"

namespace {

int exec_module(PyObject* module) {
    if (module == nullptr) {
        return -1;
    }
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "expected a module object");
        return -1;
    }
    return quorvelin::module::initialise(module) ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(quorvelin::py::guarded<exec_module>)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The module's objects are process-wide; another interpreter must not share them.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quorvelin",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__quorvelin() { return PyModuleDef_Init(&module_def); }
