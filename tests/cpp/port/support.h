#pragma once
// Helpers for driving port operations in tests; every wait is bounded.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "port/port_core.h"
#include "runtime/block_on.h"
#include "runtime/runtime.h"
#include "fake_backend.h"

namespace quorvelin::testing {

using namespace std::chrono_literals;

inline constexpr auto kBound = 5s;

// A port over a fresh loopback backend.
inline std::shared_ptr<PortCore> open_loopback() {
    auto core = PortCore::make();
    core->with_settings([](PortSettings& s) { s.port = "loop://"; });
    EXPECT_TRUE(core->open().ok());
    return core;
}

// A port over a scripted fake backend.
inline std::shared_ptr<PortCore> open_fake(const std::shared_ptr<FakeBackend::Shared>& shared) {
    auto core = PortCore::make();
    core->with_settings([](PortSettings& s) { s.port = "fake"; });
    core->adopt(std::make_unique<FakeBackend>(shared));
    return core;
}

// Runs `op` to its end on this thread; fails the test (and returns an Io error) on a hang.
template <class T>
Result<T> run(runtime::Operation<T> op, std::chrono::milliseconds bound = kBound) {
    auto result = runtime::block_on(op, runtime::Clock::now() + bound);
    if (!result) {
        ADD_FAILURE() << "operation did not finish within " << bound.count() << " ms";
        return SerialError::io(std::nullopt, "hung");
    }
    return std::move(*result);
}

template <class T>
runtime::JoinHandle<T> spawn(runtime::Operation<T> op) {
    auto owned = runtime::runtime();
    EXPECT_TRUE(owned.ok());
    return owned.value()->runtime->spawn(std::move(op));
}

template <class T>
Result<T> join(runtime::JoinHandle<T>& handle, std::chrono::milliseconds bound = kBound) {
    auto result = handle.wait_for(bound);
    if (!result) {
        ADD_FAILURE() << "task did not finish within " << bound.count() << " ms";
        return SerialError::io(std::nullopt, "hung");
    }
    return std::move(*result);
}

// Waits until `condition` holds, polling; false after the bound.
template <class F>
bool eventually(F condition, std::chrono::milliseconds bound = kBound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

inline std::string write_all(const std::shared_ptr<PortCore>& core, const std::string& data) {
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    auto written = run(PortCore::write_with(core, bytes, true));
    EXPECT_TRUE(written.ok());
    return data;
}

inline void set_timeouts(const std::shared_ptr<PortCore>& core, std::optional<Seconds> timeout,
                         std::optional<Seconds> inter_byte = std::nullopt,
                         std::optional<Seconds> write_timeout = std::nullopt) {
    core->with_settings([&](PortSettings& s) {
        s.timeout = timeout;
        s.inter_byte_timeout = inter_byte;
        s.write_timeout = write_timeout;
    });
}

inline std::chrono::milliseconds elapsed_since(runtime::Instant start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(runtime::Clock::now() - start);
}

}  // namespace quorvelin::testing
