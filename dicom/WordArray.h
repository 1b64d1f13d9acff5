#pragma once
// WordArray: a growable array of unsigned 16-bit pixel values. As an image's
// Pixels it is row-major: row r, column c (0-based) is element r * Columns + c.
#include <cstdint>
#include <vector>

namespace evenor {

using WordArray = std::vector<std::uint16_t>;

}  // namespace evenor
