// Loading pixel values from the file and copying rectangles out of them.
#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "dicom/DicomLib.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {
namespace {

using test::Order;
using test::TestDicomWriter;
using namespace std::string_literals;

struct ImageLayout {
    std::uint16_t rows;
    std::uint16_t columns;
    std::optional<std::uint16_t> bitsAllocated;
    Order order = Order::Little;
};

// A PS3.10 file with the given geometry and pixel bytes.
TestDicomWriter ImageFile(const ImageLayout& layout, const std::string& pixelBytes)
{
    TestDicomWriter w;
    w.Preamble().Explicit(0x00020010, "UI",
                          layout.order == Order::Big ? "1.2.840.10008.1.2.2\0"s : "1.2.840.10008.1.2.1\0"s);
    w.SetOrder(layout.order);
    w.Explicit(0x00280010, "US", w.Bytes16(layout.rows)).Explicit(0x00280011, "US", w.Bytes16(layout.columns));
    if (layout.bitsAllocated) w.Explicit(0x00280100, "US", w.Bytes16(*layout.bitsAllocated));
    w.Explicit(0x7FE00010, "OW", pixelBytes);
    return w;
}

struct LoadCase {
    std::string name;
    ImageLayout layout;
    std::string pixelBytes;
    WordArray expected;  // empty: the file is too short
};

std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

std::string AllBytes()
{
    std::string out;
    for (int v = 0; v < 256; ++v) out += static_cast<char>(v);
    return out;
}

WordArray Iota(std::size_t n)
{
    WordArray out(n);
    std::iota(out.begin(), out.end(), 0);
    return out;
}

std::vector<LoadCase> LoadCases()
{
    const std::string le = Bytes({1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0});
    const std::string be = Bytes({0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6});
    return {
        {"Sixteen", {2, 3, 16}, le, {1, 2, 3, 4, 5, 6}},
        {"SixteenBigEndian", {2, 3, 16, Order::Big}, be, {1, 2, 3, 4, 5, 6}},
        {"SixteenHighBytes", {1, 2, 16}, Bytes({0x34, 0x12, 0xFF, 0xFF}), {0x1234, 0xFFFF}},
        {"TwelveBitsTakeTwoBytes", {2, 3, 12}, le, {1, 2, 3, 4, 5, 6}},
        {"Eight", {16, 16, 8}, AllBytes(), Iota(256)},
        {"EightBigEndianIsStillOneBytePerSample", {16, 16, 8, Order::Big}, AllBytes(), Iota(256)},
        {"NoBitsAllocatedIsOneByte", {16, 16, std::nullopt}, AllBytes(), Iota(256)},
        {"OneByteShort", {2, 3, 16}, le.substr(0, 11), {}},
        {"OneByteShortEight", {16, 16, 8}, AllBytes().substr(0, 255), {}},
    };
}

class LoadPixelsTest : public testing::TestWithParam<LoadCase> {};

TEST_P(LoadPixelsTest, LoadsTheStoredSamples)
{
    const LoadCase& c = GetParam();
    test::TempFolder dir;
    ImageFile(c.layout, c.pixelBytes).WriteTo(dir.Path() / "image.dcm");
    TDicomBeeld image(dir.DirectoryName(), "image.dcm");
    // Before loading: zeros when the file can hold the image, else empty.
    EXPECT_EQ(image.Pixels(), WordArray(c.expected.size(), 0));
    image.LoadPixels();
    EXPECT_EQ(image.Pixels(), c.expected);
    // A second load gives the same values, also after they were changed.
    for (auto& v : image.Pixels()) v = static_cast<std::uint16_t>(v + 7);
    image.LoadPixels();
    EXPECT_EQ(image.Pixels(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, LoadPixelsTest, testing::ValuesIn(LoadCases()),
                         [](const testing::TestParamInfo<LoadCase>& info) { return info.param.name; });

// A header claiming 65535 x 65535 samples in a tiny file allocates nothing.
TEST(PixelTest, AbsurdGeometryAllocatesNothing)
{
    test::TempFolder dir;
    ImageFile({65535, 65535, 16}, Bytes({1, 0})).WriteTo(dir.Path() / "image.dcm");
    TDicomBeeld image(dir.DirectoryName(), "image.dcm");
    EXPECT_EQ(image.Rows(), 65535);
    EXPECT_TRUE(image.Pixels().empty());
    image.LoadPixels();
    EXPECT_TRUE(image.Pixels().empty());
}

TEST(PixelTest, VanishedFileFailsAndKeepsPixels)
{
    test::TempFolder dir;
    ImageFile({2, 3, 16}, Bytes({1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0})).WriteTo(dir.Path() / "image.dcm");
    TDicomBeeld image(dir.DirectoryName(), "image.dcm");
    image.LoadPixels();
    std::filesystem::remove(dir.Path() / "image.dcm");
    try {
        image.LoadPixels();
        FAIL();
    } catch (const EvenorError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + dir.DirectoryName() + "image.dcm");
    }
    EXPECT_EQ(image.Pixels(), (WordArray{1, 2, 3, 4, 5, 6}));
}

// The file is not read again for the header: a changed file gives whatever
// now lies at the pixel offset.
TEST(PixelTest, ReloadReadsTheFileAsItIsNow)
{
    test::TempFolder dir;
    ImageFile({1, 2, 16}, Bytes({1, 0, 2, 0})).WriteTo(dir.Path() / "image.dcm");
    TDicomBeeld image(dir.DirectoryName(), "image.dcm");
    ImageFile({1, 2, 16}, Bytes({9, 0, 8, 0})).WriteTo(dir.Path() / "image.dcm");
    image.LoadPixels();
    EXPECT_EQ(image.Pixels(), (WordArray{9, 8}));
    std::filesystem::resize_file(dir.Path() / "image.dcm", image.PixelDataOffset() + 3);
    image.LoadPixels();
    EXPECT_TRUE(image.Pixels().empty());
}

struct RegionCase {
    std::string name;
    std::uint32_t firstColumn, firstRow, lastColumn, lastRow;
    std::vector<std::uint16_t> expected;  // the destination's first elements
};

class CopyRegionTest : public testing::TestWithParam<RegionCase> {};

// An 8 x 7 image whose pixel at row r, column c holds 100 r + c.
TEST_P(CopyRegionTest, CopiesRowByRow)
{
    const RegionCase& c = GetParam();
    test::TempFolder dir;
    TestDicomWriter pixels;
    std::string bytes;
    for (int r = 0; r < 7; ++r)
        for (int col = 0; col < 8; ++col) bytes += pixels.Bytes16(static_cast<std::uint16_t>(100 * r + col));
    ImageFile({7, 8, 16}, bytes).WriteTo(dir.Path() / "image.dcm");
    TDicomBeeld image(dir.DirectoryName(), "image.dcm");
    image.LoadPixels();

    std::vector<std::uint16_t> destination(60, 0xBEEF);
    image.CopyRegion(c.firstColumn, c.firstRow, c.lastColumn, c.lastRow, destination.data());
    std::vector<std::uint16_t> expected = c.expected;
    expected.resize(60, 0xBEEF);
    EXPECT_EQ(destination, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CopyRegionTest,
    testing::Values(
        RegionCase{"SinglePixelCopiesNothing", 5, 5, 5, 5, {}}, RegionCase{"TwoPixelsInARow", 5, 5, 6, 5, {505, 506}},
        RegionCase{"TwoPixelsInAColumn", 5, 5, 5, 6, {505, 605}},
        RegionCase{"InvertedColumnsCopyNothing", 6, 5, 5, 5, {}}, RegionCase{"InvertedRowsCopyNothing", 1, 3, 2, 2, {}},
        RegionCase{"Block", 1, 0, 2, 1, {1, 2, 101, 102}},
        RegionCase{"LastRowAndColumn", 6, 5, 7, 6, {506, 507, 606, 607}},
        RegionCase{"WholeFirstRows", 0, 0, 7, 1, {0, 1, 2, 3, 4, 5, 6, 7, 100, 101, 102, 103, 104, 105, 106, 107}}),
    [](const testing::TestParamInfo<RegionCase>& info) { return info.param.name; });

}  // namespace
}  // namespace evenor::test
