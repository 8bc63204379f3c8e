#pragma once
// Result<T>: a value or a SerialError (what std::expected would be in C++23).

#include <utility>
#include <variant>

#include "errors/serial_error.h"

namespace quorvelin {

struct Unit {
    bool operator==(const Unit&) const = default;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
    Result(SerialError error) : data_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return data_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(data_); }
    const T& value() const& { return std::get<0>(data_); }
    T&& value() && { return std::get<0>(std::move(data_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    SerialError& error() & { return std::get<1>(data_); }
    const SerialError& error() const& { return std::get<1>(data_); }
    SerialError&& error() && { return std::get<1>(std::move(data_)); }

    bool operator==(const Result&) const = default;

private:
    std::variant<T, SerialError> data_;
};

// Result<void> is spelled Status.
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace quorvelin
