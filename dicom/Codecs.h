#pragma once
// The codecs behind DecodeFirstFrame (dicom/PixelDecoding.h), one per source
// file, each wrapping its library. Each decodes one frame's whole codestream
// into out, which it sizes (SizeOutput) only after the codestream's own header
// agreed with the layout, so that a header claiming a huge image over a few
// bytes fails before anything is allocated. A codestream that is
// not the frame the header describes (other size, more samples, deeper
// samples), that ends early or that the library rejects throws
// EvenorError(DecodeFailure(reason, layout.TransferSyntaxUid)).
#include <cstdint>
#include <span>

#include "dicom/PixelDecoding.h"

namespace evenor::codecs {

void DecodeJpeg(std::span<const std::uint8_t> frame, const FrameLayout& layout, WordArray& out);
void DecodeJpegLs(std::span<const std::uint8_t> frame, const FrameLayout& layout, WordArray& out);
void DecodeJpeg2000(std::span<const std::uint8_t> frame, const FrameLayout& layout, WordArray& out);
// The same in bands of rowsPerBand rows (0: the whole image at once), each
// decoded on its own: what DecodeJpeg2000 does for large images.
void DecodeJpeg2000InBands(std::span<const std::uint8_t> frame, const FrameLayout& layout, WordArray& out,
                           std::uint32_t rowsPerBand);
void DecodeRle(std::span<const std::uint8_t> frame, const FrameLayout& layout, WordArray& out);

[[noreturn]] void Fail(const std::string& reason, const FrameLayout& layout);

// Makes out Rows x Columns words.
void SizeOutput(WordArray& out, const FrameLayout& layout);

}  // namespace evenor::codecs
