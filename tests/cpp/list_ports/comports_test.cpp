// comports over fake sysfs trees, inside the embedded interpreter.

#include "list_ports/comports.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "../python/attached.h"
#include "errors/exceptions.h"
#include "fake_sysfs.h"
#include "list_ports/list_port_info.h"

namespace quorvelin::list_ports {
namespace {

using testing::Attached;
using testing::FakeSysfs;
using testing::UsbAdapter;

// An attribute as text: a str's content, "None", or the repr of an int.
std::string attribute(PyObject* object, const char* name) {
    py::Ref value = py::Ref::steal(PyObject_GetAttrString(object, name));
    if (!value) {
        return "<error: " + testing::take_error() + ">";
    }
    py::Ref text = py::Ref::steal(PyUnicode_Check(value.get()) ? Py_NewRef(value.get()) : PyObject_Repr(value.get()));
    return text ? PyUnicode_AsUTF8(text.get()) : "<unprintable>";
}

struct Row {
    std::string device, description, hwid, vid, location, serial_number;
    bool operator==(const Row&) const = default;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << "{" << row.device << ", " << row.description << ", " << row.hwid << ", " << row.vid << ", "
         << row.location << ", " << row.serial_number << "}";
}

std::vector<Row> rows_of(PyObject* list) {
    std::vector<Row> rows;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* port = PyList_GET_ITEM(list, i);
        EXPECT_TRUE(PyObject_TypeCheck(port, list_port_info_type()));
        rows.push_back({attribute(port, "device"), attribute(port, "description"), attribute(port, "hwid"),
                        attribute(port, "vid"), attribute(port, "location"), attribute(port, "serial_number")});
    }
    return rows;
}

TEST(Comports, MixedSystem) {
    FakeSysfs sysfs;
    UsbAdapter ftdi;
    ftdi.write_device(sysfs, "0403", "6001");
    ftdi.write_string(sysfs, "serial", "A1");
    ftdi.write_string(sysfs, "product", "FT232R USB UART");
    sysfs.add_tty("ttyUSB0", ftdi.interface_dir() + "/ttyUSB0", "usb-serial");
    UsbAdapter acm;
    acm.device = "pci0000:00/0000:00:14.0/usb2/2-3";
    acm.write_device(sysfs, "2341", "0043");
    sysfs.add_tty("ttyACM0", acm.device + "/2-3:1.0", "usb");
    for (const char* name : {"ttyS0", "ttyS1", "ttyS2", "ttyS3"}) {
        sysfs.add_tty(name, std::string("platform/serial8250/") + name, "platform");
    }
    sysfs.set_type("ttyS0", "4\n");
    sysfs.set_type("ttyS1", "0\n");        // placeholder without a UART
    sysfs.set_type("ttyS2", "\xFF" "0");   // not UTF-8: listed
    sysfs.add_tty("ttyPCI0", "pci0000:00/0000:00:16.3", "pci");
    sysfs.add_virtual_tty("tty0");

    Attached attached;
    py::Ref ports = list_ports_under(sysfs.root());
    ASSERT_TRUE(ports) << testing::take_error();
    std::vector<Row> expected = {
        {"/dev/ttyACM0", "ttyACM0", "USB VID:PID=2341:0043 LOCATION=2-3", "9025", "2-3", "None"},
        {"/dev/ttyPCI0", "n/a", "n/a", "None", "None", "None"},
        {"/dev/ttyS0", "n/a", "n/a", "None", "None", "None"},
        {"/dev/ttyS2", "n/a", "n/a", "None", "None", "None"},
        {"/dev/ttyS3", "n/a", "n/a", "None", "None", "None"},
        {"/dev/ttyUSB0", "FT232R USB UART", "USB VID:PID=0403:6001 SER=A1 LOCATION=1-1.2", "1027", "1-1.2", "A1"},
    };
    EXPECT_EQ(rows_of(ports.get()), expected);
}

// Runs `code` with `port` bound to `p` and the class to `ListPortInfo`; the value of the
// name `result` afterwards, as text.
std::string run_on(PyObject* port, const char* code) {
    py::Ref globals = py::Ref::steal(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(globals.get(), "p", port);
    PyDict_SetItemString(globals.get(), "ListPortInfo", reinterpret_cast<PyObject*>(list_port_info_type()));
    py::Ref done = py::Ref::steal(PyRun_String(code, Py_file_input, globals.get(), globals.get()));
    if (!done) {
        return "<error: " + testing::take_error() + ">";
    }
    PyObject* result = PyDict_GetItemString(globals.get(), "result");
    py::Ref text = py::Ref::steal(result ? PyObject_Str(result) : nullptr);
    return text ? PyUnicode_AsUTF8(text.get()) : "<no result>";
}

TEST(Comports, NamesThatAreNotUtf8AreStoredAsTheTextShown) {
    FakeSysfs sysfs;
    UsbAdapter adapter;
    adapter.write_device(sysfs, "0403", "6001");
    adapter.write_string(sysfs, "product", "Caf\xE9 UART");  // Latin-1, not UTF-8
    sysfs.add_tty("ttyUSB\xFF" "0", adapter.interface_dir() + "/ttyUSB\xFF" "0", "usb-serial");
    Attached attached;
    py::Ref ports = list_ports_under(sysfs.root());
    ASSERT_TRUE(ports) << testing::take_error();
    ASSERT_EQ(PyList_GET_SIZE(ports.get()), 1);
    PyObject* port = PyList_GET_ITEM(ports.get(), 0);
    EXPECT_EQ(attribute(port, "device"), "/dev/ttyUSB\uFFFD0");
    EXPECT_EQ(attribute(port, "name"), "ttyUSB\uFFFD0");
    EXPECT_EQ(attribute(port, "description"), "Caf\uFFFD UART");
    // Equality, hashing and ordering see the text that `device` shows.
    EXPECT_EQ(run_on(port, "q = ListPortInfo(p.device)\n"
                           "result = (p == q, hash(p) == hash(q), p < q, q < p, p.device.encode())"),
              "(True, True, False, False, b'/dev/ttyUSB\\xef\\xbf\\xbd0')");
}

TEST(Comports, OnlyPlaceholdersGiveAnEmptyList) {
    FakeSysfs sysfs;
    for (const char* name : {"ttyS0", "ttyS1"}) {
        sysfs.add_tty(name, std::string("platform/serial8250/") + name, "platform");
        sysfs.set_type(name, "0");
    }
    Attached attached;
    py::Ref ports = list_ports_under(sysfs.root());
    ASSERT_TRUE(ports) << testing::take_error();
    EXPECT_EQ(PyList_GET_SIZE(ports.get()), 0);
}

TEST(Comports, MissingTtyClassRaisesSerialExceptionWithErrno) {
    FakeSysfs sysfs;
    Attached attached;
    py::Ref ports = list_ports_under(sysfs.root());
    ASSERT_FALSE(ports);
    py::Ref error = py::Ref::steal(PyErr_GetRaisedException());
    ASSERT_TRUE(error);
    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), exceptions::serial_exception());
    EXPECT_EQ(attribute(error.get(), "errno"), std::to_string(ENOENT));
    EXPECT_NE(attribute(error.get(), "strerror").find("cannot list serial ports"), std::string::npos);
}

TEST(Comports, EachCallMakesFreshObjects) {
    FakeSysfs sysfs;
    sysfs.add_tty("ttyS0", "platform/serial8250/ttyS0", "platform");
    Attached attached;
    py::Ref first = list_ports_under(sysfs.root());
    py::Ref second = list_ports_under(sysfs.root());
    ASSERT_TRUE(first && second);
    ASSERT_EQ(PyList_GET_SIZE(first.get()), 1);
    ASSERT_EQ(PyList_GET_SIZE(second.get()), 1);
    EXPECT_NE(PyList_GET_ITEM(first.get(), 0), PyList_GET_ITEM(second.get(), 0));
    EXPECT_EQ(PyObject_RichCompareBool(PyList_GET_ITEM(first.get(), 0), PyList_GET_ITEM(second.get(), 0), Py_EQ), 1);
}

}  // namespace
}  // namespace quorvelin::list_ports
