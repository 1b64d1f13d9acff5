#include "history/Baselines.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <set>

#include "insight/ResultExport.h"

namespace evenor {

namespace {

std::optional<double> MetricOf(const RecordNumbers& n, MetricId id) { return n.Metrics[static_cast<std::size_t>(id)]; }

constexpr std::array<BaselineCheckInfo, BaselineCheckCount> kChecks = {{
    {.Key = "area_snr",
     .Name = "Area SNR",
     .Default = {10.0, 20.0},
     .Of = [](const RecordNumbers& n) -> std::optional<double> { return n.AreaSNR; }},
    {.Key = "mean_roi_snr",
     .Name = "Mean ROI SNR",
     .Default = {10.0, 20.0},
     .Of = [](const RecordNumbers& n) -> std::optional<double> { return n.MeanRoiSNR; }},
    {.Key = "global_uniformity",
     .Name = "Global uniformity",
     .Default = {50.0, 100.0},
     .Of = [](const RecordNumbers& n) { return MetricOf(n, MetricId::GlobalUniformity); },
     .Unit = "%"},
    {.Key = "local_uniformity",
     .Name = "Local uniformity",
     .Default = {50.0, 100.0},
     .Of = [](const RecordNumbers& n) { return MetricOf(n, MetricId::LocalUniformity); },
     .Unit = "%"},
    {.Key = "noise_uniformity",
     .Name = "Noise uniformity",
     .Default = {50.0, 100.0},
     .Of = [](const RecordNumbers& n) { return MetricOf(n, MetricId::NoiseUniformity); },
     .Unit = "%"},
    {.Key = "deviating_roi_count",
     .Name = "Deviating ROIs",
     .Default = {50.0, 100.0},
     .Of = [](const RecordNumbers& n) -> std::optional<double> { return static_cast<double>(n.DeviatingRoiCount); },
     .MinimumReference = 1.0,
     .Counts = true},
    {.Key = "area_mean",
     .Name = "Area mean",
     .Default = {10.0, 20.0},
     .Of = [](const RecordNumbers& n) -> std::optional<double> { return n.AreaMean; },
     .Unit = "pixel value",
     .ConcernsExposure = true},
}};

std::uint64_t RowMajor(const PixelPosition& p) { return (std::uint64_t{p.Y} << 32) | p.X; }

std::optional<double> Median(std::vector<double> values)
{
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2.0;
}

void PutUint32(std::string& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

std::uint32_t GetUint32(std::string_view bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= std::uint32_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
    return value;
}

}  // namespace

std::span<const BaselineCheckInfo> AllBaselineChecks() { return kChecks; }

const BaselineCheckInfo* FindBaselineCheck(std::string_view key)
{
    for (const auto& check : kChecks)
        if (check.Key == key) return &check;
    return nullptr;
}

std::string BaselineAxisLabel(const BaselineCheckInfo& check)
{
    return check.Unit.empty() ? std::string(check.Name)
                              : std::string(check.Name) + " (" + std::string(check.Unit) + ")";
}

BaselineLimits DefaultBaselineLimits()
{
    BaselineLimits limits;
    for (std::size_t i = 0; i < BaselineCheckCount; ++i) limits[i] = kChecks[i].Default;
    return limits;
}

std::string PackLimits(const BaselineLimits& limits)
{
    const auto number = [](const std::optional<double>& value) {
        return value && std::isfinite(*value) ? FormatReal(*value) : std::string("-");
    };
    std::string text;
    for (std::size_t i = 0; i < BaselineCheckCount; ++i)
        text += std::string(kChecks[i].Key) + ' ' + number(limits[i].Warning) + ' ' + number(limits[i].Action) + '\n';
    return text;
}

BaselineLimits UnpackLimits(std::string_view text)
{
    BaselineLimits limits = DefaultBaselineLimits();
    const auto number = [](std::string_view word) -> std::optional<double> {
        double value = 0.0;
        const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
        if (error != std::errc() || end != word.data() + word.size() || !std::isfinite(value)) return std::nullopt;
        return value;
    };
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        const std::size_t first = line.find(' '), second = line.find(' ', first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos) continue;
        for (std::size_t i = 0; i < BaselineCheckCount; ++i)
            if (kChecks[i].Key == line.substr(0, first))
                limits[i] = Limits{number(line.substr(first + 1, second - first - 1)), number(line.substr(second + 1))};
    }
    return limits;
}

std::vector<BaselineCheck> CheckAgainstBaseline(const RecordNumbers& numbers, const std::string& exposure,
                                                const std::string& exposureUnit, const Baseline& baseline,
                                                const BaselineLimits& limits)
{
    const RecordNumbers& base = baseline.Numbers;
    const bool sameExposure =
        !baseline.Exposure.empty() && exposure == baseline.Exposure && exposureUnit == baseline.ExposureUnit;
    std::vector<BaselineCheck> checks;
    for (std::size_t i = 0; i < BaselineCheckCount; ++i) {
        const BaselineCheckInfo& info = kChecks[i];
        BaselineCheck check;
        check.Key = info.Key;
        check.Limit = limits[i];
        check.Value = info.Of(numbers);
        check.Reference = info.Of(base);
        if (info.ConcernsExposure && !sameExposure) {
            check.Note = "exposure differs, not compared";
        } else if (!check.Value || !check.Reference) {
            check.Note = "not available";
        } else {
            const double reference =
                info.MinimumReference > 0.0 ? std::max(*check.Reference, info.MinimumReference) : *check.Reference;
            check.DeviationPercent = DeviationPercent(*check.Value, reference);
            if (!check.DeviationPercent) check.Note = "baseline value is 0";
            check.Result = Judge(check.DeviationPercent, check.Limit);
        }
        checks.push_back(std::move(check));
    }
    return checks;
}

std::vector<std::int64_t> BaselineSourceRecords(std::string_view source)
{
    for (const std::string_view prefix : {std::string_view("record "), std::string_view("median of records ")}) {
        if (!source.starts_with(prefix)) continue;
        std::vector<std::int64_t> ids;
        const char* at = source.data() + prefix.size();
        const char* const end = source.data() + source.size();
        while (true) {
            std::int64_t id = 0;
            const auto [next, error] = std::from_chars(at, end, id);
            if (error != std::errc() || next == at) return {};
            ids.push_back(id);
            if (next == end) return ids;
            if (end - next < 2 || next[0] != ',' || next[1] != ' ') return {};
            at = next + 2;
        }
    }
    return {};
}

NewDefects NewSinceBaseline(const QaRecord& record, const Baseline& baseline)
{
    std::vector<std::uint64_t> before;
    before.reserve(baseline.DeviatingPixels.size());
    for (const auto& p : baseline.DeviatingPixels) before.push_back(RowMajor(p));
    std::sort(before.begin(), before.end());
    NewDefects found;
    for (const auto& p : record.DeviatingPixels)
        if (!std::binary_search(before.begin(), before.end(), RowMajor(p))) ++found.Pixels;
    for (const auto& box : record.Clusters) {
        bool seen = false;
        const std::uint32_t top = box.Top > 0 ? box.Top - 1 : 0, left = box.Left > 0 ? box.Left - 1 : 0;
        for (std::uint64_t y = top; y <= std::uint64_t{box.Bottom} + 1 && !seen; ++y) {
            const auto from = std::lower_bound(before.begin(), before.end(), (y << 32) | left);
            seen = from != before.end() && *from <= ((y << 32) | (std::uint64_t{box.Right} + 1));
        }
        if (!seen) ++found.Clusters;
    }
    for (const auto& line : record.Lines)
        if (!std::binary_search(baseline.Lines.begin(), baseline.Lines.end(), line)) ++found.Lines;
    return found;
}

Baseline BaselineFrom(const std::vector<const QaRecord*>& records)
{
    Baseline baseline;
    if (records.empty()) return baseline;
    const auto median = [&](auto get) {
        std::vector<double> values;
        for (const QaRecord* r : records)
            if (const std::optional<double> v = get(r->Numbers)) values.push_back(*v);
        return Median(std::move(values));
    };
    RecordNumbers& n = baseline.Numbers;
    n.AreaMean = median([](const RecordNumbers& x) { return std::optional(x.AreaMean); }).value_or(0.0);
    n.AreaSD = median([](const RecordNumbers& x) { return std::optional(x.AreaSD); }).value_or(0.0);
    n.AreaSNR = median([](const RecordNumbers& x) { return std::optional(x.AreaSNR); }).value_or(0.0);
    n.MeanRoiSNR = median([](const RecordNumbers& x) { return std::optional(x.MeanRoiSNR); }).value_or(0.0);
    n.RoiSNRSD = median([](const RecordNumbers& x) { return std::optional(x.RoiSNRSD); }).value_or(0.0);
    const auto count = [&](auto get) {
        return std::llround(median([&](const RecordNumbers& x) { return std::optional(double(get(x))); }).value_or(0));
    };
    n.RoiCount = count([](const RecordNumbers& x) { return x.RoiCount; });
    n.DeviatingRoiCount = count([](const RecordNumbers& x) { return x.DeviatingRoiCount; });
    n.DeviatingPixelCount = count([](const RecordNumbers& x) { return x.DeviatingPixelCount; });
    for (std::size_t m = 0; m < MetricCount; ++m)
        n.Metrics[m] = median([m](const RecordNumbers& x) { return x.Metrics[m]; });

    const QaRecord& first = *records.front();
    const bool sameExposure = std::all_of(records.begin(), records.end(), [&](const QaRecord* r) {
        return r->Exposure == first.Exposure && r->ExposureUnit == first.ExposureUnit;
    });
    if (sameExposure) {
        baseline.Exposure = first.Exposure;
        baseline.ExposureUnit = first.ExposureUnit;
    }
    baseline.KVp = first.KVp;
    std::set<std::uint64_t> pixels;
    std::set<LinePosition> lines;
    for (const QaRecord* r : records) {
        for (const auto& p : r->DeviatingPixels) pixels.insert(RowMajor(p));
        lines.insert(r->Lines.begin(), r->Lines.end());
    }
    for (const std::uint64_t key : pixels)
        baseline.DeviatingPixels.push_back(
            PixelPosition{static_cast<std::uint32_t>(key & 0xffffffffu), static_cast<std::uint32_t>(key >> 32)});
    baseline.Lines.assign(lines.begin(), lines.end());
    return baseline;
}

std::string PackPixels(const std::vector<PixelPosition>& pixels)
{
    std::string bytes;
    bytes.reserve(pixels.size() * 8);
    for (const auto& p : pixels) {
        PutUint32(bytes, p.X);
        PutUint32(bytes, p.Y);
    }
    return bytes;
}

std::vector<PixelPosition> UnpackPixels(std::string_view bytes)
{
    std::vector<PixelPosition> pixels;
    pixels.reserve(bytes.size() / 8);
    for (std::size_t at = 0; at + 8 <= bytes.size(); at += 8)
        pixels.push_back(PixelPosition{GetUint32(bytes, at), GetUint32(bytes, at + 4)});
    return pixels;
}

std::string PackLines(const std::vector<LinePosition>& lines)
{
    std::string bytes;
    for (const auto& line : lines) {
        bytes += static_cast<char>(line.Orientation == LineOrientation::Row ? 0 : 1);
        PutUint32(bytes, line.Index);
    }
    return bytes;
}

std::vector<LinePosition> UnpackLines(std::string_view bytes)
{
    std::vector<LinePosition> lines;
    for (std::size_t at = 0; at + 5 <= bytes.size(); at += 5)
        lines.push_back(
            LinePosition{bytes[at] == 0 ? LineOrientation::Row : LineOrientation::Column, GetUint32(bytes, at + 1)});
    return lines;
}

}  // namespace evenor
