#include "serial/io_operations.h"

#include <cstdint>
#include <string>

#include "port/ops.h"
#include "pyapi/args.h"
#include "serial/conversions.h"
#include "serial/serial_base.h"
#include "serial/to_bytes.h"

namespace quorvelin::serial {
namespace {

// An unsigned size: OverflowError for negative or huge values, TypeError for non-integers.
std::optional<std::size_t> unsigned_size(PyObject* obj) {
    if (PyLong_CheckExact(obj)) {
        // The usual case, without taking an index object first.
        std::size_t value = PyLong_AsSize_t(obj);
        if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return std::nullopt;
        return value;
    }
    py::Ref index = py::Ref::steal(PyNumber_Index(obj));
    if (!index) return std::nullopt;
    std::size_t value = PyLong_AsSize_t(index.get());
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return std::nullopt;
    return value;
}

std::optional<std::int64_t> signed_size(PyObject* obj) {
    Py_ssize_t value = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

template <std::size_t N>
bool parse(const char* function, const char* const (&names)[N], std::size_t required, PyObject* const* args,
           Py_ssize_t nargs, PyObject* kwnames, PyObject* (&out)[N]) {
    const py::Signature signature{function, names, required};
    return py::parse_fastcall(signature, args, nargs, kwnames, out);
}

}  // namespace

std::optional<std::size_t> read_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"size"};
    PyObject* v[1];
    if (!parse("read", names, 0, args, nargs, kwnames, v)) return std::nullopt;
    if (v[0] == nullptr) return std::size_t{1};
    return unsigned_size(v[0]);
}

MaybeOperation read_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<std::size_t> size = read_arguments(args, nargs, kwnames);
    if (!size) return std::nullopt;
    return ops::read(core_of(self), *size);
}

MaybeOperation read_until_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"expected", "size"};
    PyObject* v[2];
    if (!parse("read_until", names, 0, args, nargs, kwnames, v)) return std::nullopt;
    // The size first: with both arguments wrong, its error is the one raised.
    std::optional<std::size_t> size;
    if (v[1] != nullptr && v[1] != Py_None) {
        if (!(size = unsigned_size(v[1]))) return std::nullopt;
    }
    std::string expected = "\n";
    if (v[0] != nullptr && v[0] != Py_None) {
        auto bytes = to_bytes(v[0]);
        if (!bytes) return std::nullopt;
        expected = std::move(*bytes);
    }
    return ops::read_until(core_of(self), std::move(expected), size);
}

MaybeOperation readline_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"size"};
    PyObject* v[1];
    if (!parse("readline", names, 0, args, nargs, kwnames, v)) return std::nullopt;
    std::int64_t size = -1;
    if (v[0] != nullptr) {
        auto given = signed_size(v[0]);
        if (!given) return std::nullopt;
        size = *given;
    }
    return ops::readline(core_of(self), size);
}

MaybeOperation readlines_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"hint"};
    PyObject* v[1];
    if (!parse("readlines", names, 0, args, nargs, kwnames, v)) return std::nullopt;
    std::int64_t hint = -1;
    if (v[0] != nullptr) {
        auto given = signed_size(v[0]);
        if (!given) return std::nullopt;
        hint = *given;
    }
    return ops::readlines(core_of(self), hint);
}

std::optional<std::string> write_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    PyObject* v[1];
    if (!parse("write", names, 1, args, nargs, kwnames, v)) return std::nullopt;
    return to_bytes(v[0]);
}

MaybeOperation write_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<std::string> bytes = write_arguments(args, nargs, kwnames);
    if (!bytes) return std::nullopt;
    return ops::write(core_of(self), std::move(*bytes));
}

MaybeOperation send_break_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"duration"};
    PyObject* v[1];
    if (!parse("send_break", names, 0, args, nargs, kwnames, v)) return std::nullopt;
    double duration = 0.25;
    if (v[0] != nullptr) {
        auto given = float_argument(v[0]);
        if (!given) return std::nullopt;
        duration = *given;
    }
    return ops::send_break(core_of(self), duration);
}

runtime::Operation<Outcome> flush_operation(PyObject* self) { return ops::flush(core_of(self)); }

PyObject* read_all(PyObject* self, PyObject*) {
    py::Ref waiting = py::Ref::steal(PyObject_GetAttrString(self, "in_waiting"));
    if (!waiting) return nullptr;
    return PyObject_CallMethod(self, "read", "O", waiting.get());
}

}  // namespace quorvelin::serial
