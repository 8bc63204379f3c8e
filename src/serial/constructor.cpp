#include "serial/constructor.h"

#include "pyapi/args.h"
#include "serial/conversions.h"
#include "serial/serial_base.h"

namespace quorvelin::serial {

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

}  // namespace quorvelin::serial
