#pragma once
// What a read or a write has settled before it waits for anything. Once it holds its lock,
// an operation makes its first attempt at once, as a look that never waits; when that
// attempt settles the whole operation (all the bytes there, all the data taken, an error, a
// closed port) the operation ends without building any of its waiting machinery. Otherwise
// the rest of the operation goes on from here, exactly where the attempt left it.

#include <cstddef>
#include <optional>
#include <string>

#include "errors/result.h"
#include "runtime/clock.h"
#include "runtime/operation.h"
#include "settings/seconds.h"

namespace quorvelin::port {

struct ReadStart {
    runtime::Instant started;  // the deadlines count from here
    std::optional<settings::Duration> timeout;
    std::optional<settings::Duration> inter_byte;
    std::string bytes;  // what the first attempt read
    std::optional<Result<std::string>> outcome;  // the read's result, when the attempt settled it
};

// A read or a write begun without a coroutine frame: its lock taken and its first attempt
// made, both as plain calls. When that settles it, `settled` holds the result and nothing else
// was built; otherwise `rest` is the operation from exactly where the attempt stopped, to be
// polled next with the waker that should be woken.
template <class T>
struct Begun {
    std::optional<Result<T>> settled;
    runtime::Operation<T> rest;
};

struct WriteStart {
    runtime::Instant started;  // the write timeout counts from here
    std::optional<Seconds> write_timeout;  // absent when ignored
    std::size_t written = 0;  // what the first attempt wrote
    std::optional<Result<std::size_t>> outcome;  // the write's result, when the attempt settled it
};

}  // namespace quorvelin::port
