#include "ImageInfo.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "FieldSyntax.h"

namespace evenor {

namespace {

// Fills info with a lookup that returns a tag's value text, or nothing.
template <typename Lookup>
ImageInfo Collect(Lookup lookup)
{
    const auto text = [&](std::string_view tag) { return TrimPadding(lookup(tag).value_or("")); };
    ImageInfo info;
    info.Manufacturer = text("00080070");
    info.Model = text("00081090");
    info.Station = text("00081010");
    info.DetectorId = text("0018700A");
    info.AcquisitionDate = text("00080022");
    info.KVp = text("00180060");
    // The microampere-second value is the finer one; Exposure in mAs is an
    // integer string and loses fractions.
    if (auto uAs = text("00181153"); !uAs.empty()) {
        info.Exposure = std::move(uAs);
        info.ExposureUnit = "uAs";
    } else if (auto mAs = text("00181152"); !mAs.empty()) {
        info.Exposure = std::move(mAs);
        info.ExposureUnit = "mAs";
    }
    info.PresentationIntentType = text("00080068");
    return info;
}

}  // namespace

std::string TrimPadding(std::string_view value)
{
    const auto padding = [](char c) { return c == ' ' || c == '\0'; };
    while (!value.empty() && padding(value.front())) value.remove_prefix(1);
    while (!value.empty() && padding(value.back())) value.remove_suffix(1);
    return std::string(value);
}

bool ImageInfo::IsProcessed() const
{
    constexpr std::string_view processed = "FOR PRESENTATION";
    return std::equal(PresentationIntentType.begin(), PresentationIntentType.end(), processed.begin(),
                      processed.end(), [](char a, char b) {
                          return std::toupper(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
                      });
}

ImageInfo ReadImageInfo(const std::vector<std::string>& tagList)
{
    return Collect([&](std::string_view tag) -> std::optional<std::string> {
        std::string value;
        if (!FindTagValue(tagList, tag, value)) return std::nullopt;
        return value;
    });
}

ImageInfo ReadImageInfo(const std::vector<TagEntry>& tagTable)
{
    return Collect([&](std::string_view tag) -> std::optional<std::string> {
        for (const auto& entry : tagTable)
            if (entry.Tag == tag) return entry.Value;
        return std::nullopt;
    });
}

}  // namespace evenor
