#pragma once
// The program's picture shown in the About box: the JPEG file EvenorIcon.jpg
// (218 x 227 pixels), embedded at build time as bytes.
#include <cstddef>

namespace evenor {

extern const unsigned char EvenorIconJpeg[];
extern const std::size_t EvenorIconJpegSize;

}  // namespace evenor
