#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "support.h"

namespace quorvelin::testing {
namespace {

std::span<const std::uint8_t> span_of(const std::string& data) {
    return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}

struct WriteCase {
    const char* name;
    std::size_t prefill;  // bytes already in the loopback buffer
    std::size_t length;
    std::optional<Seconds> write_timeout;
    std::optional<std::size_t> count;   // expected count, or
    std::optional<SerialError> error;   // expected error
};

TEST(PortWrite, Modes) {
    const WriteCase cases[] = {
        {"empty data", 0, 0, std::nullopt, 0, std::nullopt},
        {"fits, unbounded", 0, 100, std::nullopt, 100, std::nullopt},
        {"non-blocking takes what fits", 0, 5000, Seconds::from_int(0), 4096, std::nullopt},
        {"non-blocking float zero", 4000, 200, Seconds::from_float(-0.0), 96, std::nullopt},
        {"non-blocking on a full port gives 0", 4096, 10, Seconds::from_int(0), 0, std::nullopt},
        {"deadline passes", 4096, 10, Seconds::from_float(0.03), std::nullopt, SerialError::timeout("Write timeout")},
        {"a zero-length duration is not non-blocking", 4096, 10, Seconds::from_float(1e-10), std::nullopt,
         SerialError::timeout("Write timeout")},
    };
    for (const auto& c : cases) {
        auto core = open_loopback();
        if (c.prefill) write_all(core, std::string(c.prefill, 'p'));
        set_timeouts(core, std::nullopt, std::nullopt, c.write_timeout);
        std::string data(c.length, 'd');
        auto result = run(PortCore::write_with(core, span_of(data), false));
        if (c.count) {
            ASSERT_TRUE(result.ok()) << c.name << ": " << result.error().display();
            EXPECT_EQ(result.value(), *c.count) << c.name;
        } else {
            ASSERT_FALSE(result.ok()) << c.name;
            EXPECT_EQ(result.error(), *c.error) << c.name;
        }
    }
}

TEST(PortWrite, UnboundedWaitsForRoom) {
    auto core = open_loopback();
    std::string data(5000, 'w');
    auto writer = spawn(PortCore::write_with(core, span_of(data), false));
    ASSERT_TRUE(eventually([&] { return core->in_waiting().value() == 4096; }));
    std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(writer.is_finished());
    set_timeouts(core, Seconds::from_int(0));
    std::string got = run(PortCore::read(core, 4096)).value();
    EXPECT_EQ(join(writer).value(), 5000u);
    got += run(PortCore::read(core, 4096)).value();
    EXPECT_EQ(got, data);
}

TEST(PortWrite, TimeoutFailsAfterItsDuration) {
    auto core = open_loopback();
    write_all(core, std::string(4096, 'f'));
    set_timeouts(core, std::nullopt, std::nullopt, Seconds::from_float(0.05));
    std::string data = "x";
    auto start = runtime::Clock::now();
    auto result = run(PortCore::write_with(core, span_of(data), false));
    EXPECT_GE(elapsed_since(start), 45ms);
    EXPECT_EQ(result.error(), SerialError::timeout("Write timeout"));
}

TEST(PortCancelWrite, DuringAWriteReturnsTheCountSoFar) {
    auto core = open_loopback();
    std::string data(5000, 'c');
    auto writer = spawn(PortCore::write_with(core, span_of(data), false));
    ASSERT_TRUE(eventually([&] { return core->in_waiting().value() == 4096; }));
    std::this_thread::sleep_for(5ms);
    core->cancel_write().notify_one();
    EXPECT_EQ(join(writer).value(), 4096u);
}

TEST(PortCancelWrite, StoredRequestEndsTheNextWaitingWrite) {
    auto core = open_loopback();
    write_all(core, std::string(4096, 'f'));
    core->cancel_write().notify_one();
    std::string data = "late";
    EXPECT_EQ(run(PortCore::write_with(core, span_of(data), false)).value(), 0u);
}

TEST(PortCancelWrite, IgnoredWhenTheWriteIgnoresItsTimeout) {
    auto core = open_loopback();
    write_all(core, std::string(4090, 'f'));
    core->cancel_write().notify_one();
    std::string data(10, 'i');
    auto writer = spawn(PortCore::write_with(core, span_of(data), true));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(writer.is_finished());
    set_timeouts(core, Seconds::from_int(0));
    (void)run(PortCore::read(core, 100));
    EXPECT_EQ(join(writer).value(), 10u);
    EXPECT_TRUE(core->cancel_write().has_stored_wakeup());
}

TEST(PortWrite, CancelHookRunsOnEveryExit) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    auto core = open_fake(shared);
    std::string data = "abc";
    EXPECT_EQ(run(PortCore::write_with(core, span_of(data), false)).value(), 3u);
    shared->write_error = SerialError::from_os_error(13);
    EXPECT_FALSE(run(PortCore::write_with(core, span_of(data), false)).ok());
    shared->write_error.reset();
    shared->write_room = 0;
    {
        auto op = PortCore::write_with(core, span_of(data), false);
        EXPECT_FALSE(runtime::block_on(op, runtime::Clock::now() + 10ms).has_value());
    }  // dropped while waiting
    EXPECT_EQ(shared->cancel_write_calls, 3);
    EXPECT_FALSE(core->write_lock().is_locked());
}

TEST(PortFlush, LoopbackSucceedsAtOnce) {
    auto core = open_loopback();
    EXPECT_TRUE(run(PortCore::flush(core)).ok());
}

TEST(PortFlush, WaitsOnTheDrainAndReportsItsError) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    auto core = open_fake(shared);
    std::atomic<int> closed{0};
    auto make_drain = [&](std::function<Status(int)> wait) {
        return [&closed, wait] {
            int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            return Result<Drain>(Drain(fd, wait, [&closed](int d) {
                ::close(d);
                ++closed;
            }));
        };
    };
    shared->drain = make_drain([](int) {
        std::this_thread::sleep_for(20ms);
        return ok_status();
    });
    auto start = runtime::Clock::now();
    EXPECT_TRUE(run(PortCore::flush(core)).ok());
    EXPECT_GE(elapsed_since(start), 15ms);

    shared->drain = make_drain([](int) { return Status(SerialError::from_os_error(5)); });
    EXPECT_EQ(run(PortCore::flush(core)).error().os_errno(), 5);
    EXPECT_FALSE(core->is_open());  // EIO is a disconnect

    core->adopt(std::make_unique<FakeBackend>(shared));
    shared->drain = make_drain([](int) -> Status { throw std::runtime_error("boom"); });
    auto failed = run(PortCore::flush(core));
    EXPECT_EQ(failed.error().display(), "flush failed: blocking task panicked");
    EXPECT_TRUE(eventually([&] { return closed.load() == 3; })) << closed.load();
}

TEST(PortBreak, TimedAndTurnedOff) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    auto core = open_fake(shared);
    core->with_settings([](PortSettings& s) { s.break_condition = true; });
    auto start = runtime::Clock::now();
    EXPECT_TRUE(run(PortCore::send_break(core, settings::Duration{0, 30'000'000})).ok());
    auto took = elapsed_since(start);
    EXPECT_GE(took, 30ms);
    EXPECT_LT(took, 1000ms);
    EXPECT_EQ(shared->break_states, (std::vector<bool>{true, false}));
    EXPECT_FALSE(core->settings_snapshot().break_condition);
    EXPECT_TRUE(run(PortCore::send_break(core, settings::Duration{0, 0})).ok());  // zero length
    EXPECT_EQ(shared->break_states.size(), 4u);
}

TEST(PortBreak, ClosedPortFailsAndKeepsTheLevel) {
    auto core = PortCore::make();
    core->with_settings([](PortSettings& s) { s.break_condition = true; });
    EXPECT_EQ(run(PortCore::send_break(core, settings::Duration{0, 1000})).error(), SerialError::port_not_open());
    EXPECT_TRUE(core->settings_snapshot().break_condition);
}

TEST(PortBreak, CloseDuringTheBreakTurnsItOff) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    auto core = open_fake(shared);
    auto breaker = spawn(PortCore::send_break(core, settings::Duration{10, 0}));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(shared->mutex);
        return !shared->break_states.empty();
    }));
    core->close();
    EXPECT_EQ(join(breaker).error(), SerialError::port_not_open());
    EXPECT_FALSE(core->settings_snapshot().break_condition);  // the guard stored "off"
}

TEST(PortBreak, FailingToStartIsReportedAndRemembered) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    shared->break_error = SerialError::from_os_error(22);
    auto core = open_fake(shared);
    EXPECT_EQ(run(PortCore::send_break(core, settings::Duration{0, 1000})).error().os_errno(), 22);
    EXPECT_TRUE(core->settings_snapshot().break_condition);
}

}  // namespace
}  // namespace quorvelin::testing
