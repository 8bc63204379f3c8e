#include "module/constants.h"

#include "module/add.h"

namespace quorvelin::module {
namespace {

py::Ref parity_names() {
    static constexpr const char* pairs[][2] = {
        {"N", "None"}, {"E", "Even"}, {"O", "Odd"}, {"M", "Mark"}, {"S", "Space"},
    };
    py::Ref names = py::Ref::steal(PyDict_New());
    if (!names) {
        return {};
    }
    for (const auto& pair : pairs) {
        py::Ref value = py::Ref::steal(PyUnicode_FromString(pair[1]));
        if (!value || PyDict_SetItemString(names.get(), pair[0], value.get()) < 0) {
            return {};
        }
    }
    return names;
}

py::Ref str(const char* text) { return py::Ref::steal(PyUnicode_FromString(text)); }
py::Ref integer(long value) { return py::Ref::steal(PyLong_FromLong(value)); }
py::Ref byte(char value) { return py::Ref::steal(PyBytes_FromStringAndSize(&value, 1)); }

}  // namespace

bool add_constants(PyObject* m) {
    return add_value(m, "__version__", str("0.3.0")) &&
           add_value(m, "PARITY_NONE", str("N")) &&
           add_value(m, "PARITY_EVEN", str("E")) &&
           add_value(m, "PARITY_ODD", str("O")) &&
           add_value(m, "PARITY_MARK", str("M")) &&
           add_value(m, "PARITY_SPACE", str("S")) &&
           add_value(m, "PARITY_NAMES", parity_names()) &&
           add_value(m, "STOPBITS_ONE", integer(1)) &&
           add_value(m, "STOPBITS_ONE_POINT_FIVE", py::Ref::steal(PyFloat_FromDouble(1.5))) &&
           add_value(m, "STOPBITS_TWO", integer(2)) &&
           add_value(m, "FIVEBITS", integer(5)) &&
           add_value(m, "SIXBITS", integer(6)) &&
           add_value(m, "SEVENBITS", integer(7)) &&
           add_value(m, "EIGHTBITS", integer(8)) &&
           add_value(m, "XON", byte('\x11')) &&
           add_value(m, "XOFF", byte('\x13')) &&
           add_value(m, "CR", byte('\r')) &&
           add_value(m, "LF", byte('\n'));
}

}  // namespace quorvelin::module
