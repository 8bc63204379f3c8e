// The cause a port records when it closes itself because the device went away: the other
// operations then end with PortNotOpen, and the cause says why.

#include <gtest/gtest.h>

#include <cerrno>

#include "port/disconnect.h"
#include "support.h"

namespace quorvelin::testing {
namespace {

std::span<const std::uint8_t> span_of(const std::string& data) {
    return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}

// The places that close the port on a device error: the guard every operation runs under,
// and the first attempts of a read and of a write.
enum class SeenBy { GuardedRead, FirstReadAttempt, FirstWriteAttempt };

struct Case {
    const char* name;
    SeenBy seen_by;
    SerialError device_error;
};

template <class T>
Result<std::size_t> size_of(Result<T> result) {
    if (!result.ok()) return std::move(result).error();
    return result.value().size();
}

TEST(PortDisconnectCause, TheOperationThatFindsTheDeviceGoneRecordsItsErrorForTheOthers) {
    const Case cases[] = {
        {"guarded read, EIO", SeenBy::GuardedRead, SerialError::from_os_error(EIO)},
        {"guarded read, readiness without data", SeenBy::GuardedRead, port::disconnect_error()},
        {"first read attempt, ENXIO", SeenBy::FirstReadAttempt, SerialError::from_os_error(ENXIO)},
        {"first write attempt, ENODEV", SeenBy::FirstWriteAttempt, SerialError::from_os_error(ENODEV)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto shared = std::make_shared<FakeBackend::Shared>();
        auto core = open_fake(shared);
        const std::string data(8, 'd');
        Result<std::size_t> seen = SerialError::io(std::nullopt, "not run");
        Result<std::size_t> other = SerialError::io(std::nullopt, "not run");
        if (c.seen_by == SeenBy::FirstWriteAttempt) {
            // A read waits on the device when the write finds it gone.
            auto reader = spawn(PortCore::read_available(core, 16));
            std::this_thread::sleep_for(10ms);
            shared->write_error = c.device_error;
            seen = run(PortCore::write_with(core, span_of(data), true));
            other = size_of(join(reader));
        } else {
            // A write waits on the device when the read finds it gone.
            shared->set_write_room(0);
            auto writer = spawn(PortCore::write_with(core, span_of(data), true));
            std::this_thread::sleep_for(10ms);
            if (c.device_error == port::disconnect_error()) {
                shared->push_read(std::string());  // ready, and nothing read
            } else {
                shared->push_read(c.device_error);
            }
            seen = c.seen_by == SeenBy::GuardedRead ? size_of(run(PortCore::read_available(core, 16)))
                                                    : size_of(run(PortCore::read(core, 16)));
            other = join(writer);
        }
        ASSERT_FALSE(seen.ok());
        EXPECT_EQ(seen.error(), c.device_error);
        EXPECT_FALSE(core->is_open());
        ASSERT_FALSE(other.ok());
        EXPECT_EQ(other.error(), SerialError::port_not_open());  // the engine's own answer stays
        EXPECT_EQ(core->disconnect_cause(), c.device_error);
    }
}

TEST(PortDisconnectCause, OnlyAPortThatClosedItselfHasOneAndOpeningClearsIt) {
    auto core = open_loopback();
    EXPECT_EQ(core->disconnect_cause(), std::nullopt);
    core->close();  // the user's close
    EXPECT_EQ(core->disconnect_cause(), std::nullopt);
    // A device error met after the user closed the port did not close it.
    core->close_for(SerialError::from_os_error(EIO));
    EXPECT_EQ(core->disconnect_cause(), std::nullopt);

    ASSERT_TRUE(core->open().ok());
    core->close_for(SerialError::from_os_error(EIO));
    EXPECT_FALSE(core->is_open());
    EXPECT_EQ(core->disconnect_cause(), SerialError::from_os_error(EIO));
    core->close();  // closing it again keeps why it closed
    EXPECT_EQ(core->disconnect_cause(), SerialError::from_os_error(EIO));
    ASSERT_TRUE(core->open().ok());
    EXPECT_EQ(core->disconnect_cause(), std::nullopt);
    core->close();
    EXPECT_EQ(core->disconnect_cause(), std::nullopt);
}

}  // namespace
}  // namespace quorvelin::testing
