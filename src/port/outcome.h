#pragma once
// Outcome: the success value of every port operation.

#include <cstddef>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "errors/result.h"

// PyObject, without the interpreter's headers.
struct _object;

namespace quorvelin {

// A shared handle to a Python object, made by the Python side with a deleter that releases
// the reference while attached. Opaque here, so the engine needs no interpreter.
using ObjectHandle = std::shared_ptr<void>;

class Outcome {
public:
    using Lines = std::vector<std::string>;
    // In this order: Unit (None), Count (int), Bytes, Lines (list of bytes), Object.
    using Value = std::variant<Unit, std::size_t, std::string, Lines, ObjectHandle>;

    Outcome(Unit) : value_(Unit{}) {}
    Outcome(std::size_t count) : value_(count) {}
    Outcome(std::string bytes) : value_(std::move(bytes)) {}
    Outcome(Lines lines) : value_(std::move(lines)) {}
    Outcome(ObjectHandle object) : value_(std::move(object)) {}

    const Value& value() const { return value_; }
    Value& value() { return value_; }

    bool operator==(const Outcome&) const = default;

    // The Python value: a new reference, or nullptr with the error set (only building the
    // list of Lines can fail). Call attached; defined with the Python side.
    _object* to_py() const;

private:
    Value value_;
};

}  // namespace quorvelin
