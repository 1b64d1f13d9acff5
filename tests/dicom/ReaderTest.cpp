// The header reader on byte streams built element by element: tag-list lines,
// geometry and the exact failure messages.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dicom/DicomDictionary.h"
#include "dicom/DicomLib.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {
namespace {

using test::Order;
using test::TestDicomWriter;
using namespace std::string_literals;

const std::string kExplicitLE = "1.2.840.10008.1.2.1\0"s;
const std::string kExplicitBE = "1.2.840.10008.1.2.2\0"s;

// Preamble, "DICM" and the Transfer Syntax UID: 160 bytes.
TestDicomWriter Part10(const std::string& transferSyntax = kExplicitLE)
{
    TestDicomWriter w;
    w.Preamble().Explicit(0x00020010, "UI", transferSyntax);
    return w;
}

// Rows 2, Columns 3, Bits Allocated 16, Pixel Spacing, a name, a private
// implicit element and pixel data of 12 bytes, in the writer's byte order.
void AddSmallImage(TestDicomWriter& w)
{
    w.Explicit(0x00280010, "US", w.Bytes16(2))
        .Explicit(0x00280011, "US", w.Bytes16(3))
        .Explicit(0x00280100, "US", w.Bytes16(16))
        .Explicit(0x00280030, "DS", "0.2\\0.1 ")
        .Explicit(0x00100010, "PN", "QA^TEST ")
        .Implicit(0x00100020, "ID01")
        .Explicit(0x7FE00010, "OW", w.Words({1, 2, 3, 4, 5, 6}));
}

struct Expected {
    std::vector<std::string> lines;
    std::int32_t rows = 0;
    std::int32_t columns = 0;
    double spacing = 0.0;
    std::uint8_t bitsAllocated = 0;
    std::int32_t pixelDataOffset = 0;
};

struct ReaderCase {
    std::string name;
    std::function<TestDicomWriter()> build;
    std::optional<Expected> expected;  // the parse succeeds with these
    std::string error;                 // or fails with this message
};

ReaderCase Reads(std::string name, std::function<TestDicomWriter()> build, Expected expected)
{
    return {std::move(name), std::move(build), std::move(expected), ""};
}

ReaderCase Fails(std::string name, std::function<TestDicomWriter()> build, std::string error)
{
    return {std::move(name), std::move(build), std::nullopt, std::move(error)};
}

const std::vector<std::string> kSmallImageLines = {
    "00280010, 2, US, Rows",
    "00280011, 3, US, Columns",
    "00280100, 16, US, Bits Allocated",
    "00280030, 0.2\\0.1 , DS, Pixel Spacing",
    "00100010, QA^TEST , PN, Patient's Name",
    "00100020, ID01, LO, Patient ID",
};

std::vector<std::string> With(std::vector<std::string> head, const std::vector<std::string>& middle,
                              const std::vector<std::string>& tail = {})
{
    head.insert(head.end(), middle.begin(), middle.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const std::string kTsLineLE = "00020010, 1.2.840.10008.1.2.1\0, UI, Transfer Syntax UID"s;
const std::string kTsLineBE = "00020010, 1.2.840.10008.1.2.2\0, UI, Transfer Syntax UID"s;

std::vector<ReaderCase> ReaderCases()
{
    std::vector<ReaderCase> cases;

    // 160 + 10 + 10 + 10 + 16 + 16 + 12 + 12 (pixel header) = 246.
    cases.push_back(Reads(
        "ExplicitLittleEndian",
        [] {
            auto w = Part10();
            AddSmallImage(w);
            return w;
        },
        Expected{With({kTsLineLE}, kSmallImageLines, {"7FE00010, 246, OX, Pixel Data"}), 2, 3, 0.2, 16, 246}));

    cases.push_back(Reads(
        "ExplicitBigEndianWithLittleEndianMetaGroup",
        [] {
            auto w = Part10(kExplicitBE);
            w.Explicit(0x00020012, "UI", "1.2.3.4\0"s);  // still group 0002: little-endian
            w.SetOrder(Order::Big);
            AddSmallImage(w);
            return w;
        },
        Expected{With({kTsLineBE, "00020012, 1.2.3.4\0, UI, "s}, kSmallImageLines, {"7FE00010, 262, OX, Pixel Data"}),
                 2, 3, 0.2, 16, 262}));

    // No preamble, every element implicit: the dictionary supplies the VRs.
    cases.push_back(Reads(
        "BareImplicitDataSet",
        [] {
            TestDicomWriter w;
            w.Implicit(0x00104000, std::string(40, 'c'))
                .Implicit(0x00280010, w.Bytes16(2))
                .Implicit(0x00280011, w.Bytes16(3))
                .Implicit(0x00280101, w.Bytes16(14))
                .Implicit(0x00281041, w.Bytes16(0xFFFF))
                .Implicit(0x0018602C, w.Float64(0.143))
                .Implicit(0x00186028, "ABCDEFGH")
                .Implicit(0x00090010, "PRIV")
                .Implicit(0x00280030, "0.15\\0.15 ")
                .Implicit(0x7FE00010, w.Words({7}));
            return w;
        },
        Expected{{"00104000, " + std::string(40, 'c') + ", LT, Patient Comments", "00280010, 2, US, Rows",
                  "00280011, 3, US, Columns", "00280101, 14, US, Bits Stored",
                  "00281041, -1, SS, PixelIntensity Relationship Sign", "0018602C, 0.1430, FD, Physical Delta X",
                  "00186028, ABCDEFGH, --, ", "00090010, PRIV, --, ", "00280030, 0.15\\0.15 , DS, Pixel Spacing",
                  "7FE00010, 158, OX, Pixel Data"},
                 2,
                 3,
                 0.15,
                 0,
                 158}));

    // Numbers by VR: every value its own entry, US cut after 10 values.
    cases.push_back(Reads(
        "NumericValues",
        [] {
            auto w = Part10();
            w.Explicit(0x00091001, "US", w.Words({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}))
                .Explicit(0x00091002, "FD", w.Float64(0.143) + w.Float64(12345.678) + w.Float64(-2.5))
                .Explicit(0x00091003, "FL", w.Float32(1.5f))
                .Explicit(0x00091004, "SL", w.Bytes32(static_cast<std::uint32_t>(-7)))
                .Explicit(0x00091005, "UL", w.Bytes32(4000000000u))
                .Explicit(0x00091006, "SS", w.Bytes16(static_cast<std::uint16_t>(-300)))
                .Explicit(0x00091007, "US", "")
                .Explicit(0x00283002, "US", w.Words({4096, 0, 12}))
                .Explicit(0x7FE00010, "OB", "\1\2"s);
            return w;
        },
        Expected{{kTsLineLE,
                  "00091001, 1, US, ",
                  "00091001, 2(2), US, ",
                  "00091001, 3(3), US, ",
                  "00091001, 4(4), US, ",
                  "00091001, 5(5), US, ",
                  "00091001, 6(6), US, ",
                  "00091001, 7(7), US, ",
                  "00091001, 8(8), US, ",
                  "00091001, 9(9), US, ",
                  "00091001, 10(10), US, ",
                  "00091001, ....(11 till12), US, ",
                  "00091002, 0.1430, FD, ",
                  "00091002, 1.235E+04(2), FD, ",
                  "00091002, -2.5000(3), FD, ",
                  "00091003, 1.5000, FL, ",
                  "00091004, -7, SL, ",
                  "00091005, 4000000000, UL, ",
                  "00091006, -300, SS, ",
                  "00283002, 4096, xs, LUT Descriptor",
                  "00283002, 0(2), xs, LUT Descriptor",
                  "00283002, 12(3), xs, LUT Descriptor",
                  "7FE00010, 304, OX, Pixel Data"},
                 0,
                 0,
                 0.0,
                 0,
                 304}));

    // A numeric value whose length is not a whole number of values: the
    // whole values are listed and the element's last byte is passed over.
    cases.push_back(Reads(
        "NumericRemainderBelongsToTheElement",
        [] {
            auto w = Part10();
            w.Explicit(0x00091001, "US", w.Words({1, 2}) + "\x7F")
                .Explicit(0x00280010, "US", w.Bytes16(9))
                .Explicit(0x7FE00010, "OB", "\1\2"s);
            return w;
        },
        Expected{{kTsLineLE, "00091001, 1, US, ", "00091001, 2(2), US, ", "00280010, 9, US, Rows",
                  "7FE00010, 195, OX, Pixel Data"},
                 9,
                 0,
                 0.0,
                 0,
                 195}));

    // The icon's Rows, Columns, Bits Allocated and pixel data change nothing.
    cases.push_back(Reads(
        "IconImageSequenceOfUndefinedLength",
        [] {
            auto w = Part10();
            w.ExplicitWithLength(0x00880200, "SQ", 0xFFFFFFFF, "")
                .ImplicitWithLength(0xFFFEE000, 0xFFFFFFFF, "")
                .Explicit(0x00280002, "US", w.Bytes16(257))
                .Explicit(0x00280010, "US", w.Bytes16(64))
                .Explicit(0x00280011, "US", w.Bytes16(64))
                .Explicit(0x00280100, "US", w.Bytes16(0x0108))
                .Explicit(0x7FE00010, "OB", "ICONDATA")
                .ImplicitWithLength(0xFFFEE00D, 0, "")
                .ImplicitWithLength(0xFFFEE0DD, 0, "")
                .Explicit(0x00280002, "US", w.Bytes16(257))
                .Explicit(0x00280010, "US", w.Bytes16(2048))
                .Explicit(0x00280011, "US", w.Bytes16(1024))
                .Explicit(0x00280100, "US", w.Bytes16(0x0110))
                .Explicit(0x7FE00010, "OW", w.Words({1}));
            return w;
        },
        Expected{{kTsLineLE, "FFFEE000, , na, Item", "00280002, 257, US, Samples per Pixel", "00280010, 64, US, Rows",
                  "00280011, 64, US, Columns", "00280100, 264, US, Bits Allocated", "7FE00010, , OX, Pixel Data",
                  "FFFEE00D, , na, Item Delimitation Item", "FFFEE0DD, , na, Sequence Delimitation Item",
                  "00280002, 1, US, Samples per Pixel", "00280010, 2048, US, Rows", "00280011, 1024, US, Columns",
                  "00280100, 16, US, Bits Allocated", "7FE00010, 308, OX, Pixel Data"},
                 2048,
                 1024,
                 0.0,
                 16,
                 308}));

    cases.push_back(Reads(
        "SkippedAndFixedTextElements",
        [] {
            auto w = Part10();
            w.Explicit(0x00880200, "SQ", "any icon bytes")
                .Explicit(0x00281201, "OW", w.Words({1, 2, 3}))
                .Explicit(0x00281202, "OW", w.Words({1, 2, 3}))
                .Explicit(0x00281203, "OW", w.Words({1, 2, 3}))
                .Explicit(0x7FE00010, "OW", "")
                .ExplicitWithLength(0x00283000, "SQ", 0xFFFFFFFF, "")
                .ImplicitWithLength(0xFFFEE0DD, 0, "")
                .Explicit(0x00081140, "SQ", "\xFE\xFF\x00\xE0\x00\x00\x00\x00"s)
                .Explicit(0x7F880010, "OB", "PRIVPIXELS");
            return w;
        },
        Expected{{kTsLineLE, "00880200, media-icon-image, sla ik over, SQ, ",
                  "00281201, Bah, kleuren, gaat niet goed ingelezen worden, US, Red Palette Color "
                  "Lookup Table Data",
                  "00281202, Bah, kleuren, gaat niet goed ingelezen worden, US, Green Palette Color "
                  "Lookup Table Data",
                  "00281203, Bah, kleuren, gaat niet goed ingelezen worden, US, Blue Palette Color "
                  "Lookup Table Data",
                  "7FE00010, , OX, Pixel Data", "00283000, , SQ, Modality LUT Sequence",
                  "FFFEE0DD, , na, Sequence Delimitation Item",
                  "00081140, \xFE\xFF\x00\xE0\x00\x00\x00\x00, SQ, Referenced Image Sequence"s},
                 0,
                 0,
                 0.0,
                 0,
                 160 + 26 + 3 * 18 + 12 + 12 + 8 + 20 + 12 + 4}));

    // 13 is read as 10 until a value has started at an odd offset.
    cases.push_back(Reads(
        "LengthThirteenRule",
        [] {
            auto w = Part10();
            w.ExplicitWithLength(0x00090010, "LO", 13, "ABCDEFGHIJ")
                .Explicit(0x00090011, "LO", "abc")
                .Explicit(0x00090012, "LO", "xy")
                .Explicit(0x00090013, "LO", "0123456789ABC")
                .Explicit(0x7FE00010, "OB", "\1\2"s);
            return w;
        },
        Expected{{kTsLineLE, "00090010, ABCDEFGHIJ, LO, ", "00090011, abc, LO, ", "00090012, xy, LO, ",
                  "00090013, 0123456789ABC, LO, ", "7FE00010, 232, OX, Pixel Data"},
                 0,
                 0,
                 0.0,
                 0,
                 232}));

    // The table's 16-bit elements take two bytes whatever their length says.
    cases.push_back(Reads(
        "SixteenBitElementsTakeTwoBytes",
        [] {
            auto w = Part10();
            w.ExplicitWithLength(0x00280010, "US", 4, w.Bytes16(0x0102))
                .ExplicitWithLength(0x00280100, "US", 0, w.Bytes16(8))
                .Explicit(0x7FE00010, "OB", "\1\2"s);
            return w;
        },
        Expected{
            {kTsLineLE, "00280010, 258, US, Rows", "00280100, 8, US, Bits Allocated", "7FE00010, 192, OX, Pixel Data"},
            258,
            0,
            0.0,
            8,
            192}));

    // Spacing: Imager Pixel Spacing wins wherever it stands; otherwise the
    // last of Pixel Spacing and Detector Element Spacing.
    struct SpacingCase {
        std::vector<std::pair<std::uint32_t, std::string>> elements;
        double spacing;
    };
    const std::vector<SpacingCase> spacingCases = {
        {{{0x00280030, "0.2\\0.1 "}}, 0.2},
        {{{0x00181164, "0.15\\0.15 "}, {0x00280030, "0.2\\0.1 "}}, 0.15},
        {{{0x00280030, "0.2\\0.1 "}, {0x00181164, "0.15\\0.15 "}}, 0.15},
        {{{0x00280030, "0.2\\0.1 "}, {0x00187022, "0.3\\0.3 "}}, 0.3},
        {{{0x00187022, "0.3\\0.3 "}, {0x00280030, "0.2\\0.1 "}}, 0.2},
        {{{0x00280030, "junk"}}, 0.0},
    };
    for (std::size_t i = 0; i < spacingCases.size(); ++i) {
        const auto elements = spacingCases[i].elements;
        Expected e;
        e.spacing = spacingCases[i].spacing;
        cases.push_back(Reads(
            "Spacing" + std::to_string(i),
            [elements] {
                auto w = Part10();
                for (const auto& [tag, text] : elements) w.Explicit(tag, "DS", text);
                w.Explicit(0x7FE00010, "OB", "\1\2"s);
                return w;
            },
            e));
    }

    // Failures.
    cases.push_back(Fails(
        "CompressedJpeg", [] { return Part10("1.2.840.10008.1.2.4.50"); },
        "Cannot open compressed DICOM images. Transfer Syntax UID = 1.2.840.10008.1.2.4.50"));
    cases.push_back(Fails(
        "CompressedRleKeepsPadding", [] { return Part10("1.2.840.10008.1.2.5\0"s); },
        "Cannot open compressed DICOM images. Transfer Syntax UID = 1.2.840.10008.1.2.5\0"s));
    cases.push_back(Fails(
        "NoPixelData",
        [] {
            auto w = Part10();
            w.Explicit(0x00280010, "US", w.Bytes16(2));
            return w;
        },
        "Error Reading file at Position 170."));
    cases.push_back(Fails(
        "ShortFile100", [] { return TestDicomWriter().Raw(std::string(100, 'x')); },
        "Error Reading file at Position 128."));
    cases.push_back(Fails(
        "ShortFile130", [] { return TestDicomWriter().Raw(std::string(130, 'x')); },
        "Error Reading file at Position 130."));
    cases.push_back(Fails(
        "HeaderCutInTheGroup", [] { return Part10().Raw("\x28"); }, "Error Reading file at Position 161."));
    cases.push_back(Fails(
        "LengthBeyondTheEnd",
        [] {
            auto w = Part10();
            w.ExplicitWithLength(0x00091010, "OB", 0xFFFFFFF0, "only a few bytes");
            return w;
        },
        "Error Reading file at Position 188."));
    cases.push_back(Fails(
        "ImplicitLengthBeyondTheEnd",
        [] {
            TestDicomWriter w;
            w.Raw(std::string(136, '\0')).ImplicitWithLength(0x00100010, 0x7FFFFFFF, "abc");
            return w;
        },
        "Error Reading file at Position 147."));
    cases.push_back(Fails(
        "IconSkipBeyondTheEnd",
        [] {
            auto w = Part10();
            w.ExplicitWithLength(0x00880200, "SQ", 5000, "abcd");
            return w;
        },
        "Error Reading file at Position 176."));
    cases.push_back(Fails(
        "PaletteBeyondTheEnd",
        [] {
            auto w = Part10();
            w.ExplicitWithLength(0x00281201, "OW", 0x80000000, "ab");
            return w;
        },
        "Error Reading file at Position 174."));
    cases.push_back(Fails(
        "UnsignedLongCutShort",
        [] {
            auto w = Part10();
            w.ExplicitWithLength(0x00091004, "UL", 8, w.Bytes32(5) + "\1\2");
            return w;
        },
        "Error Reading file, Position : 174, last Tag: 00091004"));
    // 31 elements of 32767 signed shorts list more entries than a header may:
    // refused instead of growing the table to many times the file's size.
    cases.push_back(Fails(
        "TooManyEntries",
        [] {
            auto w = Part10();
            const std::string values(65534, '\1');
            for (std::uint32_t i = 0; i < 31; ++i) w.Explicit(0x00091000 + i, "SS", values);
            return w.Explicit(0x7FE00010, "OB", "\1\2"s);
        },
        "DICOM header too large: more than 1000000 elements, file not read"));
    cases.push_back(Fails(
        "DoubleCutShortNamesThePreviousEntry",
        [] {
            auto w = Part10();
            w.ExplicitWithLength(0x00091002, "FD", 8, "\1\2\3");
            return w;
        },
        "Error Reading file, Position : 171, last Tag: 00020010"));
    cases.push_back(Fails(
        "LongLengthCutInTheFirstElement",
        [] { return TestDicomWriter().Preamble().Tag(0x00020001).Raw("OB").U16(0).Raw("\1\2"); },
        "Error Reading file, Position : 142, last Tag: "));
    return cases;
}

class ReaderCaseTest : public testing::TestWithParam<ReaderCase> {
protected:
    void SetUp() override { LoadDicomDictionaryFromText(BuiltInDictionary); }
};

TEST_P(ReaderCaseTest, ParsesAsExpected)
{
    const ReaderCase& c = GetParam();
    const TestDicomWriter w = c.build();
    if (!c.expected) {
        try {
            TDicomBeeld image(w.Span());
            FAIL() << "no error; expected: " << c.error;
        } catch (const EvenorError& e) {
            EXPECT_EQ(e.Message(), c.error);
        }
        return;
    }
    const TDicomBeeld image(w.Span());
    const Expected& e = *c.expected;
    if (!e.lines.empty()) {
        EXPECT_EQ(image.TagList(), e.lines);
    }
    EXPECT_EQ(image.Rows(), e.rows);
    EXPECT_EQ(image.Columns(), e.columns);
    EXPECT_DOUBLE_EQ(image.PixelSpacing(), e.spacing);
    EXPECT_EQ(image.BitsAllocated(), e.bitsAllocated);
    if (e.pixelDataOffset != 0) {
        EXPECT_EQ(image.PixelDataOffset(), e.pixelDataOffset);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReaderCaseTest, testing::ValuesIn(ReaderCases()),
                         [](const testing::TestParamInfo<ReaderCase>& info) { return info.param.name; });

// The same data set as a file: explicit and implicit little-endian give the
// same geometry; the flags tell what the reader met.
TEST(ReaderTest, FileFlagsAndGeometry)
{
    LoadDicomDictionaryFromText(BuiltInDictionary);
    test::TempFolder dir;
    auto w = Part10();
    AddSmallImage(w);
    w.WriteTo(dir.Path() / "image.dcm");
    const TDicomBeeld image(dir.DirectoryName(), "image.dcm");
    EXPECT_TRUE(image.HasPreamble());
    EXPECT_FALSE(image.BigEndian());
    EXPECT_FALSE(image.OddOffsets());
    EXPECT_EQ(image.DirectoryName(), dir.DirectoryName());
    EXPECT_EQ(image.FileName(), "image.dcm");
    EXPECT_EQ(image.Rows(), 2);
    EXPECT_EQ(image.Columns(), 3);
    EXPECT_EQ(image.PixelDataOffset(), 246);
    EXPECT_EQ(image.Pixels(), WordArray(6, 0));
    const auto& table = image.TagTable();
    ASSERT_EQ(table.size(), 8u);
    EXPECT_EQ(table[1].Tag, "00280010");
    EXPECT_EQ(table[1].Value, "2");
    EXPECT_EQ(table[1].VR, "US");
    EXPECT_EQ(table[1].Description, "Rows");

    auto big = Part10(kExplicitBE);
    big.SetOrder(Order::Big);
    AddSmallImage(big);
    big.WriteTo(dir.Path() / "big.dcm");
    const TDicomBeeld bigImage(dir.DirectoryName(), "big.dcm");
    EXPECT_TRUE(bigImage.BigEndian());
    EXPECT_EQ(bigImage.Rows(), 2);
}

TEST(ReaderTest, MissingFileCannotBeOpened)
{
    test::TempFolder dir;
    try {
        TDicomBeeld image(dir.DirectoryName(), "absent.dcm");
        FAIL();
    } catch (const EvenorError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + dir.DirectoryName() + "absent.dcm");
    }
    // A directory is not an image file either.
    EXPECT_THROW(TDicomBeeld(dir.DirectoryName(), ""), EvenorError);
}

// Sequences and items nested a hundred thousand deep are read flat.
TEST(ReaderTest, DeepNestingNeedsNoRecursion)
{
    auto w = Part10();
    for (int i = 0; i < 100000; ++i) {
        w.ExplicitWithLength(0x00081140, "SQ", 0xFFFFFFFF, "");
        w.ImplicitWithLength(0xFFFEE000, 0xFFFFFFFF, "");
    }
    w.Explicit(0x7FE00010, "OB", "\1\2"s);
    const TDicomBeeld image(w.Span());
    EXPECT_EQ(image.TagTable().size(), 200002u);
}

// A value start beyond what a signed 32-bit offset holds is refused rather
// than wrapped (sparse file, 2 GiB skipped as an icon).
TEST(ReaderTest, PixelDataBeyondTwoGibibytesIsAReadError)
{
    test::TempFolder dir;
    const auto path = dir.Path() / "huge.dcm";
    auto w = Part10();
    w.ExplicitWithLength(0x00880200, "SQ", 0x80000000u, "");  // ends at 172
    w.WriteTo(path);
    TestDicomWriter tail;
    tail.Explicit(0x7FE00010, "OB", "\1\2"s);
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, tail.bytes.data(), tail.Size(), 172 + 0x80000000LL), static_cast<ssize_t>(tail.Size()));
    ::close(fd);
    try {
        TDicomBeeld image(dir.DirectoryName(), "huge.dcm");
        FAIL();
    } catch (const EvenorError& e) {
        EXPECT_EQ(e.Message(), "Error Reading file at Position " + std::to_string(172 + 0x80000000LL + 12) + ".");
    }
}

}  // namespace
}  // namespace evenor::test
