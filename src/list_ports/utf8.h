#pragma once
// Strict UTF-8 decoding and the Unicode White_Space property, for reading sysfs text.

#include <optional>
#include <string>
#include <string_view>

namespace quorvelin::list_ports {

// The code points of `bytes`, or nothing when it is not valid UTF-8 (overlong forms,
// surrogates and values beyond U+10FFFF are invalid).
std::optional<std::u32string> decode_utf8(std::string_view bytes);

// `bytes` with every maximal ill-formed part replaced by U+FFFD, as the interpreter's
// "replace" decoding does: a text whose UTF-8 is the same text again.
std::string replace_invalid_utf8(std::string_view bytes);

// Whether `c` has the Unicode White_Space property.
bool is_white_space(char32_t c);

// `text` without White_Space code points at either end.
std::u32string_view trim_white_space(std::u32string_view text);

}  // namespace quorvelin::list_ports
