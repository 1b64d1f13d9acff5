#pragma once
// Decoding of a JPEG image held in memory (libjpeg) into a QImage.
#include <cstddef>

#include <QImage>

namespace evenor {

// Decodes a baseline or progressive JPEG (greyscale or colour) from memory.
// Returns a null QImage when the data is not a decodable JPEG; never aborts
// the program.
QImage DecodeJpeg(const unsigned char* data, std::size_t size);

}  // namespace evenor
