// The reader takes a file through a 64 KiB window and reads larger values
// straight into their destination; from memory it copies. Both must give the
// same header, to the byte and to the error message, wherever the window's
// edge falls: inside an element's tag, VR, length or value, or inside a value
// larger than the window. The fuzzers' inputs are too small to reach the edge,
// so this test puts it everywhere on purpose.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include <gtest/gtest.h>

#include "dicom/DicomLib.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {
namespace {

constexpr std::size_t kWindow = 64 * 1024;

// A PS3.10 file whose element after the padding starts `before` bytes ahead
// of the window's edge, followed by elements of every kind and a value larger
// than the window, then a 3 x 2 image of 16 bits.
std::string FileWithEdgeAt(std::size_t before)
{
    test::TestDicomWriter file;
    file.Preamble().Explicit(0x00020010, "UI", std::string("1.2.840.10008.1.2.1\0", 20));
    const std::size_t padding = kWindow - before - file.Size() - 12;
    file.Explicit(0x00091001, "OB", std::string(padding, '\x5A'));
    std::string words, reals;
    for (std::uint16_t i = 0; i < 12; ++i) words += file.Bytes16(static_cast<std::uint16_t>(1000 + i));
    for (std::uint32_t i = 0; i < 4; ++i) reals += file.Bytes32(0x3F800000 + i);  // FL 1.0 and neighbours
    file.Explicit(0x00283002, "US", words);
    file.Explicit(0x00091010, "FL", reals);
    file.Explicit(0x00100010, "PN", "EDGE^CASE ");
    file.Explicit(0x00280030, "DS", "0.25\\0.25 ");
    file.Explicit(0x00091011, "UN", std::string(kWindow + 1000, '\x33'));
    file.ExplicitUS(0x00280010, 3).ExplicitUS(0x00280011, 2).ExplicitUS(0x00280100, 16);
    file.Explicit(0x7FE00010, "OW", file.Words({1, 2, 3, 4, 5, 6}));
    return file.String();
}

struct Parsed {
    std::unique_ptr<TDicomBeeld> image;
    std::string error;
};

Parsed ParseMemory(const std::string& bytes)
{
    Parsed p;
    try {
        p.image =
            std::make_unique<TDicomBeeld>(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    } catch (const EvenorError& e) {
        p.error = e.Message();
    }
    return p;
}

Parsed ParseFile(const std::filesystem::path& path)
{
    Parsed p;
    try {
        p.image = std::make_unique<TDicomBeeld>(path.parent_path().string() + "/", path.filename().string());
    } catch (const EvenorError& e) {
        p.error = e.Message();
    }
    return p;
}

// Writes each version of the file to the same path in a folder of its own.
class ScratchFolder {
public:
    std::filesystem::path Write(const std::string& bytes) const
    {
        const auto file = folder_ / "edge.dcm";
        test::WriteWholeFile(file, bytes);
        return file;
    }

private:
    test::TempFolder folder_;
};

TEST(ReaderSourcesTest, FileAndMemoryAgreeWhereverTheWindowEdgeFalls)
{
    const ScratchFolder folder;
    // 0 to 24 bytes before the edge: every byte of the US, FL and PN headers
    // and values; the 12-byte header of the long value at 48 and after.
    for (std::size_t before = 0; before <= 60; ++before) {
        SCOPED_TRACE("element starts " + std::to_string(before) + " bytes before the window's edge");
        const std::string bytes = FileWithEdgeAt(before);
        const Parsed memory = ParseMemory(bytes);
        const Parsed file = ParseFile(folder.Write(bytes));
        ASSERT_TRUE(memory.image) << memory.error;
        ASSERT_TRUE(file.image) << file.error;
        EXPECT_EQ(file.image->TagList(), memory.image->TagList());
        EXPECT_EQ(file.image->PixelDataOffset(), memory.image->PixelDataOffset());
        EXPECT_EQ(file.image->PixelDataOffset(), static_cast<std::int32_t>(bytes.size() - 12));
        EXPECT_EQ(file.image->PixelSpacing(), 0.25);
        file.image->LoadPixels();
        EXPECT_EQ(file.image->Pixels(), (WordArray{1, 2, 3, 4, 5, 6}));
    }
}

TEST(ReaderSourcesTest, FileAndMemoryFailAlikeWhereverTheFileEnds)
{
    const ScratchFolder folder;
    const std::string whole = FileWithEdgeAt(7);
    // Cut inside every element after the padding, and inside the long value
    // on both sides of the window's edge.
    for (std::size_t cut = kWindow - 40; cut < whole.size() - 12; cut += (cut < kWindow + 80 ? 1 : 997)) {
        SCOPED_TRACE("file cut to " + std::to_string(cut) + " bytes");
        const std::string bytes = whole.substr(0, cut);
        const Parsed memory = ParseMemory(bytes);
        const Parsed file = ParseFile(folder.Write(bytes));
        EXPECT_FALSE(memory.image);
        EXPECT_FALSE(file.image);
        EXPECT_EQ(file.error, memory.error);
        EXPECT_NE(file.error.find(std::to_string(cut)), std::string::npos) << file.error;
    }
}

}  // namespace
}  // namespace evenor::test
