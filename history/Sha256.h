#pragma once
// SHA-256 (FIPS 180-4) of a file, to recognise an image that was recorded
// before whatever its name.
#include <string>
#include <string_view>

namespace evenor {

// Lower-case hexadecimal digest of bytes.
std::string Sha256Hex(std::string_view bytes);

// Of a whole file, read in blocks; throws EvenorError naming the file when it
// cannot be read.
std::string Sha256OfFile(const std::string& path);

// The x86 SHA extensions are used where the processor has them. For tests:
// true makes every later digest use the portable code; returns whether the
// SHA extensions are used from now on.
bool UsePortableSha256(bool portable);

}  // namespace evenor
