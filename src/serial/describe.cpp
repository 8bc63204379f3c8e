#include "serial/describe.h"

#include "pyapi/ref.h"

namespace quorvelin::serial {
namespace {

void append_utf8(std::string& out, Py_UCS4 c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string utf8_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();  // lone surrogates: encode by hand
    std::string out;
    Py_ssize_t length = PyUnicode_GetLength(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_ReadChar(text, i);
        append_utf8(out, (c >= 0xD800 && c <= 0xDFFF) ? 0xFFFD : c);
    }
    return out;
}

std::string describe(PyObject* object) {
    py::Ref repr = py::Ref::steal(PyObject_Repr(object));
    if (!repr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return utf8_lossy(repr.get());
}

}  // namespace quorvelin::serial
