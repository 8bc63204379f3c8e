#pragma once
// FakeBackend: a scriptable Backend for engine tests. Reads take scripted events in order
// (bytes, an error, or a zero-byte read); an empty script is "not ready". Writes accept up to
// `write_room` bytes. Every call is counted.

#include <deque>
#include <functional>
#include <mutex>
#include <variant>

#include "backend/backend.h"

namespace quorvelin::testing {

class FakeBackend final : public Backend {
public:
    struct Shared {
        std::mutex mutex;
        // A string of bytes, a SerialError, or an empty string for a zero-byte read.
        std::deque<std::variant<std::string, SerialError>> reads;
        std::size_t write_room = SIZE_MAX;
        // Reports writes as ready with nothing accepted, as a misbehaving device might.
        bool accepts_nothing = false;
        std::optional<SerialError> write_error;
        std::string written;
        std::optional<runtime::Waker> read_waker;
        std::optional<runtime::Waker> write_waker;
        int cancel_write_calls = 0;
        int configure_calls = 0;
        int reapply_calls = 0;
        // What configure and reapply last put on the device; configure applies everything,
        // then refuses `refused_rate`, the way a terminal fails at the rate it cannot keep.
        PortSettings device_settings;
        std::optional<std::uint32_t> refused_rate;
        std::vector<bool> break_states;
        std::function<Result<Drain>()> drain;
        std::optional<SerialError> break_error;
        // Run by a read attempt that finds nothing, after it stored its waker and let go of the
        // script's mutex (the port's state lock is still held shared): what happens right
        // after an attempt, before the reader's next step.
        std::function<void()> on_read_pending;
        bool destroyed = false;

        void push_read(std::variant<std::string, SerialError> event) {
            std::optional<runtime::Waker> waker;
            {
                std::lock_guard lock(mutex);
                reads.push_back(std::move(event));
                waker = std::exchange(read_waker, std::nullopt);
            }
            if (waker) waker->wake();
        }
        void set_write_room(std::size_t room) {
            std::optional<runtime::Waker> waker;
            {
                std::lock_guard lock(mutex);
                write_room = room;
                waker = std::exchange(write_waker, std::nullopt);
            }
            if (waker) waker->wake();
        }
    };

    explicit FakeBackend(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    ~FakeBackend() override {
        std::lock_guard lock(shared_->mutex);
        shared_->destroyed = true;
    }

    runtime::Poll<Result<std::size_t>> poll_read(runtime::Context& cx, std::span<std::uint8_t> buffer) override {
        std::unique_lock lock(shared_->mutex);
        if (shared_->reads.empty()) {
            shared_->read_waker = cx.waker();
            std::function<void()> pending_hook = shared_->on_read_pending;
            lock.unlock();
            if (pending_hook) pending_hook();
            return runtime::pending;
        }
        auto& front = shared_->reads.front();
        if (auto* error = std::get_if<SerialError>(&front)) {
            SerialError copy = *error;
            shared_->reads.pop_front();
            return Result<std::size_t>(copy);
        }
        auto& bytes = std::get<std::string>(front);
        std::size_t n = std::min(bytes.size(), buffer.size());
        std::copy_n(bytes.begin(), n, buffer.begin());
        bytes.erase(0, n);
        if (bytes.empty()) shared_->reads.pop_front();
        return Result<std::size_t>(n);
    }

    runtime::Poll<Result<std::size_t>> poll_write(runtime::Context& cx, std::span<const std::uint8_t> data) override {
        std::lock_guard lock(shared_->mutex);
        if (shared_->write_error) {
            return Result<std::size_t>(*shared_->write_error);
        }
        if (shared_->accepts_nothing) {
            return Result<std::size_t>(std::size_t{0});
        }
        if (shared_->write_room == 0 && !data.empty()) {
            shared_->write_waker = cx.waker();
            return runtime::pending;
        }
        std::size_t n = std::min(shared_->write_room, data.size());
        shared_->written.append(reinterpret_cast<const char*>(data.data()), n);
        if (shared_->write_room != SIZE_MAX) shared_->write_room -= n;
        return Result<std::size_t>(n);
    }

    runtime::Poll<Status> poll_flush(runtime::Context&) override { return ok_status(); }
    runtime::Poll<Status> poll_shutdown(runtime::Context&) override { return ok_status(); }
    runtime::Poll<Result<std::size_t>> poll_write_vectored(runtime::Context& cx,
                                                           std::span<const std::span<const std::uint8_t>> spans) override {
        return poll_write(cx, spans.empty() ? std::span<const std::uint8_t>() : spans[0]);
    }
    bool is_write_vectored() const override { return false; }
    Status configure(const PortSettings& settings, bool, bool) override {
        std::lock_guard lock(shared_->mutex);
        ++shared_->configure_calls;
        shared_->device_settings = settings;
        if (settings.baudrate == shared_->refused_rate) {
            return SerialError::io(std::nullopt, "the device does not support that rate");
        }
        return ok_status();
    }
    Status set_rts(bool) override { return ok_status(); }
    Status set_dtr(bool) override { return ok_status(); }
    Result<bool> cts() override { return true; }
    Result<bool> dsr() override { return true; }
    Result<bool> ri() override { return false; }
    Result<bool> cd() override { return true; }
    Result<std::size_t> in_waiting() override { return std::size_t{0}; }
    Result<std::size_t> out_waiting() override { return std::size_t{0}; }
    Status clear_buffers(bool, bool) override { return ok_status(); }
    Status set_break_state(bool on) override {
        std::lock_guard lock(shared_->mutex);
        shared_->break_states.push_back(on);
        if (shared_->break_error) return *shared_->break_error;
        return ok_status();
    }
    std::optional<std::int32_t> fileno() const override { return 42; }
    Result<Drain> drain_handle() override {
        std::function<Result<Drain>()> drain;
        {
            std::lock_guard lock(shared_->mutex);
            drain = shared_->drain;
        }
        return drain ? drain() : Result<Drain>(Drain());
    }
    Status cancel_write() override {
        std::lock_guard lock(shared_->mutex);
        ++shared_->cancel_write_calls;
        return ok_status();
    }
    std::size_t detach_write() override { return 0; }
    void reapply(const PortSettings& settings, bool, bool) override {
        std::lock_guard lock(shared_->mutex);
        ++shared_->reapply_calls;
        shared_->device_settings = settings;
    }

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace quorvelin::testing
