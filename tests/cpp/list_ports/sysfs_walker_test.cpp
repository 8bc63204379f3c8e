#include "list_ports/sysfs_walker.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "fake_sysfs.h"

namespace quorvelin::list_ports {
namespace {

using testing::FakeSysfs;
using testing::UsbAdapter;

std::vector<PortRecord> ports_of(const Enumeration& found) {
    const auto* ports = std::get_if<std::vector<PortRecord>>(&found);
    EXPECT_NE(ports, nullptr) << std::get<LibraryError>(found).description;
    return ports ? *ports : std::vector<PortRecord>{};
}

const UsbPort& usb_of(const PortRecord& record) {
    static const UsbPort none;
    const auto* usb = std::get_if<UsbPort>(&record.type);
    EXPECT_NE(usb, nullptr) << record.port_name << " is not USB";
    return usb ? *usb : none;
}

TEST(SysfsWalker, UsbSerialAdapterWithEverything) {
    FakeSysfs sysfs;
    UsbAdapter adapter;
    adapter.write_device(sysfs, "0403", "6001");
    adapter.write_string(sysfs, "serial", "A1");
    adapter.write_string(sysfs, "manufacturer", "FTDI");
    adapter.write_string(sysfs, "product", "FT232R USB UART");
    sysfs.write("sys/devices/" + adapter.interface_dir() + "/bInterfaceNumber", "00\n");
    sysfs.write("sys/devices/" + adapter.interface_dir() + "/interface", "Serial\n");
    // ttyUSB: the tty hangs on a usb-serial port below the interface.
    sysfs.add_tty("ttyUSB0", adapter.interface_dir() + "/ttyUSB0", "usb-serial");

    auto ports = ports_of(enumerate_ports(sysfs.root()));
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].port_name, "/dev/ttyUSB0");
    UsbPort expected{0x0403, 0x6001, "A1", "FTDI", "FT232R USB UART", BusLocation{"1", {1, 2}}};
    EXPECT_EQ(usb_of(ports[0]), expected);
}

TEST(SysfsWalker, AcmDeviceWithoutStringsOrInterfaceFiles) {
    FakeSysfs sysfs;
    UsbAdapter adapter;
    adapter.device = "pci0000:00/0000:00:14.0/usb3/3-4";
    adapter.write_device(sysfs, "2341", "0043");
    sysfs.write("sys/devices/" + adapter.device + "/serial", "");  // empty: treated as absent
    // ttyACM: the tty hangs directly on the USB interface.
    sysfs.add_tty("ttyACM0", adapter.device + "/3-4:1.0", "usb");

    auto ports = ports_of(enumerate_ports(sysfs.root()));
    ASSERT_EQ(ports.size(), 1u);
    UsbPort expected{0x2341, 0x0043, std::nullopt, std::nullopt, std::nullopt, BusLocation{"3", {4}}};
    EXPECT_EQ(usb_of(ports[0]), expected);
}

TEST(SysfsWalker, UsbWithoutReadableIdsIsUnknown) {
    FakeSysfs sysfs;
    UsbAdapter adapter;
    adapter.write_device(sysfs, "zz", "6001");
    sysfs.add_tty("ttyUSB0", adapter.interface_dir() + "/ttyUSB0", "usb-serial");
    auto ports = ports_of(enumerate_ports(sysfs.root()));
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].type, PortType{UnknownPort{}});
}

TEST(SysfsWalker, UsbDeviceThatLostItsIdsIsNotGivenAHubsIds) {
    // Mid-unplug: the adapter's own folder has lost its attributes while the hub above it
    // and the root hub still have theirs. Neither is the port's device.
    FakeSysfs sysfs;
    UsbAdapter adapter;  // .../usb1/1-1/1-1.2
    std::string hub = "pci0000:00/0000:00:14.0/usb1/1-1";
    std::string root_hub = "pci0000:00/0000:00:14.0/usb1";
    for (const std::string& folder : {hub, root_hub}) {
        sysfs.write("sys/devices/" + folder + "/idVendor", "1d6b\n");
        sysfs.write("sys/devices/" + folder + "/idProduct", "0002\n");
        sysfs.write("sys/devices/" + folder + "/product", "xHCI Host Controller\n");
    }
    sysfs.mkdir("sys/devices/" + adapter.device);
    sysfs.add_tty("ttyUSB0", adapter.interface_dir() + "/ttyUSB0", "usb-serial");
    sysfs.add_tty("ttyACM0", adapter.device + "/1-1.2:1.1", "usb");
    auto ports = ports_of(enumerate_ports(sysfs.root()));
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].type, PortType{UnknownPort{}}) << ports[0].port_name;
    EXPECT_EQ(ports[1].type, PortType{UnknownPort{}}) << ports[1].port_name;

    // Once the adapter's ids are there, they are the ones given.
    adapter.write_device(sysfs, "0403", "6001");
    ports = ports_of(enumerate_ports(sysfs.root()));
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(usb_of(ports[1]).vid, 0x0403);
    EXPECT_EQ(usb_of(ports[1]).location, (BusLocation{"1", {1, 2}}));
}

TEST(SysfsWalker, UsbAncestorSearchStaysInsideTheRoot) {
    // ids above the root must not be picked up: the walk up stops at the root.
    FakeSysfs sysfs("inner");
    std::ofstream(sysfs.top() / "idVendor") << "0403\n";
    std::ofstream(sysfs.top() / "idProduct") << "6001\n";
    sysfs.add_tty("ttyUSB0", "platform/odd/ttyUSB0", "usb-serial");
    auto ports = ports_of(enumerate_ports(sysfs.root()));
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].type, PortType{UnknownPort{}});
}

struct KindCase {
    const char* bus;
    PortType expected;
};

class SysfsWalkerKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(SysfsWalkerKinds, BusDecidesTheKind) {
    FakeSysfs sysfs;
    sysfs.add_tty("ttyX0", "somewhere/port0", GetParam().bus);
    auto ports = ports_of(enumerate_ports(sysfs.root()));
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].type, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Buses, SysfsWalkerKinds,
                         ::testing::Values(KindCase{"pci", PciPort{}}, KindCase{"bluetooth", BluetoothPort{}},
                                           KindCase{"platform", UnknownPort{}},
                                           KindCase{"serial-base", UnknownPort{}},
                                           KindCase{"pnp", UnknownPort{}}));

TEST(SysfsWalker, OnlyTtysWithADeviceAreListedInNaturalOrder) {
    FakeSysfs sysfs;
    sysfs.add_virtual_tty("tty0");
    sysfs.add_virtual_tty("ptmx");
    sysfs.add_virtual_tty("console");
    for (const char* name : {"ttyS10", "ttyS2", "ttyS1", "ttyAMA0"}) {
        sysfs.add_tty(name, std::string("platform/serial8250/") + name, "platform");
    }
    sysfs.link("sys/class/tty/ttyBROKEN", "sys/devices/gone");  // dangling: skipped

    auto ports = ports_of(enumerate_ports(sysfs.root()));
    std::vector<std::string> names;
    for (const auto& port : ports) {
        names.push_back(port.port_name);
        EXPECT_EQ(port.type, PortType{UnknownPort{}});
    }
    EXPECT_EQ(names, (std::vector<std::string>{"/dev/ttyAMA0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS10"}));
}

TEST(SysfsWalker, EmptyTtyClassGivesNoPorts) {
    FakeSysfs sysfs;
    sysfs.mkdir("sys/class/tty");
    EXPECT_TRUE(ports_of(enumerate_ports(sysfs.root())).empty());
}

TEST(SysfsWalker, MissingTtyClassIsAnErrorCarryingTheErrno) {
    FakeSysfs sysfs;
    Enumeration found = enumerate_ports(sysfs.root());
    const auto* error = std::get_if<LibraryError>(&found);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->kind, LibraryErrorKind::NoDevice);
    SerialError converted = SerialError::from_library_error(error->kind, error->description);
    EXPECT_EQ(converted.kind(), SerialError::Kind::Io);
    EXPECT_EQ(converted.os_errno(), ENOENT);
    EXPECT_NE(converted.display().find((sysfs.root() / "sys/class/tty").string()), std::string::npos)
        << converted.display();
}

struct LocationCase {
    const char* name;
    std::optional<BusLocation> expected;
};

class UsbLocationFromName : public ::testing::TestWithParam<LocationCase> {};

TEST_P(UsbLocationFromName, Parses) { EXPECT_EQ(usb_location_from_name(GetParam().name), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Names, UsbLocationFromName,
    ::testing::Values(LocationCase{"1-1.2", BusLocation{"1", {1, 2}}}, LocationCase{"3-4", BusLocation{"3", {4}}},
                      LocationCase{"12-1.10.255", BusLocation{"12", {1, 10, 255}}},
                      LocationCase{"usb1", std::nullopt},       // root hub
                      LocationCase{"1-1.2:1.0", std::nullopt},  // an interface, not a device
                      LocationCase{"1-256", std::nullopt},      // port numbers are 8 bits
                      LocationCase{"1-", std::nullopt}, LocationCase{"-1", std::nullopt},
                      LocationCase{"1-1..2", std::nullopt}, LocationCase{"a-1", std::nullopt}));

}  // namespace
}  // namespace quorvelin::list_ports
