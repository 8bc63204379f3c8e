// Reads and writes begun by plain calls: what a settled attempt leaves behind, and that the
// rest of an unsettled one goes on from exactly where the attempt stopped.

#include <gtest/gtest.h>

#include "port/ops.h"
#include "support.h"

namespace quorvelin::testing {
namespace {

struct NoopContext {
    runtime::Waker waker;
    runtime::Context cx{waker};
};

std::string bytes_of(const Result<Outcome>& result) { return std::get<std::string>(result.value().value()); }

// A read that holds the port's read lock until it is given `size` bytes.
runtime::JoinHandle<std::string> lock_holding_read(const std::shared_ptr<PortCore>& core, std::size_t size) {
    auto reader = spawn(PortCore::read(core, size));
    EXPECT_TRUE(eventually([&] { return core->read_lock().is_locked(); }));
    return reader;
}

TEST(BeginRead, SettledLeavesNeitherLockNorReference) {
    auto core = open_loopback();
    write_all(core, "abc");
    const long holders = core.use_count();
    NoopContext noop;
    port::Begun<std::string> begun = PortCore::begin_read(core, 3, noop.cx);
    ASSERT_TRUE(begun.settled);
    EXPECT_EQ(begun.settled->value(), "abc");
    EXPECT_FALSE(begun.rest.valid());
    EXPECT_FALSE(core->read_lock().is_locked());
    EXPECT_EQ(core.use_count(), holders);
}

TEST(BeginRead, TheRestKeepsTheBytesTheAttemptTook) {
    auto core = open_loopback();
    write_all(core, "ab");
    NoopContext noop;
    port::Begun<std::string> begun = PortCore::begin_read(core, 4, noop.cx);
    ASSERT_FALSE(begun.settled);
    ASSERT_TRUE(begun.rest.valid());
    EXPECT_TRUE(core->read_lock().is_locked());  // held by the rest
    EXPECT_EQ(core->in_waiting().value(), 0u);
    write_all(core, "cd");
    EXPECT_EQ(run(std::move(begun.rest)).value(), "abcd");
    EXPECT_FALSE(core->read_lock().is_locked());
}

TEST(BeginRead, ALockHeldByAnotherReadBeginsNothing) {
    auto core = open_loopback();
    auto first = lock_holding_read(core, 5);
    NoopContext noop;
    port::Begun<std::string> begun = PortCore::begin_read(core, 3, noop.cx);
    EXPECT_FALSE(begun.settled);
    EXPECT_FALSE(begun.rest.valid());
    // The operations layer builds the whole read then; it queues behind the first.
    std::optional<Result<Outcome>> settled;
    runtime::Operation<Outcome> second = ops::begin_read(core, 3, noop.cx, settled);
    EXPECT_FALSE(settled);
    ASSERT_TRUE(second.valid());
    auto second_task = spawn(std::move(second));
    write_all(core, "12345678");
    EXPECT_EQ(join(first).value(), "12345");
    EXPECT_EQ(bytes_of(join(second_task)), "678");
}

TEST(BeginWrite, SettledRunsTheCancelHookOnceAndKeepsTheData) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    auto core = open_fake(shared);
    std::string data = "abc";
    NoopContext noop;
    port::Begun<std::size_t> begun = PortCore::begin_write(core, data, noop.cx);
    ASSERT_TRUE(begun.settled);
    EXPECT_EQ(begun.settled->value(), 3u);
    EXPECT_FALSE(begun.rest.valid());
    EXPECT_EQ(data, "abc");
    EXPECT_EQ(shared->written, "abc");
    EXPECT_EQ(shared->cancel_write_calls, 1);
    EXPECT_FALSE(core->write_lock().is_locked());
}

TEST(BeginWrite, TheRestOwnsTheDataAndGoesOnFromWhatWasTaken) {
    // Short data lives inside the string object itself, so the rest must write from its own
    // copy, not from the caller's.
    for (std::size_t length : {6u, 600u}) {
        auto shared = std::make_shared<FakeBackend::Shared>();
        auto core = open_fake(shared);
        shared->write_room = 2;
        std::string expected;
        for (std::size_t i = 0; i < length; ++i) expected.push_back(static_cast<char>('a' + i % 26));
        port::Begun<std::size_t> begun;
        {
            std::string data = expected;
            NoopContext noop;
            begun = PortCore::begin_write(core, data, noop.cx);
            ASSERT_FALSE(begun.settled) << length;
            ASSERT_TRUE(begun.rest.valid()) << length;
            EXPECT_EQ(shared->written, expected.substr(0, 2)) << length;
            data.assign(length, '#');  // the caller's string is no longer the rest's business
        }
        EXPECT_TRUE(core->write_lock().is_locked());
        EXPECT_EQ(shared->cancel_write_calls, 0);
        auto writer = spawn(std::move(begun.rest));
        shared->set_write_room(SIZE_MAX);
        EXPECT_EQ(join(writer).value(), length);
        EXPECT_EQ(shared->written, expected) << length;
        EXPECT_EQ(shared->cancel_write_calls, 1) << length;  // the guard handed over runs once
        EXPECT_FALSE(core->write_lock().is_locked());
    }
}

TEST(BeginWrite, ALockHeldByAnotherWriteBeginsNothingAndTakesNoData) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    auto core = open_fake(shared);
    shared->write_room = 0;
    std::string held = "first";
    auto first = spawn(PortCore::write_with(core, {reinterpret_cast<const std::uint8_t*>(held.data()), held.size()},
                                            false));
    ASSERT_TRUE(eventually([&] { return core->write_lock().is_locked(); }));
    std::string data = "second";
    NoopContext noop;
    port::Begun<std::size_t> begun = PortCore::begin_write(core, data, noop.cx);
    EXPECT_FALSE(begun.settled);
    EXPECT_FALSE(begun.rest.valid());
    EXPECT_EQ(data, "second");
    std::optional<Result<Outcome>> settled;
    runtime::Operation<Outcome> second = ops::begin_write(core, data, noop.cx, settled);
    ASSERT_TRUE(second.valid());
    auto second_task = spawn(std::move(second));
    shared->set_write_room(SIZE_MAX);
    EXPECT_EQ(join(first).value(), 5u);
    EXPECT_EQ(join(second_task).value(), Outcome(std::size_t{6}));
    EXPECT_EQ(shared->written, "firstsecond");
}

}  // namespace
}  // namespace quorvelin::testing
