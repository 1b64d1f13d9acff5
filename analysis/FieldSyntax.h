#pragma once
// The syntax of the numbers a user types into the settings fields, and the
// lookup of one element's value in an image's tag list. Shared by the window
// and the command line so both accept and refuse exactly the same texts.
// "." is the only decimal separator, whatever the locale.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace evenor {

// The messages of the settings fields' checks, in the window and on the
// command line.
inline constexpr const char* kIntegerExpected = "A positive integer is expected";
inline constexpr const char* kNumberExpected = "A number is expected";
inline constexpr const char* kOffsetExpected = "A positive integer under 16384 is expected";

// The shortest decimal text, "." as separator, that reads back to the same
// double ("1", "5", "0.143", "1e-07"). For finite values.
std::string ShortestText(double value);

// Integer syntax: leading blanks (spaces), then an optional sign and decimal
// digits, or a hexadecimal number introduced by "$", "x", "X", "0x" or "0X";
// nothing after it, not even a blank. The value must fit a signed 32-bit
// integer. A hexadecimal number takes no sign ("-$1F" and "+0x10" do not
// parse) and obeys the same range as decimal ones ("$80000000" fails).
// On failure value is left untouched.
bool ParseInteger(std::string_view text, std::int32_t& value);

// The same syntax with 64-bit range, used when the run converts the area
// fields (their low 32 bits are stored).
bool ParseInteger64(std::string_view text, std::int64_t& value);

// Real syntax: leading blanks (spaces), optional sign, digits with an optional
// "." and fraction digits (at least one digit in all: "5." and ".5" pass, "."
// fails), optional exponent ("E" or "e", optional sign, digits); nothing after
// it. "." whatever the locale; "inf", "nan" and hexadecimal reals fail. A
// number too large for a double fails; one too small to tell from 0 gives 0.
bool ParseReal(std::string_view text, double& value);

bool IsPositiveInteger(std::string_view text);  // integer syntax, value >= 0
bool IsNumber(std::string_view text);           // real syntax

// Pixel offset: integer syntax with a value from 0 to 65535.
bool ParsePixelOffset(std::string_view text, std::uint16_t& value);

// How the run reads a field the user has left: an empty text gives 0; an
// area field is a whole number with 64-bit range whose low 32 bits are kept;
// the other fields are reals. False, value untouched, for a text the field's
// check refuses.
bool ReadAreaField(std::string_view text, std::uint32_t& value);
bool ReadRealField(std::string_view text, double& value);

// Finds the first tag-list line whose tag column (its first eight characters)
// equals tagText, and copies its value: the characters from position 11 up to
// the first "," at or after it, or the end of the line. False, value
// untouched, when no line matches.
bool FindTagValue(const std::vector<std::string>& tagList, std::string_view tagText, std::string& value);

}  // namespace evenor
