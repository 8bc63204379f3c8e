#pragma once
// The sort key that orders ttyUSB9 before ttyUSB10.

#include <string_view>
#include <vector>

namespace quorvelin::list_ports {

__extension__ typedef unsigned __int128 KeyNumber;

// One list per run of the text: a digit run that fits 128 bits is [its value]; any other run
// (non-digits, or digits too many for 128 bits) is the list of its UTF-8 bytes.
using NaturalKey = std::vector<std::vector<KeyNumber>>;

NaturalKey natural_key(std::string_view text);

// Lexicographic at both levels; a proper prefix is less.
bool natural_less(std::string_view a, std::string_view b);

}  // namespace quorvelin::list_ports
