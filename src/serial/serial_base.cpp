#include "serial/serial_base.h"

#include <new>

#include "pyapi/args.h"
#include "pyapi/method.h"
#include "serial/conversions.h"
#include "pyapi/once_cell.h"
#include "serial/update.h"
#include "settings/python_seconds.h"
#include "pyapi/guarded.h"

namespace quorvelin::serial {
namespace {

PortCore& core(PyObject* self) { return *core_of(self); }

// Reads one stored setting with the interpreter attached; the settings mutex is only ever
// held for short copies, never across a call into the device.
template <class F>
auto read_setting(PyObject* self, F&& f) {
    return core(self).with_settings([&](PortSettings& s) { return f(s); });
}

bool refuse_delete(PyObject* value) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete attribute");
        return true;
    }
    return false;
}

template <class Change>
int change_settings(PyObject* self, Change&& change) {
    return detached([&] { return update_settings(core(self), change); }) ? 0 : -1;
}

// --- the settings properties ---

PyObject* get_baudrate(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(read_setting(self, [](PortSettings& s) { return s.baudrate; }));
}
int set_baudrate(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    auto rate = baudrate_from(value);
    if (!rate) return -1;
    return change_settings(self, [&](PortSettings& s) { s.baudrate = *rate; });
}

PyObject* get_bytesize(PyObject* self, void*) {
    return PyLong_FromLong(read_setting(self, [](PortSettings& s) { return s.bytesize; }));
}
int set_bytesize(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    auto size = bytesize_from(value);
    if (!size) return -1;
    return change_settings(self, [&](PortSettings& s) { s.bytesize = *size; });
}

PyObject* get_parity(PyObject* self, void*) {
    return parity_to_python(read_setting(self, [](PortSettings& s) { return s.parity; }));
}
int set_parity(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    auto text = text_argument(value, "parity");
    if (!text) return -1;
    auto parity = parity_rule(*text);
    if (!parity) return -1;
    return change_settings(self, [&](PortSettings& s) { s.parity = *parity; });
}

PyObject* get_stopbits(PyObject* self, void*) {
    return stopbits_to_python(read_setting(self, [](PortSettings& s) { return s.stopbits; }));
}
int set_stopbits(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    auto number = float_argument(value);
    if (!number) return -1;
    auto stopbits = stopbits_rule(*number);
    if (!stopbits) return -1;
    return change_settings(self, [&](PortSettings& s) { s.stopbits = *stopbits; });
}

template <bool PortSettings::*Field>
PyObject* get_flag(PyObject* self, void*) {
    return PyBool_FromLong(read_setting(self, [](PortSettings& s) { return s.*Field; }));
}
template <bool PortSettings::*Field>
int set_line_flag(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    auto flag = truth(value);
    if (!flag) return -1;
    return change_settings(self, [&](PortSettings& s) { s.*Field = *flag; });
}

int set_dsrdtr(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    std::optional<bool> flag;
    if (value != Py_None) {
        flag = truth(value);
        if (!flag) return -1;
    }
    // None follows rtscts as it is when the change runs, under the settings lock.
    return change_settings(self, [&](PortSettings& s) { s.dsrdtr = flag ? *flag : s.rtscts; });
}

template <std::optional<Seconds> PortSettings::*Field>
PyObject* get_timeout(PyObject* self, void*) {
    return settings::seconds_to_python(read_setting(self, [](PortSettings& s) { return s.*Field; }));
}
template <std::optional<Seconds> PortSettings::*Field>
int set_timeout(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    std::optional<Seconds> timeout;
    if (!optional_seconds(value, &timeout) || (timeout && !timeout_rule(*timeout))) return -1;
    return change_settings(self, [&](PortSettings& s) { s.*Field = timeout; });
}

PyObject* get_exclusive(PyObject* self, void*) {
    switch (read_setting(self, [](PortSettings& s) { return s.exclusive; })) {
        case Exclusive::Yes: Py_RETURN_TRUE;
        case Exclusive::No: Py_RETURN_FALSE;
        case Exclusive::Unset: break;
    }
    Py_RETURN_NONE;
}
int set_exclusive(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    Exclusive exclusive = Exclusive::Unset;
    if (value != Py_None) {
        auto flag = truth(value);
        if (!flag) return -1;
        exclusive = *flag ? Exclusive::Yes : Exclusive::No;
    }
    return change_settings(self, [&](PortSettings& s) { s.exclusive = exclusive; });
}

// --- port control ---

PyObject* get_is_open(PyObject* self, void*) { return PyBool_FromLong(is_open_released(core(self))); }

PyObject* get_port(PyObject* self, void*) {
    std::optional<std::string> name = core(self).port();
    if (!name) {
        Py_RETURN_NONE;
    }
    return PyUnicode_DecodeUTF8(name->data(), static_cast<Py_ssize_t>(name->size()), "surrogateescape");
}
int set_port(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    std::optional<std::string> name;
    if (value != Py_None) {
        name = text_argument(value, "port");
        if (!name) return -1;
    }
    return detached([&] { return core(self).set_port(std::move(name)); }) ? 0 : -1;
}

template <Result<bool> (PortCore::*Line)()>
PyObject* get_modem_line(PyObject* self, void*) {
    auto level = detached_value<bool>([&] { return (core(self).*Line)(); });
    return level ? PyBool_FromLong(*level) : nullptr;
}

template <bool PortSettings::*Level, Status (Backend::*Apply)(bool)>
int set_level(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    auto flag = truth(value);
    if (!flag) return -1;
    bool level = *flag;
    bool ok = detached([&] {
        PortCore& c = core(self);
        return c.with_state([&](Backend* backend) -> Status {
            bool handshake = c.with_settings([&](PortSettings& s) {
                s.*Level = level;
                return s.rtscts;
            });
            // Hardware flow control owns RTS: the level is only remembered then.
            bool owned = Level == &PortSettings::rts && handshake;
            if (backend == nullptr || owned) {
                return ok_status();
            }
            return (backend->*Apply)(level);
        });
    });
    return ok ? 0 : -1;
}

int set_break_condition(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    auto flag = truth(value);
    if (!flag) return -1;
    return detached([&] { return core(self).set_break_condition(*flag); }) ? 0 : -1;
}

template <Result<std::size_t> (PortCore::*Count)()>
PyObject* get_count(PyObject* self, void*) {
    auto count = detached_value<std::size_t>([&] { return (core(self).*Count)(); });
    return count ? PyLong_FromSize_t(*count) : nullptr;
}

PyObject* open_port(PyObject* self, PyObject*) {
    if (!detached([&] { return core(self).open(); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* close_port(PyObject* self, PyObject*) {
    py::without_interpreter([&] { core(self).close(); });
    Py_RETURN_NONE;
}

template <Status (PortCore::*Reset)()>
PyObject* reset_buffer(PyObject* self, PyObject*) {
    if (!detached([&] { return (core(self).*Reset)(); })) return nullptr;
    Py_RETURN_NONE;
}

// A cancel never blocks, so it keeps the interpreter.
PyObject* cancel_read(PyObject* self, PyObject*) {
    core(self).cancel_read().notify_one();
    Py_RETURN_NONE;
}
PyObject* cancel_write(PyObject* self, PyObject*) {
    core(self).cancel_write().notify_one();
    Py_RETURN_NONE;
}

PyObject* fileno(PyObject* self, PyObject*) {
    auto descriptor = detached_value<std::optional<std::int32_t>>([&] { return core(self).fileno(); });
    if (!descriptor) return nullptr;
    if (*descriptor) return PyLong_FromLong(**descriptor);
    py::Ref unsupported = py::Ref::steal(PyImport_ImportModuleAttrString("io", "UnsupportedOperation"));
    if (!unsupported) return nullptr;
    py::Ref argument = py::Ref::steal(PyUnicode_FromString("fileno"));
    if (!argument) return nullptr;
    py::Ref exception = py::Ref::steal(PyObject_CallOneArg(unsupported.get(), argument.get()));
    if (!exception) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    return nullptr;
}

// --- settings dictionaries ---

PyObject* get_settings(PyObject* self, PyObject*) {
    PortSettings s = core(self).settings_snapshot();
    py::Ref dict = py::Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    auto put = [&](const char* key, PyObject* value) {
        py::Ref owned = py::Ref::steal(value);
        return owned && PyDict_SetItemString(dict.get(), key, owned.get()) == 0;
    };
    bool ok = put("baudrate", PyLong_FromUnsignedLong(s.baudrate)) && put("bytesize", PyLong_FromLong(s.bytesize)) &&
              put("parity", parity_to_python(s.parity)) && put("stopbits", stopbits_to_python(s.stopbits)) &&
              put("xonxoff", PyBool_FromLong(s.xonxoff)) && put("dsrdtr", PyBool_FromLong(s.dsrdtr)) &&
              put("rtscts", PyBool_FromLong(s.rtscts)) && put("timeout", settings::seconds_to_python(s.timeout)) &&
              put("write_timeout", settings::seconds_to_python(s.write_timeout)) &&
              put("inter_byte_timeout", settings::seconds_to_python(s.inter_byte_timeout));
    return ok ? dict.release() : nullptr;
}

// The entries of one apply_settings call; absent entries leave their setting alone.
struct SettingsPatch {
    std::optional<std::uint32_t> baudrate;
    std::optional<std::uint8_t> bytesize;
    std::optional<Parity> parity;
    std::optional<StopBits> stopbits;
    std::optional<bool> xonxoff;
    std::optional<std::optional<bool>> dsrdtr;  // inner nullopt: follow rtscts
    std::optional<bool> rtscts;
    std::optional<std::optional<Seconds>> timeout;
    std::optional<std::optional<Seconds>> write_timeout;
    std::optional<std::optional<Seconds>> inter_byte_timeout;

    void apply(PortSettings& s) const {
        if (baudrate) s.baudrate = *baudrate;
        if (bytesize) s.bytesize = *bytesize;
        if (parity) s.parity = *parity;
        if (stopbits) s.stopbits = *stopbits;
        if (xonxoff) s.xonxoff = *xonxoff;
        // dsrdtr comes before rtscts, so None follows the rtscts from before this call.
        if (dsrdtr) s.dsrdtr = *dsrdtr ? **dsrdtr : s.rtscts;
        if (rtscts) s.rtscts = *rtscts;
        if (timeout) s.timeout = *timeout;
        if (write_timeout) s.write_timeout = *write_timeout;
        if (inter_byte_timeout) s.inter_byte_timeout = *inter_byte_timeout;
    }
};

bool timeout_entry(PyObject* value, std::optional<std::optional<Seconds>>* out) {
    std::optional<Seconds> timeout;
    if (!optional_seconds(value, &timeout) || (timeout && !timeout_rule(*timeout))) return false;
    out->emplace(timeout);
    return true;
}

// Converts the entry `key` of the patch; false with an exception set.
bool patch_entry(SettingsPatch& patch, std::string_view key, PyObject* value) {
    if (key == "baudrate") {
        return (patch.baudrate = baudrate_from(value)).has_value();
    }
    if (key == "bytesize") {
        return (patch.bytesize = bytesize_from(value)).has_value();
    }
    if (key == "parity") {
        auto text = text_argument(value, "parity");
        return text && (patch.parity = parity_rule(*text)).has_value();
    }
    if (key == "stopbits") {
        auto number = float_argument(value);
        return number && (patch.stopbits = stopbits_rule(*number)).has_value();
    }
    if (key == "xonxoff") {
        return (patch.xonxoff = truth(value)).has_value();
    }
    if (key == "rtscts") {
        return (patch.rtscts = truth(value)).has_value();
    }
    if (key == "dsrdtr") {
        if (value == Py_None) {
            patch.dsrdtr.emplace(std::nullopt);
            return true;
        }
        auto flag = truth(value);
        if (!flag) return false;
        patch.dsrdtr.emplace(*flag);
        return true;
    }
    if (key == "timeout") return timeout_entry(value, &patch.timeout);
    if (key == "write_timeout") return timeout_entry(value, &patch.write_timeout);
    return timeout_entry(value, &patch.inter_byte_timeout);
}

constexpr const char* kPatchOrder[] = {"baudrate", "bytesize", "parity",  "stopbits",      "xonxoff",
                                       "dsrdtr",   "rtscts",   "timeout", "write_timeout", "inter_byte_timeout"};

PyObject* apply_settings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"d"};
    static const py::Signature signature{"apply_settings", names, 1};
    PyObject* d = nullptr;
    if (!py::parse_fastcall(signature, args, nargs, kwnames, std::span(&d, 1))) return nullptr;
    // A fresh sentinel per call tells a missing key from any value the mapping may hold.
    py::Ref object_type = py::Ref::steal(PyImport_ImportModuleAttrString("builtins", "object"));
    if (!object_type) return nullptr;
    py::Ref sentinel = py::Ref::steal(PyObject_CallNoArgs(object_type.get()));
    py::Ref get_name = py::Ref::steal(PyUnicode_FromString("get"));
    if (!sentinel || !get_name) return nullptr;
    SettingsPatch patch;
    for (const char* key : kPatchOrder) {
        py::Ref key_object = py::Ref::steal(PyUnicode_FromString(key));
        if (!key_object) return nullptr;
        PyObject* call_args[] = {d, key_object.get(), sentinel.get()};
        py::Ref value = py::Ref::steal(PyObject_VectorcallMethod(
            get_name.get(), call_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!value) return nullptr;
        if (value.get() == sentinel.get()) continue;
        if (!patch_entry(patch, key, value.get())) return nullptr;
    }
    if (change_settings(self, [&](PortSettings& s) { patch.apply(s); }) < 0) return nullptr;
    Py_RETURN_NONE;
}

// --- the text representation ---

PyObject* serial_base_repr(PyObject* self) {
    static const char kTemplate[] =
        "{name}<id=0x{id:x}, open={p.is_open}>(port={p.portstr!r}, baudrate={p.baudrate!r}, "
        "bytesize={p.bytesize!r}, parity={p.parity!r}, stopbits={p.stopbits!r}, timeout={p.timeout!r}, "
        "xonxoff={p.xonxoff!r}, rtscts={p.rtscts!r}, dsrdtr={p.dsrdtr!r})";
    py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(self)));
    py::Ref id = py::Ref::steal(PyLong_FromVoidPtr(self));
    if (!name || !id) return nullptr;
    py::Ref kwargs = py::Ref::steal(Py_BuildValue("{s:O,s:O,s:O}", "name", name.get(), "id", id.get(), "p", self));
    py::Ref text = py::Ref::steal(PyUnicode_FromString(kTemplate));
    if (!kwargs || !text) return nullptr;
    py::Ref format = py::Ref::steal(PyObject_GetAttrString(text.get(), "format"));
    if (!format) return nullptr;
    py::Ref empty = py::Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    return PyObject_Call(format.get(), empty.get(), kwargs.get());
}

void serial_base_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::shared_ptr<PortCore>& held = core_of(self);
    if (held) {
        // Closing a terminal may wait for its output to drain; an attached thread that blocks
        // would stall every other thread of the interpreter.
        py::without_interpreter([&] { held->close(); });
    }
    held.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyGetSetDef getset[] = {
    {"baudrate", py::guarded<get_baudrate>, py::guarded<set_baudrate>, nullptr, nullptr},
    {"bytesize", py::guarded<get_bytesize>, py::guarded<set_bytesize>, nullptr, nullptr},
    {"parity", py::guarded<get_parity>, py::guarded<set_parity>, nullptr, nullptr},
    {"stopbits", py::guarded<get_stopbits>, py::guarded<set_stopbits>, nullptr, nullptr},
    {"xonxoff", py::guarded<get_flag<&PortSettings::xonxoff>>, py::guarded<set_line_flag<&PortSettings::xonxoff>>, nullptr, nullptr},
    {"rtscts", py::guarded<get_flag<&PortSettings::rtscts>>, py::guarded<set_line_flag<&PortSettings::rtscts>>, nullptr, nullptr},
    {"dsrdtr", py::guarded<get_flag<&PortSettings::dsrdtr>>, py::guarded<set_dsrdtr>, nullptr, nullptr},
    {"timeout", py::guarded<get_timeout<&PortSettings::timeout>>, py::guarded<set_timeout<&PortSettings::timeout>>, nullptr, nullptr},
    {"write_timeout", py::guarded<get_timeout<&PortSettings::write_timeout>>, py::guarded<set_timeout<&PortSettings::write_timeout>>, nullptr,
     nullptr},
    {"inter_byte_timeout", py::guarded<get_timeout<&PortSettings::inter_byte_timeout>>,
     py::guarded<set_timeout<&PortSettings::inter_byte_timeout>>, nullptr, nullptr},
    {"exclusive", py::guarded<get_exclusive>, py::guarded<set_exclusive>, nullptr, nullptr},
    {"is_open", py::guarded<get_is_open>, nullptr, nullptr, nullptr},
    {"port", py::guarded<get_port>, py::guarded<set_port>, nullptr, nullptr},
    {"name", py::guarded<get_port>, nullptr, nullptr, nullptr},
    {"portstr", py::guarded<get_port>, nullptr, nullptr, nullptr},
    {"cd", py::guarded<get_modem_line<&PortCore::cd>>, nullptr, nullptr, nullptr},
    {"ri", py::guarded<get_modem_line<&PortCore::ri>>, nullptr, nullptr, nullptr},
    {"cts", py::guarded<get_modem_line<&PortCore::cts>>, nullptr, nullptr, nullptr},
    {"dsr", py::guarded<get_modem_line<&PortCore::dsr>>, nullptr, nullptr, nullptr},
    {"rts", py::guarded<get_flag<&PortSettings::rts>>, py::guarded<set_level<&PortSettings::rts, &Backend::set_rts>>, nullptr, nullptr},
    {"dtr", py::guarded<get_flag<&PortSettings::dtr>>, py::guarded<set_level<&PortSettings::dtr, &Backend::set_dtr>>, nullptr, nullptr},
    {"break_condition", py::guarded<get_flag<&PortSettings::break_condition>>, py::guarded<set_break_condition>, nullptr, nullptr},
    {"in_waiting", py::guarded<get_count<&PortCore::in_waiting>>, nullptr, nullptr, nullptr},
    {"out_waiting", py::guarded<get_count<&PortCore::out_waiting>>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"open", py::guarded<open_port>, METH_NOARGS, "open($self)\n--\n\n"},
    {"close", py::guarded<close_port>, METH_NOARGS, "close($self)\n--\n\n"},
    {"reset_input_buffer", py::guarded<reset_buffer<&PortCore::reset_input_buffer>>, METH_NOARGS,
     "reset_input_buffer($self)\n--\n\n"},
    {"reset_output_buffer", py::guarded<reset_buffer<&PortCore::reset_output_buffer>>, METH_NOARGS,
     "reset_output_buffer($self)\n--\n\n"},
    {"cancel_read", py::guarded<cancel_read>, METH_NOARGS, "cancel_read($self)\n--\n\n"},
    {"cancel_write", py::guarded<cancel_write>, METH_NOARGS, "cancel_write($self)\n--\n\n"},
    {"fileno", py::guarded<fileno>, METH_NOARGS, "fileno($self)\n--\n\n"},
    {"get_settings", py::guarded<get_settings>, METH_NOARGS, "get_settings($self)\n--\n\n"},
    {"apply_settings", py::as_cfunction(py::guarded<apply_settings>),
     METH_FASTCALL | METH_KEYWORDS, "apply_settings($self, d)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Properties and non-I/O methods shared by `quorvelin.Serial` and `quorvelin.aio.Serial`.")},
    {Py_tp_repr, reinterpret_cast<void*>(py::guarded<serial_base_repr>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::guarded<serial_base_dealloc>)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "quorvelin.SerialBase",
    static_cast<int>(sizeof(SerialBaseObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

bool set_class_constant(PyObject* type, const char* name, PyObject* value) {
    py::Ref owned = py::Ref::steal(value);
    return owned && PyObject_SetAttrString(type, name, owned.get()) == 0;
}

PyObject* build_type() {
    py::Ref type = py::Ref::steal(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    py::Ref baudrates = py::Ref::steal(baudrate_enum());
    if (!baudrates) return nullptr;
    PyObject* t = type.get();
    bool ok = set_class_constant(t, "PARITIES", Py_BuildValue("(sssss)", "N", "E", "O", "M", "S")) &&
              set_class_constant(t, "BAUDRATES", PySequence_Tuple(baudrates.get())) &&
              set_class_constant(t, "BYTESIZES", Py_BuildValue("(iiii)", 5, 6, 7, 8)) &&
              set_class_constant(t, "STOPBITS", Py_BuildValue("(idi)", 1, 1.5, 2));
    return ok ? type.release() : nullptr;
}

}  // namespace

PyTypeObject* serial_base_type() {
    static py::OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(cell.get(build_type));
}

bool is_open_released(PortCore& c) {
    return py::without_interpreter([&] { return c.is_open(); });
}

PyObject* unopened(PyTypeObject* type) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        new (&core_of(self)) std::shared_ptr<PortCore>(PortCore::make());
    } catch (const std::bad_alloc&) {
        new (&core_of(self)) std::shared_ptr<PortCore>();
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

bool init(PyObject* self, InitArguments a) {
    auto parity = parity_rule(a.parity);
    if (!parity) return false;
    auto stopbits = stopbits_rule(a.stopbits);
    if (!stopbits) return false;
    for (const auto* timeout : {&a.timeout, &a.write_timeout, &a.inter_byte_timeout}) {
        if (*timeout && !timeout_rule(**timeout)) return false;
    }
    PortSettings next;
    next.timeout = a.timeout;
    next.write_timeout = a.write_timeout;
    next.inter_byte_timeout = a.inter_byte_timeout;
    next.baudrate = a.baudrate;
    next.xonxoff = a.xonxoff;
    next.rtscts = a.rtscts;
    next.dsrdtr = a.dsrdtr ? *a.dsrdtr : a.rtscts;  // follows this call's rtscts
    next.stopbits = *stopbits;
    next.exclusive = !a.exclusive ? Exclusive::Unset : (*a.exclusive ? Exclusive::Yes : Exclusive::No);
    next.parity = *parity;
    next.bytesize = a.bytesize;
    bool name_given = a.port.has_value();
    PortCore& c = core(self);
    bool stored = detached([&]() -> Status {
        Status configured = update_settings(c, [&](PortSettings& s) { copy_configuration(s, next); });
        if (!configured) {
            return configured;  // the port keeps its old name and stays open
        }
        return c.set_port(std::move(a.port));
    });
    if (!stored) return false;
    if (name_given && !is_open_released(c)) {
        // By name, so that a subclass's open is the one that runs.
        py::Ref result = py::Ref::steal(PyObject_CallMethod(self, "open", nullptr));
        if (!result) return false;
    }
    return true;
}

bool enter(PyObject* self) {
    PortCore& c = core(self);
    if (!c.port() || is_open_released(c)) return true;
    py::Ref result = py::Ref::steal(PyObject_CallMethod(self, "open", nullptr));
    return static_cast<bool>(result);
}

}  // namespace quorvelin::serial
