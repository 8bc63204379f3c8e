#include "pyapi/coroutine_steps.h"

#include <span>

#include "pyapi/args.h"
#include "pyapi/ref.h"

namespace quorvelin::py {

bool parse_send(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"_value"};
    static const Signature signature{"send", names, 1};
    PyObject* value = nullptr;
    return parse_fastcall(signature, args, nargs, kwnames, std::span(&value, 1));
}

PyObject* parse_throw(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"exception", "_value", "_traceback"};
    static const Signature signature{"throw", names, 1};
    PyObject* given[3];
    if (!parse_fastcall(signature, args, nargs, kwnames, given)) {
        return nullptr;
    }
    return given[0];
}

PyObject* raise_thrown(PyObject* exception) {
    Ref candidate = PyType_Check(exception) ? Ref::steal(PyObject_CallNoArgs(exception)) : Ref::borrow(exception);
    if (!candidate) {
        return nullptr;
    }
    if (!PyExceptionInstance_Check(candidate.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return nullptr;
    }
    PyErr_SetRaisedException(candidate.release());
    return nullptr;
}

PyObject* stop_with(PyObject* value) {
    // What StopIteration(value) makes, without the call through the type: each await of a
    // finished Future ends here, and calling the class cost about as much as the rest of the
    // step. The class's own constructor makes the object with its args; its initialiser
    // would only set `value` from them.
    auto* type = reinterpret_cast<PyTypeObject*>(PyExc_StopIteration);
    Ref args = Ref::steal(PyTuple_Pack(1, value));
    if (!args) {
        return nullptr;
    }
    PyObject* stop = type->tp_new(type, args.get(), nullptr);
    if (stop == nullptr) {
        return nullptr;
    }
    reinterpret_cast<PyStopIterationObject*>(stop)->value = Py_NewRef(value);
    PyErr_SetRaisedException(stop);
    return nullptr;
}

}  // namespace quorvelin::py
