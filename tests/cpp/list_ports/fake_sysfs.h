#pragma once
// Test helper: a throw-away directory laid out like the parts of sysfs the walker reads,
// with relative symlinks as the kernel makes them, so they resolve inside the tree.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace quorvelin::testing {

class FakeSysfs {
public:
    // The tree's root is `subdirectory` of a fresh temporary folder (the folder itself when empty).
    explicit FakeSysfs(const std::string& subdirectory = "") {
        std::string pattern = (std::filesystem::temp_directory_path() / "fake-sysfs-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        top_ = pattern;
        root_ = subdirectory.empty() ? top_ : top_ / subdirectory;
        std::filesystem::create_directories(root_);
    }
    ~FakeSysfs() {
        std::error_code ignored;
        std::filesystem::remove_all(top_, ignored);
    }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    const std::filesystem::path& root() const { return root_; }
    // The temporary folder that holds the root.
    const std::filesystem::path& top() const { return top_; }

    void write(const std::string& relative, std::string_view content) {
        std::filesystem::path path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    void mkdir(const std::string& relative) { std::filesystem::create_directories(root_ / relative); }

    // A symlink at `relative_link` to `relative_target`, written relative to the link's folder.
    void link(const std::string& relative_link, const std::string& relative_target) {
        std::filesystem::path link = root_ / relative_link;
        std::filesystem::create_directories(link.parent_path());
        std::filesystem::create_directory_symlink(
            (root_ / relative_target).lexically_relative(link.parent_path()), link);
    }

    // A tty node below the device directory `device` (relative to sys/devices), whose
    // `subsystem` link names `bus`, entered in sys/class/tty. Returns the node's folder.
    std::string add_tty(const std::string& name, const std::string& device, const std::string& bus) {
        std::string device_dir = "sys/devices/" + device;
        mkdir("sys/bus/" + bus);
        if (!std::filesystem::exists(root_ / device_dir / "subsystem")) {
            link(device_dir + "/subsystem", "sys/bus/" + bus);
        }
        std::string node = device_dir + "/tty/" + name;
        link(node + "/device", device_dir);
        link("sys/class/tty/" + name, node);
        return node;
    }

    // A tty without hardware: no `device` link.
    void add_virtual_tty(const std::string& name) {
        std::string node = "sys/devices/virtual/tty/" + name;
        mkdir(node);
        link("sys/class/tty/" + name, node);
    }

    // The `type` attribute of a tty, as the serial core provides it.
    void set_type(const std::string& name, std::string_view content) {
        write("sys/class/tty/" + name + "/type", content);
    }

private:
    std::filesystem::path top_;
    std::filesystem::path root_;
};

// The USB device folders of a typical adapter: the device (with its ids and strings) and
// one interface below it. Paths are relative to sys/devices.
struct UsbAdapter {
    std::string device = "pci0000:00/0000:00:14.0/usb1/1-1/1-1.2";
    std::string interface_dir() const { return device + "/1-1.2:1.0"; }

    void write_device(FakeSysfs& sysfs, std::string_view vid, std::string_view pid) const {
        sysfs.write("sys/devices/" + device + "/idVendor", std::string(vid) + "\n");
        sysfs.write("sys/devices/" + device + "/idProduct", std::string(pid) + "\n");
    }
    void write_string(FakeSysfs& sysfs, const std::string& attribute, std::string_view text) const {
        sysfs.write("sys/devices/" + device + "/" + attribute, std::string(text) + "\n");
    }
};

}  // namespace quorvelin::testing
