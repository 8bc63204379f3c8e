// Settings changes: one reconfiguration per change, only for line settings, and a failed
// reconfiguration puts the old settings back both in the record and on the device.

#include <gtest/gtest.h>

#include <memory>

#include "../port/fake_backend.h"
#include "serial/update.h"

namespace quorvelin {
namespace {

struct Fixture {
    std::shared_ptr<testing::FakeBackend::Shared> record = std::make_shared<testing::FakeBackend::Shared>();
    std::shared_ptr<PortCore> core = PortCore::make();
    Fixture() {
        record->refused_rate = 31337;
        core->adopt(std::make_unique<testing::FakeBackend>(record));
    }
};

TEST(SettingsUpdate, LineSettingChangeReconfiguresOnce) {
    Fixture f;
    Status s = serial::update_settings(*f.core, [](PortSettings& p) {
        p.baudrate = 19200;
        p.bytesize = 7;
        p.parity = Parity::Even;
    });
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(f.record->configure_calls, 1);
    EXPECT_EQ(f.record->device_settings.bytesize, 7);
}

TEST(SettingsUpdate, StoreOnlyAndUnchangedValuesMakeNoCall) {
    Fixture f;
    ASSERT_TRUE(serial::update_settings(*f.core, [](PortSettings& p) { p.timeout = Seconds::from_int(2); }).ok());
    ASSERT_TRUE(serial::update_settings(*f.core, [](PortSettings& p) { p.exclusive = Exclusive::Yes; }).ok());
    ASSERT_TRUE(serial::update_settings(*f.core, [](PortSettings& p) { p.baudrate = 9600; }).ok());
    EXPECT_EQ(f.record->configure_calls, 0);
}

TEST(SettingsUpdate, FailureRestoresRecordAndDevice) {
    Fixture f;
    ASSERT_TRUE(serial::update_settings(*f.core, [](PortSettings& p) { p.baudrate = 4800; }).ok());
    Status s = serial::update_settings(*f.core, [](PortSettings& p) {
        p.bytesize = 6;
        p.xonxoff = true;
        p.timeout = Seconds::from_float(1.5);
        p.baudrate = 31337;
    });
    ASSERT_FALSE(s.ok());
    PortSettings now = f.core->settings_snapshot();
    EXPECT_EQ(now.baudrate, 4800u);
    EXPECT_EQ(now.bytesize, 8);
    EXPECT_FALSE(now.xonxoff);
    EXPECT_FALSE(now.timeout.has_value());
    // The device took the data bits before it refused the rate; it has them back now.
    EXPECT_EQ(f.record->reapply_calls, 1);
    EXPECT_EQ(f.record->device_settings.bytesize, 8);
    EXPECT_EQ(f.record->device_settings.baudrate, 4800u);
    EXPECT_FALSE(f.record->device_settings.xonxoff);
    // Record and device agree, so putting the old value back is rightly a no-op.
    ASSERT_TRUE(serial::update_settings(*f.core, [](PortSettings& p) { p.bytesize = 8; }).ok());
    EXPECT_EQ(f.record->configure_calls, 2);
}

TEST(SettingsUpdate, ClosedPortOnlyStores) {
    auto core = PortCore::make();
    ASSERT_TRUE(serial::update_settings(*core, [](PortSettings& p) { p.baudrate = 31337; }).ok());
    EXPECT_EQ(core->settings_snapshot().baudrate, 31337u);
}

}  // namespace
}  // namespace quorvelin
