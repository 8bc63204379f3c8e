#include "port/ops.h"

#include <cmath>

namespace quorvelin::ops {

using runtime::Operation;

Operation<Outcome> read(std::shared_ptr<PortCore> core, std::size_t size) {
    auto body = PortCore::read(core, size);
    auto result = co_await body;
    core.reset();
    if (!result.ok()) co_return std::move(result).error();
    co_return Outcome(std::move(result).value());
}

Operation<Outcome> read_until(std::shared_ptr<PortCore> core, std::string expected, std::optional<std::size_t> size) {
    auto body = PortCore::read_until(core, std::move(expected), size);
    auto result = co_await body;
    core.reset();
    if (!result.ok()) co_return std::move(result).error();
    co_return Outcome(std::move(result).value());
}

Operation<Outcome> readline(std::shared_ptr<PortCore> core, std::int64_t size) {
    std::optional<std::size_t> limit;
    if (size >= 0) {
        limit = static_cast<std::size_t>(size);
    }
    auto body = PortCore::readline(core, limit);
    auto result = co_await body;
    core.reset();
    if (!result.ok()) co_return std::move(result).error();
    co_return Outcome(std::move(result).value());
}

Operation<Outcome> readlines(std::shared_ptr<PortCore> core, std::int64_t hint) {
    std::optional<std::size_t> limit;
    if (hint > 0) {
        limit = static_cast<std::size_t>(hint);
    }
    auto body = PortCore::readlines(core, limit);
    auto result = co_await body;
    core.reset();
    if (!result.ok()) co_return std::move(result).error();
    co_return Outcome(std::move(result).value());
}

Operation<Outcome> write(std::shared_ptr<PortCore> core, std::string data) {
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    auto body = PortCore::write_with(core, bytes, false);
    auto result = co_await body;
    core.reset();
    if (!result.ok()) co_return std::move(result).error();
    co_return Outcome(result.value());
}

namespace {

template <class T>
Result<Outcome> as_outcome(Result<T>&& result) {
    if (!result.ok()) return std::move(result).error();
    return Outcome(std::move(result).value());
}

// The rest of a begun operation, with the Outcome of its operation above.
template <class T>
Operation<Outcome> rest_as_outcome(Operation<T> given) {
    Operation<T> body = std::move(given);
    auto result = co_await body;
    body.reset();  // its port reference goes before the result is handed on, as in read()
    co_return as_outcome(std::move(result));
}

template <class T>
Operation<Outcome> settle_or_continue(port::Begun<T>&& begun, std::optional<Result<Outcome>>& settled) {
    if (begun.settled) {
        settled.emplace(as_outcome(std::move(*begun.settled)));
        return {};
    }
    return rest_as_outcome(std::move(begun.rest));
}

}  // namespace

Operation<Outcome> begin_read(const std::shared_ptr<PortCore>& core, std::size_t size, runtime::Context& cx,
                              std::optional<Result<Outcome>>& settled) {
    port::Begun<std::string> begun = PortCore::begin_read(core, size, cx);
    if (!begun.settled && !begun.rest.valid()) {
        return read(core, size);
    }
    return settle_or_continue(std::move(begun), settled);
}

Operation<Outcome> begin_write(const std::shared_ptr<PortCore>& core, std::string data, runtime::Context& cx,
                               std::optional<Result<Outcome>>& settled) {
    port::Begun<std::size_t> begun = PortCore::begin_write(core, data, cx);
    if (!begun.settled && !begun.rest.valid()) {
        return write(core, std::move(data));
    }
    return settle_or_continue(std::move(begun), settled);
}

Operation<Outcome> flush(std::shared_ptr<PortCore> core) {
    auto body = PortCore::flush(core);
    auto result = co_await body;
    core.reset();
    if (!result.ok()) co_return std::move(result).error();
    co_return Outcome(Unit{});
}

settings::Duration break_duration(double seconds) {
    if (std::isinf(seconds) || seconds >= 18446744073709551616.0) {
        return settings::Duration{UINT64_MAX, 999'999'999};
    }
    auto duration = settings::duration(Seconds::from_float(seconds));
    return duration.value_or(settings::Duration{});
}

Operation<Outcome> send_break(std::shared_ptr<PortCore> core, double duration) {
    if (!(duration >= 0.0)) {
        core.reset();
        co_return SerialError::invalid_input("duration must be a non-negative number");
    }
    auto body = PortCore::send_break(core, break_duration(duration));
    auto result = co_await body;
    core.reset();
    if (!result.ok()) co_return std::move(result).error();
    co_return Outcome(Unit{});
}

}  // namespace quorvelin::ops
