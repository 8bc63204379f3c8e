// Replacing ill-formed UTF-8 gives exactly the text that the interpreter's "replace" decoding
// gives, so a name taken from sysfs is shown as the very text the object stores.

#include "list_ports/utf8.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "../python/attached.h"

namespace quorvelin::list_ports {
namespace {

using testing::Attached;

// What Python makes of `bytes`, as UTF-8.
std::string interpreter_replace(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
    EXPECT_NE(text, nullptr) << testing::take_error();
    if (text == nullptr) {
        return "<error>";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    std::string out = utf8 ? std::string(utf8, static_cast<std::size_t>(size)) : "<error>";
    Py_DECREF(text);
    return out;
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    return out;
}

TEST(Utf8Replacement, MatchesTheInterpretersReplaceDecoding) {
    Attached attached;
    const std::string edges[] = {
        "", "ttyUSB0", "caf\xC3\xA9", "\xFF", "ttyUSB\xFF" "0", "\xC3", "\xC3(", "\xE2\x82", "\xE2\x82\xAC",
        "\xE2\x82(", "\xF0\x9F\x98", "\xF0\x9F\x98\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xE0\xA0\x80",
        "\xED\xA0\x80", "\xED\x9F\xBF", "\xF0\x80\x80\x80", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF",
        "\xF4\x90\x80\x80", "\xF5\x80", "\x80\x80", "\xBF", "a\xF1\x80\x80", "\xF1\x80\x80\xE2\x82\xAC",
        std::string("a\0b", 3),
    };
    for (const std::string& bytes : edges) {
        EXPECT_EQ(replace_invalid_utf8(bytes), interpreter_replace(bytes)) << hex(bytes);
    }
    // Random short sequences, drawn mostly from the bytes where the rules live.
    std::mt19937 random(12345);
    const unsigned char pool[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                                  0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    for (int round = 0; round < 20000; ++round) {
        std::string bytes(random() % 7, '\0');
        for (char& c : bytes) {
            c = static_cast<char>(pool[random() % sizeof pool]);
        }
        ASSERT_EQ(replace_invalid_utf8(bytes), interpreter_replace(bytes)) << hex(bytes);
    }
}

}  // namespace
}  // namespace quorvelin::list_ports
