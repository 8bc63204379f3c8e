#pragma once
// The seven port operations. Each owns a reference to its port and its arguments; nothing
// runs until the first poll. When one finishes it has already released its lock and its
// port reference.

#include <memory>
#include <optional>
#include <string>

#include "port/outcome.h"
#include "port/port_core.h"

namespace quorvelin::ops {

runtime::Operation<Outcome> read(std::shared_ptr<PortCore> core, std::size_t size);
// An absent size reads without limit.
runtime::Operation<Outcome> read_until(std::shared_ptr<PortCore> core, std::string expected,
                                       std::optional<std::size_t> size);
// A negative size reads without limit.
runtime::Operation<Outcome> readline(std::shared_ptr<PortCore> core, std::int64_t size);
// A hint of 0 or less is no hint.
runtime::Operation<Outcome> readlines(std::shared_ptr<PortCore> core, std::int64_t hint);
runtime::Operation<Outcome> write(std::shared_ptr<PortCore> core, std::string data);
runtime::Operation<Outcome> flush(std::shared_ptr<PortCore> core);
// Seconds; negative and NaN fail with "duration must be a non-negative number".
runtime::Operation<Outcome> send_break(std::shared_ptr<PortCore> core, double duration);

// The asyncio read and write begun by plain calls (see port/start.h). When the first attempt
// finishes the operation its result goes to `settled` and nothing is built; otherwise the
// result is the operation from where the attempt stopped (or, when another operation of the
// port held the lock, the whole operation), with its own reference to the port. The caller
// keeps `core` alive during the call.
runtime::Operation<Outcome> begin_read(const std::shared_ptr<PortCore>& core, std::size_t size, runtime::Context& cx,
                                       std::optional<Result<Outcome>>& settled);
runtime::Operation<Outcome> begin_write(const std::shared_ptr<PortCore>& core, std::string data, runtime::Context& cx,
                                        std::optional<Result<Outcome>>& settled);

// The break length of `seconds` (already checked non-negative), to the nearest nanosecond,
// saturating at the largest duration.
settings::Duration break_duration(double seconds);

}  // namespace quorvelin::ops
