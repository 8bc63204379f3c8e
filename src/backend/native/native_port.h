#pragma once
// NativePort: a terminal device as a Backend. Reads and writes are the device's
// non-blocking attempts, driven by the runtime reactor's readiness of its descriptor.

#include <memory>
#include <string_view>

#include "backend/backend.h"
#include "backend/native/device.h"
#include "runtime/fd_readiness.h"

namespace quorvelin::native {

class NativePort final : public Backend {
public:
    NativePort(Device device, std::unique_ptr<runtime::FdReadiness> readiness);
    // Leaves the reactor before the device closes its descriptor; in a forked child it
    // leaves the reactor untouched (its epoll instance is the parent's too).
    ~NativePort() override;

    runtime::Poll<Result<std::size_t>> poll_read(runtime::Context& cx, std::span<std::uint8_t> buffer) override;
    runtime::Poll<Result<std::size_t>> poll_write(runtime::Context& cx, std::span<const std::uint8_t> data) override;
    runtime::Poll<Status> poll_flush(runtime::Context&) override { return ok_status(); }
    runtime::Poll<Status> poll_shutdown(runtime::Context&) override { return ok_status(); }
    runtime::Poll<Result<std::size_t>> poll_write_vectored(
        runtime::Context& cx, std::span<const std::span<const std::uint8_t>> spans) override;
    bool is_write_vectored() const override { return false; }

    Status configure(const PortSettings& settings, bool rts, bool dtr) override {
        return device_.configure(settings, rts, dtr);
    }
    Status set_rts(bool level) override { return device_.set_rts(level); }
    Status set_dtr(bool level) override { return device_.set_dtr(level); }
    Result<bool> cts() override { return device_.cts(); }
    Result<bool> dsr() override { return device_.dsr(); }
    Result<bool> ri() override { return device_.ri(); }
    Result<bool> cd() override { return device_.cd(); }
    Result<std::size_t> in_waiting() override { return device_.in_waiting(); }
    Result<std::size_t> out_waiting() override { return device_.out_waiting(); }
    Status clear_buffers(bool input, bool output) override { return device_.clear_buffers(input, output); }
    Status set_break_state(bool on) override { return device_.set_break_state(on); }
    std::optional<std::int32_t> fileno() const override { return device_.fileno(); }
    Result<Drain> drain_handle() override { return device_.drain_handle(); }
    Status cancel_write() override { return device_.cancel_write(); }
    std::size_t detach_write() override { return device_.detach_write(); }
    void reapply(const PortSettings& settings, bool rts, bool dtr) override {
        device_.reapply_best_effort(settings, rts, dtr);
    }

private:
    // Declared first so it is destroyed last: the readiness registration goes before the
    // descriptor closes.
    Device device_;
    std::unique_ptr<runtime::FdReadiness> readiness_;
};

// Opens the terminal device `name` as a backend: the runtime is needed first (its reactor
// watches the descriptor), so a forked child fails here with SerialError::Forked.
Result<std::unique_ptr<Backend>> open(std::string_view name, const PortSettings& settings, bool rts, bool dtr);

}  // namespace quorvelin::native
