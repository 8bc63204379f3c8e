#include "list_ports/sysfs_walker.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <system_error>

#include "list_ports/natural_key.h"
#include "list_ports/read_file.h"

namespace quorvelin::list_ports {
namespace fs = std::filesystem;
namespace {

// A sysfs attribute without its trailing newline; nothing when absent or empty, since an
// empty string descriptor tells the user nothing.
std::optional<std::string> read_attribute(const fs::path& directory, const char* name) {
    std::optional<std::string> content = read_file(directory / name);
    if (!content) {
        return std::nullopt;
    }
    std::string text = std::move(*content);
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::uint16_t> read_hex_id(const fs::path& directory, const char* name) {
    std::optional<std::string> text = read_attribute(directory, name);
    if (!text) {
        return std::nullopt;
    }
    unsigned value = 0;
    const char* end = text->data() + text->size();
    auto [stop, error] = std::from_chars(text->data(), end, value, 16);
    if (error != std::errc() || stop != end || value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

bool is_within(const fs::path& path, const fs::path& root) {
    auto [root_end, unused] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return root_end == root.end();
}

// The port's own USB device: the nearest directory at or above `start` named like a USB
// device ("<bus>-<port>[.<port>...]"; interfaces carry a colon, root hubs are "usbN"). Its
// ids are not searched further up: a device caught mid-unplug may have lost its attributes
// already, and the hub above it is not the port's device.
std::optional<fs::path> usb_device_directory(fs::path start, const fs::path& root) {
    for (fs::path directory = std::move(start); is_within(directory, root);
         directory = directory.parent_path()) {
        if (usb_location_from_name(directory.filename().string())) {
            return directory;
        }
        if (directory == directory.parent_path()) {
            break;
        }
    }
    return std::nullopt;
}

PortType usb_port(const fs::path& device, const fs::path& root) {
    std::optional<fs::path> directory = usb_device_directory(device, root);
    if (!directory) {
        return UnknownPort{};
    }
    std::optional<std::uint16_t> vid = read_hex_id(*directory, "idVendor");
    std::optional<std::uint16_t> pid = read_hex_id(*directory, "idProduct");
    if (!vid || !pid) {
        return UnknownPort{};
    }
    UsbPort usb;
    usb.vid = *vid;
    usb.pid = *pid;
    usb.serial_number = read_attribute(*directory, "serial");
    usb.manufacturer = read_attribute(*directory, "manufacturer");
    usb.product = read_attribute(*directory, "product");
    usb.location = usb_location_from_name(directory->filename().string());
    return usb;
}

// ttyUSB nodes sit on a usb-serial port below the USB interface, ttyACM nodes on the
// interface itself; both reach the USB device directory by walking up.
PortType classify(const fs::path& device, const fs::path& root) {
    std::error_code error;
    fs::path subsystem = fs::canonical(device / "subsystem", error);
    std::string bus = error ? std::string() : subsystem.filename().string();
    if (bus == "usb" || bus == "usb-serial") {
        return usb_port(device, root);
    }
    if (bus == "pci") {
        return PciPort{};
    }
    if (bus == "bluetooth") {
        return BluetoothPort{};
    }
    return UnknownPort{};
}

LibraryError listing_failed(const fs::path& directory, const std::error_code& error) {
    LibraryErrorKind kind = error == std::errc::no_such_file_or_directory ? LibraryErrorKind::NoDevice
                                                                           : LibraryErrorKind::Io;
    // The "(os error n)" suffix carries the error number through from_library_error.
    return {kind, "cannot list serial ports: " + directory.string() + ": " +
                      os_error_text(error.value()) + " (os error " + std::to_string(error.value()) + ")"};
}

void sort_naturally(std::vector<std::string>& names) {
    std::vector<std::pair<NaturalKey, std::string>> keyed;
    keyed.reserve(names.size());
    for (auto& name : names) {
        keyed.emplace_back(natural_key(name), std::move(name));
    }
    std::sort(keyed.begin(), keyed.end());  // equal keys ("a1", "a01") fall back to the bytes
    names.clear();
    for (auto& entry : keyed) {
        names.push_back(std::move(entry.second));
    }
}

}  // namespace

std::optional<BusLocation> usb_location_from_name(std::string_view name) {
    std::size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view bus = name.substr(0, dash);
    if (!std::all_of(bus.begin(), bus.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    BusLocation location{std::string(bus), {}};
    std::string_view rest = name.substr(dash + 1);
    while (true) {
        std::size_t dot = rest.find('.');
        std::string_view port = rest.substr(0, dot);
        unsigned value = 0;
        auto [stop, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (port.empty() || error != std::errc() || stop != port.data() + port.size() || value > 0xFF) {
            return std::nullopt;
        }
        location.ports.push_back(static_cast<std::uint8_t>(value));
        if (dot == std::string_view::npos) {
            return location;
        }
        rest.remove_prefix(dot + 1);
    }
}

Enumeration enumerate_ports(const fs::path& root) {
    fs::path tty_class = root / "sys/class/tty";
    std::error_code error;
    std::vector<std::string> names;
    for (fs::directory_iterator it(tty_class, error), end; !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    if (error) {
        return listing_failed(tty_class, error);
    }
    sort_naturally(names);

    // Symlinks are resolved against the real file system, so compare against the resolved root.
    fs::path real_root = fs::weakly_canonical(root, error);
    if (error) {
        real_root = root;
    }
    std::vector<PortRecord> records;
    for (const std::string& name : names) {
        fs::path device = fs::canonical(tty_class / name / "device", error);
        if (error || !fs::is_directory(device, error)) {
            continue;  // virtual terminals, pseudo-terminals and the console have no device
        }
        records.push_back({"/dev/" + name, classify(device, real_root)});
    }
    return records;
}

}  // namespace quorvelin::list_ports
