#include "list_ports/from_record.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace quorvelin::list_ports {
namespace {

const std::string word_max = std::to_string(std::numeric_limits<std::size_t>::max());

// One more than the largest word, in decimal: 2^n - 1 ends in 5, so only the last digit changes.
std::string one_beyond(std::string number) {
    ++number.back();
    return number;
}
const std::string word_beyond = one_beyond(word_max);

struct BusCase {
    std::string bus;
    std::string expected;
};

class UsbBusText : public ::testing::TestWithParam<BusCase> {};

TEST_P(UsbBusText, RootHubIndexBecomesBusNumber) { EXPECT_EQ(usb_bus_text(GetParam().bus), GetParam().expected); }

// The walker only makes decimal bus texts; the root-hub form comes from enumerations that
// name a bus after its host controller, so it is exercised here directly.
INSTANTIATE_TEST_SUITE_P(
    Buses, UsbBusText,
    ::testing::Values(BusCase{"1", "1"}, BusCase{"", ""}, BusCase{"USBROOT(0)", "1"},
                      BusCase{"PCIROOT(0)#PCI(1400)#USBROOT(0)", "1"}, BusCase{"USBROOT(7", "8"},
                      BusCase{"USBROOT(0)#USBROOT(41)", "42"},  // the last marker counts
                      BusCase{"USBROOT(12x)", "13"},             // only the leading digits
                      BusCase{"USBROOT(x)", "USBROOT(x)"}, BusCase{"USBROOT()", "USBROOT()"},
                      BusCase{"USBROOT(", "USBROOT("}, BusCase{"usbroot(3)", "usbroot(3)"},
                      BusCase{"USBROOT(" + word_max + ")", word_max},  // saturates
                      BusCase{"USBROOT(" + word_beyond + ")", "USBROOT(" + word_beyond + ")"}));

struct LocationCase {
    BusLocation location;
    const char* expected;
};

class LocationText : public ::testing::TestWithParam<LocationCase> {};

TEST_P(LocationText, BusDashPorts) { EXPECT_EQ(location_text(GetParam().location), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Locations, LocationText,
                         ::testing::Values(LocationCase{{"1", {1, 2}}, "1-1.2"}, LocationCase{{"3", {4}}, "3-4"},
                                           LocationCase{{"2", {}}, "2-"},
                                           LocationCase{{"USBROOT(0)", {255, 0}}, "1-255.0"},
                                           LocationCase{{"USBROOT(a)", {1}}, "USBROOT(a)-1"}));

TEST(FromRecord, UsbPortGetsIdsLocationAndTexts) {
    PortRecord record{"/dev/ttyUSB0", UsbPort{0x0403, 0x6001, "A1", "FTDI", "FT232R", BusLocation{"1", {1, 2}}}};
    PortInfo info = from_record(record);
    EXPECT_EQ(info.name, "ttyUSB0");
    EXPECT_EQ(info.vid, 0x0403);
    EXPECT_EQ(info.pid, 0x6001);
    EXPECT_EQ(info.serial_number, "A1");
    EXPECT_EQ(info.manufacturer, "FTDI");
    EXPECT_EQ(info.product, "FT232R");
    EXPECT_EQ(info.interface, std::nullopt);
    EXPECT_EQ(info.location, "1-1.2");
    EXPECT_EQ(info.hwid, "USB VID:PID=0403:6001 SER=A1 LOCATION=1-1.2");
    EXPECT_EQ(info.description, "FT232R");
}

TEST(FromRecord, UsbPortWithoutStringsOrLocation) {
    PortInfo info = from_record({"/dev/ttyACM0", UsbPort{0x2341, 0x0043, {}, {}, {}, {}}});
    EXPECT_EQ(info.location, std::nullopt);
    EXPECT_EQ(info.hwid, "USB VID:PID=2341:0043");
    EXPECT_EQ(info.description, "ttyACM0");
}

class NonUsbRecord : public ::testing::TestWithParam<PortType> {};

TEST_P(NonUsbRecord, KeepsDefaults) {
    PortInfo info = from_record({"/dev/ttyS0", GetParam()});
    EXPECT_EQ(info.description, "n/a");
    EXPECT_EQ(info.hwid, "n/a");
    EXPECT_EQ(info.vid, std::nullopt);
    EXPECT_EQ(info.location, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Kinds, NonUsbRecord, ::testing::Values(PortType{PciPort{}}, PortType{BluetoothPort{}},
                                                                PortType{UnknownPort{}}));

}  // namespace
}  // namespace quorvelin::list_ports
