#pragma once
// SerialError: the one error type of the port engine and the port operations.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvelin {

// What a Python call raises for a SerialError, chosen without touching the interpreter.
struct ExceptionSpec {
    enum class Class : std::uint8_t {
        SerialException,
        SerialTimeoutException,
        PortNotOpenError,
        ValueError,
        CancelledError,
        MemoryError,
    };
    Class cls;
    // Present: the exception is built from (errno, message); absent: from (message) alone,
    // or with no argument at all for CancelledError and MemoryError.
    std::optional<std::int32_t> os_errno;
    std::string message;
};

// How an error of the terminal-device layer is classified by from_library_error.
enum class LibraryErrorKind : std::uint8_t { NoDevice, InvalidInput, Unknown, Io };

class SerialError {
public:
    enum class Kind : std::uint8_t {
        Io,
        Timeout,
        PortNotOpen,
        AlreadyOpen,
        NotConfigured,
        InvalidInput,
        Cancelled,
        Forked,
        // An allocation failed. Internal: raised as MemoryError, never made from an OS or
        // library error. It carries no text, so making, copying and converting it allocate
        // nothing, which is what a path that just ran out of memory needs.
        OutOfMemory,
    };

    static SerialError io(std::optional<std::int32_t> os_errno, std::string message);
    static SerialError timeout(std::string message);
    static SerialError port_not_open() { return SerialError(Kind::PortNotOpen); }
    static SerialError already_open() { return SerialError(Kind::AlreadyOpen); }
    static SerialError not_configured() { return SerialError(Kind::NotConfigured); }
    static SerialError invalid_input(std::string message);
    static SerialError cancelled() { return SerialError(Kind::Cancelled); }
    static SerialError forked() { return SerialError(Kind::Forked); }
    static SerialError out_of_memory() noexcept { return SerialError(Kind::OutOfMemory); }

    // An OS error with a number: "<strerror> (os error n)".
    static SerialError from_os_error(int os_errno);
    // An OS-level error without a number: its own text.
    static SerialError from_os_error_text(std::string text);
    static SerialError from_library_error(LibraryErrorKind kind, std::string description);
    // Wraps the failure to open `port` so the message names the port.
    static SerialError open_failed(std::string_view port, const SerialError& error);

    Kind kind() const { return kind_; }
    // The OS error number; only a SerialError::Io can carry one.
    std::optional<std::int32_t> os_errno() const { return os_errno_; }
    // The text payload of Io, Timeout and InvalidInput (empty for the other variants).
    const std::string& payload() const { return message_; }
    // The display text of the error.
    std::string display() const;

    ExceptionSpec to_exception() &&;

    bool operator==(const SerialError&) const = default;

private:
    explicit SerialError(Kind kind) noexcept : kind_(kind) {}
    SerialError(Kind kind, std::optional<std::int32_t> os_errno, std::string message)
        : kind_(kind), os_errno_(os_errno), message_(std::move(message)) {}

    Kind kind_;
    std::optional<std::int32_t> os_errno_;
    std::string message_;
};

// The error number named by a description: the number inside its last "(os error n)",
// else the first errno from 1 to 255 whose platform text equals the whole description.
std::optional<std::int32_t> errno_from_description(std::string_view description);

// The C library's description of an error number (thread-safe).
std::string os_error_text(int os_errno);

}  // namespace quorvelin
