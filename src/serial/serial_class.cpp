#include "serial/serial_class.h"

#include <limits>

#include "port/ops.h"
#include "pyapi/args.h"
#include "serial/conversions.h"
#include "serial/drive.h"
#include "pyapi/once_cell.h"
#include "serial/serial_base.h"
#include "serial/to_bytes.h"

namespace quorvelin::serial {
namespace {

// An unsigned size: OverflowError for negative or huge values, TypeError for non-integers.
std::optional<std::size_t> unsigned_size(PyObject* obj) {
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

std::shared_ptr<PortCore> core(PyObject* self) { return core_of(self); }

template <std::size_t N>
bool parse(const char* function, const char* const (&names)[N], PyObject* const* args, Py_ssize_t nargs,
           PyObject* kwnames, PyObject* (&out)[N]) {
    const py::Signature signature{function, names, 0};
    return py::parse_fastcall(signature, args, nargs, kwnames, out);
}

PyObject* serial_new(PyTypeObject* type, PyObject*, PyObject*) { return unopened(type); }

int serial_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"port",    "baudrate",      "bytesize", "parity",
                                        "stopbits", "timeout",      "xonxoff",  "rtscts",
                                        "write_timeout", "dsrdtr", "inter_byte_timeout", "exclusive"};
    static const py::Signature signature{"__init__", names, 0};
    PyObject* v[12];
    if (!py::parse_tuple_dict(signature, args, kwargs, v)) return -1;
    InitArguments a;
    // Converted in parameter order; the value rules run afterwards, in init.
    if (v[0] != nullptr && v[0] != Py_None) {
        if (!(a.port = text_argument(v[0], "port"))) return -1;
    }
    if (v[1] != nullptr) {
        auto rate = baudrate_from(v[1]);
        if (!rate) return -1;
        a.baudrate = *rate;
    }
    if (v[2] != nullptr) {
        auto size = bytesize_from(v[2]);
        if (!size) return -1;
        a.bytesize = *size;
    }
    if (v[3] != nullptr) {
        auto text = text_argument(v[3], "parity");
        if (!text) return -1;
        a.parity = std::move(*text);
    }
    if (v[4] != nullptr) {
        auto number = float_argument(v[4]);
        if (!number) return -1;
        a.stopbits = *number;
    }
    if (!optional_seconds(v[5], &a.timeout)) return -1;
    if (v[6] != nullptr) {
        auto flag = truth(v[6]);
        if (!flag) return -1;
        a.xonxoff = *flag;
    }
    if (v[7] != nullptr) {
        auto flag = truth(v[7]);
        if (!flag) return -1;
        a.rtscts = *flag;
    }
    if (!optional_seconds(v[8], &a.write_timeout)) return -1;
    if (v[9] != nullptr) {
        if (v[9] == Py_None) {
            a.dsrdtr.reset();
        } else {
            auto flag = truth(v[9]);
            if (!flag) return -1;
            a.dsrdtr = *flag;
        }
    }
    if (!optional_seconds(v[10], &a.inter_byte_timeout)) return -1;
    if (v[11] != nullptr && v[11] != Py_None) {
        auto flag = truth(v[11]);
        if (!flag) return -1;
        a.exclusive = *flag;
    }
    return init(self, std::move(a)) ? 0 : -1;
}

PyObject* read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"size"};
    PyObject* v[1];
    if (!parse("read", names, args, nargs, kwnames, v)) return nullptr;
    std::size_t size = 1;
    if (v[0] != nullptr) {
        auto given = unsigned_size(v[0]);
        if (!given) return nullptr;
        size = *given;
    }
    return run(ops::read(core(self), size));
}

PyObject* read_until(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"expected", "size"};
    PyObject* v[2];
    if (!parse("read_until", names, args, nargs, kwnames, v)) return nullptr;
    std::optional<std::size_t> size;
    if (v[1] != nullptr && v[1] != Py_None) {
        if (!(size = unsigned_size(v[1]))) return nullptr;
    }
    std::string expected = "\n";
    if (v[0] != nullptr && v[0] != Py_None) {
        auto bytes = to_bytes(v[0]);
        if (!bytes) return nullptr;
        expected = std::move(*bytes);
    }
    return run(ops::read_until(core(self), std::move(expected), size));
}

PyObject* readline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"size"};
    PyObject* v[1];
    if (!parse("readline", names, args, nargs, kwnames, v)) return nullptr;
    std::int64_t size = -1;
    if (v[0] != nullptr) {
        auto given = signed_size(v[0]);
        if (!given) return nullptr;
        size = *given;
    }
    return run(ops::readline(core(self), size));
}

PyObject* readlines(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"hint"};
    PyObject* v[1];
    if (!parse("readlines", names, args, nargs, kwnames, v)) return nullptr;
    std::int64_t hint = -1;
    if (v[0] != nullptr) {
        auto given = signed_size(v[0]);
        if (!given) return nullptr;
        hint = *given;
    }
    return run(ops::readlines(core(self), hint));
}

PyObject* readinto(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"b"};
    static const py::Signature signature{"readinto", names, 1};
    PyObject* b = nullptr;
    if (!py::parse_fastcall(signature, args, nargs, kwnames, std::span(&b, 1))) return nullptr;
    Py_ssize_t n = PyObject_Length(b);
    if (n < 0) return nullptr;
    py::Ref data = py::Ref::steal(run(ops::read(core(self), static_cast<std::size_t>(n))));
    if (!data) return nullptr;
    Py_ssize_t m = PyObject_Length(data.get());
    if (m < 0) return nullptr;
    py::Ref start = py::Ref::steal(PyLong_FromLong(0));
    py::Ref stop = py::Ref::steal(PyLong_FromSsize_t(m));
    if (!start || !stop) return nullptr;
    py::Ref slice = py::Ref::steal(PySlice_New(start.get(), stop.get(), nullptr));
    if (!slice || PyObject_SetItem(b, slice.get(), data.get()) < 0) return nullptr;
    return PyLong_FromSsize_t(m);
}

PyObject* read_all(PyObject* self, PyObject*) {
    // By attribute lookup, so that subclass overrides take part.
    py::Ref waiting = py::Ref::steal(PyObject_GetAttrString(self, "in_waiting"));
    if (!waiting) return nullptr;
    return PyObject_CallMethod(self, "read", "O", waiting.get());
}

PyObject* write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    static const py::Signature signature{"write", names, 1};
    PyObject* data = nullptr;
    if (!py::parse_fastcall(signature, args, nargs, kwnames, std::span(&data, 1))) return nullptr;
    auto bytes = to_bytes(data);
    if (!bytes) return nullptr;
    return run(ops::write(core(self), std::move(*bytes)));
}

PyObject* flush(PyObject* self, PyObject*) {
    py::Ref result = py::Ref::steal(run(ops::flush(core(self))));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_break(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"duration"};
    PyObject* v[1];
    if (!parse("send_break", names, args, nargs, kwnames, v)) return nullptr;
    double duration = 0.25;
    if (v[0] != nullptr) {
        auto given = float_argument(v[0]);
        if (!given) return nullptr;
        duration = *given;
    }
    py::Ref result = py::Ref::steal(run(ops::send_break(core(self), duration)));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* readable(PyObject*, PyObject*) { Py_RETURN_TRUE; }
PyObject* writable(PyObject*, PyObject*) { Py_RETURN_TRUE; }
PyObject* seekable(PyObject*, PyObject*) { Py_RETURN_FALSE; }

PyObject* get_closed(PyObject* self, void*) { return PyBool_FromLong(!is_open_released(*core_of(self))); }

PyObject* enter_context(PyObject* self, PyObject*) {
    if (!enter(self)) return nullptr;
    return Py_NewRef(self);
}

PyObject* exit_context(PyObject* self, PyObject*) {
    py::Ref result = py::Ref::steal(PyObject_CallMethod(self, "close", nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;  // never suppresses the exception of the with body
}

PyObject* iter_self(PyObject* self) { return Py_NewRef(self); }

PyObject* next_line(PyObject* self) {
    py::Ref line = py::Ref::steal(run(ops::readline(core(self), -1)));
    if (!line) return nullptr;
    Py_ssize_t length = PyObject_Length(line.get());
    if (length < 0) return nullptr;
    if (length == 0) return nullptr;  // the end of the iteration, no exception set
    return line.release();
}

template <class F>
constexpr PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"read", fastcall(read), METH_FASTCALL | METH_KEYWORDS, "read($self, size=1)\n--\n\n"},
    {"read_until", fastcall(read_until), METH_FASTCALL | METH_KEYWORDS,
     "read_until(self, /, expected=b'\\n', size=None)\n--\n\n"},
    {"readline", fastcall(readline), METH_FASTCALL | METH_KEYWORDS, "readline(self, /, size=-1)\n--\n\n"},
    {"readlines", fastcall(readlines), METH_FASTCALL | METH_KEYWORDS, "readlines(self, /, hint=-1)\n--\n\n"},
    {"readinto", fastcall(readinto), METH_FASTCALL | METH_KEYWORDS, "readinto($self, b)\n--\n\n"},
    {"read_all", read_all, METH_NOARGS, "read_all($self)\n--\n\n"},
    {"write", fastcall(write), METH_FASTCALL | METH_KEYWORDS, "write($self, data)\n--\n\n"},
    {"flush", flush, METH_NOARGS, "flush($self)\n--\n\n"},
    {"send_break", fastcall(send_break), METH_FASTCALL | METH_KEYWORDS, "send_break($self, duration=0.25)\n--\n\n"},
    {"readable", readable, METH_NOARGS, "readable($self)\n--\n\n"},
    {"writable", writable, METH_NOARGS, "writable($self)\n--\n\n"},
    {"seekable", seekable, METH_NOARGS, "seekable($self)\n--\n\n"},
    {"__enter__", enter_context, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", exit_context, METH_VARARGS, "__exit__($self, *_args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"closed", get_closed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Serial(*_args, **_kwargs)\n--\n\nA serial port with a blocking API.")},
    {Py_tp_new, reinterpret_cast<void*>(serial_new)},
    {Py_tp_init, reinterpret_cast<void*>(serial_init)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(next_line)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "quorvelin.Serial",
    static_cast<int>(sizeof(SerialBaseObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    slots,
};

PyObject* build_type() {
    PyTypeObject* base = serial_base_type();
    if (base == nullptr) return nullptr;
    return PyType_FromSpecWithBases(&spec, reinterpret_cast<PyObject*>(base));
}

}  // namespace

PyTypeObject* serial_type() {
    static py::OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(cell.get(build_type));
}

}  // namespace quorvelin::serial
