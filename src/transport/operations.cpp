// Awaited pollables are named locals, never temporaries of the co_await expression (see
// src/port/read.cpp).

#include "transport/operations.h"

#include <span>

#include "runtime/runtime.h"

namespace quorvelin::transport {

using runtime::Operation;

namespace {

// Polls the read first, so data that is there at the end of the period still counts; yields
// nothing once the period is over.
template <runtime::Pollable P>
class WithinPeriod {
public:
    WithinPeriod(P& inner, ReadPeriod::Wait wait) : inner_(inner), wait_(std::move(wait)) {}

    runtime::Poll<std::optional<runtime::poll_output_t<P>>> poll(runtime::Context& cx) {
        auto result = inner_.poll(cx);
        if (result.is_ready()) {
            return std::optional<runtime::poll_output_t<P>>(result.take());
        }
        if (wait_.poll(cx).is_ready()) {
            return std::optional<runtime::poll_output_t<P>>();
        }
        return runtime::pending;
    }

private:
    P& inner_;
    ReadPeriod::Wait wait_;
};

// When the device goes away, whichever direction sees it first closes the port and the others
// then end with PortNotOpen: they report the device's error instead, so the protocol learns
// the first cause whatever order the loop takes the completions in. A port that the user
// closed has no cause recorded and stays PortNotOpen. Takes the operation's port reference, so
// it is let go before the result is handed on, as on every other path.
SerialError first_cause(std::shared_ptr<PortCore> port, SerialError error) {
    if (error.kind() == SerialError::Kind::PortNotOpen) {
        if (std::optional<SerialError> cause = port->disconnect_cause()) {
            return std::move(*cause);
        }
    }
    return error;
}

}  // namespace

Operation<Outcome> read_op(std::shared_ptr<PortCore> port) {
    Result<runtime::Owned*> owned = runtime::runtime();
    if (!owned) {
        return [](SerialError error) -> Operation<Outcome> { co_return error; }(std::move(owned).error());
    }
    return read_op(std::move(port), ReadPeriod::make(owned.value()->runtime->io()));
}

Operation<Outcome> read_op(std::shared_ptr<PortCore> port, std::shared_ptr<ReadPeriod> period) {
    // The body is lazy, so this runs at the first poll and the period counts from there.
    const runtime::Instant deadline = runtime::Clock::now() + READ_PERIOD;
    auto read = PortCore::read_available(port, READ_LIMIT);
    WithinPeriod bounded(read, period->wait_until(deadline));
    auto result = co_await bounded;
    // Dropped here, before the result is handed on: an abandoned read gives its lock back.
    read.reset();
    if (result && !result->ok()) {
        co_return first_cause(std::move(port), std::move(*result).error());
    }
    port.reset();
    if (!result) {
        co_return Outcome(std::string());
    }
    co_return Outcome(std::move(*result).value());
}

Operation<Outcome> write_op(std::shared_ptr<PortCore> port, std::string data) {
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    auto write = PortCore::write_with(port, bytes, true);
    auto result = co_await write;
    if (!result.ok()) {
        co_return first_cause(std::move(port), std::move(result).error());
    }
    port.reset();
    if (result.value() != data.size()) {
        co_return SerialError::io(std::nullopt, "write ended after " + std::to_string(result.value()) + " of " +
                                                    std::to_string(data.size()) + " bytes");
    }
    co_return Outcome(result.value());
}

Operation<Outcome> drain_op(std::shared_ptr<PortCore> port) {
    auto drain = PortCore::flush(port);
    auto result = co_await drain;
    if (!result.ok()) {
        co_return first_cause(std::move(port), std::move(result).error());
    }
    port.reset();
    co_return Outcome(Unit{});
}

}  // namespace quorvelin::transport
