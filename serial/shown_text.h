// How names read from the system (file names above all) are shown to people: one escape for every
// output (message boxes, status texts, lines on a terminal, run records), so that a name that is not
// valid UTF-8 can still be told apart and rebuilt byte for byte.
#pragma once

#include <string>
#include <string_view>

namespace brimwell::serial {

// `bytes` as printable UTF-8: well-formed UTF-8 stays as it is, except that a backslash becomes
// "\\" and every byte that is not part of a well-formed character, or is a control character
// (C0, DEL, C1), becomes "\xNN" (two lower-case hexadecimal digits).
std::string escapeFileName(std::string_view bytes);

} // namespace brimwell::serial
