// Edges of the engine that the other port tests leave open: loopback wake rules, what a
// finished operation still holds, stored cancel requests and device-gone writes.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>

#include "backend/loopback/loopback_port.h"
#include "port/ops.h"
#include "support.h"

namespace quorvelin::testing {
namespace {

struct CountingWake : runtime::WakeTarget {
    std::atomic<int> wakes{0};
    void wake() override { ++wakes; }
};

std::span<const std::uint8_t> span_of(const std::string& data) {
    return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}

TEST(LoopbackWakes, EmptyWriteWakesTheReaderAndClearingWakesOnlyTheWriter) {
    LoopbackPort port(true, true);
    auto reader = std::make_shared<CountingWake>();
    auto writer = std::make_shared<CountingWake>();
    runtime::Waker reader_waker(reader), writer_waker(writer);
    runtime::Context rcx(reader_waker), wcx(writer_waker);
    std::uint8_t buffer[8];

    ASSERT_TRUE(port.poll_read(rcx, buffer).is_pending());
    EXPECT_EQ(port.poll_write(wcx, {}).take().value(), 0u);
    EXPECT_EQ(reader->wakes, 1);

    ASSERT_TRUE(port.poll_read(rcx, buffer).is_pending());
    const std::string full(LOOPBACK_CAPACITY, 'f');
    EXPECT_EQ(port.poll_write(wcx, span_of(full)).take().value(), LOOPBACK_CAPACITY);
    EXPECT_EQ(reader->wakes, 2);
    ASSERT_TRUE(port.poll_write(wcx, span_of(full)).is_pending());

    std::uint8_t one = 0;
    ASSERT_TRUE(port.poll_read(rcx, std::span(&one, 1)).is_ready());
    EXPECT_EQ(writer->wakes, 1);  // a read that makes room wakes the writer
    ASSERT_TRUE(port.poll_write(wcx, span_of(full)).is_ready());
    ASSERT_TRUE(port.poll_write(wcx, span_of(full)).is_pending());

    EXPECT_TRUE(port.clear_buffers(false, false).ok());
    EXPECT_EQ(writer->wakes, 1);  // nothing requested, nothing done
    EXPECT_TRUE(port.clear_buffers(true, false).ok());
    EXPECT_EQ(writer->wakes, 2);
    ASSERT_TRUE(port.poll_read(rcx, buffer).is_pending());
    EXPECT_TRUE(port.clear_buffers(false, true).ok());
    EXPECT_EQ(reader->wakes, 2);  // an emptied port gives a waiting reader nothing
}

TEST(OpsRelease, EveryOperationLetsGoOfItsPortAndLockWhenItFinishes) {
    struct Case {
        const char* name;
        std::function<runtime::Operation<Outcome>(std::shared_ptr<PortCore>)> make;
        bool open;
    };
    const Case cases[] = {
        {"read", [](auto core) { return ops::read(core, 1); }, true},
        {"read_until", [](auto core) { return ops::read_until(core, "\n", std::nullopt); }, true},
        {"readline", [](auto core) { return ops::readline(core, -1); }, true},
        {"readlines", [](auto core) { return ops::readlines(core, -1); }, true},
        {"write", [](auto core) { return ops::write(core, "abc"); }, true},
        {"flush", [](auto core) { return ops::flush(core); }, true},
        {"send_break", [](auto core) { return ops::send_break(core, 0.0); }, true},
        {"send_break refused", [](auto core) { return ops::send_break(core, -1.0); }, true},
        {"read on a closed port", [](auto core) { return ops::read(core, 1); }, false},
        {"write on a closed port", [](auto core) { return ops::write(core, "abc"); }, false},
    };
    for (const auto& c : cases) {
        auto core = c.open ? open_loopback() : PortCore::make();
        set_timeouts(core, Seconds::from_int(0), std::nullopt, Seconds::from_int(0));
        if (c.open) write_all(core, "ab\n");
        auto op = c.make(core);
        auto result = runtime::block_on(op, runtime::Clock::now() + kBound);
        ASSERT_TRUE(result.has_value()) << c.name;
        EXPECT_EQ(core.use_count(), 1) << c.name;  // the operation object lives on, unreferencing
        EXPECT_FALSE(core->read_lock().is_locked()) << c.name;
        EXPECT_FALSE(core->write_lock().is_locked()) << c.name;
    }
}

TEST(PortCancelWrite, NonBlockingWriteLeavesTheRequestStored) {
    auto core = open_loopback();
    set_timeouts(core, std::nullopt, std::nullopt, Seconds::from_int(0));
    core->cancel_write().notify_one();
    const std::string data(LOOPBACK_CAPACITY + 10, 'n');
    EXPECT_EQ(run(PortCore::write_with(core, span_of(data), false)).value(), LOOPBACK_CAPACITY);
    EXPECT_TRUE(core->cancel_write().has_stored_wakeup());
}

TEST(PortDisconnect, OnlyDeviceGoneWriteErrorsClose) {
    struct Case {
        int os_errno;
        bool closes;
    };
    const Case cases[] = {{EIO, true}, {ENXIO, true}, {ENODEV, true}, {EACCES, false}, {EAGAIN, false}};
    for (const auto& c : cases) {
        auto shared = std::make_shared<FakeBackend::Shared>();
        shared->write_error = SerialError::from_os_error(c.os_errno);
        auto core = open_fake(shared);
        const std::string data = "x";
        auto result = run(PortCore::write_with(core, span_of(data), false));
        ASSERT_FALSE(result.ok()) << c.os_errno;
        EXPECT_EQ(result.error().os_errno(), c.os_errno);
        EXPECT_EQ(core->is_open(), !c.closes) << c.os_errno;
    }
}

TEST(PortBreak, LargestDurationWaitsUntilTheClose) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    auto core = open_fake(shared);
    auto breaker = spawn(ops::send_break(core, INFINITY));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(shared->mutex);
        return !shared->break_states.empty();
    }));
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(breaker.is_finished());
    core->close();
    EXPECT_EQ(join(breaker).error(), SerialError::port_not_open());
    EXPECT_FALSE(core->settings_snapshot().break_condition);
}

}  // namespace
}  // namespace quorvelin::testing
