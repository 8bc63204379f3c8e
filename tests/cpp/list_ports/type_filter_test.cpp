#include "list_ports/type_filter.h"

#include <gtest/gtest.h>

#include "fake_sysfs.h"

namespace quorvelin::list_ports {
namespace {

using testing::FakeSysfs;

struct ContentCase {
    std::string content;
    bool listed;
};

class TypeContent : public ::testing::TestWithParam<ContentCase> {};

TEST_P(TypeContent, OnlyATrimmedZeroHidesThePort) {
    EXPECT_EQ(type_content_lists_port(GetParam().content), GetParam().listed);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, TypeContent,
    ::testing::Values(ContentCase{"0", false}, ContentCase{"0\n", false}, ContentCase{" \t0\r\n", false},
                      ContentCase{"\xC2\xA0" "0", false},           // U+00A0 is White_Space
                      ContentCase{"0\xE3\x80\x80", false},          // U+3000
                      ContentCase{"\xE2\x80\xA8" "0\xC2\x85", false},  // U+2028, U+0085
                      ContentCase{"4", true}, ContentCase{"4\n", true}, ContentCase{"", true},
                      ContentCase{"\n", true}, ContentCase{"00", true}, ContentCase{"0 0", true},
                      ContentCase{"\xE2\x80\x8B" "0", true},  // U+200B is not White_Space
                      ContentCase{"0\xFF", true},             // not UTF-8
                      ContentCase{"\xC0\xB0", true},          // overlong "0"
                      ContentCase{"\xED\xA0\x80" "0", true},  // a surrogate
                      ContentCase{"0\xC2", true}));           // truncated sequence

TEST(TypeFilter, ReadsTheTypeFileBelowTheRoot) {
    FakeSysfs sysfs;
    sysfs.add_tty("ttyS0", "platform/serial8250/ttyS0", "platform");
    sysfs.add_tty("ttyS1", "platform/serial8250/ttyS1", "platform");
    sysfs.add_tty("ttyS2", "platform/serial8250/ttyS2", "platform");
    sysfs.add_tty("ttyS3", "platform/serial8250/ttyS3", "platform");
    sysfs.set_type("ttyS0", "0\n");
    sysfs.set_type("ttyS1", "4\n");
    sysfs.set_type("ttyS3", "\xFF\xFE");
    EXPECT_FALSE(is_listed("/dev/ttyS0", sysfs.root()));
    EXPECT_TRUE(is_listed("/dev/ttyS1", sysfs.root()));
    EXPECT_TRUE(is_listed("/dev/ttyS2", sysfs.root()));  // no type file
    EXPECT_TRUE(is_listed("/dev/ttyS3", sysfs.root()));  // not UTF-8
}

TEST(TypeFilter, UnreadableTypeFileListsThePort) {
    FakeSysfs sysfs;
    sysfs.mkdir("sys/class/tty/ttyS0/type");  // a folder cannot be read as a file
    EXPECT_TRUE(is_listed("/dev/ttyS0", sysfs.root()));
}

TEST(TypeFilter, NamesOutsideDevAreListedWithoutReading) {
    FakeSysfs sysfs;
    // Files that would hide the ports if the names were mapped onto them.
    sysfs.set_type("COM3", "0");
    sysfs.write("sys/class/tty/type", "0");
    for (const char* name : {"COM3", "/dev", "dev/ttyS0", "/devx/COM3", ""}) {
        EXPECT_TRUE(is_listed(name, sysfs.root())) << name;
    }
    EXPECT_FALSE(is_listed("/dev/", sysfs.root()));  // five bytes: the file is consulted
}

}  // namespace
}  // namespace quorvelin::list_ports
