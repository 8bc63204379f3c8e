#include <gtest/gtest.h>

#include "port/disconnect.h"
#include "support.h"

namespace quorvelin::testing {
namespace {

Seconds secs(double value) { return Seconds::from_float(value); }

struct ReadCase {
    const char* name;
    std::string buffered;
    std::size_t size;
    std::optional<Seconds> timeout;
    std::string expected;
    std::size_t left_over;
};

TEST(PortRead, SizesAndTimeouts) {
    const ReadCase cases[] = {
        {"size 0 returns at once", "abc", 0, std::nullopt, "", 3},
        {"less buffered than asked, non-blocking", std::string(30, 'x'), 100, Seconds::from_int(0), std::string(30, 'x'), 0},
        {"more buffered than asked", "abcdef", 4, std::nullopt, "abcd", 2},
        {"empty, non-blocking", "", 10, Seconds::from_int(0), "", 0},
        {"empty, short timeout", "", 10, secs(0.02), "", 0},
        {"exactly the size, no timeout", "0123456789", 10, std::nullopt, "0123456789", 0},
    };
    for (const auto& c : cases) {
        auto core = open_loopback();
        if (!c.buffered.empty()) write_all(core, c.buffered);
        set_timeouts(core, c.timeout);
        auto result = run(PortCore::read(core, c.size));
        ASSERT_TRUE(result.ok()) << c.name;
        EXPECT_EQ(result.value(), c.expected) << c.name;
        EXPECT_EQ(core->in_waiting().value(), c.left_over) << c.name;
    }
}

TEST(PortRead, ReadsMoreThanOneChunk) {
    auto core = open_loopback();
    set_timeouts(core, secs(2));
    auto reader = spawn(PortCore::read(core, 10000));
    std::string sent;
    for (int i = 0; i < 10; ++i) sent += write_all(core, std::string(1000, static_cast<char>('a' + i)));
    auto result = join(reader);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), sent);
}

TEST(PortRead, TimeoutReturnsWhatArrived) {
    auto core = open_loopback();
    write_all(core, "abc");
    set_timeouts(core, secs(0.05));
    auto start = runtime::Clock::now();
    auto result = run(PortCore::read(core, 10));
    EXPECT_GE(elapsed_since(start), 45ms);
    EXPECT_EQ(result.value(), "abc");
}

// The inter-byte timeout runs from the last byte received, never from the read's start: a
// first byte later than it still starts the read, bytes close behind it join the read, and
// the first gap as long as the timeout ends it.
TEST(PortRead, InterByteTimeoutEndsAfterAGap) {
    auto core = open_loopback();
    set_timeouts(core, std::nullopt, secs(0.2));
    auto reader = spawn(PortCore::read(core, 10));
    std::this_thread::sleep_for(500ms);  // past the inter-byte timeout twice over, no byte yet
    EXPECT_FALSE(reader.is_finished());
    write_all(core, "xyz");
    ASSERT_TRUE(eventually([&] { return core->in_waiting().value() == 0; }));  // the read took them
    write_all(core, "uvw");
    auto result = join(reader);
    EXPECT_EQ(result.value(), "xyzuvw");
}

TEST(PortRead, ClosedPortFailsBeforeLookingAtAnything) {
    auto core = PortCore::make();
    auto result = run(PortCore::read(core, 0));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SerialError::port_not_open());
}

struct UntilCase {
    const char* name;
    std::string buffered;
    std::string terminator;
    std::optional<std::size_t> size;
    std::string expected;
    std::size_t left_over;
};

TEST(PortReadUntil, TerminatorsAndSizes) {
    const UntilCase cases[] = {
        {"terminator found, rest stays", "ab\ncd", "\n", std::nullopt, "ab\n", 2},
        {"multi-byte terminator", "xxENDyy", "END", std::nullopt, "xxEND", 2},
        {"size reached first", "abcdef\n", "\n", 3, "abc", 4},
        {"size 0", "abc", "\n", 0, "", 3},
        {"empty terminator never matches", "abcd", "", std::nullopt, "abcd", 0},
        {"no terminator before the deadline", "abc", "\n", std::nullopt, "abc", 0},
    };
    for (const auto& c : cases) {
        auto core = open_loopback();
        write_all(core, c.buffered);
        set_timeouts(core, Seconds::from_int(0));
        auto result = run(PortCore::read_until(core, c.terminator, c.size));
        ASSERT_TRUE(result.ok()) << c.name;
        EXPECT_EQ(result.value(), c.expected) << c.name;
        EXPECT_EQ(core->in_waiting().value(), c.left_over) << c.name;
    }
}

TEST(PortReadline, TimeoutStartsAnewForEveryByte) {
    auto core = open_loopback();
    set_timeouts(core, secs(0.1));
    auto reader = spawn(PortCore::readline(core, std::nullopt));
    for (char c : std::string("abcd")) {
        std::this_thread::sleep_for(40ms);  // 160 ms in all, each gap below the timeout
        write_all(core, std::string(1, c));
    }
    write_all(core, "\n");
    auto result = join(reader);
    EXPECT_EQ(result.value(), "abcd\n");
}

struct LinesCase {
    const char* name;
    std::string buffered;
    std::optional<std::size_t> hint;
    std::vector<std::string> expected;
};

TEST(PortReadlines, HintsAndEnds) {
    const LinesCase cases[] = {
        {"ends at the first empty line", "a\nb\n", std::nullopt, {"a\n", "b\n"}},
        {"a last line without newline is kept", "a\nbc", std::nullopt, {"a\n", "bc"}},
        {"hint 10 with 4-byte lines gives three", "abc\ndef\nghi\njkl\n", 10, {"abc\n", "def\n", "ghi\n"}},
        {"hint 1 stops after the first line", "abc\ndef\n", 1, {"abc\n"}},
        {"nothing buffered", "", std::nullopt, {}},
    };
    for (const auto& c : cases) {
        auto core = open_loopback();
        write_all(core, c.buffered);
        set_timeouts(core, secs(0.01));
        auto result = run(PortCore::readlines(core, c.hint));
        ASSERT_TRUE(result.ok()) << c.name;
        EXPECT_EQ(result.value(), c.expected) << c.name;
    }
}

TEST(PortCancelRead, StoredRequestEndsExactlyOneLaterChunk) {
    auto core = open_loopback();
    core->cancel_read().notify_one();
    core->cancel_read().notify_one();  // stores no more than one
    set_timeouts(core, std::nullopt);
    auto first = run(PortCore::read(core, 5));
    EXPECT_EQ(first.value(), "");
    set_timeouts(core, secs(0.03));
    auto start = runtime::Clock::now();
    auto second = run(PortCore::read(core, 5));
    EXPECT_EQ(second.value(), "");
    EXPECT_GE(elapsed_since(start), 25ms);  // the second read waited for its deadline
}

TEST(PortCancelRead, NonBlockingReadLeavesTheRequestStored) {
    auto core = open_loopback();
    core->cancel_read().notify_one();
    set_timeouts(core, Seconds::from_int(0));
    EXPECT_EQ(run(PortCore::read(core, 5)).value(), "");
    EXPECT_TRUE(core->cancel_read().has_stored_wakeup());
}

TEST(PortCancelRead, DuringAReadReturnsTheBytesSoFar) {
    auto core = open_loopback();
    set_timeouts(core, std::nullopt);
    auto reader = spawn(PortCore::read(core, 10));
    write_all(core, "abc");
    ASSERT_TRUE(eventually([&] { return core->in_waiting().value() == 0; }));
    std::this_thread::sleep_for(5ms);
    core->cancel_read().notify_one();
    EXPECT_EQ(join(reader).value(), "abc");
}

TEST(PortCancelRead, DuringReadlinesEndsTheCurrentLine) {
    auto core = open_loopback();
    set_timeouts(core, std::nullopt);
    write_all(core, "ab\ncd");
    auto reader = spawn(PortCore::readlines(core, std::nullopt));
    ASSERT_TRUE(eventually([&] { return core->in_waiting().value() == 0; }));
    std::this_thread::sleep_for(5ms);
    core->cancel_read().notify_one();  // ends "cd"; the next line is then read
    std::this_thread::sleep_for(5ms);
    core->cancel_read().notify_one();  // the next line is empty: the list ends
    auto result = join(reader);
    EXPECT_EQ(result.value(), (std::vector<std::string>{"ab\n", "cd"}));
}

TEST(PortReadAvailable, OneChunkAndCancel) {
    auto core = open_loopback();
    write_all(core, "hello");
    EXPECT_EQ(run(PortCore::read_available(core, 3)).value(), "hel");
    EXPECT_EQ(run(PortCore::read_available(core, 0)).value(), "l");  // at least one byte
    EXPECT_EQ(run(PortCore::read_available(core, 100)).value(), "o");
    core->cancel_read().notify_one();
    EXPECT_EQ(run(PortCore::read_available(core, 100)).value(), "");
}

TEST(PortClose, WakesEveryWaiterWithPortNotOpen) {
    auto core = open_loopback();
    set_timeouts(core, std::nullopt);
    write_all(core, std::string(4096, 'f'));  // full: the next write waits
    std::string more(10, 'm');
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(more.data()), more.size());
    auto writer = spawn(PortCore::write_with(core, bytes, true));
    auto reader_core = open_loopback();  // a second port with a waiting read
    auto reader = spawn(PortCore::read(reader_core, 1));
    std::this_thread::sleep_for(20ms);
    core->close();
    reader_core->close();
    EXPECT_EQ(join(writer).error(), SerialError::port_not_open());
    EXPECT_EQ(join(reader).error(), SerialError::port_not_open());
    EXPECT_FALSE(core->is_open());
}

TEST(PortRead, TwoReadsRunInArrivalOrder) {
    auto core = open_loopback();
    set_timeouts(core, std::nullopt);
    auto first = spawn(PortCore::read(core, 1));
    ASSERT_TRUE(eventually([&] { return core->read_lock().is_locked(); }));
    auto second = spawn(PortCore::read(core, 1));
    std::this_thread::sleep_for(10ms);
    write_all(core, "xy");
    EXPECT_EQ(join(first).value(), "x");
    EXPECT_EQ(join(second).value(), "y");
}

TEST(PortRead, DroppedMidWaitLeavesThePortUsable) {
    auto core = open_loopback();
    set_timeouts(core, std::nullopt);
    {
        auto op = PortCore::read(core, 5);
        auto done = runtime::block_on(op, runtime::Clock::now() + 20ms);
        EXPECT_FALSE(done.has_value());
    }  // dropped while waiting: lock released, waiters unregistered
    EXPECT_FALSE(core->read_lock().is_locked());
    write_all(core, "after");
    EXPECT_EQ(run(PortCore::read(core, 5)).value(), "after");
}

TEST(PortDisconnect, ZeroByteReadClosesThePort) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    auto core = open_fake(shared);
    shared->push_read(std::string());
    auto result = run(PortCore::read(core, 4));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().payload(), port::DISCONNECT_TEXT);
    EXPECT_EQ(result.error().os_errno(), std::nullopt);
    EXPECT_FALSE(core->is_open());
    EXPECT_TRUE(shared->destroyed);
}

TEST(PortDisconnect, OnlyDeviceGoneErrorsClose) {
    struct Case {
        SerialError error;
        bool closes;
    };
    const Case cases[] = {
        {SerialError::from_os_error(5), true},
        {SerialError::from_os_error(6), true},
        {SerialError::from_os_error(19), true},
        {SerialError::from_os_error(13), false},
        {SerialError::io(std::nullopt, "other"), false},
        {SerialError::io(std::nullopt, std::string(port::DISCONNECT_TEXT) + " "), false},
    };
    for (const auto& c : cases) {
        auto shared = std::make_shared<FakeBackend::Shared>();
        auto core = open_fake(shared);
        shared->push_read(c.error);
        auto result = run(PortCore::read(core, 4));
        EXPECT_EQ(result.error(), c.error);
        EXPECT_EQ(core->is_open(), !c.closes) << c.error.display();
    }
}

TEST(PortDisconnect, EndsAWaitingWriteToo) {
    auto shared = std::make_shared<FakeBackend::Shared>();
    shared->write_room = 0;
    auto core = open_fake(shared);
    std::string data = "stuck";
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    auto writer = spawn(PortCore::write_with(core, bytes, true));
    std::this_thread::sleep_for(10ms);
    shared->push_read(SerialError::from_os_error(5));
    EXPECT_EQ(run(PortCore::read(core, 1)).error().os_errno(), 5);
    EXPECT_EQ(join(writer).error(), SerialError::port_not_open());
    EXPECT_EQ(run(PortCore::read(core, 1)).error(), SerialError::port_not_open());
}

}  // namespace
}  // namespace quorvelin::testing
