#pragma once
// Text conversions of the DICOM reader: tags as hexadecimal, FD/FL values for
// the tag list, and the first number of a spacing text.
#include <cstdint>
#include <string>
#include <string_view>

namespace evenor {

// The tag as exactly 8 upper-case hexadecimal digits, group first.
std::string TagToHex(std::uint32_t tag);

// An FD or FL value for the tag list: rounded to 4 significant digits (half
// away from zero), then written with exactly 4 decimals, again rounded half
// away from zero ("0.1430", "-12.5000", "0.0001"); a value that rounds to
// zero is written without a sign. Values
// whose rounded form has more than 4 digits before the point (10000 and up)
// are written in exponent form with 4 significant digits and an exponent of
// at least two digits ("1.235E+04", "-2.000E+10", "1.000E+100"). The decimal
// separator is the current C locale's (LC_NUMERIC); not-a-number and the
// infinities are written "NAN", "INF" and "-INF".
std::string FormatDicomReal(double value);

// The first number of a DICOM decimal text, "." always being the decimal
// point: leading spaces are skipped, then an optional sign, digits, an
// optional point with digits and an optional exponent (E or e, optional sign,
// digits) are taken as far as they go; the rest (a backslash, padding) is
// ignored. A text that does not begin with a number gives 0, as does a
// number too large or too small for a double. A sign or exponent marker
// without digits after it ends the number before it ("1e" is 1, "-" is 0).
double SpacingFromText(std::string_view text);

}  // namespace evenor
