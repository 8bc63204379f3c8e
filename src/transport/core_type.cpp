// The class _TransportCore: the Python methods of the transport, its repr and its garbage-
// collector support. A core and its protocol usually hold each other (through the
// SerialTransport), so the class is a collected container.

#include <new>

#include "pyapi/args.h"
#include "pyapi/method.h"
#include "pyapi/once_cell.h"
#include "serial/serial_base.h"
#include "transport/transport_core.h"
#include "pyapi/guarded.h"

namespace quorvelin::transport {
namespace {

TransportCore* core(PyObject* self) { return TransportCore::of(self); }

PyObject* none_or_null(bool ok) {
    if (!ok) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* get_extra_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "default"};
    static const py::Signature signature{"get_extra_info", names, 1};
    PyObject* given[2];
    if (!py::parse_fastcall(signature, args, nargs, kwnames, given)) {
        return nullptr;
    }
    if (!PyUnicode_Check(given[0])) {
        PyErr_Format(PyExc_TypeError, "get_extra_info() argument 'name' must be str, not %T", given[0]);
        return nullptr;
    }
    if (PyUnicode_EqualToUTF8(given[0], "serial")) {
        return Py_NewRef(core(self)->serial);
    }
    return Py_NewRef(given[1] != nullptr ? given[1] : Py_None);
}

PyObject* is_closing(PyObject* self, PyObject*) {
    TransportCore* c = core(self);
    std::lock_guard lock(c->mutex);
    return PyBool_FromLong(c->state.closing);
}

PyObject* is_reading(PyObject* self, PyObject*) {
    TransportCore* c = core(self);
    std::lock_guard lock(c->mutex);
    return PyBool_FromLong(!c->state.closing && !c->state.reading_paused);
}

PyObject* close(PyObject* self, PyObject*) { return none_or_null(core(self)->close_with(py::Ref())); }

PyObject* abort(PyObject* self, PyObject*) { return none_or_null(core(self)->abort_with(py::Ref())); }

// One required positional-or-keyword argument.
template <const char* Function, const char* Parameter>
bool one_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    static const char* const names[] = {Parameter};
    static const py::Signature signature{Function, names, 1};
    return py::parse_fastcall(signature, args, nargs, kwnames, std::span(out, 1));
}

constexpr char write_name[] = "write";
constexpr char data_name[] = "data";
constexpr char writelines_name[] = "writelines";
constexpr char list_of_data_name[] = "list_of_data";
constexpr char set_protocol_name[] = "set_protocol";
constexpr char protocol_name[] = "protocol";

PyObject* write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = nullptr;
    if (!one_argument<write_name, data_name>(args, nargs, kwnames, &data)) {
        return nullptr;
    }
    return none_or_null(core(self)->write(data));
}

PyObject* writelines(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* items = nullptr;
    if (!one_argument<writelines_name, list_of_data_name>(args, nargs, kwnames, &items)) {
        return nullptr;
    }
    return none_or_null(core(self)->writelines(items));
}

PyObject* can_write_eof(PyObject*, PyObject*) { Py_RETURN_FALSE; }

PyObject* write_eof(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "Serial connections do not support end-of-file");
    return nullptr;
}

PyObject* pause_reading(PyObject* self, PyObject*) {
    core(self)->pause_reading();
    Py_RETURN_NONE;
}

PyObject* resume_reading(PyObject* self, PyObject*) { return none_or_null(core(self)->resume_reading()); }

PyObject* set_write_buffer_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"high", "low"};
    static const py::Signature signature{"set_write_buffer_limits", names, 0};
    PyObject* given[2];
    if (!py::parse_fastcall(signature, args, nargs, kwnames, given)) {
        return nullptr;
    }
    return none_or_null(core(self)->set_write_buffer_limits(given[0], given[1]));
}

PyObject* get_write_buffer_limits(PyObject* self, PyObject*) {
    TransportCore* c = core(self);
    Py_ssize_t low = 0;
    Py_ssize_t high = 0;
    {
        std::lock_guard lock(c->mutex);
        low = c->state.low;
        high = c->state.high;
    }
    return Py_BuildValue("(nn)", low, high);
}

PyObject* get_write_buffer_size(PyObject* self, PyObject*) {
    TransportCore* c = core(self);
    std::size_t size = 0;
    {
        std::lock_guard lock(c->mutex);
        size = c->state.buffered();
    }
    return PyLong_FromSize_t(size);
}

PyObject* flush(PyObject* self, PyObject*) { return none_or_null(core(self)->flush()); }

PyObject* get_protocol(PyObject* self, PyObject*) { return core(self)->protocol_or_none().release(); }

PyObject* set_protocol(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* protocol = nullptr;
    if (!one_argument<set_protocol_name, protocol_name>(args, nargs, kwnames, &protocol)) {
        return nullptr;
    }
    TransportCore* c = core(self);
    py::Ref previous;
    {
        std::lock_guard lock(c->mutex);
        previous = std::exchange(c->state.protocol, py::Ref::borrow(protocol));
    }
    Py_RETURN_NONE;
}

PyObject* repr(PyObject* self) {
    TransportCore* c = core(self);
    py::Ref protocol;
    {
        std::lock_guard lock(c->mutex);
        protocol = c->state.protocol;
    }
    py::Ref loop_text = py::Ref::steal(PyObject_Repr(c->loop));
    if (!loop_text) {
        return nullptr;
    }
    py::Ref protocol_text = protocol ? py::Ref::steal(PyObject_Repr(protocol.get()))
                                     : py::Ref::steal(PyUnicode_FromString("None"));
    if (!protocol_text) {
        return nullptr;
    }
    py::Ref serial_text = py::Ref::steal(PyObject_Repr(c->serial));
    if (!serial_text) {
        return nullptr;
    }
    return PyUnicode_FromFormat("SerialTransport(%U, %U, %U)", loop_text.get(), protocol_text.get(),
                                serial_text.get());
}

PyObject* get_loop(PyObject* self, void*) { return Py_NewRef(core(self)->loop); }
PyObject* get_serial(PyObject* self, void*) { return Py_NewRef(core(self)->serial); }

// Runs during the collector's stop-the-world pause, so it reads the fields without the lock.
int traverse(PyObject* self, visitproc visit, void* arg) {
    TransportCore* c = core(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->loop);
    Py_VISIT(c->serial);
    Py_VISIT(c->transport_ref);
    Py_VISIT(c->state.protocol.get());
    Py_VISIT(c->state.read_fut.get());
    Py_VISIT(c->state.write_fut.get());
    Py_VISIT(c->state.exc.get());
    Py_VISIT(c->state.finish_fut.get());
    for (PyObject* step : c->steps) {
        Py_VISIT(step);
    }
    return 0;
}

// Breaks cycles through the protocol, the Futures and the stored exception. The loop and the
// serial object stay, so a step that still reaches the core finds them.
int clear(PyObject* self) {
    TransportCore* c = core(self);
    py::Ref protocol;
    py::Ref read;
    py::Ref write;
    py::Ref exc;
    py::Ref drain;
    py::Ref steps[STEP_COUNT];  // a step that is still queued holds its own reference
    {
        std::lock_guard lock(c->mutex);
        protocol = std::move(c->state.protocol);
        read = std::move(c->state.read_fut);
        write = std::move(c->state.write_fut);
        exc = std::move(c->state.exc);
        drain = std::move(c->state.finish_fut);
        for (int i = 0; i < STEP_COUNT; ++i) {
            steps[i] = py::Ref::steal(std::exchange(c->steps[i], nullptr));
        }
    }
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    TransportCore* c = core(self);
    Py_CLEAR(c->loop);
    Py_CLEAR(c->serial);
    Py_CLEAR(c->transport_ref);
    for (PyObject*& step : c->steps) {
        Py_CLEAR(step);
    }
    c->state.~State();
    c->mutex.~mutex();
    c->port.~shared_ptr();
    c->read_period.~shared_ptr();
    c->read_buffer.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"get_extra_info", py::as_cfunction(py::guarded<get_extra_info>), METH_FASTCALL | METH_KEYWORDS,
     "get_extra_info($self, name, default=None)\n--\n\n"},
    {"is_closing", py::guarded<is_closing>, METH_NOARGS, "is_closing($self)\n--\n\n"},
    {"is_reading", py::guarded<is_reading>, METH_NOARGS, "is_reading($self)\n--\n\n"},
    {"close", py::guarded<close>, METH_NOARGS, "close($self)\n--\n\n"},
    {"abort", py::guarded<abort>, METH_NOARGS, "abort($self)\n--\n\n"},
    {"write", py::as_cfunction(py::guarded<write>), METH_FASTCALL | METH_KEYWORDS, "write($self, data)\n--\n\n"},
    {"writelines", py::as_cfunction(py::guarded<writelines>), METH_FASTCALL | METH_KEYWORDS, "writelines($self, list_of_data)\n--\n\n"},
    {"can_write_eof", py::guarded<can_write_eof>, METH_NOARGS, "can_write_eof($self)\n--\n\n"},
    {"write_eof", py::guarded<write_eof>, METH_NOARGS, "write_eof($self)\n--\n\n"},
    {"pause_reading", py::guarded<pause_reading>, METH_NOARGS,
     "pause_reading($self)\n--\n\n"
     "Stops `data_received` calls until `resume_reading`.\n\n"
     "A read already under way is not cancelled, since it may have taken bytes from the\n"
     "port; what it returns is held and delivered on resume."},
    {"resume_reading", py::guarded<resume_reading>, METH_NOARGS, "resume_reading($self)\n--\n\n"},
    {"set_write_buffer_limits", py::as_cfunction(py::guarded<set_write_buffer_limits>), METH_FASTCALL | METH_KEYWORDS,
     "set_write_buffer_limits($self, high=None, low=None)\n--\n\n"},
    {"get_write_buffer_limits", py::guarded<get_write_buffer_limits>, METH_NOARGS, "get_write_buffer_limits($self)\n--\n\n"},
    {"get_write_buffer_size", py::guarded<get_write_buffer_size>, METH_NOARGS, "get_write_buffer_size($self)\n--\n\n"},
    {"flush", py::guarded<flush>, METH_NOARGS, "flush($self)\n--\n\n"},
    {"get_protocol", py::guarded<get_protocol>, METH_NOARGS, "get_protocol($self)\n--\n\n"},
    {"set_protocol", py::as_cfunction(py::guarded<set_protocol>), METH_FASTCALL | METH_KEYWORDS, "set_protocol($self, protocol)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"loop", py::guarded<get_loop>, nullptr, nullptr, nullptr},
    {"serial", py::guarded<get_serial>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "The state and behaviour behind `quorvelin.aio.SerialTransport`, which forwards every\n"
                    "method to it. A native class cannot also derive from a Python class such as\n"
                    "`asyncio.Transport`, so the public class is a Python subclass of `asyncio.Transport`\n"
                    "built at run time around this one.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::guarded<dealloc>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_repr, reinterpret_cast<void*>(py::guarded<repr>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

// Not subclassable, not creatable from Python, no __dict__ and no weak references.
PyType_Spec spec = {
    "quorvelin.aio._TransportCore",
    static_cast<int>(sizeof(TransportCore)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace

PyTypeObject* transport_core_type() {
    static py::OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(cell.get([] { return PyType_FromSpec(&spec); }));
}

py::Ref new_transport_core(PyObject* loop, PyObject* protocol, PyObject* serial) {
    PyTypeObject* type = transport_core_type();
    if (type == nullptr) {
        return {};
    }
    TransportCore* c = PyObject_GC_New(TransportCore, type);
    if (c == nullptr) {
        return {};
    }
    c->loop = Py_NewRef(loop);
    c->serial = Py_NewRef(serial);
    new (&c->port) std::shared_ptr<PortCore>(serial::core_of(serial));
    new (&c->read_period) std::shared_ptr<ReadPeriod>();
    new (&c->read_buffer) std::shared_ptr<ReadBuffer>();
    new (&c->mutex) std::mutex();
    new (&c->state) State();
    c->state.protocol = py::Ref::borrow(protocol);
    c->transport_ref = nullptr;
    for (PyObject*& step : c->steps) {
        step = nullptr;
    }
    PyObject_GC_Track(c);
    return py::Ref::steal(c->object());
}

}  // namespace quorvelin::transport
