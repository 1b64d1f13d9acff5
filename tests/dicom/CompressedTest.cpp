// Compressed pixel data read on request: the encapsulated items, the codecs'
// checks, deflated data sets, the lossy flag, and the refusal that stays the
// default. The decoders' exactness on real encoders' files is checked by
// tests/cli/compressed_crosscheck.py.
#include <gtest/gtest.h>

#include <charls/charls.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "dicom/DicomLib.h"
#include "tests/support/Deflate.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {
namespace {

using test::Deflate;
using test::TestDicomWriter;
using namespace std::string_literals;

constexpr const char* kRle = "1.2.840.10008.1.2.5";
constexpr const char* kJpegLossless = "1.2.840.10008.1.2.4.70";
constexpr const char* kJpegLs = "1.2.840.10008.1.2.4.80";
constexpr const char* kJpeg2000 = "1.2.840.10008.1.2.4.90";
constexpr const char* kDeflated = "1.2.840.10008.1.2.1.99";

std::string Le16(std::uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string Le32(std::uint32_t v)
{
    return Le16(static_cast<std::uint16_t>(v & 0xFFFF)) + Le16(static_cast<std::uint16_t>(v >> 16));
}

std::string Item(const std::string& value)
{
    return "\xFE\xFF\x00\xE0"s + Le32(static_cast<std::uint32_t>(value.size())) + value;
}
std::string ItemWithLength(std::uint32_t length, const std::string& value)
{
    return "\xFE\xFF\x00\xE0"s + Le32(length) + value;
}
const std::string kDelimiter = "\xFE\xFF\xDD\xE0\x00\x00\x00\x00"s;

struct Geometry {
    std::uint16_t Rows = 3;
    std::uint16_t Columns = 3;
    std::uint16_t BitsAllocated = 8;
    std::uint16_t SamplesPerPixel = 1;
    std::string Frames;       // Number of Frames text; empty: no element
    std::string Lossy;        // Lossy Image Compression; empty: no element
    std::string NestedLossy;  // the same in an item of a Source Image Sequence before it
};

Geometry Geo(std::uint16_t rows, std::uint16_t columns, std::uint16_t bits, std::uint16_t samples = 1,
             std::string frames = "")
{
    Geometry g;
    g.Rows = rows;
    g.Columns = columns;
    g.BitsAllocated = bits;
    g.SamplesPerPixel = samples;
    g.Frames = std::move(frames);
    return g;
}

// Preamble, file meta group, the image elements, then encapsulated Pixel Data
// (undefined length) whose items are given.
std::string EncapsulatedFile(const std::string& syntax, const Geometry& g, const std::string& items)
{
    TestDicomWriter w;
    w.Preamble().FileMeta(syntax);
    if (!g.NestedLossy.empty()) {
        TestDicomWriter item;
        item.Explicit(0x00282110, "CS", TestDicomWriter::EvenText(g.NestedLossy));
        w.ExplicitWithLength(0x00082112, "SQ", 0xFFFFFFFF, Item(item.String()) + kDelimiter);
    }
    w.ExplicitUS(0x00280002, g.SamplesPerPixel);
    if (!g.Frames.empty()) w.Explicit(0x00280008, "IS", TestDicomWriter::EvenText(g.Frames));
    w.ExplicitUS(0x00280010, g.Rows).ExplicitUS(0x00280011, g.Columns).ExplicitUS(0x00280100, g.BitsAllocated);
    if (!g.Lossy.empty()) w.Explicit(0x00282110, "CS", TestDicomWriter::EvenText(g.Lossy));
    w.ExplicitWithLength(0x7FE00010, "OB", 0xFFFFFFFF, items);
    return w.String();
}

// RLE segment of literal runs (at most 128 bytes each).
std::string Literal(const std::string& bytes)
{
    std::string out;
    for (std::size_t at = 0; at < bytes.size(); at += 128) {
        const std::string part = bytes.substr(at, 128);
        out += static_cast<char>(part.size() - 1);
        out += part;
    }
    return out;
}

// An RLE frame: header with the segments' offsets, then the segments.
std::string RleFrame(const std::vector<std::string>& segments)
{
    std::string header = Le32(static_cast<std::uint32_t>(segments.size()));
    std::uint32_t offset = 64;
    for (std::size_t i = 0; i < 15; ++i) {
        header += Le32(i < segments.size() ? offset : 0);
        if (i < segments.size()) offset += static_cast<std::uint32_t>(segments[i].size());
    }
    for (const auto& segment : segments) header += segment;
    return header;
}

std::string JpegLsStream(std::uint16_t rows, std::uint16_t columns, int bits, const std::vector<std::uint16_t>& pixels)
{
    charls::jpegls_encoder encoder;
    encoder.frame_info({columns, rows, bits, 1});
    std::vector<std::uint8_t> destination(encoder.estimated_destination_size());
    encoder.destination(destination);
    std::vector<std::uint8_t> source;
    for (const std::uint16_t v : pixels) {
        if (bits > 8) {
            source.push_back(static_cast<std::uint8_t>(v & 0xFF));
            source.push_back(static_cast<std::uint8_t>(v >> 8));
        } else {
            source.push_back(static_cast<std::uint8_t>(v));
        }
    }
    const std::size_t size = encoder.encode(source);
    return std::string(destination.begin(), destination.begin() + static_cast<std::ptrdiff_t>(size));
}

// A JPEG codestream: SOI, a lossless frame header (SOF3) of the given size,
// then the given bytes.
std::string JpegHeader(std::uint16_t lines, std::uint16_t samples, int precision, int components, std::string rest)
{
    std::string sof = "\xFF\xC3"s;
    const int length = 8 + 3 * components;
    sof += static_cast<char>(length >> 8);
    sof += static_cast<char>(length & 0xFF);
    sof += static_cast<char>(precision);
    sof += static_cast<char>(lines >> 8);
    sof += static_cast<char>(lines & 0xFF);
    sof += static_cast<char>(samples >> 8);
    sof += static_cast<char>(samples & 0xFF);
    sof += static_cast<char>(components);
    for (int c = 0; c < components; ++c) sof += "\x01\x11\x00"s;
    return "\xFF\xD8"s + sof + rest;
}

class CompressedTest : public ::testing::Test {
protected:
    test::TempFolder dir;

    // Writes the bytes, opens them as asked and loads the pixels.
    std::unique_ptr<TDicomBeeld> Load(const std::string& bytes, CompressedImages compressed = CompressedImages::Decode)
    {
        test::WriteWholeFile(dir.Path() / "image.dcm", bytes);
        auto image = std::make_unique<TDicomBeeld>(dir.Path().string() + "/", "image.dcm", compressed);
        image->LoadPixels();
        return image;
    }

    // The message Load throws, or "" when it does not.
    std::string LoadMessage(const std::string& bytes, CompressedImages compressed = CompressedImages::Decode)
    {
        try {
            Load(bytes, compressed);
        } catch (const EvenorError& e) {
            return e.Message();
        }
        return "";
    }
};

const std::vector<std::uint16_t> kNine{0, 1, 2, 3, 250, 5, 6, 7, 8};
const std::string kNineBytes{'\0', 1, 2, 3, static_cast<char>(250), 5, 6, 7, 8};

TEST_F(CompressedTest, DecodesTheFirstFrameFromItsFragments)
{
    const std::string frame8 = RleFrame({Literal(kNineBytes)});
    // 16-bit: high plane then low plane.
    const std::vector<std::uint16_t> wide{0x0100, 0x0203, 0xFFFF, 0x8000, 0x0001, 0x1234, 0, 0x7F7F, 0xABCD};
    std::string high, low;
    for (const auto v : wide) {
        high += static_cast<char>(v >> 8);
        low += static_cast<char>(v & 0xFF);
    }
    // A repeat run of the plane's bytes: 3 x 3 zeros.
    const std::string repeated = RleFrame({"\xF8\x07"s});
    const std::string frame16 = RleFrame({Literal(high), Literal(low)});
    const std::string ls16 = JpegLsStream(3, 3, 16, wide);
    const std::string ls8 = JpegLsStream(3, 3, 8, kNine);

    struct Case {
        const char* name;
        const char* syntax;
        Geometry geometry;
        std::string items;
        std::vector<std::uint16_t> expected;
    };
    const Case cases[] = {
        {"rle 8 bit", kRle, {}, Item("") + Item(frame8) + kDelimiter, kNine},
        {"rle repeat run", kRle, {}, Item("") + Item(repeated) + kDelimiter, std::vector<std::uint16_t>(9, 7)},
        {"rle 16 bit", kRle, Geo(3, 3, 16), Item("") + Item(frame16) + kDelimiter, wide},
        {"rle frame over two fragments", kRle, Geo(3, 3, 16),
         Item("") + Item(frame16.substr(0, 70)) + Item(frame16.substr(70)) + kDelimiter, wide},
        {"offset table of one frame", kRle, {}, Item(Le32(0)) + Item(frame8) + kDelimiter, kNine},
        {"second frame left alone", kRle, Geo(3, 3, 8, 1, "2"),
         Item(Le32(0) + Le32(static_cast<std::uint32_t>(8 + frame8.size()))) + Item(frame8) +
             Item(RleFrame({"\xF8\x01"s})) + kDelimiter,
         kNine},
        {"frames without offset table", kRle, Geo(3, 3, 8, 1, "2"),
         Item("") + Item(frame8) + Item(RleFrame({"\xF8\x01"s})) + kDelimiter, kNine},
        {"no sequence delimiter", kRle, {}, Item("") + Item(frame8), kNine},
        {"jpeg-ls 16 bit", kJpegLs, Geo(3, 3, 16), Item("") + Item(ls16) + kDelimiter, wide},
        {"jpeg-ls 8 bit in two fragments", kJpegLs, Geo(3, 3, 8),
         Item("") + Item(ls8.substr(0, 10)) + Item(ls8.substr(10)) + kDelimiter, kNine},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto image = Load(EncapsulatedFile(c.syntax, c.geometry, c.items));
        EXPECT_EQ(image->Pixels(), c.expected);
        EXPECT_TRUE(image->Encapsulated());
        EXPECT_FALSE(image->LossyCompressed());
    }
}

TEST_F(CompressedTest, HostileDataGetsAClearMessage)
{
    const std::string frame8 = RleFrame({Literal(kNineBytes)});
    const std::string ls16 = JpegLsStream(3, 3, 16, std::vector<std::uint16_t>(9, 1000));
    const std::string ls8 = JpegLsStream(3, 3, 8, kNine);
    const std::string ls4x3 = JpegLsStream(3, 4, 8, std::vector<std::uint16_t>(12, 9));
    struct Case {
        const char* name;
        const char* syntax;
        Geometry geometry;
        std::string items;
        std::string reason;
    };
    const Case cases[] = {
        {"fragment past the end",
         kRle,
         {},
         Item("") + ItemWithLength(1000, frame8),
         "a fragment runs past the end of the file"},
        {"offset table past the end",
         kRle,
         {},
         ItemWithLength(0xFFFFFFF0, ""),
         "a fragment runs past the end of the file"},
        {"item header cut",
         kRle,
         {},
         Item("") + "\xFE\xFF\x00"s,
         "the encapsulated pixel data ends inside an item header"},
        {"no items at all", kRle, {}, "", "the encapsulated pixel data ends inside an item header"},
        {"no fragment", kRle, {}, Item("") + kDelimiter, "the encapsulated pixel data holds no fragment"},
        {"delimiter first", kRle, {}, kDelimiter, "the encapsulated pixel data has no Basic Offset Table item"},
        {"element that is no item",
         kRle,
         {},
         Item("") + "\xE0\x7F\x10\x00\x00\x00\x00\x00"s,
         "the encapsulated pixel data holds an element that is no item"},
        {"item of undefined length",
         kRle,
         {},
         Item("") + ItemWithLength(0xFFFFFFFF, frame8),
         "an item of the encapsulated pixel data has no length"},
        {"offset table not a multiple of 4",
         kRle,
         {},
         Item("\x00\x00"s) + Item(frame8) + kDelimiter,
         "the Basic Offset Table is not a list of 32-bit offsets"},
        {"offset table pointing inside a fragment", kRle, Geo(3, 3, 8, 1, "2"),
         Item(Le32(0) + Le32(5)) + Item(frame8) + Item(frame8) + kDelimiter,
         "the Basic Offset Table does not point at the starts of fragments"},
        {"offset table not starting at 0",
         kRle,
         {},
         Item(Le32(8)) + Item(frame8) + Item(frame8) + kDelimiter,
         "the Basic Offset Table does not point at the starts of fragments"},
        {"offset table descending", kRle, Geo(3, 3, 8, 1, "3"),
         Item(Le32(0) + Le32(static_cast<std::uint32_t>(16 + 2 * frame8.size())) +
              Le32(static_cast<std::uint32_t>(8 + frame8.size()))) +
             Item(frame8) + Item(frame8) + Item(frame8) + kDelimiter,
         "the Basic Offset Table does not point at the starts of fragments"},
        {"rle header cut",
         kRle,
         {},
         Item("") + Item(frame8.substr(0, 40)) + kDelimiter,
         "the RLE header is incomplete"},
        {"rle segment count", kRle, Geo(3, 3, 16), Item("") + Item(frame8) + kDelimiter,
         "the RLE data has 1 segments where one sample of 16 bits needs 2"},
        {"rle offset outside",
         kRle,
         {},
         Item("") + Item(Le32(1) + Le32(5000) + std::string(56, '\0') + "\x08"s) + kDelimiter,
         "an RLE segment offset points outside the frame"},
        {"rle segment cut",
         kRle,
         {},
         Item("") + Item(frame8.substr(0, frame8.size() - 3)) + kDelimiter,
         "an RLE segment ends early"},
        {"rle too few samples", kRle, Geo(4, 3, 8), Item("") + Item(frame8) + kDelimiter, "an RLE segment ends early"},
        {"rle a row too many", kRle, Geo(2, 3, 8), Item("") + Item(frame8) + kDelimiter,
         "an RLE segment holds more than Rows x Columns samples"},
        {"rle bomb", kRle, Geo(16384, 16384, 16), Item("") + Item(RleFrame({"\x81\x00"s, "\x81\x00"s})) + kDelimiter,
         "an RLE segment ends early"},
        {"jpeg without frame header",
         kJpegLossless,
         {},
         Item("") + Item("\xFF\xD8\xFF\xD9"s) + kDelimiter,
         "the JPEG data has no frame header"},
        {"jpeg of another size",
         kJpegLossless,
         {},
         Item("") + Item(JpegHeader(4, 3, 8, 1, "\xFF\xD9"s)) + kDelimiter,
         "the JPEG data is 3 x 4 pixels, the header says 3 x 3"},
        {"jpeg in colour",
         kJpegLossless,
         {},
         Item("") + Item(JpegHeader(3, 3, 8, 3, "\xFF\xD9"s)) + kDelimiter,
         "the JPEG data has 3 components, not 1"},
        {"jpeg too deep for 8 bits",
         kJpegLossless,
         {},
         Item("") + Item(JpegHeader(3, 3, 12, 1, "\xFF\xD9"s)) + kDelimiter,
         "the JPEG data has 12-bit samples for 8 bits allocated"},
        {"jpeg bomb", kJpegLossless, Geo(16384, 16384, 16),
         Item("") + Item(JpegHeader(16384, 16384, 16, 1, "\xFF\xD9"s)) + kDelimiter, "the JPEG data ends early"},
        {"more pixels than are decoded", kJpegLossless, Geo(16384, 16385, 16),
         Item("") + Item(JpegHeader(16384, 16385, 16, 1, "\xFF\xD9"s)) + kDelimiter,
         "16385 x 16384 pixels are more than can be decoded (16384 x 16384)"},
        {"jpeg without scan", kJpegLossless, Geo(2, 2, 8),
         Item("") + Item(JpegHeader(2, 2, 8, 1, "\xFF\xD9"s)) + kDelimiter, "the JPEG data cannot be decoded"},
        {"jpeg-ls cut", kJpegLs, Geo(3, 3, 16), Item("") + Item(ls16.substr(0, ls16.size() - 6)) + kDelimiter,
         "the JPEG-LS data cannot be decoded"},
        {"jpeg-ls of another size", kJpegLs, Geo(3, 3, 8), Item("") + Item(ls4x3) + kDelimiter,
         "the JPEG-LS data is 4 x 3 pixels, the header says 3 x 3"},
        {"jpeg-ls too deep for 8 bits", kJpegLs, Geo(3, 3, 8), Item("") + Item(ls16) + kDelimiter,
         "the JPEG-LS data has 16-bit samples for 8 bits allocated"},
        {"jpeg-ls garbage",
         kJpegLs,
         {},
         Item("") + Item("not a codestream") + kDelimiter,
         "the JPEG-LS data cannot be decoded"},
        {"jpeg 2000 garbage",
         kJpeg2000,
         {},
         Item("") + Item("\xFF\x4F\xFF\x51garbage!") + kDelimiter,
         "the JPEG 2000 data has no readable header"},
        {"jpeg-ls where jpeg 2000 is said", kJpeg2000, Geo(3, 3, 8), Item("") + Item(ls8) + kDelimiter,
         "the JPEG 2000 data has no readable header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = LoadMessage(EncapsulatedFile(c.syntax, c.geometry, c.items));
        const std::string expected = "Cannot decode compressed DICOM image: " + c.reason;
        EXPECT_EQ(message.substr(0, expected.size()), expected) << message;
        EXPECT_NE(message.find(". Transfer Syntax UID = "s + c.syntax), std::string::npos) << message;
    }
}

TEST_F(CompressedTest, RefusalsNameTheSyntax)
{
    const std::string items = Item("") + Item(RleFrame({Literal(kNineBytes)})) + kDelimiter;
    struct Case {
        const char* name;
        std::string syntax;
        Geometry geometry;
        CompressedImages compressed;
        std::string message;
    };
    const Case cases[] = {
        {"refused by default",
         kRle,
         {},
         CompressedImages::Refuse,
         "Cannot open compressed DICOM images. Transfer Syntax UID = 1.2.840.10008.1.2.5\0"s},
        {"unknown compressed syntax",
         "1.2.840.10008.1.2.4.100",
         {},
         CompressedImages::Decode,
         "Cannot open compressed DICOM images. Transfer Syntax UID = 1.2.840.10008.1.2.4.100\0"s},
        {"colour", kRle, Geo(3, 3, 8, 3), CompressedImages::Decode,
         "Cannot decode compressed DICOM image: 3 samples per pixel (1 can be decoded). Transfer Syntax UID = "
         "1.2.840.10008.1.2.5"},
        {"12 bits allocated", kRle, Geo(3, 3, 12), CompressedImages::Decode,
         "Cannot decode compressed DICOM image: Bits Allocated 12 (8 and 16 can be decoded). Transfer Syntax UID = "
         "1.2.840.10008.1.2.5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LoadMessage(EncapsulatedFile(c.syntax, c.geometry, items), c.compressed), c.message);
    }
}

TEST_F(CompressedTest, LossyImagesAreFlaggedOnlyWhenDecodingWasAskedFor)
{
    const std::string items = Item("") + Item(RleFrame({Literal(kNineBytes)})) + kDelimiter;
    // An uncompressed image that was lossy compressed once.
    TestDicomWriter native;
    native.Preamble().FileMeta("1.2.840.10008.1.2.1");
    native.ExplicitUS(0x00280010, 3).ExplicitUS(0x00280011, 3).ExplicitUS(0x00280100, 8);
    native.Explicit(0x00282110, "CS", "01").Explicit(0x7FE00010, "OB", kNineBytes + '\0');
    struct Case {
        const char* name;
        std::string bytes;
        CompressedImages compressed;
        bool lossy;
    };
    Geometry lossyTag;
    lossyTag.Lossy = "01";
    Geometry notLossy;
    notLossy.Lossy = "00";
    Geometry nestedNotLossy = lossyTag;
    nestedNotLossy.NestedLossy = "00";
    // A JPEG 2000 main header: reversible 5-3 wavelet (COD), no quantisation
    // (QCD), then the first tile.
    const std::string reversible = "\xFF\x4F"s + "\xFF\x52\x00\x0C\x00\x00\x00\x01\x00\x05\x04\x04\x00\x01"s +
                                   "\xFF\x5C\x00\x04\x00\x40"s + "\xFF\x90"s;
    const std::string j2kItems = Item("") + Item(reversible) + kDelimiter;
    // Coded with loss under a lossless syntax: a DCT frame header (SOF1), and
    // a JPEG-LS scan with NEAR 2.
    std::string dct = JpegHeader(3, 3, 8, 1, "\xFF\xD9"s);
    dct[3] = '\xC1';
    charls::jpegls_encoder nearEncoder;
    nearEncoder.frame_info({3, 3, 8, 1}).near_lossless(2);
    std::vector<std::uint8_t> nearStream(nearEncoder.estimated_destination_size());
    nearEncoder.destination(nearStream);
    nearStream.resize(nearEncoder.encode(std::vector<std::uint8_t>(kNineBytes.begin(), kNineBytes.end())));
    const std::string lossless = JpegLsStream(3, 3, 8, kNine);
    const std::string jpegLsItems = Item("") + Item(lossless + std::string(lossless.size() % 2, '\0')) + kDelimiter;
    const std::string nearItems =
        Item("") + Item(std::string(nearStream.begin(), nearStream.end()) + std::string(nearStream.size() % 2, '\0')) +
        kDelimiter;
    const Case cases[] = {
        {"lossless syntax", EncapsulatedFile(kRle, {}, items), CompressedImages::Decode, false},
        {"lossless syntax, tag 01", EncapsulatedFile(kRle, lossyTag, items), CompressedImages::Decode, true},
        {"lossless syntax, tag 00", EncapsulatedFile(kRle, notLossy, items), CompressedImages::Decode, false},
        {"jpeg baseline", EncapsulatedFile("1.2.840.10008.1.2.4.50", {}, items), CompressedImages::Decode, true},
        {"jpeg-ls near-lossless", EncapsulatedFile("1.2.840.10008.1.2.4.81", {}, items), CompressedImages::Decode,
         true},
        {"jpeg 2000 that is not reversible", EncapsulatedFile("1.2.840.10008.1.2.4.91", {}, items),
         CompressedImages::Decode, true},
        {"lossless syntax, tag 01 after an item's 00", EncapsulatedFile(kRle, nestedNotLossy, items),
         CompressedImages::Decode, true},
        {"reversible jpeg 2000 (.91), tag 00", EncapsulatedFile("1.2.840.10008.1.2.4.91", notLossy, j2kItems),
         CompressedImages::Decode, false},
        // It may have been cut to a rate, and its header cannot tell.
        {"reversible jpeg 2000 (.91), no tag", EncapsulatedFile("1.2.840.10008.1.2.4.91", {}, j2kItems),
         CompressedImages::Decode, true},
        {"lossless jpeg",
         EncapsulatedFile("1.2.840.10008.1.2.4.70", {},
                          Item("") + Item(JpegHeader(3, 3, 8, 1, "\xFF\xD9"s)) + kDelimiter),
         CompressedImages::Decode, false},
        {"dct jpeg under the lossless syntax",
         EncapsulatedFile("1.2.840.10008.1.2.4.70", {}, Item("") + Item(dct) + kDelimiter), CompressedImages::Decode,
         true},
        {"lossless jpeg-ls", EncapsulatedFile("1.2.840.10008.1.2.4.80", {}, jpegLsItems), CompressedImages::Decode,
         false},
        {"near-lossless jpeg-ls under the lossless syntax", EncapsulatedFile("1.2.840.10008.1.2.4.80", {}, nearItems),
         CompressedImages::Decode, true},
        {"uncompressed, tag 01", native.String(), CompressedImages::Decode, true},
        {"uncompressed, tag 01, not asked", native.String(), CompressedImages::Refuse, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::WriteWholeFile(dir.Path() / "image.dcm", c.bytes);
        const TDicomBeeld image(dir.Path().string() + "/", "image.dcm", c.compressed);
        EXPECT_EQ(image.LossyCompressed(), c.lossy);
    }
}

TEST_F(CompressedTest, DeflatedDataSets)
{
    TestDicomWriter meta;
    meta.Preamble().FileMeta(kDeflated);
    TestDicomWriter dataSet;
    dataSet.ExplicitUS(0x00280010, 3).ExplicitUS(0x00280011, 3).ExplicitUS(0x00280100, 16);
    std::string words;
    for (const std::uint16_t v : {1, 2, 3, 400, 5, 6, 7, 8, 65535}) words += Le16(v);
    dataSet.Explicit(0x7FE00010, "OW", words);
    const std::string deflated = Deflate(dataSet.String());
    const WordArray expected{1, 2, 3, 400, 5, 6, 7, 8, 65535};

    {
        const auto image = Load(meta.String() + deflated);
        EXPECT_EQ(image->Pixels(), expected);
        image->LoadPixels();  // a reload inflates the file again
        EXPECT_EQ(image->Pixels(), expected);
        EXPECT_EQ(image->Coding(), PixelCoding::Deflated);
    }
    // Cut inside the pixel data: too short, as an uncompressed file would be.
    EXPECT_TRUE(Load(meta.String() + deflated.substr(0, deflated.size() - 4))->Pixels().empty());
    // Not a deflate stream.
    EXPECT_EQ(LoadMessage(meta.String() + "\xFF\xFF\xFF\xFF garbage"s),
              "Cannot decode compressed DICOM image: the deflated data set is corrupt. Transfer Syntax UID = "
              "1.2.840.10008.1.2.1.99");
    // A value that claims 4 GB over a stream of a megabyte is not allocated:
    // the stream ends first, and the header with it.
    TestDicomWriter bombSet;
    bombSet.ExplicitUS(0x00280010, 65535).ExplicitUS(0x00280011, 65535).ExplicitUS(0x00280100, 16);
    bombSet.ExplicitWithLength(0x00091010, "OB", 0xFFFFFFF0, std::string(std::size_t{1} << 20, '\0'));
    const std::string message = LoadMessage(meta.String() + Deflate(bombSet.String()));
    EXPECT_NE(message.find("Error Reading file at Position"), std::string::npos) << message;
}

}  // namespace
}  // namespace evenor::test
