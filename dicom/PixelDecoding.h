#pragma once
// PixelDecoding: compressed pixel data, decoded on request.
//
// The reader refuses compressed transfer syntaxes unless it is asked to
// decode them (CompressedImages::Decode). Then the transfer syntaxes below
// are recognised, the encapsulated Pixel Data (Basic Offset Table, fragments)
// is taken apart, and the first frame is decoded into the same 16-bit words
// an uncompressed file of that image gives: one sample per pixel, 8 or 16
// bits allocated, row-major.
//
// Codecs: JPEG (baseline, extended, lossless) with DCMTK's IJG copies
// (8, 12 and 16 bit), JPEG-LS with CharLS, JPEG 2000 with OpenJPEG; RLE is
// a plain loop here (PackBits), deflate is zlib.
//
// Failure contract: DecodeFirstFrame throws EvenorError with the text the user
// sees and never reads outside the bytes it is given. Before a codec decodes,
// the geometry its codestream declares is compared with Rows and Columns, so
// the output is never larger than Rows x Columns words; beside it only the
// frame's compressed bytes are copied (when they span several fragments), and
// the codecs' own working memory (OpenJPEG: four bytes per sample).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "dicom/WordArray.h"

namespace evenor {

// How the reader treats a compressed transfer syntax.
enum class CompressedImages : std::uint8_t {
    Refuse,  // "Cannot open compressed DICOM images. Transfer Syntax UID = ..." (the default)
    Decode,  // decode the syntaxes of PixelCoding
};

// How the pixel data of a transfer syntax is stored.
enum class PixelCoding : std::uint8_t {
    Native,    // uncompressed (the reader's own syntaxes)
    Deflated,  // 1.2.840.10008.1.2.1.99: the data set after the file meta group is deflated
    Jpeg,      // 1.2.840.10008.1.2.4.50, .51 (lossy), .57, .70 (lossless)
    JpegLs,    // 1.2.840.10008.1.2.4.80 (lossless), .81 (near-lossless)
    Jpeg2000,  // 1.2.840.10008.1.2.4.90 (lossless), .91 (lossless or not)
    Rle,       // 1.2.840.10008.1.2.5
};

struct TransferSyntaxCoding {
    PixelCoding Coding = PixelCoding::Native;
    bool Lossy = false;  // the syntax allows loss (.50, .51, .81, .91)
};

// The coding of a compressed transfer syntax UID that can be decoded
// (padding at the end ignored); nothing for any other UID.
std::optional<TransferSyntaxCoding> DecodableSyntax(std::string_view uid);

// What the decoded frame must be.
struct FrameLayout {
    std::uint32_t Rows = 0;
    std::uint32_t Columns = 0;
    std::uint8_t BitsAllocated = 0;    // 8 or 16
    std::uint32_t NumberOfFrames = 1;  // from Number of Frames; 1 when absent
    std::string TransferSyntaxUid;     // for the messages
};

// The most pixels a compressed image may have (16384 x 16384).
inline constexpr std::uint64_t kMaxDecodedSamples = std::uint64_t{1} << 28;

// Decodes frame 1 of an encapsulated Pixel Data value (from its first item,
// the Basic Offset Table, to the end of the file) into Rows x Columns words.
// Throws EvenorError.
WordArray DecodeFirstFrame(PixelCoding coding, std::span<const std::uint8_t> encapsulated, const FrameLayout& layout);

// Whether a JPEG 2000 frame's main header says reversible wavelet without
// quantisation (a lossless codestream). False when it cannot tell.
bool IsReversibleJpeg2000(std::span<const std::uint8_t> encapsulated);

// Whether the first fragment of a JPEG or JPEG-LS frame is coded with loss
// whatever its transfer syntax says: a DCT frame header (SOF0-SOF2 and the
// like), or a JPEG-LS scan with a NEAR value above 0. False when it cannot
// tell, and for other codings.
bool CodestreamIsLossy(PixelCoding coding, std::span<const std::uint8_t> encapsulated);

// The message prefix of every decoding failure.
std::string DecodeFailure(const std::string& reason, const std::string& transferSyntaxUid);

}  // namespace evenor
