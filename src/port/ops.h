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

// The break length of `seconds` (already checked non-negative), to the nearest nanosecond,
// saturating at the largest duration.
settings::Duration break_duration(double seconds);

}  // namespace quorvelin::ops
