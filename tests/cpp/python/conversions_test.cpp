#include <gtest/gtest.h>

#include "attached.h"
#include "pyapi/ref.h"
#include "serial/describe.h"
#include "serial/to_bytes.h"
#include "settings/python_seconds.h"

namespace quorvelin {
namespace {

using testing::Attached;
using testing::eval;
using testing::take_error;

struct BytesCase {
    const char* expression;
    std::optional<std::string> bytes;
    const char* error;  // expected "type: message" when bytes is absent
};

TEST(ToBytes, Table) {
    Attached attached;
    const BytesCase cases[] = {
        {"b''", std::string(), ""},
        {"''", std::string(), ""},
        {"b'ab\\x00c'", std::string("ab\0c", 4), ""},
        {"'h\\xe9'", std::string("h\xc3\xa9"), ""},
        {"bytearray(b'xyz')", std::string("xyz"), ""},
        {"memoryview(b'abcdef')[1:3]", std::string("bc"), ""},
        {"__import__('array').array('H', [1, 2])", std::string("\x01\x00\x02\x00", 4), ""},
        {"memoryview(bytes(range(6))).cast('B', (2, 3))", std::string("\x00\x01\x02\x03\x04\x05", 6), ""},
        {"memoryview(bytes(range(6)))[::2]", std::string("\x00\x02\x04", 3), ""},
        {"5", std::nullopt, "TypeError: a bytes-like object or str is required, not 'int'"},
        {"None", std::nullopt, "TypeError: a bytes-like object or str is required, not 'NoneType'"},
        {"[1]", std::nullopt, "TypeError: a bytes-like object or str is required, not 'list'"},
        {"'\\ud800'", std::nullopt, "UnicodeEncodeError"},
    };
    for (const auto& c : cases) {
        py::Ref object = py::Ref::steal(eval(c.expression));
        ASSERT_TRUE(object) << c.expression << ": " << take_error();
        auto result = serial::to_bytes(object.get());
        EXPECT_EQ(result, c.bytes) << c.expression;
        std::string error = take_error();
        if (c.bytes) {
            EXPECT_EQ(error, "") << c.expression;
        } else {
            EXPECT_EQ(error.substr(0, std::string(c.error).size()), c.error) << c.expression;
        }
    }
}

TEST(ToBytes, CopiesTheBuffer) {
    Attached attached;
    py::Ref array = py::Ref::steal(eval("bytearray(b'abc')"));
    auto copy = serial::to_bytes(array.get());
    PyByteArray_AS_STRING(array.get())[0] = 'z';
    EXPECT_EQ(copy, std::string("abc"));
}

TEST(ToBytes, OtherBufferErrorsPropagate) {
    Attached attached;
    // A buffer whose export fails with something other than TypeError keeps its own error.
    py::Ref object = py::Ref::steal(eval(
        "type('B', (), {'__buffer__': lambda self, flags: (_ for _ in ()).throw(KeyError('x'))})()"));
    ASSERT_TRUE(object) << take_error();
    EXPECT_EQ(serial::to_bytes(object.get()), std::nullopt);
    EXPECT_EQ(take_error(), "KeyError: 'x'");
}

TEST(Describe, ReprUnprintableAndSurrogates) {
    Attached attached;
    py::Ref text = py::Ref::steal(eval("'abc'"));
    EXPECT_EQ(serial::describe(text.get()), "'abc'");
    py::Ref bad = py::Ref::steal(eval("type('Bad', (), {'__repr__': lambda self: 1/0})()"));
    EXPECT_EQ(serial::describe(bad.get()), "<unprintable>");
    EXPECT_EQ(take_error(), "");
    py::Ref surrogate = py::Ref::steal(eval("type('S', (), {'__repr__': lambda self: 'a\\ud800b'})()"));
    EXPECT_EQ(serial::describe(surrogate.get()), "a\xef\xbf\xbd" "b");
    EXPECT_EQ(take_error(), "");
}

struct SecondsCase {
    const char* expression;
    std::optional<Seconds> seconds;
    const char* round_trip;  // repr of the value read back; or the error message
};

TEST(ExtractSeconds, Table) {
    Attached attached;
    const SecondsCase cases[] = {
        {"5", Seconds::from_int(5), "5"},
        {"0.5", Seconds::from_float(0.5), "0.5"},
        {"True", Seconds::from_int(1), "1"},
        {"-3", Seconds::from_int(-3), "-3"},
        {"2**70", Seconds::from_float(1.1805916207174113e21), "1.1805916207174113e+21"},
        {"__import__('fractions').Fraction(1, 4)", Seconds::from_float(0.25), "0.25"},
        {"__import__('decimal').Decimal('1.5')", Seconds::from_float(1.5), "1.5"},
        {"float('inf')", Seconds::from_float(HUGE_VAL), "inf"},
        {"'1'", std::nullopt, "ValueError: Not a valid timeout: '1'"},
        {"None", std::nullopt, "ValueError: Not a valid timeout: None"},
        {"type('Bad', (), {'__repr__': lambda self: 1/0})()", std::nullopt,
         "ValueError: Not a valid timeout: <unprintable>"},
    };
    for (const auto& c : cases) {
        py::Ref object = py::Ref::steal(eval(c.expression));
        ASSERT_TRUE(object) << c.expression << ": " << take_error();
        auto result = settings::extract_seconds(object.get());
        EXPECT_EQ(result, c.seconds) << c.expression;
        if (!c.seconds) {
            EXPECT_EQ(take_error(), c.round_trip) << c.expression;
            continue;
        }
        EXPECT_EQ(take_error(), "") << c.expression;
        py::Ref back = py::Ref::steal(settings::seconds_to_python(result));
        py::Ref repr = py::Ref::steal(PyObject_Repr(back.get()));
        EXPECT_STREQ(PyUnicode_AsUTF8(repr.get()), c.round_trip) << c.expression;
    }
    py::Ref none = py::Ref::steal(settings::seconds_to_python(std::nullopt));
    EXPECT_EQ(none.get(), Py_None);
}

}  // namespace
}  // namespace quorvelin
