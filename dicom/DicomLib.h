#pragma once
// DicomLib: reading one uncompressed DICOM image (Beeld = image).
//
// TDicomBeeld reads the header of a DICOM file (PS3.10) (or a bare data set)
// element by element up to the pixel data, keeps a table of every element
// read, and the geometry the analysis needs. Pixel values are loaded on
// request by LoadPixels.
//
// Failure contract: the constructor either returns a complete object or throws
// EvenorError with the message the user sees; the file is closed either way.
// No input, however malformed, makes the reader read out of bounds or allocate
// much more than the file's own size.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/EvenorError.h"
#include "dicom/PixelDecoding.h"
#include "dicom/WordArray.h"

namespace evenor {

class Inflater;

// One entry of the tag table: four text columns.
struct TagEntry {
    std::string Tag;          // 8 upper-case hexadecimal digits, group first
    std::string Value;        // the value as text; may hold any byte
    std::string VR;           // exactly two characters
    std::string Description;  // name from the data dictionary, or empty
};

// The most tag-table entries a header may produce. Beyond it the file is
// refused ("DICOM header too large: ..."), which bounds the memory a hostile
// header can claim to a few hundred megabytes.
inline constexpr std::size_t kMaxTagEntries = 1'000'000;

class TDicomBeeld {
public:
    // Reads the header of DirectoryName + FileName. Throws EvenorError.
    // Afterwards Pixels holds Rows * Columns zeros when the file is long
    // enough to hold that many samples after PixelDataOffset, and is empty
    // otherwise (then LoadPixels would leave it empty too), so a header that
    // claims a huge image allocates nothing the file cannot back.
    //
    // With CompressedImages::Decode a file in a transfer syntax of
    // DecodableSyntax is read too (other compressed syntaxes keep the
    // refusal). Its encapsulated Pixel Data ends the header as uncompressed
    // pixel data does, PixelDataOffset is where its first item starts, and
    // Pixels stays empty until LoadPixels decodes the first frame. A file with
    // more than one sample per pixel, or other than 8 or 16 bits allocated, is
    // refused naming its syntax.
    TDicomBeeld(std::string directoryName, std::string fileName,
                CompressedImages compressed = CompressedImages::Refuse);
    // Reads the header from bytes in memory as if they were a file's content
    // (tests, fuzzing). DirectoryName and FileName stay empty, so LoadPixels
    // fails with "Cannot open file ".
    explicit TDicomBeeld(std::span<const std::uint8_t> bytes, CompressedImages compressed = CompressedImages::Refuse);
    ~TDicomBeeld();
    TDicomBeeld(const TDicomBeeld&) = delete;
    TDicomBeeld& operator=(const TDicomBeeld&) = delete;

    // One line per tag-table entry, in table order:
    // tag ", " value ", " VR ", " description.
    std::vector<std::string> TagList() const;

    // Reloads Pixels from the file: on success Rows * Columns values, when the
    // file is too short an empty array. Throws EvenorError("Cannot open file
    // %s") when the file cannot be opened; Pixels is then unchanged.
    // Compressed pixel data is decoded (first frame); a decoding failure
    // throws EvenorError ("Cannot decode compressed DICOM image: ...") and
    // leaves Pixels empty.
    void LoadPixels();

    // Copies the inclusive rectangle row by row into destination[0...].
    // Nothing is copied for an inverted rectangle or a single pixel. The
    // caller guarantees the rectangle lies inside a loaded image and that the
    // destination is large enough.
    void CopyRegion(std::uint32_t firstColumn, std::uint32_t firstRow, std::uint32_t lastColumn, std::uint32_t lastRow,
                    std::uint16_t* destination) const;

    const std::string& DirectoryName() const { return directoryName_; }
    const std::string& FileName() const { return fileName_; }
    const std::vector<TagEntry>& TagTable() const { return tagTable_; }
    bool HasPreamble() const { return hasPreamble_; }
    bool OddOffsets() const { return oddOffsets_; }
    bool BigEndian() const { return bigEndian_; }
    std::uint8_t BitsAllocated() const { return bitsAllocated_; }
    // Of the image, not of an icon: the low 8 bits of Samples per Pixel
    // (1 when the element is absent) and Pixel Representation (0 when
    // absent). The pixel loading looks at neither.
    std::uint8_t SamplesPerPixel() const { return static_cast<std::uint8_t>(samplesPerPixel_); }
    std::uint16_t PixelRepresentation() const { return pixelRepresentation_; }
    double PixelSpacing() const { return pixelSpacing_; }  // millimetres; 0 when absent
    bool ImagerSpacingSeen() const { return imagerSpacingSeen_; }
    std::int32_t PixelDataOffset() const { return pixelDataOffset_; }
    std::int32_t Rows() const { return rows_; }
    std::int32_t Columns() const { return columns_; }
    // How the pixel data is stored; Native unless decoding was asked for.
    PixelCoding Coding() const { return coding_; }
    // The pixel data is encapsulated (JPEG, JPEG-LS, JPEG 2000, RLE).
    bool Encapsulated() const { return coding_ != PixelCoding::Native && coding_ != PixelCoding::Deflated; }
    // Decoding was asked for and the image is lossy compressed: its transfer
    // syntax allows loss (JPEG 2000 (.91) only when its codestream is not
    // reversible) or Lossy Image Compression (0028,2110) is "01".
    bool LossyCompressed() const { return lossyCompressed_; }
    WordArray& Pixels() { return pixels_; }
    const WordArray& Pixels() const { return pixels_; }

private:
    friend class DicomHeaderParser;  // fills the fields below

    void SizePixelsForFile(std::uint64_t fileSize);
    void CheckCompressedImage(std::span<const std::uint8_t> pixelDataStart);
    void LoadCompressedPixels();
    void KeepInflatedDataSet(Inflater& inflater);
    void LoadInflatedPixels();

    std::string directoryName_;
    std::string fileName_;
    std::vector<TagEntry> tagTable_;
    bool hasPreamble_ = false;
    bool oddOffsets_ = false;
    bool bigEndian_ = false;
    std::uint8_t bitsAllocated_ = 0;
    double pixelSpacing_ = 0.0;
    bool imagerSpacingSeen_ = false;
    std::int32_t pixelDataOffset_ = 0;
    std::int32_t rows_ = 0;
    std::int32_t columns_ = 0;
    CompressedImages compressed_ = CompressedImages::Refuse;
    PixelCoding coding_ = PixelCoding::Native;
    bool lossySyntax_ = false;
    bool lossyCompressed_ = false;
    std::string transferSyntaxUid_;
    std::uint16_t samplesPerPixel_ = 1;
    std::uint16_t pixelRepresentation_ = 0;
    std::uint64_t deflatedStart_ = 0;     // file offset of a deflated data set
    std::vector<std::uint8_t> inflated_;  // the inflated data set until LoadPixels takes the pixels
    WordArray pixels_;
};

}  // namespace evenor
