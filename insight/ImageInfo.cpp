#include "insight/ImageInfo.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "analysis/AnalysisRun.h"
#include "analysis/FieldSyntax.h"
#include "dicom/DicomTags.h"

namespace evenor {

namespace {

// Fills info with a lookup that returns a tag's value text, or nothing.
template <typename Lookup> ImageInfo Collect(Lookup lookup)
{
    const auto text = [&](std::string_view tag) { return TrimPadding(lookup(tag).value_or("")); };
    ImageInfo info;
    info.Manufacturer = text(tags::Manufacturer.Key);
    info.Model = text(tags::ManufacturerModelName.Key);
    info.Station = text(tags::StationName.Key);
    info.DetectorId = text(tags::DetectorID.Key);
    info.AcquisitionDate = text(tags::AcquisitionDate.Key);
    info.KVp = text(tags::KVP.Key);
    // The microampere-second value is the finer one; Exposure in mAs is an
    // integer string and loses fractions.
    if (auto uAs = text(tags::ExposureInuAs.Key); !uAs.empty()) {
        info.Exposure = std::move(uAs);
        info.ExposureUnit = "uAs";
    } else if (auto mAs = text(tags::Exposure.Key); !mAs.empty()) {
        info.Exposure = std::move(mAs);
        info.ExposureUnit = "mAs";
    }
    info.PresentationIntentType = text(tags::PresentationIntentType.Key);
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

std::string TagTableValue(const std::vector<TagEntry>& tagTable, std::string_view tag)
{
    for (const auto& entry : tagTable)
        if (entry.Tag == tag) return TrimPadding(entry.Value);
    return {};
}

bool ImageInfo::IsProcessed() const
{
    constexpr std::string_view processed = "FOR PRESENTATION";
    return std::equal(
        PresentationIntentType.begin(), PresentationIntentType.end(), processed.begin(), processed.end(),
        [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b); });
}

ImageInfo ReadImageInfo(const std::vector<std::string>& tagList)
{
    return Collect([&](std::string_view tag) -> std::optional<std::string> {
        std::string value;
        if (!FindTagValue(tagList, tag, value)) return std::nullopt;
        return value;
    });
}

std::vector<std::string> NotJudgedReasons(const TDicomBeeld& image)
{
    std::vector<std::string> reasons;
    if (const int samples = image.SamplesPerPixel(); samples != 1)
        reasons.push_back("Samples per Pixel is " + std::to_string(samples) +
                          (samples == 0 ? ": an image without samples is not a detector's flat field"
                                        : ": a colour image is not a detector's flat field"));
    // The reader takes 0 for a missing element; say which it was.
    if (const int bits = image.BitsAllocated(); bits != 8 && bits != 16) {
        const bool missing = TagTableValue(image.TagTable(), tags::BitsAllocated.Key).empty();
        reasons.push_back("Bits Allocated is " + (missing ? std::string("missing") : std::to_string(bits)) +
                          ": Evenor reads 8 or 16 bits per sample, these samples may be misread");
    }
    if (const int representation = image.PixelRepresentation(); representation == 1)
        reasons.emplace_back("Pixel Representation is 1: signed pixel values are read as unsigned, a negative value "
                             "becomes a large one");
    else if (representation != 0)
        reasons.push_back("Pixel Representation is " + std::to_string(representation) +
                          ": not 0 (unsigned), the pixel values may be misread");
    return reasons;
}

std::string ImageInfo::NotJudgedText() const
{
    std::string text;
    for (std::size_t i = 0; i < NotJudged.size(); ++i) text.append(i > 0 ? "; " : "").append(NotJudged[i]);
    return text;
}

ImageInfo ReadImageInfo(const TDicomBeeld& image)
{
    ImageInfo info = ReadImageInfo(image.TagTable());
    info.LossyCompressed = image.LossyCompressed();
    info.NotJudged = NotJudgedReasons(image);
    info.TagWarnings = DefaultsFromTags(image.TagList()).Warnings;
    return info;
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
