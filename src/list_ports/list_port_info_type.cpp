#include <new>

#include "list_ports/list_port_info.h"
#include "list_ports/list_port_info_object.h"
#include "pyapi/args.h"
#include "pyapi/once_cell.h"
#include "pyapi/guarded.h"

namespace quorvelin::list_ports {
namespace {

PyObject* allocate(PyTypeObject* type, PortInfo info) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    new (&as_port(self)->borrow) BorrowFlag();
    new (&as_port(self)->info) PortInfo(std::move(info));
    return self;
}

PyObject* list_port_info_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"device", "skip_link_detection"};
    static const py::Signature signature{"ListPortInfo", names, 1};
    PyObject* values[2];
    if (!py::parse_tuple_dict(signature, args, kwargs, values)) {
        return nullptr;
    }
    if (!PyUnicode_Check(values[0])) {
        PyErr_Format(PyExc_TypeError, "argument 'device' must be str, not %T", values[0]);
        return nullptr;
    }
    bool skip_link_detection = false;  // accepted for compatibility; links are not followed anyway
    if (!py::parse_bool_argument("skip_link_detection", values[1], false, &skip_link_detection)) {
        return nullptr;
    }
    std::optional<std::string> device = text_from_python(values[0]);
    if (!device) {
        return nullptr;
    }
    return allocate(type, PortInfo::for_device(std::move(*device)));
}

int list_port_info_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return PyObject_VisitManagedDict(self, visit, arg);
}

int list_port_info_clear(PyObject* self) {
    PyObject_ClearManagedDict(self);
    return 0;
}

void list_port_info_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearManagedDict(self);
    as_port(self)->info.~PortInfo();
    as_port(self)->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "ListPortInfo(device, skip_link_detection=False)\n--\n\n"
                    "Describes one serial port and carries the attribute set that port-listing "
                    "code commonly expects.")},
    {Py_tp_new, reinterpret_cast<void*>(py::guarded<list_port_info_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::guarded<list_port_info_dealloc>)},
    {Py_tp_traverse, reinterpret_cast<void*>(list_port_info_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(list_port_info_clear)},
    {Py_tp_getset, list_port_info_getset},
    {Py_tp_methods, list_port_info_methods},
    {Py_tp_str, reinterpret_cast<void*>(py::guarded<list_port_info_str>)},
    {Py_tp_iter, reinterpret_cast<void*>(py::guarded<list_port_info_iter>)},
    {Py_mp_subscript, reinterpret_cast<void*>(py::guarded<list_port_info_subscript>)},
    {Py_tp_hash, reinterpret_cast<void*>(py::guarded<list_port_info_hash>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(py::guarded<list_port_info_richcompare>)},
    {0, nullptr},
};

PyType_Spec type_definition = {
    "quorvelin.tools.list_ports.ListPortInfo",
    static_cast<int>(sizeof(ListPortInfoObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT,
    slots,
};

}  // namespace

PyTypeObject* list_port_info_type() {
    // Created once for the process and kept for its life.
    static py::OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(cell.get([] { return PyType_FromSpec(&type_definition); }));
}

py::Ref new_list_port_info(PortInfo info) {
    PyTypeObject* type = list_port_info_type();
    if (type == nullptr) {
        return {};
    }
    return py::Ref::steal(allocate(type, std::move(info)));
}

}  // namespace quorvelin::list_ports
