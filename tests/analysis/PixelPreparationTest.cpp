#include "analysis/PixelPreparation.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/AnalysisRun.h"
#include "dicom/DicomLib.h"
#include "tests/support/FrontEndRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {
namespace {

using test::MessageLog;

constexpr const char* kCannotFind = "Can't find Bits Stored (tag 0028,0101), Pixel values NOT inverted";
constexpr const char* kOutOfRange = "Bits Stored (tag 0028,0101) out of range, Pixel values NOT inverted";

// Opens an image of the given values whose Bits Stored is set by setBits.
template <typename SetBits>
std::unique_ptr<TDicomBeeld> OpenImage(const test::TempFolder& folder, const std::vector<std::uint16_t>& values,
                                       SetBits setBits)
{
    test::TestImage image;
    image.Rows = 1;
    image.Columns = static_cast<std::uint16_t>(values.size());
    image.Pixels = values;
    setBits(image);
    test::WriteDicomFile(folder / "image.dcm", image);
    auto dicom = std::make_unique<TDicomBeeld>(folder.Path().string() + "/", "image.dcm");
    dicom->LoadPixels();
    return dicom;
}

TEST(PixelPreparationTest, InvertPixels)
{
    struct Case {
        std::optional<std::uint16_t> bitsStored;
        std::optional<std::string> bitsStoredText;  // overrides bitsStored
        std::vector<std::uint16_t> before;
        std::vector<std::uint16_t> after;  // equal to before when nothing changes
        std::uint16_t inversionMaximum;    // 999: left as it was
        const char* message;               // null: none
    };
    const Case cases[] = {
        {12, {}, {0, 4095, 100, 5000}, {4095, 0, 3995, 64631}, 4095, nullptr},
        {16, {}, {0, 65535, 1}, {65535, 0, 65534}, 65535, nullptr},
        {1, {}, {0, 1, 2}, {1, 0, 65535}, 1, nullptr},
        {0, {}, {0, 1, 2}, {0, 1, 2}, 999, kOutOfRange},
        {17, {}, {0, 1, 2}, {0, 1, 2}, 999, kOutOfRange},
        {272, {}, {0, 1, 2}, {0, 1, 2}, 999, kOutOfRange},
        {{}, "-1", {0, 1, 2}, {0, 1, 2}, 999, kOutOfRange},
        {{}, "$C", {0, 1, 2}, {4095, 4094, 4093}, 4095, nullptr},
        {{}, "1a", {0, 1, 2}, {0, 1, 2}, 999, kCannotFind},
        {{}, {}, {0, 1, 2}, {0, 1, 2}, 999, kCannotFind},
    };
    test::TempFolder folder;
    for (const auto& c : cases) {
        const std::string label = c.bitsStoredText.value_or(c.bitsStored ? std::to_string(*c.bitsStored) : "none");
        auto image = OpenImage(folder, c.before, [&](test::TestImage& t) {
            t.BitsStored = c.bitsStored;
            t.BitsStoredText = c.bitsStoredText;
        });
        PixelPreparation preparation;
        preparation.InversionMaximum = 999;
        MessageLog host;
        EXPECT_EQ(InvertPixels(*image, preparation, host), c.message == nullptr) << label;
        EXPECT_EQ(preparation.Inverted, c.message == nullptr) << label;
        EXPECT_EQ(image->Pixels(), c.after) << label;
        EXPECT_EQ(preparation.InversionMaximum, c.inversionMaximum) << label;
        EXPECT_EQ(host.Messages, c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{}) << label;
    }
}

TEST(PixelPreparationTest, SubtractPixelOffset)
{
    struct Case {
        std::uint16_t offset;
        std::vector<std::uint16_t> before;
        std::vector<std::uint16_t> after;
        bool noneBelow;
    };
    const Case cases[] = {
        {100, {50, 100, 150}, {0, 0, 50}, false},
        {100, {100, 150, 65535}, {0, 50, 65435}, true},
        {0, {0, 7}, {0, 7}, true},
        {65535, {65534, 65535}, {0, 0}, false},
    };
    test::TempFolder folder;
    for (const auto& c : cases) {
        auto image = OpenImage(folder, c.before, [](test::TestImage&) {});
        EXPECT_EQ(SubtractPixelOffset(*image, c.offset), c.noneBelow) << c.offset;
        EXPECT_EQ(image->Pixels(), c.after) << c.offset;
    }
}

TEST(PixelPreparationTest, NeverTouchesValuesBeyondPixels)
{
    test::TempFolder folder;
    auto image = OpenImage(folder, {10, 20, 30, 40}, [](test::TestImage& t) { t.BitsStored = 8; });
    // A reload of a truncated file leaves Pixels shorter than Rows x Columns.
    image->Pixels().resize(2);
    image->Pixels().shrink_to_fit();
    PixelPreparation preparation;
    MessageLog host;
    EXPECT_TRUE(InvertPixels(*image, preparation, host));
    EXPECT_EQ(image->Pixels(), (WordArray{245, 235}));
    EXPECT_TRUE(SubtractPixelOffset(*image, 200));
    EXPECT_EQ(image->Pixels(), (WordArray{45, 35}));

    image->Pixels().clear();
    EXPECT_TRUE(SubtractPixelOffset(*image, 100));  // nothing to clip
    EXPECT_TRUE(InvertPixels(*image, preparation, host));
    EXPECT_TRUE(image->Pixels().empty());
}

}  // namespace
}  // namespace evenor::test
