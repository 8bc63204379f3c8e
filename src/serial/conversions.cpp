#include "serial/conversions.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>

#include "errors/exceptions.h"
#include "pyapi/ref.h"
#include "serial/describe.h"
#include "pyapi/once_cell.h"
#include "settings/python_seconds.h"

namespace quorvelin::serial {
namespace {

std::nullptr_t invalid(std::string message) {
    exceptions::raise(SerialError::invalid_input(std::move(message)));
    return nullptr;
}

constexpr std::array<std::uint32_t, 30> kStandardRates = {
    50,     75,     110,    134,    150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,   19200,  38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000,
};

PyObject* build_baudrate_enum() {
    py::Ref members = py::Ref::steal(PyList_New(0));
    if (!members) {
        return nullptr;
    }
    for (std::uint32_t rate : kStandardRates) {
        // Appended rather than "B" + ...: GCC 12 at -O3 flags that form with a false -Wrestrict.
        std::string name = "B";
        name += std::to_string(rate);
        py::Ref pair = py::Ref::steal(Py_BuildValue("(s k)", name.c_str(), static_cast<unsigned long>(rate)));
        if (!pair || PyList_Append(members.get(), pair.get()) < 0) {
            return nullptr;
        }
    }
    py::Ref keywords = py::Ref::steal(Py_BuildValue("{s:s}", "module", "quorvelin"));
    py::Ref int_enum = py::Ref::steal(PyImport_ImportModuleAttrString("enum", "IntEnum"));
    py::Ref args = py::Ref::steal(Py_BuildValue("(sO)", "Baudrate", members.get()));
    if (!keywords || !int_enum || !args) {
        return nullptr;
    }
    return PyObject_Call(int_enum.get(), args.get(), keywords.get());
}

}  // namespace

std::string debug_float(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "inf" : "-inf";
    }
    char buffer[64];
    double magnitude = std::fabs(value);
    if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
        auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed).ptr;
        std::string text(buffer, end);
        if (text.find('.') == std::string::npos) {
            text += ".0";
        }
        return text;
    }
    auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    std::string text(buffer, end);
    std::size_t e = text.find('e');
    std::string mantissa = text.substr(0, e);
    int exponent = std::stoi(text.substr(e + 1));
    mantissa += 'e';
    mantissa += std::to_string(exponent);
    return mantissa;
}

std::optional<std::uint32_t> baudrate_from(PyObject* obj) {
    py::Ref as_int = py::Ref::steal(PyNumber_Long(obj));
    if (as_int) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(as_int.get(), &overflow);
        if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
            if (value >= 0 && value <= 4294967295LL) {
                return static_cast<std::uint32_t>(value);
            }
            invalid("Not a valid baudrate: " + std::to_string(value));
            return std::nullopt;
        }
    }
    PyErr_Clear();
    invalid("Not a valid baudrate: " + describe(obj));
    return std::nullopt;
}

std::optional<std::uint8_t> bytesize_from(PyObject* obj) {
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
    } else if (std::isfinite(value) && value - std::trunc(value) == 0.0) {
        std::int64_t integer;
        if (value >= 9223372036854775807.0) {
            integer = std::numeric_limits<std::int64_t>::max();
        } else if (value <= -9223372036854775808.0) {
            integer = std::numeric_limits<std::int64_t>::min();
        } else {
            integer = static_cast<std::int64_t>(value);
        }
        if (integer >= 5 && integer <= 8) {
            return static_cast<std::uint8_t>(integer);
        }
        invalid("Not a valid byte size: " + std::to_string(integer));
        return std::nullopt;
    }
    invalid("Not a valid byte size: " + describe(obj));
    return std::nullopt;
}

std::optional<Parity> parity_rule(const std::string& value) {
    if (value.size() == 1) {
        switch (value[0]) {
            case 'N': return Parity::None;
            case 'E': return Parity::Even;
            case 'O': return Parity::Odd;
            case 'M': return Parity::Mark;
            case 'S': return Parity::Space;
            default: break;
        }
    }
    invalid("Not a valid parity: '" + value + "'");
    return std::nullopt;
}

std::optional<StopBits> stopbits_rule(double value) {
    if (value == 1.0) {
        return StopBits::One;
    }
    if (value == 1.5) {
        return StopBits::OnePointFive;
    }
    if (value == 2.0) {
        return StopBits::Two;
    }
    invalid("Not a valid stop bit size: " + debug_float(value));
    return std::nullopt;
}

bool timeout_rule(const Seconds& value) {
    if (value.is_int()) {
        if (value.as_int() < 0) {
            invalid("Not a valid timeout: " + std::to_string(value.as_int()));
            return false;
        }
        return true;
    }
    if (!(value.as_float() >= 0.0)) {
        invalid("Not a valid timeout: " + debug_float(value.as_float()));
        return false;
    }
    return true;
}

std::optional<std::string> text_argument(PyObject* obj, const char* what) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %T", what, obj);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::string(text, static_cast<std::size_t>(size));
}

std::optional<double> float_argument(PyObject* obj) {
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> truth(PyObject* obj) {
    int value = PyObject_IsTrue(obj);
    if (value < 0) {
        return std::nullopt;
    }
    return value == 1;
}

bool optional_seconds(PyObject* obj, std::optional<Seconds>* out) {
    if (obj == nullptr || obj == Py_None) {
        out->reset();
        return true;
    }
    *out = settings::extract_seconds(obj);
    return out->has_value();
}

PyObject* parity_to_python(Parity parity) {
    static constexpr const char* kCodes[] = {"N", "E", "O", "M", "S"};
    return PyUnicode_FromString(kCodes[static_cast<int>(parity)]);
}

PyObject* stopbits_to_python(StopBits stopbits) {
    switch (stopbits) {
        case StopBits::One: return PyLong_FromLong(1);
        case StopBits::OnePointFive: return PyFloat_FromDouble(1.5);
        case StopBits::Two: break;
    }
    return PyLong_FromLong(2);
}

PyObject* baudrate_enum() {
    static py::OnceCell cell;
    return Py_XNewRef(cell.get(build_baudrate_enum));
}

}  // namespace quorvelin::serial
