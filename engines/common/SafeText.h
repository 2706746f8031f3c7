#pragma once

// Text from a server or the network, made fit to be shown: what could move the
// cursor, forge a line, turn the writing direction or break a UTF-8 reader
// becomes "?".

#include <string>
#include <string_view>

namespace velmora::engine {

// Each C0 control, DEL, each C1 control, U+2028, U+2029, U+202A to U+202E,
// U+2066 to U+2069, and each invalid UTF-8 sequence (the longest start of a
// valid one, or a single byte) becomes one "?"; everything else stays.
std::string SafeText(std::string_view utf8);

}  // namespace velmora::engine
