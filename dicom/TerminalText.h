#pragma once
// Text from files and databases (tag values, detector keys, paths) on its way
// to a terminal or a log: control characters shown as escapes, so that a
// value cannot start a line of its own, move the cursor, set colours or the
// window title, or cut a log line short.
#include <string>
#include <string_view>

namespace evenor {

// The text with every control character escaped: "\n", "\r" and "\t" by
// name, every other C0 byte and DEL as "\xHH" (NUL is "\x00"), a C1 control
// as "\xHH" when it is a lone byte and "\u00HH" when it is UTF-8, and the
// Unicode line and paragraph separators as "\u2028" and "\u2029". Every
// other byte, valid UTF-8 or not, is kept as it is, the backslash too (DICOM
// separates values with it). The stored bytes are never changed: this is for
// printing only.
std::string Printable(std::string_view text);

}  // namespace evenor
