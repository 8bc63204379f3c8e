// Settings changes: one reconfiguration per change, only for line settings, and a failed
// reconfiguration puts the old settings back both in the record and on the device.

#include <gtest/gtest.h>

#include <memory>

#include "serial/update.h"

namespace quorvelin {
namespace {

// A device whose configure applies every setting and then refuses one baud rate, the way a
// terminal applies its steps in order and fails at the rate it cannot keep.
class RefusingDevice final : public Backend {
public:
    struct Record {
        PortSettings device;
        int configure_calls = 0;
        int reapply_calls = 0;
        std::uint32_t refused_rate = 0;
    };
    explicit RefusingDevice(std::shared_ptr<Record> record) : record_(std::move(record)) {}

    Status configure(const PortSettings& s, bool, bool) override {
        ++record_->configure_calls;
        record_->device = s;
        if (s.baudrate == record_->refused_rate) {
            return SerialError::io(std::nullopt, "the device does not support that rate");
        }
        return ok_status();
    }
    void reapply(const PortSettings& s, bool, bool) override {
        ++record_->reapply_calls;
        record_->device = s;
    }

    runtime::Poll<Result<std::size_t>> poll_read(runtime::Context&, std::span<std::uint8_t>) override {
        return runtime::Pending{};
    }
    runtime::Poll<Result<std::size_t>> poll_write(runtime::Context&, std::span<const std::uint8_t> d) override {
        return Result<std::size_t>(d.size());
    }
    runtime::Poll<Status> poll_flush(runtime::Context&) override { return ok_status(); }
    runtime::Poll<Status> poll_shutdown(runtime::Context&) override { return ok_status(); }
    runtime::Poll<Result<std::size_t>> poll_write_vectored(runtime::Context&,
                                                           std::span<const std::span<const std::uint8_t>>) override {
        return Result<std::size_t>(std::size_t{0});
    }
    bool is_write_vectored() const override { return false; }
    Status set_rts(bool) override { return ok_status(); }
    Status set_dtr(bool) override { return ok_status(); }
    Result<bool> cts() override { return true; }
    Result<bool> dsr() override { return true; }
    Result<bool> ri() override { return false; }
    Result<bool> cd() override { return true; }
    Result<std::size_t> in_waiting() override { return std::size_t{0}; }
    Result<std::size_t> out_waiting() override { return std::size_t{0}; }
    Status clear_buffers(bool, bool) override { return ok_status(); }
    Status set_break_state(bool) override { return ok_status(); }
    std::optional<std::int32_t> fileno() const override { return std::nullopt; }
    Result<Drain> drain_handle() override { return Drain(); }
    Status cancel_write() override { return ok_status(); }
    std::size_t detach_write() override { return 0; }

private:
    std::shared_ptr<Record> record_;
};

struct Fixture {
    std::shared_ptr<RefusingDevice::Record> record = std::make_shared<RefusingDevice::Record>();
    std::shared_ptr<PortCore> core = PortCore::make();
    Fixture() {
        record->refused_rate = 31337;
        core->adopt(std::make_unique<RefusingDevice>(record));
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
    EXPECT_EQ(f.record->device.bytesize, 7);
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
    EXPECT_EQ(f.record->device.bytesize, 8);
    EXPECT_EQ(f.record->device.baudrate, 4800u);
    EXPECT_FALSE(f.record->device.xonxoff);
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
