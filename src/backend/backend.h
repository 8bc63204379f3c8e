#pragma once
// Backend: the interface of an open port. Reads and writes are single readiness-driven
// attempts: ready with a count, or pending after the context's waker was stored to be woken
// when progress may be possible. PortCore calls every operation under its state mutex.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "backend/drain.h"
#include "errors/result.h"
#include "port/port_settings.h"
#include "runtime/poll.h"

namespace quorvelin {

class Backend {
public:
    virtual ~Backend() = default;

    // Places up to buffer.size() bytes at the start of `buffer`.
    virtual runtime::Poll<Result<std::size_t>> poll_read(runtime::Context& cx, std::span<std::uint8_t> buffer) = 0;
    // Accepts up to data.size() bytes; may accept fewer.
    virtual runtime::Poll<Result<std::size_t>> poll_write(runtime::Context& cx, std::span<const std::uint8_t> data) = 0;
    virtual runtime::Poll<Status> poll_flush(runtime::Context& cx) = 0;
    virtual runtime::Poll<Status> poll_shutdown(runtime::Context& cx) = 0;
    virtual runtime::Poll<Result<std::size_t>> poll_write_vectored(
        runtime::Context& cx, std::span<const std::span<const std::uint8_t>> spans) = 0;
    virtual bool is_write_vectored() const = 0;

    virtual Status configure(const PortSettings& settings, bool rts, bool dtr) = 0;
    virtual Status set_rts(bool level) = 0;
    virtual Status set_dtr(bool level) = 0;
    virtual Result<bool> cts() = 0;
    virtual Result<bool> dsr() = 0;
    virtual Result<bool> ri() = 0;
    virtual Result<bool> cd() = 0;
    virtual Result<std::size_t> in_waiting() = 0;
    virtual Result<std::size_t> out_waiting() = 0;
    virtual Status clear_buffers(bool input, bool output) = 0;
    virtual Status set_break_state(bool on) = 0;
    virtual std::optional<std::int32_t> fileno() const = 0;
    virtual Result<Drain> drain_handle() = 0;
    virtual Status cancel_write() = 0;
    virtual std::size_t detach_write() = 0;

    // After a failed configure, puts `settings` back on the device as far as it goes, so
    // the device agrees again with the settings record that the caller restores.
    virtual void reapply(const PortSettings& settings, bool rts, bool dtr) = 0;
};

namespace backend {

// True for names that begin with "loop://" in any case.
bool is_loopback_url(std::string_view name);

// Opens the port named `name`: a loopback port for "loop://" URLs, a terminal device otherwise.
Result<std::unique_ptr<Backend>> open(std::string_view name, const PortSettings& settings, bool rts, bool dtr);

}  // namespace backend
}  // namespace quorvelin
