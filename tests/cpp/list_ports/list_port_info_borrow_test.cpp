// ListPortInfo under a borrow held elsewhere: calls fail at once instead of waiting.
// The borrow is taken directly, standing in for another thread in mid-call.

#include <gtest/gtest.h>

#include <string>

#include "../python/attached.h"
#include "list_ports/list_port_info.h"
#include "list_ports/list_port_info_object.h"

namespace quorvelin::list_ports {
namespace {

using testing::Attached;

struct Scope {
    py::Ref globals = py::Ref::steal(PyDict_New());

    Scope(PyObject* port, PyObject* other) {
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
        PyDict_SetItemString(globals.get(), "port", port);
        PyDict_SetItemString(globals.get(), "other", other);
    }
    // The outcome of a statement: "ok" or "<exception type>: <message>".
    std::string run(const char* statement) {
        py::Ref result = py::Ref::steal(PyRun_String(statement, Py_file_input, globals.get(), globals.get()));
        return result ? "ok" : testing::take_error();
    }
};

py::Ref make_port(const char* device) { return new_list_port_info(PortInfo::for_device(device)); }

struct Case {
    const char* statement;
    const char* outcome;
};

class WhileExclusivelyBorrowed : public ::testing::TestWithParam<Case> {};

TEST_P(WhileExclusivelyBorrowed, CallFailsAtOnce) {
    Attached attached;
    py::Ref port = make_port("/dev/ttyS0");
    py::Ref other = make_port("/dev/ttyS0");
    Scope scope(port.get(), other.get());
    ExclusiveBorrow held(as_port(port.get())->borrow);
    ASSERT_TRUE(held.held());
    EXPECT_EQ(scope.run(GetParam().statement), GetParam().outcome);
}

const char* const changing = "RuntimeError: ListPortInfo is being changed by another thread";
const char* const in_use = "RuntimeError: ListPortInfo is being used by another thread";

INSTANTIATE_TEST_SUITE_P(
    Calls, WhileExclusivelyBorrowed,
    ::testing::Values(Case{"port.device", changing}, Case{"port.vid", changing}, Case{"str(port)", changing},
                      Case{"hash(port)", changing}, Case{"port[0]", changing}, Case{"iter(port)", changing},
                      Case{"port.usb_info()", changing}, Case{"port == other", changing},
                      Case{"port.device = 'x'", in_use}, Case{"port.apply_usb_info()", in_use},
                      // The other side that cannot be borrowed: unequal, or unorderable.
                      Case{"assert (other == port) is False", "ok"}, Case{"assert other != port", "ok"},
                      Case{"other < port", "TypeError: unorderable types: ListPortInfo() and ListPortInfo()"},
                      // Refused before the borrow is needed.
                      Case{"port.vid = 'x'", "TypeError: attribute 'vid' must be int or None, not str"}));

class WhileShared : public ::testing::TestWithParam<Case> {};

TEST_P(WhileShared, ReadersProceedWritersFail) {
    Attached attached;
    py::Ref port = make_port("/dev/ttyS0");
    py::Ref other = make_port("/dev/ttyS0");
    Scope scope(port.get(), other.get());
    SharedBorrow held(as_port(port.get())->borrow);
    ASSERT_TRUE(held.held());
    EXPECT_EQ(scope.run(GetParam().statement), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(Calls, WhileShared,
                         ::testing::Values(Case{"assert port.device == '/dev/ttyS0'", "ok"},
                                           Case{"assert port == other and not port < other", "ok"},
                                           Case{"port.description = 'x'", in_use},
                                           Case{"port.vid = None", in_use},
                                           Case{"port.apply_usb_info()", in_use}));

}  // namespace
}  // namespace quorvelin::list_ports
