#include "errors/serial_error.h"

#include <gtest/gtest.h>

#include <cstring>

namespace quorvelin {
namespace {

TEST(SerialErrorDisplay, FixedTexts) {
    EXPECT_EQ(SerialError::port_not_open().display(), "Attempting to use a port that is not open");
    EXPECT_EQ(SerialError::already_open().display(), "Port is already open.");
    EXPECT_EQ(SerialError::not_configured().display(), "Port must be configured before it can be used.");
    EXPECT_EQ(SerialError::cancelled().display(), "the operation was cancelled");
    EXPECT_EQ(SerialError::forked().display(),
              "quorvelin cannot be used in a child process created by fork()");
    EXPECT_EQ(SerialError::timeout("Write timeout").display(), "Write timeout");
    EXPECT_EQ(SerialError::invalid_input("bad").display(), "bad");
    EXPECT_EQ(SerialError::io(5, "gone").display(), "gone");
}

TEST(SerialErrorConversion, ClassAndArgumentsByVariant) {
    using C = ExceptionSpec::Class;
    struct Case {
        SerialError error;
        C cls;
        std::optional<std::int32_t> os_errno;
        std::string message;
    };
    const Case cases[] = {
        {SerialError::io(13, "denied"), C::SerialException, 13, "denied"},
        {SerialError::io(std::nullopt, "odd"), C::SerialException, std::nullopt, "odd"},
        {SerialError::timeout("Write timeout"), C::SerialTimeoutException, std::nullopt, "Write timeout"},
        {SerialError::port_not_open(), C::PortNotOpenError, std::nullopt,
         "Attempting to use a port that is not open"},
        {SerialError::already_open(), C::SerialException, std::nullopt, "Port is already open."},
        {SerialError::not_configured(), C::SerialException, std::nullopt,
         "Port must be configured before it can be used."},
        {SerialError::invalid_input("Bad value"), C::ValueError, std::nullopt, "Bad value"},
        {SerialError::cancelled(), C::CancelledError, std::nullopt, ""},
        {SerialError::forked(), C::SerialException, std::nullopt,
         "quorvelin cannot be used in a child process created by fork()"},
    };
    for (const auto& c : cases) {
        SerialError copy = c.error;
        ExceptionSpec spec = std::move(copy).to_exception();
        EXPECT_EQ(spec.cls, c.cls) << c.message;
        EXPECT_EQ(spec.os_errno, c.os_errno) << c.message;
        EXPECT_EQ(spec.message, c.message);
    }
}

TEST(SerialErrorFromOs, NumberAndMarkedText) {
    SerialError e = SerialError::from_os_error(2);
    EXPECT_EQ(e.kind(), SerialError::Kind::Io);
    EXPECT_EQ(e.os_errno(), 2);
    EXPECT_EQ(e.display(), std::string(strerror(2)) + " (os error 2)");

    SerialError t = SerialError::from_os_error_text("no number here");
    EXPECT_EQ(t.os_errno(), std::nullopt);
    EXPECT_EQ(t.display(), "no number here");
}

TEST(ErrnoFromDescription, Table) {
    struct Case {
        std::string text;
        std::optional<std::int32_t> expected;
    };
    const std::string enoent = strerror(2);
    const Case cases[] = {
        {"failed (os error 5)", 5},
        {"(os error 7) and then (os error 9)", 9},
        {"x (os error +12)", 12},
        {"x (os error -3)", -3},
        {"x (os error 2147483647)", 2147483647},
        {"x (os error -2147483648)", INT32_MIN},
        {"x (os error 2147483648)", std::nullopt},
        {"x (os error )", std::nullopt},
        {"x (os error -)", std::nullopt},
        {"x (os error 5", std::nullopt},
        {"x (os error 5) trailing", std::nullopt},
        {"x (os error 5x)", std::nullopt},
        // A marker with a bad number stops the lookup: no text match is tried.
        {enoent + " (os error zz)", std::nullopt},
        {enoent, 2},
        {"", std::nullopt},
        {"nothing like an error", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errno_from_description(c.text), c.expected) << c.text;
    }
}

TEST(SerialErrorFromLibrary, InvalidInputVersusOthers) {
    SerialError invalid = SerialError::from_library_error(LibraryErrorKind::InvalidInput, "bad baud");
    EXPECT_EQ(invalid.kind(), SerialError::Kind::InvalidInput);
    EXPECT_EQ(invalid.display(), "bad baud");

    SerialError io = SerialError::from_library_error(LibraryErrorKind::Io, "Permission denied (os error 13)");
    EXPECT_EQ(io.kind(), SerialError::Kind::Io);
    EXPECT_EQ(io.os_errno(), 13);
    EXPECT_EQ(io.display(), "Permission denied (os error 13)");

    SerialError missing = SerialError::from_library_error(LibraryErrorKind::NoDevice, strerror(2));
    EXPECT_EQ(missing.os_errno(), 2);
}

TEST(SerialErrorOpenFailed, WithAndWithoutNumber) {
    const std::string text = std::string(strerror(2)) + " (os error 2)";
    SerialError numbered = SerialError::open_failed("/dev/ttyS0", SerialError::io(2, text));
    EXPECT_EQ(numbered.kind(), SerialError::Kind::Io);
    EXPECT_EQ(numbered.os_errno(), 2);
    EXPECT_EQ(numbered.display(), "could not open port /dev/ttyS0: [Errno 2] " + text);

    SerialError invalid = SerialError::open_failed("/dev/ttyS0", SerialError::invalid_input("bad"));
    EXPECT_EQ(invalid.kind(), SerialError::Kind::Io);
    EXPECT_EQ(invalid.os_errno(), std::nullopt);
    EXPECT_EQ(invalid.display(), "could not open port /dev/ttyS0: bad");

    SerialError plain = SerialError::open_failed("/dev/x", SerialError::io(std::nullopt, "odd"));
    EXPECT_EQ(plain.os_errno(), std::nullopt);
    EXPECT_EQ(plain.display(), "could not open port /dev/x: odd");
}

}  // namespace
}  // namespace quorvelin
