// Outcome::to_py and the ObjectHandle maker: the Python side of the engine's results.

#include "future/attach.h"
#include "future/object_handle.h"
#include "port/outcome.h"

namespace quorvelin {
namespace {

PyObject* bytes_of(const std::string& bytes) {
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

}  // namespace

PyObject* Outcome::to_py() const {
    struct Convert {
        PyObject* operator()(const Unit&) const { Py_RETURN_NONE; }
        PyObject* operator()(std::size_t count) const { return PyLong_FromSize_t(count); }
        PyObject* operator()(const std::string& bytes) const { return bytes_of(bytes); }
        PyObject* operator()(const Lines& lines) const {
            PyObject* list = PyList_New(static_cast<Py_ssize_t>(lines.size()));
            if (list == nullptr) {
                return nullptr;
            }
            for (std::size_t i = 0; i < lines.size(); ++i) {
                PyObject* line = bytes_of(lines[i]);
                if (line == nullptr) {
                    Py_DECREF(list);
                    return nullptr;
                }
                PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), line);
            }
            return list;
        }
        PyObject* operator()(const ObjectHandle& object) const {
            if (!object) {
                Py_RETURN_NONE;
            }
            return Py_NewRef(future::object_of(object));
        }
    };
    return std::visit(Convert{}, value_);
}

namespace future {

ObjectHandle make_object_handle(PyObject* object) {
    Py_INCREF(object);
    return ObjectHandle(object, [](void* held) { release_anywhere(static_cast<PyObject*>(held)); });
}

}  // namespace future
}  // namespace quorvelin
