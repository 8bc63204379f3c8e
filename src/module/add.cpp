#include "module/add.h"

namespace quorvelin::module {
namespace {

// The module's `__all__` list, created when the module has none yet.
py::Ref all_list(PyObject* module) {
    py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return {};
        }
        PyErr_Clear();
        all = py::Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return {};
        }
        return all;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return {};
    }
    return all;
}

}  // namespace

bool add_value(PyObject* module, const char* name, py::Ref value) {
    if (!value) {
        return false;
    }
    py::Ref all = all_list(module);
    if (!all) {
        return false;
    }
    py::Ref key = py::Ref::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) {
        return false;
    }
    return PyObject_SetAttr(module, key.get(), value.get()) == 0;
}

bool add_type(PyObject* module, PyTypeObject* type) {
    py::Ref name = py::Ref::steal(PyType_GetName(type));
    if (!name) {
        return false;
    }
    const char* text = PyUnicode_AsUTF8(name.get());
    if (text == nullptr) {
        return false;
    }
    return add_value(module, text, py::Ref::borrow(reinterpret_cast<PyObject*>(type)));
}

bool add_function(PyObject* module, PyMethodDef* def) {
    py::Ref module_name = py::Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return false;
    }
    py::Ref function = py::Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    return add_value(module, def->ml_name, std::move(function));
}

py::Ref new_submodule(const char* dotted_name) {
    py::Ref name = py::Ref::steal(PyUnicode_FromString(dotted_name));
    if (!name) {
        return {};
    }
    py::Ref child = py::Ref::steal(PyModule_NewObject(name.get()));
    if (!child || PyUnstable_Module_SetGIL(child.get(), Py_MOD_GIL_NOT_USED) < 0) {
        return {};
    }
    return child;
}

bool add_submodule(PyObject* parent, const char* name, PyObject* child) {
    if (!add_value(parent, name, py::Ref::borrow(child))) {
        return false;
    }
    py::Ref sys_name = py::Ref::steal(PyUnicode_FromString("sys"));
    if (!sys_name) {
        return false;
    }
    py::Ref sys = py::Ref::steal(PyImport_Import(sys_name.get()));
    if (!sys) {
        return false;
    }
    py::Ref modules = py::Ref::steal(PyObject_GetAttrString(sys.get(), "modules"));
    if (!modules) {
        return false;
    }
    py::Ref child_name = py::Ref::steal(PyModule_GetNameObject(child));
    if (!child_name) {
        return false;
    }
    return PyObject_SetItem(modules.get(), child_name.get(), child) == 0;
}

}  // namespace quorvelin::module
