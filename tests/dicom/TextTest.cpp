// Text conversions: FD/FL values for the tag list, the spacing number, and
// text made printable for a terminal.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>

#include "dicom/DicomText.h"
#include "dicom/TerminalText.h"

namespace evenor::test {
namespace {

struct RealCase {
    double value;
    const char* text;
};

TEST(FormatDicomRealTest, FourSignificantDigitsThenFourDecimals)
{
    const RealCase cases[] = {
        {0.143, "0.1430"},
        {0.0, "0.0000"},
        {-0.0, "0.0000"},
        {1.0, "1.0000"},
        {-2.5, "-2.5000"},
        {1234.5678, "1235.0000"},
        {9999.4, "9999.0000"},
        {0.12345678, "0.1235"},
        {0.00012345, "0.0001"},
        {0.00015, "0.0002"},
        {0.00004999, "0.0000"},
        {-0.00004999, "0.0000"},
        {-0.00005, "-0.0001"},
        {1e-300, "0.0000"},
        {std::numeric_limits<double>::denorm_min(), "0.0000"},
        // Four digits before the point are the most fixed form shows.
        {9999.6, "1.000E+04"},
        {12345.678, "1.235E+04"},
        {12345.0, "1.235E+04"},
        {-12345.0, "-1.235E+04"},
        {1.2345, "1.2340"},  // the double lies just below 1.2345
        {-2e10, "-2.000E+10"},
        {1e100, "1.000E+100"},
        {std::numeric_limits<double>::max(), "1.798E+308"},
        {std::numeric_limits<double>::quiet_NaN(), "NAN"},
        {std::numeric_limits<double>::infinity(), "INF"},
        {-std::numeric_limits<double>::infinity(), "-INF"},
        {static_cast<double>(1.5f), "1.5000"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatDicomReal(c.value), c.text) << c.value;
}

// The tag list writes reals with the user's decimal separator.
TEST(FormatDicomRealTest, UsesTheLocaleDecimalSeparator)
{
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr) << "locale de_DE.UTF-8 missing";
    EXPECT_EQ(FormatDicomReal(0.143), "0,1430");
    EXPECT_EQ(FormatDicomReal(-12345.0), "-1,235E+04");
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(FormatDicomReal(0.143), "0.1430");
}

struct SpacingCase {
    const char* text;
    double value;
};

TEST(SpacingFromTextTest, FirstNumberWithPointAsDecimalSeparator)
{
    const SpacingCase cases[] = {
        {"0.143\\0.150", 0.143},
        {"0.143 ", 0.143},
        {"   0.2\\0.1", 0.2},
        {"+0.5", 0.5},
        {"-1.25", -1.25},
        {"1e-1\\x", 0.1},
        {"2.5E+1", 25.0},
        {".5", 0.5},
        {"5.", 5.0},
        {"7", 7.0},
        {"1e", 1.0},
        {"1e+", 1.0},
        {"1.5e-x", 1.5},
        {"0,143", 0.0},
        {"", 0.0},
        {"\\0.1", 0.0},
        {"-", 0.0},
        {"+.", 0.0},
        {".", 0.0},
        {"abc", 0.0},
        {"\t0.1", 0.0},
        {"1e999", 0.0},
        {"1e-999", 0.0},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(SpacingFromText(c.text), c.value) << '"' << c.text << '"';
}

TEST(SpacingFromTextTest, IgnoresTheLocale)
{
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr) << "locale de_DE.UTF-8 missing";
    EXPECT_DOUBLE_EQ(SpacingFromText("0.143\\0.143"), 0.143);
    std::setlocale(LC_NUMERIC, "C");
}

// Control characters escaped, everything else (UTF-8 or not) kept.
TEST(PrintableTest, EscapesControlCharactersOnly)
{
    using namespace std::string_literals;
    const std::pair<std::string, std::string> cases[] = {
        {"DET\nRecord 99 FAKE pass", "DET\\nRecord 99 FAKE pass"},
        {"a\r\tb", "a\\r\\tb"},
        {"\x1b[31mred\x1b]0;title\x07", "\\x1b[31mred\\x1b]0;title\\x07"},
        {"nul\0end"s, "nul\\x00end"},
        {"\x7f", "\\x7f"},
        {"\xc2\x9b\x32J", "\\u009b2J"},  // C1 CSI as UTF-8 ("\x32" is "2")
        {"\x9b\x32J", "\\x9b2J"},        // and as a lone byte
        {"line\xe2\x80\xa8sep", "line\\u2028sep"},
        // Kept: UTF-8 whose bytes include 0x80..0x9f, Latin-1 bytes, backslashes.
        {"\xc4\x81 \xc3\xa9 \xe2\x98\x83 \xf0\x9f\x98\x80", "\xc4\x81 \xc3\xa9 \xe2\x98\x83 \xf0\x9f\x98\x80"},
        {"M\xfcller V1\\V2", "M\xfcller V1\\V2"},
        {"cut \xe2\x80", "cut \xe2\\x80"},
    };
    for (const auto& [text, shown] : cases) EXPECT_EQ(Printable(text), shown) << text;
}

}  // namespace
}  // namespace evenor::test
