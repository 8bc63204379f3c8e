#include "list_ports/port_info.h"

#include <gtest/gtest.h>

namespace quorvelin::list_ports {
namespace {

struct NameCase {
    const char* device;
    const char* name;
};

class NameFromDevice : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameFromDevice, LastMeaningfulComponent) {
    EXPECT_EQ(name_from_device(GetParam().device), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, NameFromDevice,
    ::testing::Values(NameCase{"/dev/ttyUSB0", "ttyUSB0"}, NameCase{"/dev/ttyS1/", "ttyS1"},
                      NameCase{"COM3", "COM3"}, NameCase{"/", "/"}, NameCase{"", ""},
                      NameCase{"/dev/..", "/dev/.."}, NameCase{"a/./", "a"}, NameCase{"./", "./"},
                      NameCase{"//dev//ttyS0//", "ttyS0"}, NameCase{"/dev/../x", "x"},
                      NameCase{"..", ".."}, NameCase{"/dev/serial/by-id/usb-X", "usb-X"}));

TEST(PortInfo, FreshDefaults) {
    PortInfo info = PortInfo::for_device("/dev/ttyUSB0");
    EXPECT_EQ(info.device, "/dev/ttyUSB0");
    EXPECT_EQ(info.name, "ttyUSB0");
    EXPECT_EQ(info.description, "n/a");
    EXPECT_EQ(info.hwid, "n/a");
    EXPECT_FALSE(info.vid || info.pid || info.serial_number || info.location || info.manufacturer ||
                 info.product || info.interface);
    EXPECT_EQ(info.usb_info(), "USB VID:PID=0000:0000");
    EXPECT_EQ(info.usb_description(), "ttyUSB0");
}

struct UsbTextCase {
    std::optional<std::uint16_t> vid, pid;
    std::optional<std::string> serial_number, location, product, interface;
    const char* usb_info;
    const char* usb_description;
};

class UsbTexts : public ::testing::TestWithParam<UsbTextCase> {};

TEST_P(UsbTexts, FormatsAndApply) {
    const auto& c = GetParam();
    PortInfo info = PortInfo::for_device("/dev/ttyUSB0");
    info.vid = c.vid;
    info.pid = c.pid;
    info.serial_number = c.serial_number;
    info.location = c.location;
    info.product = c.product;
    info.interface = c.interface;
    EXPECT_EQ(info.usb_info(), c.usb_info);
    EXPECT_EQ(info.usb_description(), c.usb_description);
    EXPECT_EQ(info.description, "n/a");  // untouched until applied
    info.apply_usb_info();
    EXPECT_EQ(info.hwid, c.usb_info);
    EXPECT_EQ(info.description, c.usb_description);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsbTexts,
    ::testing::Values(
        UsbTextCase{0x0403, 0x6001, "A1", "1-1.2", "FT232R", std::nullopt,
                    "USB VID:PID=0403:6001 SER=A1 LOCATION=1-1.2", "FT232R"},
        UsbTextCase{0x0403, 0x6001, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                    "USB VID:PID=0403:6001", "ttyUSB0"},
        UsbTextCase{0xABCD, 0x00ef, std::nullopt, "3-4", "Board", "1",
                    "USB VID:PID=ABCD:00EF LOCATION=3-4", "Board - 1"},
        UsbTextCase{std::nullopt, 0xFFFF, "", std::nullopt, std::nullopt, "1",
                    "USB VID:PID=0000:FFFF SER=", "None - 1"},
        UsbTextCase{0, 1, std::nullopt, "", "", std::nullopt, "USB VID:PID=0000:0001 LOCATION=", ""}));

}  // namespace
}  // namespace quorvelin::list_ports
