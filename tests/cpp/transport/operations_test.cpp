// The transport's three port operations, without an interpreter.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <utility>

#include "../port/support.h"
#include "port/disconnect.h"
#include "transport/operations.h"

namespace quorvelin::testing {
namespace {

std::string bytes_of(const Result<Outcome>& result) { return std::get<std::string>(result.value().value()); }

TEST(TransportRead, TakesWhatIsThereUpToTheLimit) {
    auto core = open_loopback();
    write_all(core, "abc");
    auto result = run(transport::read_op(core));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(bytes_of(result), "abc");
}

TEST(TransportRead, AnIdlePortGivesNothingAfterThePeriodAndFreesTheReadLock) {
    auto core = open_loopback();
    auto start = runtime::Clock::now();
    auto result = run(transport::read_op(core));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(bytes_of(result), "");
    auto elapsed = elapsed_since(start);
    EXPECT_GE(elapsed, transport::READ_PERIOD - 5ms);
    EXPECT_LT(elapsed, transport::READ_PERIOD + 500ms);
    // The abandoned read gave its lock back: the next one gets the data.
    write_all(core, "x");
    auto next = run(transport::read_op(core));
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(bytes_of(next), "x");
}

TEST(TransportRead, TheSettingsTimeoutDoesNotApply) {
    auto core = open_loopback();
    set_timeouts(core, Seconds::from_int(0));
    auto reader = spawn(transport::read_op(core));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(reader.is_finished());
    write_all(core, "late");
    auto result = join(reader);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(bytes_of(result), "late");
}

TEST(TransportRead, AClosedPortFails) {
    auto core = open_loopback();
    core->close();
    auto result = run(transport::read_op(core));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SerialError::port_not_open());
}

// cancel_read() ends a waiting read with nothing, long before its period; made while no read
// waits, it is stored and ends the next read at once, and is used up by it.
TEST(TransportRead, ACancelRequestEndsItWithNothingAndAStoredOneEndsTheNext) {
    auto core = open_loopback();
    auto start = runtime::Clock::now();
    auto reader = spawn(transport::read_op(core));
    std::this_thread::sleep_for(20ms);
    core->cancel_read().notify_one();
    auto result = join(reader);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(bytes_of(result), "");
    EXPECT_LT(elapsed_since(start), 500ms) << "the request did not end the wait";

    core->cancel_read().notify_one();
    start = runtime::Clock::now();
    result = run(transport::read_op(core));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(bytes_of(result), "");
    EXPECT_LT(elapsed_since(start), 500ms) << "the stored request was lost";

    write_all(core, "d");
    result = run(transport::read_op(core));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(bytes_of(result), "d") << "the request was not used up";
}

// Holds the port's read lock from its first poll until `release` is notified.
runtime::Operation<Unit> holding_the_read_lock(std::shared_ptr<PortCore> core, std::atomic<bool>* held,
                                               runtime::Notify* release) {
    auto locking = core->read_lock().lock();
    auto guard = co_await locking;
    held->store(true);
    auto released = release->notified();
    co_await released;
    co_return Unit{};
}

// Another read of the port holds the read lock: the transport's read waits for it, with its
// bytes already there, and reads them once the lock is free.
TEST(TransportRead, WaitsForTheReadLockOfAnotherRead) {
    auto core = open_loopback();
    std::atomic<bool> held{false};
    runtime::Notify release;
    auto holder = spawn(holding_the_read_lock(core, &held, &release));
    ASSERT_TRUE(eventually([&] { return held.load(); }));
    write_all(core, "abc");
    auto reader = spawn(transport::read_op(core));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(reader.is_finished()) << "read while another read held the lock";
    release.notify_one();
    ASSERT_TRUE(join(holder).ok());
    auto result = join(reader);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(bytes_of(result), "abc");
}

// Readiness without data is the device gone: the port closes, with the error as its cause.
TEST(TransportRead, ReadinessWithoutDataClosesThePort) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    auto core = open_fake(shared);
    shared->push_read(std::string());
    auto result = run(transport::read_op(core));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), port::disconnect_error());
    EXPECT_FALSE(core->is_open());
    EXPECT_EQ(core->disconnect_cause(), std::optional<SerialError>(port::disconnect_error()));
}

// A close that lands after the open check but before the read first looks for one must still
// end the read at once, not after its period. The port's own close would wait for the
// attempt's state lock, so the first attempt that finds nothing sends the close's
// notification itself, the moment it is done. Which of the attempt and the close watch the
// read polls first is random; each round is a fresh read, so enough rounds meet the order in
// which the attempt comes first (the one where an unregistered watch misses the close).
TEST(TransportRead, ACloseRightAfterTheFirstAttemptEndsItAtOnce) {
    constexpr int kRounds = 24;  // both orders come up with near certainty
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto shared = std::make_shared<FakeBackend::Shared>();
        auto core = open_fake(shared);
        bool sent = false;
        shared->on_read_pending = [&] {
            if (!std::exchange(sent, true)) {
                core->closed().notify_waiters();
            }
        };
        auto start = runtime::Clock::now();
        auto result = run(transport::read_op(core));
        auto elapsed = elapsed_since(start);
        ASSERT_TRUE(sent);
        ASSERT_FALSE(result.ok()) << "the read missed the close and waited out its period";
        EXPECT_EQ(result.error(), SerialError::port_not_open());
        ASSERT_LT(elapsed, std::chrono::milliseconds(transport::READ_PERIOD) / 2)
            << "the close was seen only at the end of the period";
        shared->on_read_pending = nullptr;
        core->close();
    }
}

TEST(TransportWrite, WritesEverythingWhateverTheWriteTimeout) {
    auto core = open_loopback();
    set_timeouts(core, Seconds::from_int(0), std::nullopt, Seconds::from_int(0));
    auto writer = spawn(transport::write_op(core, std::string(6000, 'w')));
    ASSERT_TRUE(eventually([&] { return core->in_waiting().value() == 4096; }));
    std::string got = run(PortCore::read(core, 4096)).value();
    ASSERT_TRUE(eventually([&] { return writer.is_finished(); }));
    auto result = join(writer);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(std::get<std::size_t>(result.value().value()), 6000u);
}

TEST(TransportWrite, AShortWriteIsAnError) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    shared->accepts_nothing = true;
    auto core = open_fake(shared);
    auto result = run(transport::write_op(core, "abc"));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SerialError::io(std::nullopt, "write ended after 0 of 3 bytes"));
}

TEST(TransportDrain, SucceedsOnAnOpenPortAndFailsOnAClosedOne) {
    auto core = open_loopback();
    EXPECT_TRUE(run(transport::drain_op(core)).ok());
    core->close();
    auto result = run(transport::drain_op(core));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SerialError::port_not_open());
}

// The device goes away while the transport reads and writes: whichever operation meets it
// first closes the port, and the others report the device's error rather than PortNotOpen.
TEST(TransportOperations, TheOtherDirectionEndsWithTheDeviceErrorThatClosedThePort) {
    const SerialError gone = SerialError::from_os_error(EIO);
    {
        SCOPED_TRACE("the read meets it first");
        auto shared = std::make_shared<FakeBackend::Shared>();
        auto core = open_fake(shared);
        shared->set_write_room(0);
        auto writer = spawn(transport::write_op(core, "pending"));
        std::this_thread::sleep_for(10ms);
        shared->push_read(gone);
        EXPECT_EQ(run(transport::read_op(core)).error(), gone);
        EXPECT_EQ(join(writer).error(), gone);
        EXPECT_EQ(run(transport::drain_op(core)).error(), gone);
    }
    {
        SCOPED_TRACE("the write meets it first");
        auto shared = std::make_shared<FakeBackend::Shared>();
        auto core = open_fake(shared);
        auto reader = spawn(transport::read_op(core));
        std::this_thread::sleep_for(10ms);
        shared->write_error = gone;
        EXPECT_EQ(run(transport::write_op(core, "x")).error(), gone);
        EXPECT_EQ(join(reader).error(), gone);
    }
}

TEST(TransportOperations, APortClosedByTheUserStaysNotOpen) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    auto core = open_fake(shared);
    shared->set_write_room(0);
    auto writer = spawn(transport::write_op(core, "pending"));
    auto reader = spawn(transport::read_op(core));
    std::this_thread::sleep_for(10ms);
    core->close();
    EXPECT_EQ(join(writer).error(), SerialError::port_not_open());
    EXPECT_EQ(join(reader).error(), SerialError::port_not_open());
    EXPECT_EQ(run(transport::drain_op(core)).error(), SerialError::port_not_open());
}

}  // namespace
}  // namespace quorvelin::testing
