#pragma once
// Rewrites the pixel values of the current image in place before the
// analysis, so that larger values mean more dose and a pixel without dose reads
// 0. Both work on the first Rows x Columns values and never on more than
// Pixels holds (the run refuses a truncated reload before calling them).
#include <cstdint>

namespace evenor {

class TDicomBeeld;
class RunHost;

// What the preparation did to the pixel values of one run; the report states
// it.
struct PixelPreparation {
    bool Inverted = false;               // InvertPixels inverted them ...
    std::uint16_t InversionMaximum = 0;  // ... against this maximum (0 when not)
    bool ClippedBelowOffset = false;     // an offset was subtracted and values below it became 0
};

// Inverts every value against 2^BitsStored - 1 (Bits Stored from the tag list,
// 0028,0101), wrapping in 16 bits, and records that in preparation. When Bits
// Stored is missing or out of 1..16 it shows its message through host, changes
// nothing and returns false.
bool InvertPixels(TDicomBeeld& image, PixelPreparation& preparation, RunHost& host);

// Subtracts offset from every value, setting values below it to 0. True when no
// value was below the offset.
bool SubtractPixelOffset(TDicomBeeld& image, std::uint16_t offset);

}  // namespace evenor
