#pragma once
// LoopbackPort: an in-memory port whose written bytes are read back, at most 4096 at a time.

#include <deque>
#include <mutex>
#include <optional>

#include "backend/backend.h"
#include "runtime/waker.h"

namespace quorvelin {

inline constexpr std::size_t LOOPBACK_CAPACITY = 4096;

namespace loopback {

struct State {
    std::deque<std::uint8_t> buffer;
    std::optional<runtime::Waker> read_waker;
    std::optional<runtime::Waker> write_waker;
    bool rts = true;  // read back as CTS
    bool dtr = true;  // read back as DSR
};

}  // namespace loopback

class LoopbackPort final : public Backend {
public:
    LoopbackPort(bool rts, bool dtr);

    runtime::Poll<Result<std::size_t>> poll_read(runtime::Context& cx, std::span<std::uint8_t> buffer) override;
    runtime::Poll<Result<std::size_t>> poll_write(runtime::Context& cx, std::span<const std::uint8_t> data) override;
    runtime::Poll<Status> poll_flush(runtime::Context& cx) override;
    runtime::Poll<Status> poll_shutdown(runtime::Context& cx) override;
    runtime::Poll<Result<std::size_t>> poll_write_vectored(
        runtime::Context& cx, std::span<const std::span<const std::uint8_t>> spans) override;
    bool is_write_vectored() const override { return false; }

    Status configure(const PortSettings& settings, bool rts, bool dtr) override;
    Status set_rts(bool level) override;
    Status set_dtr(bool level) override;
    Result<bool> cts() override;
    Result<bool> dsr() override;
    Result<bool> ri() override { return false; }
    Result<bool> cd() override { return true; }
    Result<std::size_t> in_waiting() override;
    Result<std::size_t> out_waiting() override;
    Status clear_buffers(bool input, bool output) override;
    Status set_break_state(bool) override { return ok_status(); }
    std::optional<std::int32_t> fileno() const override { return std::nullopt; }
    Result<Drain> drain_handle() override { return Drain(); }
    Status cancel_write() override { return ok_status(); }
    std::size_t detach_write() override { return 0; }
    void reapply(const PortSettings& settings, bool rts, bool dtr) override;

private:
    std::mutex mutex_;
    loopback::State state_;
};

}  // namespace quorvelin
