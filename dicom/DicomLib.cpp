// The DICOM header reader: element by element from the start of the data set
// to the pixel data, reading flat (the content of a sequence of undefined
// length is read as ordinary elements, so nesting costs no recursion).
#include "dicom/DicomLib.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

#include "dicom/ByteSource.h"
#include "dicom/DicomDictionary.h"
#include "dicom/DicomTags.h"
#include "dicom/DicomText.h"
#include "dicom/Inflater.h"
#include "dicom/SharedFile.h"

namespace evenor {

namespace {

// ---- Tolerances -------------------------------------------------------------
//
// The deliberate departures from the file format, listed once. The reader has
// always read files this way and the files it reads rely on it, so none of
// them can be switched off; each is applied where its name appears below.
//
// BareDataSet           No "DICM" at byte 128: the file is read from byte 0 as
//                       a data set without preamble and file meta group.
// UnknownVRIsImplicit   Two bytes after the tag that are no VR code of the
//                       reader's lists, or a long code whose reserved word is
//                       not 0, make the element implicit: its four bytes are
//                       the length, and its VR is shown "--" until the
//                       dictionary supplies one.
// ThirteenMeansTen      A value length of 13 is read as 10 until a value has
//                       started at an odd offset; after that 13 stays 13.
// UndefinedLengthIsZero A length of FFFFFFFF gives an empty value; the content
//                       of such a sequence or item (items, nested elements,
//                       delimiters) is then read as ordinary elements.
// OneWordWhateverLength The elements read as a 16-bit number (Rows, Columns,
//                       Bits Allocated, ...) take exactly one word, whatever
//                       their length field says; the next element header is
//                       read right after that word.
// LowByteOnly           Outside an icon image only the low 8 bits of Bits
//                       Allocated and of Samples per Pixel count.
// PartialValuesSkipped  Bytes at the end of a binary value that do not make a
//                       whole value are passed over.
// SyntaxAsText          The transfer syntax UID is tested for digit strings
//                       anywhere in its text: "1.2.4" or "1.2.5" is refused as
//                       compressed, "1.2.840.10008.1.2.2" means big-endian.
// PrivatePixelData      Pixel data in the private element 7F88,0010 ends the
//                       header too; the samples start 4 bytes into its value.

constexpr std::string_view kUnknownVR = "--";  // UnknownVRIsImplicit

constexpr std::uint32_t kUndefinedLength = 0xFFFFFFFF;

// The most a deflated data set is inflated before its Pixel Data: a header
// needs far less, a deflate bomb gets no further.
constexpr std::uint64_t kMaxInflatedHeader = 64 * 1024 * 1024;

// How much of an encapsulated Pixel Data value the constructor reads to find
// the first fragment's main header.
constexpr std::size_t kCompressedHeaderBytes = 64 * 1024;

// ThirteenMeansTen.
constexpr std::uint32_t ThirteenMeansTen(std::uint32_t length, bool oddOffsetSeen)
{
    return length == 13 && !oddOffsetSeen ? 10 : length;
}

// UndefinedLengthIsZero.
constexpr std::uint32_t UndefinedLengthIsZero(std::uint32_t length) { return length == kUndefinedLength ? 0 : length; }

// LowByteOnly.
constexpr std::uint8_t LowByteOnly(std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xFF); }

// SyntaxAsText.
bool IsCompressedSyntax(std::string_view uid)
{
    return uid.find("1.2.4") != std::string_view::npos || uid.find("1.2.5") != std::string_view::npos;
}
bool IsBigEndianSyntax(std::string_view uid) { return uid.find("1.2.840.10008.1.2.2") != std::string_view::npos; }

// PrivatePixelData: where the samples start in the element's value.
constexpr std::uint64_t kPrivatePixelDataSkip = 4;

// Fixed texts of the tag list ("colours, won't be read in properly";
// "media icon image, I skip that").
constexpr const char* kPaletteText = "Bah, kleuren, gaat niet goed ingelezen worden";
constexpr const char* kIconText = "media-icon-image, sla ik over";

bool IsShortVR(char a, char b)
{
    static constexpr const char* kShort[] = {"??", "AE", "AS", "AT", "CS", "DA", "DS", "DT", "FD", "FL", "IS",
                                             "LO", "LT", "PN", "SH", "SL", "SS", "ST", "TM", "UI", "UL", "US"};
    for (const char* code : kShort)
        if (code[0] == a && code[1] == b) return true;
    return false;
}

bool IsLongVR(char a, char b)
{
    static constexpr const char* kLong[] = {"OB", "OW", "SQ", "UN", "UT"};
    for (const char* code : kLong)
        if (code[0] == a && code[1] == b) return true;
    return false;
}

}  // namespace

// One parse of one header into a TDicomBeeld. The parse state (byte order,
// current element's VR and length, icon mode) lives here and starts anew with
// every parse.
class DicomHeaderParser {
public:
    DicomHeaderParser(TDicomBeeld& image, ByteSource& source) : image_(image), source_(&source) {}

    void ReadHeader();
    // The inflater of a deflated data set, once the header reached it.
    Inflater* DataSetInflater() const { return inflater_.get(); }
    // Frees the inflater and its copy of the deflated data set, once the
    // parse is over and what it inflated has been taken.
    void ReleaseInflater()
    {
        source_ = nullptr;
        inflatedSource_.reset();
        inflater_.reset();
    }

private:
    [[noreturn]] void FailShortRead() const;
    [[noreturn]] void FailShortRead32() const;

    std::string ReadText(std::uint32_t count);
    void SkipValue(std::uint64_t count);
    std::uint16_t ReadUInt16();
    std::int16_t ReadInt16() { return static_cast<std::int16_t>(ReadUInt16()); }
    std::uint32_t ReadUInt32();
    std::int32_t ReadInt32() { return static_cast<std::int32_t>(ReadUInt32()); }
    float ReadFloat32() { return std::bit_cast<float>(ReadUInt32()); }
    double ReadFloat64();

    std::uint32_t ReadElementHeader();
    void AddTagEntry(std::uint32_t tag, std::string value, std::string description);
    bool ReadSpecialElement(std::uint32_t tag, std::uint64_t valueStart, bool& stop);
    void ReadGenericElement(std::uint32_t tag);
    std::int32_t CheckedOffset(std::uint64_t offset) const;

    void InflateAfterMetaGroup();

    TDicomBeeld& image_;
    ByteSource* source_;  // the file's, then for a deflated data set the inflater's
    std::unique_ptr<Inflater> inflater_;
    std::unique_ptr<ByteSource> inflatedSource_;
    ByteOrder order_ = ByteOrder::Little;
    std::uint32_t elementLength_ = 0;
    bool undefinedLength_ = false;  // the element's length field was FFFFFFFF
    std::string elementVR_;
    bool iconMode_ = false;
};

// A text, the "DICM" bytes or a 16-bit number could not be read whole; the
// position is where the read started plus the bytes it got.
void DicomHeaderParser::FailShortRead() const
{
    throw EvenorError("Error Reading file at Position " + std::to_string(source_->Position()) + ".");
}

// A 32-bit number, 32-bit length or real could not be read whole.
void DicomHeaderParser::FailShortRead32() const
{
    const std::string lastTag = image_.tagTable_.empty() ? std::string() : image_.tagTable_.back().Tag;
    throw EvenorError("Error Reading file, Position : " + std::to_string(source_->Position()) +
                      ", last Tag: " + lastTag);
}

// The count bytes at the current position, exactly as stored. The count is
// checked against the bytes left before anything is allocated.
std::string DicomHeaderParser::ReadText(std::uint32_t count)
{
    if (!source_->Has(count)) {
        source_->Skip(count);
        FailShortRead();
    }
    std::string text(count, '\0');
    if (source_->Read(text.data(), count) != count) FailShortRead();
    return text;
}

// Passes over a value that is not used; running past the end is a read error
// at the end of the file.
void DicomHeaderParser::SkipValue(std::uint64_t count)
{
    if (!source_->Skip(count)) FailShortRead();
}

std::uint16_t DicomHeaderParser::ReadUInt16()
{
    std::uint16_t value = 0;
    if (!source_->ReadUInt16(order_, value)) FailShortRead();
    return value;
}

std::uint32_t DicomHeaderParser::ReadUInt32()
{
    std::uint32_t value = 0;
    if (!source_->ReadUInt32(order_, value)) FailShortRead32();
    return value;
}

double DicomHeaderParser::ReadFloat64()
{
    std::uint64_t value = 0;
    if (!source_->ReadUInt64(order_, value)) FailShortRead32();
    return std::bit_cast<double>(value);
}

// Pixel data offsets are signed 32-bit; an offset beyond that cannot be
// represented and is reported as a read error at that offset.
std::int32_t DicomHeaderParser::CheckedOffset(std::uint64_t offset) const
{
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
        throw EvenorError("Error Reading file at Position " + std::to_string(offset) + ".");
    return static_cast<std::int32_t>(offset);
}

std::uint32_t DicomHeaderParser::ReadElementHeader()
{
    std::uint8_t groupBytes[2];
    if (source_->Read(groupBytes, 2) != 2) FailShortRead();
    // In an Explicit VR Big Endian file the file meta group (0002) is
    // little-endian; the first element of another group switches for good.
    if (image_.bigEndian_ && order_ == ByteOrder::Little &&
        DecodeUnsigned<std::uint16_t>(groupBytes, ByteOrder::Little) != 0x0002)
        order_ = ByteOrder::Big;
    const std::uint16_t group = DecodeUnsigned<std::uint16_t>(groupBytes, order_);
    const std::uint16_t element = ReadUInt16();

    std::uint8_t vrBytes[4];
    if (source_->Read(vrBytes, 2) != 2) FailShortRead();
    if (source_->Read(vrBytes + 2, 2) != 2) FailShortRead();
    const char a = static_cast<char>(vrBytes[0]);
    const char b = static_cast<char>(vrBytes[1]);
    const std::uint16_t w2 = DecodeUnsigned<std::uint16_t>(vrBytes + 2, order_);

    std::uint32_t length;
    if (IsShortVR(a, b)) {
        elementVR_ = {a, b};
        length = w2;
    } else if (IsLongVR(a, b) && w2 == 0) {
        elementVR_ = {a, b};
        length = ReadUInt32();
    } else {
        // UnknownVRIsImplicit.
        elementVR_ = kUnknownVR;
        length = DecodeUnsigned<std::uint32_t>(vrBytes, order_);
    }
    undefinedLength_ = length == kUndefinedLength;
    elementLength_ = UndefinedLengthIsZero(ThirteenMeansTen(length, image_.oddOffsets_));
    return (static_cast<std::uint32_t>(group) << 16) | element;
}

void DicomHeaderParser::AddTagEntry(std::uint32_t tag, std::string value, std::string description)
{
    if (description.empty()) {
        std::string vr;
        if (LookupTag(tag, vr, description)) elementVR_ = vr;
    }
    // Every listed value costs an entry of well over a hundred bytes, so a
    // hostile header of millions of tiny values (each SS value is an entry of
    // its own) would need many times the file's size in memory. Real headers
    // list a few thousand elements at most.
    if (image_.tagTable_.size() >= kMaxTagEntries) {
        throw EvenorError("DICOM header too large: more than " + std::to_string(kMaxTagEntries) +
                          " elements, file not read");
    }
    image_.tagTable_.push_back(TagEntry{TagToHex(tag), std::move(value), elementVR_, std::move(description)});
}

// Elements with their own handling. Returns false for any other tag.
bool DicomHeaderParser::ReadSpecialElement(std::uint32_t tag, std::uint64_t valueStart, bool& stop)
{
    const std::uint32_t length = elementLength_;
    switch (tag) {
    case tags::TransferSyntaxUID.Number: {
        const std::string uid = ReadText(length);
        AddTagEntry(tag, uid, "");
        image_.transferSyntaxUid_ = uid;
        if (image_.compressed_ == CompressedImages::Decode) {
            if (const auto decodable = DecodableSyntax(uid)) {
                image_.coding_ = decodable->Coding;
                image_.lossySyntax_ = decodable->Lossy;
                return true;
            }
        }
        if (IsCompressedSyntax(uid))
            throw EvenorError("Cannot open compressed DICOM images. Transfer Syntax UID = " + uid);
        if (IsBigEndianSyntax(uid)) image_.bigEndian_ = true;
        return true;
    }
    case tags::ImagerPixelSpacing.Number: {
        const std::string text = ReadText(length);
        image_.imagerSpacingSeen_ = true;
        image_.pixelSpacing_ = SpacingFromText(text);
        AddTagEntry(tag, text, "");
        return true;
    }
    case tags::DetectorElementSpacing.Number:
    case tags::PixelSpacing.Number: {
        const std::string text = ReadText(length);
        if (!image_.imagerSpacingSeen_) image_.pixelSpacing_ = SpacingFromText(text);
        AddTagEntry(tag, text, "");
        return true;
    }
    case tags::SpacingBetweenSlices.Number:
    case tags::PhotometricInterpretation.Number:
    case tags::NumberOfFrames.Number:
    case tags::WindowCenter.Number:
    case tags::WindowWidth.Number:
        AddTagEntry(tag, ReadText(length), "");
        return true;
    // OneWordWhateverLength, for these and the numbers below.
    case tags::SamplesPerPixel.Number: {
        const std::uint16_t value = ReadUInt16();
        if (!iconMode_) image_.samplesPerPixel_ = LowByteOnly(value);
        AddTagEntry(tag, std::to_string(iconMode_ ? value : LowByteOnly(value)), "");
        return true;
    }
    case tags::PlanarConfiguration.Number:
        AddTagEntry(tag, std::to_string(ReadUInt16()), "");
        return true;
    case tags::PixelRepresentation.Number: {
        const std::uint16_t value = ReadUInt16();
        if (!iconMode_) image_.pixelRepresentation_ = value;
        AddTagEntry(tag, std::to_string(value), "");
        return true;
    }
    case tags::Rows.Number:
    case tags::Columns.Number: {
        const std::uint16_t value = ReadUInt16();
        if (!iconMode_) (tag == tags::Rows.Number ? image_.rows_ : image_.columns_) = value;
        AddTagEntry(tag, std::to_string(value), "");
        return true;
    }
    case tags::BitsAllocated.Number: {
        const std::uint16_t value = ReadUInt16();
        if (iconMode_) {
            AddTagEntry(tag, std::to_string(value), "");
        } else {
            image_.bitsAllocated_ = LowByteOnly(value);
            AddTagEntry(tag, std::to_string(image_.bitsAllocated_), "");
        }
        return true;
    }
    case tags::RedPaletteColorLookupTableData.Number:
    case tags::GreenPaletteColorLookupTableData.Number:
    case tags::BluePaletteColorLookupTableData.Number:
        AddTagEntry(tag, kPaletteText, "");
        SkipValue(length);
        return true;
    case tags::IconImageSequence.Number:
        if (length == 0) {
            iconMode_ = true;
        } else {
            SkipValue(length);
            AddTagEntry(tag, kIconText, "");
        }
        return true;
    case tags::PrivatePixelData.Number:
        if (length != 0) {
            image_.pixelDataOffset_ = CheckedOffset(valueStart + kPrivatePixelDataSkip);
            stop = true;
        }
        return true;
    case tags::PixelData.Number:
        if (image_.Encapsulated() && undefinedLength_ && !iconMode_) {
            // Encapsulated: the items follow, the first frame is decoded on load.
            image_.pixelDataOffset_ = CheckedOffset(valueStart);
            AddTagEntry(tag, std::to_string(image_.pixelDataOffset_), "");
            stop = true;
        } else if (length != 0 && !iconMode_) {
            image_.pixelDataOffset_ = CheckedOffset(valueStart);
            AddTagEntry(tag, std::to_string(image_.pixelDataOffset_), "");
            stop = true;
        } else {
            AddTagEntry(tag, "", "");
            iconMode_ = false;
            SkipValue(length);
        }
        return true;
    default:
        return false;
    }
}

// Any other element: binary numbers by their VR, everything else as text.
void DicomHeaderParser::ReadGenericElement(std::uint32_t tag)
{
    std::string description;
    if (elementVR_ == kUnknownVR) {
        std::string vr;
        if (LookupTag(tag, vr, description)) elementVR_ = vr;
    }
    // The VR as it stands now decides the decoding; AddTagEntry may still
    // show the dictionary's VR.
    const std::string vr = elementVR_;
    std::uint32_t size = 0;
    if (vr == "FD")
        size = 8;
    else if (vr == "FL" || vr == "SL" || vr == "UL")
        size = 4;
    else if (vr == "SS" || vr == "US")
        size = 2;

    if (size == 0) {
        AddTagEntry(tag, ReadText(elementLength_), description);
        return;
    }

    const std::uint32_t count = elementLength_ / size;
    const bool isUS = vr == "US";
    for (std::uint32_t i = 1; i <= count; ++i) {
        std::string text;
        if (vr == "FD")
            text = FormatDicomReal(ReadFloat64());
        else if (vr == "FL")
            text = FormatDicomReal(ReadFloat32());
        else if (vr == "SL")
            text = std::to_string(ReadInt32());
        else if (vr == "UL")
            text = std::to_string(ReadUInt32());
        else if (vr == "SS")
            text = std::to_string(ReadInt16());
        else
            text = std::to_string(ReadUInt16());

        if (isUS && i == 11) {
            std::string rest = "....(11 till";
            rest += std::to_string(count);
            rest += ')';
            AddTagEntry(tag, std::move(rest), description);
            // Values 12 to count are read and dropped.
            SkipValue(static_cast<std::uint64_t>(count - 11) * 2);
            break;
        }
        if (i >= 2) {
            text += '(';
            text += std::to_string(i);
            text += ')';
        }
        AddTagEntry(tag, std::move(text), description);
    }
    // PartialValuesSkipped: they belong to this element too.
    SkipValue(elementLength_ % size);
}

void DicomHeaderParser::ReadHeader()
{
    order_ = ByteOrder::Little;
    iconMode_ = false;

    source_->Seek(128);
    char magic[4];
    if (source_->Read(magic, 4) != 4) FailShortRead();
    if (std::memcmp(magic, "DICM", 4) == 0) {
        image_.hasPreamble_ = true;
    } else {
        source_->Seek(0);  // BareDataSet
    }

    // Every element consumes at least its 8-byte header, so this ends.
    bool stop = false;
    while (!stop) {
        if (image_.coding_ == PixelCoding::Deflated && !inflater_) InflateAfterMetaGroup();
        const std::uint32_t tag = ReadElementHeader();
        const std::uint64_t valueStart = source_->Position();
        if (valueStart % 2 != 0) image_.oddOffsets_ = true;
        if (!ReadSpecialElement(tag, valueStart, stop)) ReadGenericElement(tag);
    }
}

// Deflated Explicit VR Little Endian: the elements after the file meta group
// (group 0002) are one raw deflate stream. At the first element of another
// group, the rest of the file is inflated as the reading goes; positions
// (PixelDataOffset too) count from the start of the inflated data set.
void DicomHeaderParser::InflateAfterMetaGroup()
{
    const std::uint64_t start = source_->Position();
    std::uint8_t group[2];
    const bool peeked = source_->Read(group, 2) == 2;
    source_->Seek(start);
    if (!peeked || DecodeUnsigned<std::uint16_t>(group, ByteOrder::Little) == 0x0002) return;

    std::vector<std::uint8_t> deflated(static_cast<std::size_t>(source_->Remaining()));
    if (source_->Read(deflated.data(), deflated.size()) != deflated.size()) FailShortRead();
    image_.deflatedStart_ = start;
    inflater_ =
        std::make_unique<Inflater>(std::move(deflated), kMaxInflatedHeader,
                                   DecodeFailure("the deflated data set is corrupt", image_.transferSyntaxUid_));
    inflatedSource_ = std::make_unique<ByteSource>(*inflater_);
    source_ = inflatedSource_.get();
}

TDicomBeeld::TDicomBeeld(std::string directoryName, std::string fileName, CompressedImages compressed)
    : directoryName_(std::move(directoryName)), fileName_(std::move(fileName)), compressed_(compressed)
{
    const std::string path = directoryName_ + fileName_;
    const SharedFile file(path);
    if (!file.IsOpen()) throw EvenorError("Cannot open file " + path);
    ByteSource source(file);
    DicomHeaderParser parser(*this, source);
    parser.ReadHeader();
    if (Inflater* inflater = parser.DataSetInflater()) {
        KeepInflatedDataSet(*inflater);
        parser.ReleaseInflater();
        SizePixelsForFile(inflated_.size());
        return;
    }
    if (compressed_ == CompressedImages::Decode) {
        // The start of the pixel data tells a reversible JPEG 2000 codestream.
        std::vector<std::uint8_t> start(Encapsulated() ? kCompressedHeaderBytes : 0);
        const std::size_t got = file.ReadAt(start.data(), start.size(), static_cast<std::uint64_t>(pixelDataOffset_));
        CheckCompressedImage(std::span<const std::uint8_t>(start).first(got));
    }
    if (!Encapsulated()) SizePixelsForFile(source.Size());
}

TDicomBeeld::TDicomBeeld(std::span<const std::uint8_t> bytes, CompressedImages compressed) : compressed_(compressed)
{
    ByteSource source(bytes);
    DicomHeaderParser parser(*this, source);
    parser.ReadHeader();
    if (Inflater* inflater = parser.DataSetInflater()) {
        KeepInflatedDataSet(*inflater);
        parser.ReleaseInflater();
        SizePixelsForFile(inflated_.size());
        return;
    }
    if (compressed_ == CompressedImages::Decode) {
        const auto offset = std::min<std::uint64_t>(static_cast<std::uint64_t>(pixelDataOffset_), bytes.size());
        CheckCompressedImage(Encapsulated() ? bytes.subspan(offset) : std::span<const std::uint8_t>());
    }
    if (!Encapsulated()) SizePixelsForFile(source.Size());
}

// The inflated data set up to the end of the pixel data (bounded by Rows x
// Columns samples after the header), kept for LoadPixels.
void TDicomBeeld::KeepInflatedDataSet(Inflater& inflater)
{
    CheckCompressedImage({});
    const std::uint64_t samples = static_cast<std::uint64_t>(rows_) * static_cast<std::uint64_t>(columns_);
    const std::uint64_t end = static_cast<std::uint64_t>(pixelDataOffset_) + samples * (bitsAllocated_ > 8 ? 2 : 1);
    inflater.SetLimit(end);
    inflater.Reach(end);
    inflated_ = inflater.Take();
}

// What a decodable image must be beyond its syntax, and whether it is lossy.
void TDicomBeeld::CheckCompressedImage(std::span<const std::uint8_t> pixelDataStart)
{
    if (Encapsulated()) {
        if (samplesPerPixel_ != 1)
            throw EvenorError(DecodeFailure(std::to_string(samplesPerPixel_) + " samples per pixel (1 can be decoded)",
                                            transferSyntaxUid_));
        if (bitsAllocated_ != 8 && bitsAllocated_ != 16)
            throw EvenorError(DecodeFailure(
                "Bits Allocated " + std::to_string(bitsAllocated_) + " (8 and 16 can be decoded)", transferSyntaxUid_));
    }
    // Lossy Image Compression (0028,2110): "01" anywhere (also in an item of
    // a sequence, which the table lists without nesting) makes the image
    // lossy. A JPEG 2000 image of the syntax that allows loss (.91) counts as
    // lossless only when its codestream is reversible and the file says "00":
    // a reversible codestream cut to a rate is lossy too, and its header
    // does not tell.
    bool saysLossy = false;
    bool saysLossless = false;
    for (const TagEntry& entry : tagTable_) {
        if (entry.Tag == tags::LossyImageCompression.Key) {
            std::string_view value = entry.Value;
            while (!value.empty() && (value.back() == ' ' || value.back() == '\0')) value.remove_suffix(1);
            saysLossy = saysLossy || value == "01";
            saysLossless = saysLossless || value == "00";
        }
    }
    bool lossy = lossySyntax_ || saysLossy || CodestreamIsLossy(coding_, pixelDataStart);
    if (lossy && !saysLossy && saysLossless && coding_ == PixelCoding::Jpeg2000 && IsReversibleJpeg2000(pixelDataStart))
        lossy = false;
    lossyCompressed_ = lossy;
}

TDicomBeeld::~TDicomBeeld() = default;

std::vector<std::string> TDicomBeeld::TagList() const
{
    std::vector<std::string> lines;
    lines.reserve(tagTable_.size());
    for (const auto& entry : tagTable_)
        lines.push_back(entry.Tag + ", " + entry.Value + ", " + entry.VR + ", " + entry.Description);
    return lines;
}

}  // namespace evenor
