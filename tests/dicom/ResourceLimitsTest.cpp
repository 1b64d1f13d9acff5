// The DICOM reader on inputs that claim far more than they hold: absurd
// lengths, Rows = Columns = 65535 in a short file, deeply nested items of
// undefined length, endless lists of numbers. Whatever the header claims, the
// memory the reader takes stays in proportion to the file's own size: values
// are allocated only after their length has been checked against the bytes
// left, Pixels only when the file holds every sample, and each tag-table entry
// stands for at least one element header or value read from the file.
//
// The figures come from a counting operator new (CountingAllocator.cpp), not
// from timing or the resident set size, so they are exact and repeatable.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <charls/charls.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include "dicom/DicomDictionary.h"
#include "dicom/DicomLib.h"
#include "tests/dicom/CountingAllocator.h"
#include "tests/support/Deflate.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {
namespace {

using test::Deflate;
using test::TestDicomWriter;

// A PS3.10 start: preamble, "DICM" and an explicit little-endian transfer
// syntax.
TestDicomWriter Part10()
{
    TestDicomWriter w;
    w.Preamble().Explicit(0x00020010, "UI", std::string("1.2.840.10008.1.2.1\0", 20));
    return w;
}

// A bare data set (no preamble) long enough to be read: one implicit element
// of 130 bytes first.
TestDicomWriter BareStart()
{
    TestDicomWriter w;
    w.ImplicitWithLength(0x00080005, 130, std::string(130, 'A'));
    return w;
}

constexpr std::uint32_t kUndefined = 0xFFFFFFFF;

struct Case {
    const char* name;
    std::string bytes;
    bool opens;                // the header reads to the pixel data
    std::size_t bytesPerByte;  // allowed peak per byte of the file, beyond a fixed allowance
};

// The fixed allowance: the reader's 64 KiB file window and small change.
constexpr std::size_t kFixedAllowance = 128 * 1024;

std::vector<Case> HostileInputs()
{
    std::vector<Case> cases;
    // Pixels are never sized beyond what the file holds.
    for (std::uint16_t bits : {16, 8}) {
        TestDicomWriter b = Part10();
        b.ExplicitUS(0x00280010, 65535).ExplicitUS(0x00280011, 65535).ExplicitUS(0x00280100, bits);
        b.ExplicitWithLength(0x7FE00010, bits == 16 ? "OW" : "OB", 0xFFFFFFF0, std::string(64, '\x11'));
        cases.push_back({bits == 16 ? "65535x65535, 16 bits, 64 pixel bytes" : "65535x65535, 8 bits, 64 pixel bytes",
                         b.String(), true, 4});
    }
    {
        // Absurd lengths on every kind of value: text, long VR, palette,
        // icon sequence, 0018,1164 spacing, implicit.
        const std::pair<const char*, TestDicomWriter> lengths[] = {
            {"text length 65535", Part10().ExplicitWithLength(0x00100010, "PN", 0xFFFF, "abc")},
            {"UN length 0xFFFFFFF0", Part10().ExplicitWithLength(0x00091001, "UN", 0xFFFFFFF0, "abcd")},
            {"OB length 0x7FFFFFFF", Part10().ExplicitWithLength(0x00091002, "OB", 0x7FFFFFFF, "abcd")},
            {"palette length 0xFFFFFFF0", Part10().ExplicitWithLength(0x00281201, "OW", 0xFFFFFFF0, "abcd")},
            {"icon sequence length 0xFFFFFFF0", Part10().ExplicitWithLength(0x00880200, "SQ", 0xFFFFFFF0, "abcd")},
            {"spacing length 65535", Part10().ExplicitWithLength(0x00181164, "DS", 0xFFFF, "0.1")},
            {"implicit length 0xFFFFFFF0", BareStart().ImplicitWithLength(0x00100010, 0xFFFFFFF0, "abcd")},
            {"implicit US length 0xFFFFFFFE", BareStart().ImplicitWithLength(0x00280106, 0xFFFFFFFE, "\1\0\2\0")},
            {"implicit FD length 0xFFFFFFF8",
             BareStart().ImplicitWithLength(0x00181628, 0xFFFFFFF8, std::string(16, '\0'))},
        };
        for (const auto& [name, b] : lengths) cases.push_back({name, b.String(), false, 4});
    }
    {
        // 100,000 sequences and items of undefined length nested in each
        // other, never closed: the reader lists them flat, without recursion.
        TestDicomWriter b = Part10();
        for (int i = 0; i < 100000; ++i) {
            b.ExplicitWithLength(0x00081115, "SQ", kUndefined, "");
            b.Tag(0xFFFEE000).U32(kUndefined);
        }
        b.ExplicitUS(0x00280010, 2).ExplicitUS(0x00280011, 2).ExplicitWithLength(0x7FE00010, "OB", 4, "\1\2\3\4");
        cases.push_back({"100,000 nested undefined-length sequences", b.String(), true, 64});
    }
    {
        // The same nesting with the item delimiters, then no pixel data.
        TestDicomWriter b = Part10();
        for (int i = 0; i < 50000; ++i)
            b.ExplicitWithLength(0x00081115, "SQ", kUndefined, "").Tag(0xFFFEE000).U32(kUndefined);
        for (int i = 0; i < 50000; ++i) b.Tag(0xFFFEE00D).U32(0).Tag(0xFFFEE0DD).U32(0);
        cases.push_back({"50,000 nested and closed sequences, no pixel data", b.String(), false, 64});
    }
    {
        // Numbers listed one entry each (SS, FD) and US, of which only 11
        // entries are listed however many values there are.
        const std::string words(60000, '\x01');
        cases.push_back({"implicit SS, 30,000 values",
                         BareStart().ImplicitWithLength(0x00281041, 0x7FFFFFFE, words).String(), false, 160});
        cases.push_back({"implicit FD, 7,500 values",
                         BareStart().ImplicitWithLength(0x00181628, 0x7FFFFFF8, words).String(), false, 40});
        TestDicomWriter us = Part10();
        us.ExplicitWithLength(0x00283006, "OW", 0, "").Explicit(0x00280106, "US", std::string(65534, '\x02'));
        us.ExplicitUS(0x00280010, 1).ExplicitUS(0x00280011, 2).ExplicitWithLength(0x7FE00010, "OB", 2, "\1\2");
        cases.push_back({"US, 32,767 values", us.String(), true, 4});
    }
    return cases;
}

struct Measured {
    test::AllocationFigures figures;
    bool opened = false;
    std::string error;
};

// Constructs the image from memory, or from the file when path is given, and
// asks for its tag list and its pixels; measures everything from the start.
Measured Measure(const std::string& bytes, const std::filesystem::path* path)
{
    Measured m;
    test::ResetAllocationFigures();
    try {
        std::unique_ptr<TDicomBeeld> image;
        if (path)
            image = std::make_unique<TDicomBeeld>(path->parent_path().string() + "/", path->filename().string());
        else
            image = std::make_unique<TDicomBeeld>(
                std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        const auto lines = image->TagList();
        if (path) image->LoadPixels();
        m.opened = true;
    } catch (const EvenorError& e) {
        m.error = e.Message();
    }
    m.figures = test::ReadAllocationFigures();
    return m;
}

// The bytes as a file in a folder of its own.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& bytes) : path_(folder_ / "hostile.dcm")
    {
        test::WriteWholeFile(path_, bytes);
    }
    const std::filesystem::path& Path() const { return path_; }

private:
    test::TempFolder folder_;
    std::filesystem::path path_;
};

TEST(ResourceLimitsTest, ReaderMemoryStaysInProportionToTheFile)
{
    // The dictionary is loaded once per program, outside any measurement.
    LoadDicomDictionaryFromText(BuiltInDictionary);
    for (const Case& c : HostileInputs()) {
        SCOPED_TRACE(c.name);
        const ScratchFile file(c.bytes);
        const std::size_t allowed = kFixedAllowance + c.bytesPerByte * c.bytes.size();
        for (const bool fromFile : {false, true}) {
            const Measured m = Measure(c.bytes, fromFile ? &file.Path() : nullptr);
            EXPECT_EQ(m.opened, c.opens) << m.error;
            EXPECT_LE(m.figures.Peak, allowed) << (fromFile ? "file" : "memory");
            EXPECT_LE(m.figures.Largest, allowed) << (fromFile ? "file" : "memory");
            std::printf("%-52s %-6s %9zu file bytes, peak %10zu (%.1f per byte), largest %9zu, %s\n", c.name,
                        fromFile ? "file" : "memory", c.bytes.size(), m.figures.Peak,
                        static_cast<double>(m.figures.Peak) / static_cast<double>(c.bytes.size()), m.figures.Largest,
                        m.opened ? "opened" : m.error.substr(0, 40).c_str());
        }
    }
}

// A short file claiming a huge image gives no pixels, before and after a load.
TEST(ResourceLimitsTest, HugeGeometryInAShortFileGivesNoPixels)
{
    TestDicomWriter b = Part10();
    b.ExplicitUS(0x00280010, 65535).ExplicitUS(0x00280011, 65535).ExplicitUS(0x00280100, 16);
    b.ExplicitWithLength(0x7FE00010, "OW", 0xFFFFFFF0, std::string(64, '\x11'));
    const ScratchFile file(b.String());
    TDicomBeeld image(file.Path().parent_path().string() + "/", file.Path().filename().string());
    EXPECT_EQ(image.Rows(), 65535);
    EXPECT_EQ(image.Columns(), 65535);
    EXPECT_TRUE(image.Pixels().empty());
    image.LoadPixels();
    EXPECT_TRUE(image.Pixels().empty());
}

// The allocator hook itself counts: a vector of 1 MiB shows as such.
TEST(ResourceLimitsTest, TheCounterSeesAllocations)
{
    test::ResetAllocationFigures();
    {
        std::vector<char> block(1 << 20);
        EXPECT_GE(test::ReadAllocationFigures().Peak, std::size_t{1} << 20);
    }
    EXPECT_EQ(test::ReadAllocationFigures().Largest, std::size_t{1} << 20);
}

}  // namespace

namespace {

// A PS3.10 start in the given transfer syntax, then Rows = Columns = 65535.
TestDicomWriter HugeImage(const std::string& syntax, std::uint16_t bits)
{
    TestDicomWriter w;
    w.Preamble().Explicit(0x00020010, "UI", syntax + std::string(syntax.size() % 2, '\0'));
    w.ExplicitUS(0x00280010, 65535).ExplicitUS(0x00280011, 65535).ExplicitUS(0x00280100, bits);
    return w;
}

std::string Items(const std::string& fragment)
{
    TestDicomWriter items;
    items.Tag(0xFFFEE000).U32(0).Tag(0xFFFEE000).U32(static_cast<std::uint32_t>(fragment.size())).Raw(fragment);
    return items.Tag(0xFFFEE0DD).U32(0).String();
}

}  // namespace

// Compressed images read with decoding on: a claim in a header or codestream
// allocates nothing until the data backs it. Deflated data sets grow with what
// the stream really gives; a codec's output is sized only after its own header
// agrees with Rows and Columns and the data can hold that many samples.
TEST(ResourceLimitsTest, CompressedClaimsAllocateNothingUnbacked)
{
    LoadDicomDictionaryFromText(BuiltInDictionary);
    std::vector<std::pair<const char*, std::string>> cases;
    {
        // A value of 4 GB claimed inside a deflate stream of a kilobyte.
        TestDicomWriter set;
        set.ExplicitWithLength(0x00091010, "OB", 0xFFFFFFF0, std::string(64 * 1024, '\0'));
        TestDicomWriter file;
        file.Preamble().Explicit(0x00020010, "UI", std::string("1.2.840.10008.1.2.1.99"));
        cases.emplace_back("deflated, OB length 0xFFFFFFF0", file.String() + Deflate(set.String()));
    }
    {
        // 65535 x 65535 pixels claimed in a deflated data set of 64 pixel bytes.
        TestDicomWriter set;
        set.ExplicitUS(0x00280010, 65535).ExplicitUS(0x00280011, 65535).ExplicitUS(0x00280100, 16);
        set.ExplicitWithLength(0x7FE00010, "OW", 0xFFFFFFF0, std::string(64, '\x11'));
        TestDicomWriter file;
        file.Preamble().Explicit(0x00020010, "UI", std::string("1.2.840.10008.1.2.1.99"));
        cases.emplace_back("deflated, 65535x65535", file.String() + Deflate(set.String()));
    }
    {
        // RLE: two runs of 128 bytes per plane.
        TestDicomWriter frame;
        frame.U32(2).U32(64).U32(66);
        for (int i = 0; i < 13; ++i) frame.U32(0);
        frame.Raw(std::string("\x81\x00\x81\x00", 4));
        TestDicomWriter b = HugeImage("1.2.840.10008.1.2.5", 16);
        b.ExplicitWithLength(0x7FE00010, "OB", kUndefined, Items(frame.String()));
        cases.emplace_back("RLE, 65535x65535", b.String());
    }
    {
        // JPEG Lossless: a frame header of 65535 x 65535 and nothing else.
        const std::string jpeg("\xFF\xD8\xFF\xC3\x00\x0B\x10\xFF\xFF\xFF\xFF\x01\x01\x11\x00\xFF\xD9", 17);
        TestDicomWriter b = HugeImage("1.2.840.10008.1.2.4.70", 16);
        b.ExplicitWithLength(0x7FE00010, "OB", kUndefined, Items(jpeg + std::string(1, '\0')));
        cases.emplace_back("JPEG Lossless, 65535x65535", b.String());
    }
    {
        // A fragment of 4 GB claimed.
        TestDicomWriter items;
        items.Tag(0xFFFEE000).U32(0).Tag(0xFFFEE000).U32(0xFFFFFFF0).Raw("abcd");
        TestDicomWriter b = HugeImage("1.2.840.10008.1.2.4.80", 16);
        b.ExplicitWithLength(0x7FE00010, "OB", kUndefined, items.String());
        cases.emplace_back("JPEG-LS, fragment length 0xFFFFFFF0", b.String());
    }
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        const ScratchFile file(bytes);
        test::ResetAllocationFigures();
        std::string error;
        try {
            TDicomBeeld image(file.Path().parent_path().string() + "/", file.Path().filename().string(),
                              CompressedImages::Decode);
            image.LoadPixels();
            EXPECT_TRUE(image.Pixels().empty());
        } catch (const EvenorError& e) {
            error = e.Message();
        }
        const test::AllocationFigures figures = test::ReadAllocationFigures();
        // The file window, one inflation step and the stream itself.
        const std::size_t allowed = kFixedAllowance + 512 * 1024 + 4 * bytes.size();
        EXPECT_LE(figures.Peak, allowed);
        EXPECT_LE(figures.Largest, allowed);
        std::printf("%-52s %9zu file bytes, peak %10zu, largest %9zu, %s\n", name, bytes.size(), figures.Peak,
                    figures.Largest, error.substr(0, 60).c_str());
    }
}

}  // namespace evenor::test

namespace evenor::test {

// Decoding a genuine compressed image takes the pixels (Rows x Columns x 2
// bytes) and the compressed bytes, and nothing in proportion to the image
// beyond them: no second plane, no intermediate copy of the samples.
TEST(ResourceLimitsTest, DecodingNeedsNoMemoryBeyondThePixels)
{
    LoadDicomDictionaryFromText(BuiltInDictionary);
    constexpr std::uint16_t kSide = 1024;
    constexpr std::size_t kSamples = std::size_t{kSide} * kSide;
    // A byte plane as PackBits runs of 128 equal bytes, varying from run to run.
    const auto runs = [](std::uint8_t seed) {
        std::string segment;
        for (std::size_t i = 0; i < kSamples / 128; ++i) {
            segment += '\x81';
            segment += static_cast<char>(seed + i * 7);
        }
        return segment;
    };
    const auto rle = [](const std::vector<std::string>& segments) {
        TestDicomWriter frame;
        frame.U32(static_cast<std::uint32_t>(segments.size()));
        std::uint32_t offset = 64;
        for (std::size_t i = 0; i < 15; ++i) {
            frame.U32(i < segments.size() ? offset : 0);
            if (i < segments.size()) offset += static_cast<std::uint32_t>(segments[i].size());
        }
        for (const std::string& segment : segments) frame.Raw(segment);
        return frame.String();
    };
    std::vector<std::uint16_t> samples(kSamples);
    for (std::size_t i = 0; i < kSamples; ++i) samples[i] = static_cast<std::uint16_t>(2000 + (i * 2654435761u >> 27));
    charls::jpegls_encoder encoder;
    encoder.frame_info({kSide, kSide, 16, 1});
    std::string jpegLs(encoder.estimated_destination_size(), '\0');
    encoder.destination(jpegLs.data(), jpegLs.size());
    jpegLs.resize(encoder.encode(samples));

    struct Case {
        const char* Name;
        const char* Syntax;
        std::uint16_t Bits;
        std::string Frame;
    };
    const Case cases[] = {
        {"RLE, 8 bits", "1.2.840.10008.1.2.5", 8, rle({runs(3)})},
        {"RLE, 16 bits", "1.2.840.10008.1.2.5", 16, rle({runs(7), runs(11)})},
        {"JPEG-LS, 16 bits", "1.2.840.10008.1.2.4.80", 16, jpegLs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TestDicomWriter b;
        b.Preamble().Explicit(0x00020010, "UI", std::string(c.Syntax) + std::string(std::strlen(c.Syntax) % 2, '\0'));
        b.ExplicitUS(0x00280010, kSide).ExplicitUS(0x00280011, kSide).ExplicitUS(0x00280100, c.Bits);
        b.ExplicitWithLength(0x7FE00010, "OB", kUndefined, Items(c.Frame + std::string(c.Frame.size() % 2, '\0')));
        const std::string bytes = b.String();
        const ScratchFile file(bytes);
        test::ResetAllocationFigures();
        TDicomBeeld image(file.Path().parent_path().string() + "/", file.Path().filename().string(),
                          CompressedImages::Decode);
        image.LoadPixels();
        ASSERT_EQ(image.Pixels().size(), kSamples);
        const test::AllocationFigures figures = test::ReadAllocationFigures();
        const std::size_t allowed = kFixedAllowance + 2 * kSamples + 2 * bytes.size();
        EXPECT_LE(figures.Peak, allowed);
        std::printf("%-20s %9zu file bytes, peak %10zu, allowed %10zu\n", c.Name, bytes.size(), figures.Peak, allowed);
    }
}

}  // namespace evenor::test
