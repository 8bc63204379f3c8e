#include "errors/serial_error.h"

#include <cerrno>
#include <charconv>
#include <cstring>

namespace quorvelin {

SerialError SerialError::io(std::optional<std::int32_t> os_errno, std::string message) {
    return SerialError(Kind::Io, os_errno, std::move(message));
}

SerialError SerialError::timeout(std::string message) {
    return SerialError(Kind::Timeout, std::nullopt, std::move(message));
}

SerialError SerialError::invalid_input(std::string message) {
    return SerialError(Kind::InvalidInput, std::nullopt, std::move(message));
}

std::string os_error_text(int os_errno) {
    char buffer[256];
    // The GNU strerror_r returns a pointer that may or may not be `buffer`.
    const char* text = strerror_r(os_errno, buffer, sizeof buffer);
    return text;
}

SerialError SerialError::from_os_error(int os_errno) {
    return io(os_errno, os_error_text(os_errno) + " (os error " + std::to_string(os_errno) + ")");
}

SerialError SerialError::from_os_error_text(std::string text) {
    return io(std::nullopt, std::move(text));
}

SerialError SerialError::from_library_error(LibraryErrorKind kind, std::string description) {
    if (kind == LibraryErrorKind::InvalidInput) {
        return invalid_input(std::move(description));
    }
    auto os_errno = errno_from_description(description);
    return io(os_errno, std::move(description));
}

SerialError SerialError::open_failed(std::string_view port, const SerialError& error) {
    std::string name(port);
    if (error.kind_ == Kind::Io && error.os_errno_) {
        return io(error.os_errno_, "could not open port " + name + ": [Errno " +
                                       std::to_string(*error.os_errno_) + "] " + error.display());
    }
    return io(std::nullopt, "could not open port " + name + ": " + error.display());
}

std::string SerialError::display() const {
    switch (kind_) {
        case Kind::Io:
        case Kind::Timeout:
        case Kind::InvalidInput:
            return message_;
        case Kind::PortNotOpen:
            return "Attempting to use a port that is not open";
        case Kind::AlreadyOpen:
            return "Port is already open.";
        case Kind::NotConfigured:
            return "Port must be configured before it can be used.";
        case Kind::Cancelled:
            return "the operation was cancelled";
        case Kind::Forked:
            return "quorvelin cannot be used in a child process created by fork()";
        case Kind::OutOfMemory:
            return "out of memory";  // short enough to be stored without allocating
    }
    return message_;
}

ExceptionSpec SerialError::to_exception() && {
    using C = ExceptionSpec::Class;
    std::string message = display();
    switch (kind_) {
        case Kind::Io:
            return {C::SerialException, os_errno_, std::move(message)};
        case Kind::Timeout:
            return {C::SerialTimeoutException, std::nullopt, std::move(message)};
        case Kind::PortNotOpen:
            return {C::PortNotOpenError, std::nullopt, std::move(message)};
        case Kind::InvalidInput:
            return {C::ValueError, std::nullopt, std::move(message)};
        case Kind::Cancelled:
            return {C::CancelledError, std::nullopt, {}};
        case Kind::OutOfMemory:
            return {C::MemoryError, std::nullopt, {}};
        case Kind::AlreadyOpen:
        case Kind::NotConfigured:
        case Kind::Forked:
            break;
    }
    return {C::SerialException, std::nullopt, std::move(message)};
}

namespace {

constexpr std::string_view kMarker = "(os error ";

// "[+-]digits" exactly, within the signed 32-bit range.
std::optional<std::int32_t> parse_signed_32(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    for (char c : text) {
        value = value * 10 + (c - '0');
        if (value > std::int64_t{1} << 31) {
            return std::nullopt;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX || value < INT32_MIN) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::optional<std::int32_t> errno_from_description(std::string_view description) {
    auto at = description.rfind(kMarker);
    if (at != std::string_view::npos) {
        auto rest = description.substr(at + kMarker.size());
        if (rest.size() < 2 || rest.back() != ')') {
            return std::nullopt;
        }
        rest.remove_suffix(1);
        return parse_signed_32(rest);
    }
    if (description.empty()) {
        return std::nullopt;
    }
    for (int n = 1; n <= 255; ++n) {
        const char* text = strerrordesc_np(n);
        if (text != nullptr && description == text) {
            return n;
        }
    }
    return std::nullopt;
}

}  // namespace quorvelin
