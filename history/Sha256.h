#pragma once
// SHA-256 (FIPS 180-4) of a file, to recognise an image that was recorded
// before whatever its name.
#include <string>
#include <string_view>

namespace evenor {

// Best: the processor's SHA instructions where it has them (x86 SHA-NI, about
// ten times faster), else plain C++; Portable: plain C++ always (tests
// compare the two).
enum class Sha256Engine { Best, Portable };

// Lower-case hexadecimal digest of bytes.
std::string Sha256Hex(std::string_view bytes, Sha256Engine engine = Sha256Engine::Best);

// Of a whole file, read in blocks; throws EvenorError naming the file when it
// cannot be read.
std::string Sha256OfFile(const std::string& path);

}  // namespace evenor
