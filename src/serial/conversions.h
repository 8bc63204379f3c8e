#pragma once
// Python values to port settings, with the messages users see. Call attached.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "port/port_settings.h"
#include "settings/seconds.h"

namespace quorvelin::serial {

// The text of a double in messages: shortest round-trip digits, at least one digit after the
// point, exponent form below 1e-4 and from 1e16 ("1e-5", "1e16"), "NaN", "inf", "-inf".
std::string debug_float(double value);

// Python `int(obj)` within 0..4294967295; ValueError "Not a valid baudrate: {}" otherwise.
std::optional<std::uint32_t> baudrate_from(PyObject* obj);
// An integral number from 5 to 8; ValueError "Not a valid byte size: {}" otherwise.
std::optional<std::uint8_t> bytesize_from(PyObject* obj);

// The value rules; each raises ValueError and returns nullopt on failure.
std::optional<Parity> parity_rule(const std::string& text);
std::optional<StopBits> stopbits_rule(double value);
// `value` already went through the Seconds conversion.
bool timeout_rule(const Seconds& value);

// A str argument's UTF-8 text; TypeError naming `what` for other types.
std::optional<std::string> text_argument(PyObject* obj, const char* what);
// A float argument as CPython's float conversion takes it (TypeError otherwise).
std::optional<double> float_argument(PyObject* obj);
// A truth value; the object's __bool__ exception propagates.
std::optional<bool> truth(PyObject* obj);
// None (or absent) gives no timeout; anything else must pass the Seconds conversion.
bool optional_seconds(PyObject* obj, std::optional<Seconds>* out);

// Python values of settings.
PyObject* parity_to_python(Parity parity);
PyObject* stopbits_to_python(StopBits stopbits);

// The process-wide `Baudrate` enumeration: a new reference, built on first use; a failed
// build is not remembered.
PyObject* baudrate_enum();

}  // namespace quorvelin::serial
