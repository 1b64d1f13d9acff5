#include "qa/SeriesRun.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <map>
#include <memory>
#include <sstream>

#include "analysis/AnalysisRun.h"
#include "analysis/AreaBorder.h"
#include "analysis/FieldSyntax.h"
#include "analysis/RoiGrid.h"
#include "base/EvenorError.h"
#include "dicom/DicomLib.h"
#include "dicom/DicomTags.h"
#include "dicom/FilePath.h"
#include "dicom/SharedFile.h"
#include "dicom/TerminalText.h"
#include "insight/ImageInfo.h"
#include "insight/Metrics.h"
#include "insight/ResultExport.h"
#include "insight/SpectrumExport.h"
#include "qa/AnalyseOptions.h"

namespace evenor {

namespace {

// A number as the kerma fields and DS values hold it: optional padding, "."
// as separator, nothing else.
std::optional<double> ReadNumber(std::string_view text)
{
    std::string trimmed = TrimPadding(text);
    // DS values may carry a plus sign, which from_chars does not take.
    if (!trimmed.empty() && trimmed.front() == '+') trimmed.erase(0, 1);
    if (trimmed.empty() || trimmed.front() == '+') return std::nullopt;
    double value = 0.0;
    const char* end = trimmed.data() + trimmed.size();
    const auto [at, error] = std::from_chars(trimmed.data(), end, value);
    if (error != std::errc() || at != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<double> ReadKerma(std::string_view text)
{
    const auto value = ReadNumber(text);
    if (!value || *value < 0.0) return std::nullopt;
    return value;
}

std::string KermaProblem(std::string_view text)
{
    return "\"" + Printable(std::string(text)) + "\" is not a kerma in µGy (a number, 0 or more)";
}

std::unique_ptr<TDicomBeeld> OpenImage(const std::string& file, bool decompress)
{
    return std::make_unique<TDicomBeeld>(DirectoryPart(file), FileNamePart(file),
                                         decompress ? CompressedImages::Decode : CompressedImages::Refuse);
}

// What must be the same in every image of one series.
struct Identity {
    std::string Manufacturer, Model, DetectorId, Serial;
    std::int32_t Rows = 0, Columns = 0;
    double Spacing = 0.0;

    std::string DetectorText() const
    {
        std::string text;
        for (const auto& part : {Manufacturer, Model, DetectorId, Serial})
            if (!part.empty()) text += (text.empty() ? "" : " ") + part;
        return text.empty() ? "unnamed detector" : text;
    }
};

std::string SpacingText(double spacing) { return spacing > 0.0 ? FormatReal(spacing) + " mm" : "unknown"; }

// Throws when `image` does not belong with the first image.
void CheckSameDetector(const std::string& file, const Identity& image, const std::string& firstFile,
                       const Identity& first)
{
    const std::string name = Printable(file), firstName = Printable(firstFile);
    const auto differ = [&](const char* what, const std::string& value, const std::string& expected) {
        if (value == expected) return;
        throw EvenorError(name + ": not the same detector as " + firstName + " (" + what + " \"" + Printable(value) +
                          "\", not \"" + Printable(expected) + "\")");
    };
    differ("Manufacturer", image.Manufacturer, first.Manufacturer);
    differ("Manufacturer's Model Name", image.Model, first.Model);
    differ("Detector ID", image.DetectorId, first.DetectorId);
    differ("Device Serial Number", image.Serial, first.Serial);
    if (image.Rows != first.Rows || image.Columns != first.Columns)
        throw EvenorError(name + ": " + std::to_string(image.Columns) + " x " + std::to_string(image.Rows) +
                          " pixels, not " + std::to_string(first.Columns) + " x " + std::to_string(first.Rows) +
                          " as " + firstName);
    if (std::fabs(image.Spacing - first.Spacing) > 1e-9 * std::max(1.0, first.Spacing))
        throw EvenorError(name + ": pixel spacing " + SpacingText(image.Spacing) + ", not " +
                          SpacingText(first.Spacing) + " as " + firstName);
}

struct Header {
    Identity Id;
    std::optional<double> ExposureIndex, TargetExposureIndex, DeviationIndex;
};

Header ReadHeader(const std::string& file, bool decompress, const SeriesMessageSink& message,
                  std::vector<std::string>& warnings)
{
    const auto image = OpenImage(file, decompress);
    const ImageInfo info = ReadImageInfo(*image);
    if (!info.Judged()) throw EvenorError(Printable(file) + ": " + info.NotJudgedText());
    const auto warn = [&](std::string_view text) {
        const std::string line = Printable(file) + ": " + std::string(text);
        message("Warning: " + line);
        warnings.push_back(line);
    };
    if (info.IsProcessed()) warn(ProcessedImageWarning);
    if (info.LossyCompressed) warn(LossyImageWarning);
    Header header;
    header.Id = {info.Manufacturer,    info.Model,
                 info.DetectorId,      TagTableValue(image->TagTable(), tags::DeviceSerialNumber.Key),
                 image->Rows(),        image->Columns(),
                 image->PixelSpacing()};
    const auto& table = image->TagTable();
    header.ExposureIndex = ReadNumber(TagTableValue(table, tags::ExposureIndex.Key));
    header.TargetExposureIndex = ReadNumber(TagTableValue(table, tags::TargetExposureIndex.Key));
    header.DeviationIndex = ReadNumber(TagTableValue(table, tags::DeviationIndex.Key));
    return header;
}

// The pixels of one image, checked complete.
std::unique_ptr<TDicomBeeld> LoadImage(const std::string& file, bool decompress)
{
    auto image = OpenImage(file, decompress);
    image->LoadPixels();
    const std::size_t expected = static_cast<std::size_t>(image->Rows()) * static_cast<std::size_t>(image->Columns());
    if (image->Pixels().size() != expected || expected == 0)
        throw EvenorError(Printable(file) + ": " + kPixelDataIncomplete);
    return image;
}

// The evaluated area: the whole image or the area given, less the border.
AreaRect EvaluatedArea(const SeriesRequest& request, const Identity& first, double spacing, std::uint32_t& borderPixels)
{
    AnalysisSettings settings;
    if (request.Area.empty()) {
        const ImageArea whole = WholeImageArea(first.Rows, first.Columns);
        settings.FirstColumn = whole.FirstColumn;
        settings.FirstRow = whole.FirstRow;
        settings.LastColumn = whole.LastColumn;
        settings.LastRow = whole.LastRow;
    } else {
        const auto parts = SplitAtCommas(request.Area);
        if (parts.size() != 4 || !ReadAreaField(parts[0], settings.FirstColumn) ||
            !ReadAreaField(parts[1], settings.FirstRow) || !ReadAreaField(parts[2], settings.LastColumn) ||
            !ReadAreaField(parts[3], settings.LastRow))
            throw EvenorError("--area: FIRSTCOL,FIRSTROW,LASTCOL,LASTROW is expected");
        if (settings.FirstColumn > settings.LastColumn || settings.FirstRow > settings.LastRow ||
            settings.LastColumn >= static_cast<std::uint32_t>(first.Columns) ||
            settings.LastRow >= static_cast<std::uint32_t>(first.Rows))
            throw EvenorError("--area: the area must lie inside the image (" + std::to_string(first.Columns) + " x " +
                              std::to_string(first.Rows) + " pixels), first before last");
    }
    double borderMm = 0.0;
    if (!ReadRealField(request.BorderMm, borderMm) || borderMm < 0.0)
        throw EvenorError("--border-mm: A number of millimetres, 0 or more, is expected");
    borderPixels = 0;
    if (borderMm > 0.0) {
        const BorderedArea bordered = ReduceArea(settings, spacing, borderMm);
        if (!bordered.Accepted) throw EvenorError(bordered.Refusal);
        settings = bordered.Settings;
        borderPixels = bordered.BorderPixels;
    }
    return {settings.FirstColumn, settings.FirstRow, settings.LastColumn, settings.LastRow};
}

// The central square of `side` pixels of the area (all of a shorter side).
AreaRect CentralRegion(const AreaRect& area, std::uint32_t side)
{
    const auto centre = [](std::uint32_t first, std::uint32_t length, std::uint32_t want, std::uint32_t& a,
                           std::uint32_t& b) {
        const std::uint32_t take = std::clamp<std::uint32_t>(want, 1, length);
        a = first + (length - take) / 2;
        b = a + take - 1;
    };
    AreaRect central;
    centre(area.FirstColumn, area.Width(), side, central.FirstColumn, central.LastColumn);
    centre(area.FirstRow, area.Height(), side, central.FirstRow, central.LastRow);
    return central;
}

std::uint32_t PixelsFor(double mm, double spacing)
{
    return static_cast<std::uint32_t>(std::clamp(std::lround(mm / spacing), 1L, 65535L));
}

Verdict Worse(Verdict a, Verdict b) { return static_cast<int>(a) >= static_cast<int>(b) ? a : b; }

SeriesDark MeasureDarks(const SeriesRequest& request, const BoxGrid& grid, std::uint32_t columns)
{
    SeriesDark dark;
    DoseNoiseAccumulator noise(grid);
    std::vector<std::uint16_t> counts(grid.Area.Count(), 0);
    for (const auto& file : request.Darks) {
        const auto image = LoadImage(file, request.Decompress);
        const std::span<const std::uint16_t> pixels = image->Pixels();
        noise.Add(pixels, columns);
        const Moments moments = RectMoments(pixels, columns, grid.Area);
        const double mean = moments.Mean(), allowed = DarkDefectSds * std::sqrt(moments.Variance());
        std::uint16_t* count = counts.data();
        for (std::uint32_t row = grid.Area.FirstRow; row <= grid.Area.LastRow; ++row) {
            const std::uint16_t* line = pixels.data() + static_cast<std::size_t>(row) * columns;
            for (std::uint32_t x = grid.Area.FirstColumn; x <= grid.Area.LastColumn; ++x, ++count)
                if (std::fabs(line[x] - mean) > allowed && *count != UINT16_MAX) ++*count;
        }
    }
    const DoseNoise result = noise.Result();
    dark.Images = result.Images;
    dark.Mean = result.Mean;
    dark.FromPairs = result.QuantumVariance.has_value();
    dark.NoiseSd = std::sqrt(result.QuantumVariance.value_or(result.ImageVariance));
    const std::size_t all = std::min<std::size_t>(request.Darks.size(), UINT16_MAX);
    dark.DefectPixels = static_cast<std::size_t>(
        std::count_if(counts.begin(), counts.end(), [&](std::uint16_t c) { return c >= all; }));
    return dark;
}

// The noise power spectrum of each dose over the evaluated area, averaged
// over all ROIs of its images (read again, one at a time: the response the
// values are linearised with is known only once every dose is measured). With
// a response, the transform is its inverse applied to the stored values, the
// values it was fitted on; without one the stored values are taken as they
// are. No spacing read: no spectrum (an assumed spacing would invent the
// frequencies).
void MeasureSpectra(const SeriesRequest& request, SeriesResult& result)
{
    const ResponseFit* fit = result.Response ? result.Response->Best() : nullptr;
    LinearisingTransform linearise;
    if (fit != nullptr) linearise = [fit](double value) { return fit->Kerma(value); };
    const SpectrumRegion region{result.Area.FirstColumn, result.Area.FirstRow, result.Area.LastColumn,
                                result.Area.LastRow};
    for (SeriesDose& dose : result.Doses) {
        NoiseSpectrumSum sum(result.PixelSpacing, linearise);
        for (const std::size_t i : dose.Images) {
            const auto image = LoadImage(request.Files[i], request.Decompress);
            sum.Add(image->Pixels(), result.Columns, region);
        }
        SpectrumAnalysis analysis;
        analysis.Run = sum.Result();
        if (analysis.Run.Spectrum) analysis.Peaks = FindSpectrumPeaks(*analysis.Run.Spectrum);
        dose.Nps = std::move(analysis);
    }
}

}  // namespace

SeriesResult RunSeries(const SeriesRequest& request, const SeriesMessageSink& message)
{
    if (request.Files.size() < 2) throw EvenorError("A series needs at least two images");
    if (!request.Kerma.empty() && request.Kerma.size() != request.Files.size())
        throw EvenorError("One kerma value is needed for each image");

    // The same image twice would show no noise in its pair's difference:
    // the quantum noise would vanish into the fixed pattern.
    std::vector<std::string> all = request.Files;
    all.insert(all.end(), request.Darks.begin(), request.Darks.end());
    for (std::size_t i = 0; i < all.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (all[i] == all[j] || IsSameFile(all[i], all[j]))
                throw EvenorError(Printable(all[i]) + ": given twice (as " + Printable(all[j]) +
                                  "); every image of a series must be a separate exposure");

    SeriesResult result;
    // Every header first: a series that does not belong together is refused
    // before any pixel is read.
    std::vector<Header> headers;
    for (const auto& file : request.Files)
        headers.push_back(ReadHeader(file, request.Decompress, message, result.Warnings));
    for (std::size_t i = 1; i < headers.size(); ++i)
        CheckSameDetector(request.Files[i], headers[i].Id, request.Files[0], headers[0].Id);
    for (const auto& dark : request.Darks)
        CheckSameDetector(dark, ReadHeader(dark, request.Decompress, message, result.Warnings).Id, request.Files[0],
                          headers[0].Id);

    const Identity& first = headers[0].Id;
    result.Detector = first.DetectorText();
    result.Rows = static_cast<std::uint32_t>(first.Rows);
    result.Columns = static_cast<std::uint32_t>(first.Columns);
    result.PixelSpacing = first.Spacing;
    double spacing = first.Spacing;
    if (!(spacing > 0.0)) {
        spacing = SeriesAssumedSpacingMm;
        const std::string warning = "The images have no pixel spacing: " + FormatReal(spacing) +
                                    " mm is taken for the central region and the boxes";
        message("Warning: " + warning);
        result.Warnings.push_back(warning);
    }
    result.Area = EvaluatedArea(request, first, spacing, result.BorderPixels);
    result.Central = CentralRegion(result.Area, PixelsFor(SeriesCentralRegionMm, spacing));
    double boxCm = 0.0;
    if (!ReadRealField(request.BoxCm, boxCm) || !(boxCm > 0.0))
        throw EvenorError("--box-cm: a positive number of centimetres is expected");
    result.Grid = MakeBoxGrid(result.Area, PixelsFor(boxCm * 10.0, spacing));
    result.PixelDeviationPercent = DefaultPreset().PixelDeviationPercent;

    // The doses: equal kerma values make one dose; without kerma all images do.
    std::map<double, std::vector<std::size_t>> byKerma;
    for (std::size_t i = 0; i < request.Files.size(); ++i) {
        SeriesImage image;
        image.File = request.Files[i];
        if (!request.Kerma.empty()) image.Kerma = request.Kerma[i];
        image.ExposureIndex = headers[i].ExposureIndex;
        image.TargetExposureIndex = headers[i].TargetExposureIndex;
        image.DeviationIndex = headers[i].DeviationIndex;
        result.Images.push_back(image);
        byKerma[request.Kerma.empty() ? 0.0 : request.Kerma[i]].push_back(i);
    }

    SeriesDefectCounter defects(result.Grid, result.PixelDeviationPercent);
    for (const auto& [kerma, members] : byKerma) {
        SeriesDose dose;
        if (!request.Kerma.empty()) dose.Kerma = kerma;
        dose.Images = members;
        DoseNoiseAccumulator noise(result.Grid);
        double centralSum = 0.0;
        for (const std::size_t i : members) {
            const auto image = LoadImage(request.Files[i], request.Decompress);
            const std::span<const std::uint16_t> pixels = image->Pixels();
            noise.Add(pixels, result.Columns);
            defects.Add(pixels, result.Columns);
            SeriesImage& measured = result.Images[i];
            const Moments area = RectMoments(pixels, result.Columns, result.Area);
            const Moments central = RectMoments(pixels, result.Columns, result.Central);
            measured.Mean = area.Mean();
            measured.SD = std::sqrt(area.Variance());
            measured.CentralMean = central.Mean();
            measured.CentralSD = std::sqrt(central.Variance());
            centralSum += measured.CentralMean;
            if (measured.ExposureIndex && measured.Kerma) {
                measured.ExposureCheck = CheckExposureIndex(*measured.ExposureIndex, *measured.Kerma);
                result.ExposureVerdict = Worse(result.ExposureVerdict, measured.ExposureCheck.Result);
            }
        }
        dose.CentralMean = centralSum / static_cast<double>(members.size());
        dose.Noise = noise.Result();
        if (dose.Noise.QuantumVariance && *dose.Noise.QuantumVariance == 0.0) {
            const std::string warning = "Images with the same pixel values at one dose (copies of one exposure?): "
                                        "their difference shows no quantum noise";
            message("Warning: " + warning);
            result.Warnings.push_back(warning);
        }
        result.Doses.push_back(std::move(dose));
    }
    result.Defects = defects.Result();

    // The noise block: the dose with the most images, of those the highest.
    for (std::size_t d = 1; d < result.Doses.size(); ++d)
        if (result.Doses[d].Images.size() >= result.Doses[result.NoiseDose].Images.size()) result.NoiseDose = d;
    const DoseNoise& shown = result.Doses[result.NoiseDose].Noise;
    result.NoiseUniformityVerdict =
        Judge(shown.QuantumNoiseUniformity,
              DefaultPreset().MetricLimits[static_cast<std::size_t>(MetricId::NoiseUniformity)]);

    if (result.Doses.size() >= 3 && !request.Kerma.empty()) {
        std::vector<double> kerma, mean, variance;
        for (const auto& dose : result.Doses) {
            kerma.push_back(*dose.Kerma);
            mean.push_back(dose.CentralMean);
            variance.push_back(dose.Noise.TotalVariance);
        }
        result.Response = ChooseResponse(kerma, mean);
        result.Components = FitNoiseComponents(kerma, variance);
    }

    if (request.Nps) MeasureSpectra(request, result);

    if (!request.Darks.empty()) {
        result.Dark = MeasureDarks(request, result.Grid, result.Columns);
        if (result.Components && result.Components->Fitted && result.Components->Electronic > 0.0)
            result.Dark->ElectronicRatio = result.Dark->NoiseSd * result.Dark->NoiseSd / result.Components->Electronic;
    }
    return result;
}

std::string DetectorText(const TDicomBeeld& image)
{
    const ImageInfo info = ReadImageInfo(image.TagTable());
    return Identity{info.Manufacturer, info.Model, info.DetectorId,
                    TagTableValue(image.TagTable(), tags::DeviceSerialNumber.Key)}
        .DetectorText();
}

SeriesResponse ReadSeriesResponse(const std::string& path)
{
    const std::string name = Printable(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EvenorError(name + ": cannot be opened");
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(in);
    } catch (const nlohmann::json::exception&) {
        throw EvenorError(name + ": not a JSON document");
    }
    if (!json.is_object() || json.value("kind", "") != "series")
        throw EvenorError(name + ": not the JSON of a series (evenor-cli series --json)");
    const auto response = json.find("response");
    if (response == json.end() || !response->is_object())
        throw EvenorError(name + ": holds no response (a series needs three or more distinct kerma values)");
    SeriesResponse read;
    const std::string model = response->value("model", "");
    const auto& coefficients = response->value("coefficients", nlohmann::json::object());
    const auto number = [&](const char* key) {
        const auto at = coefficients.find(key);
        if (at == coefficients.end() || !at->is_number()) throw EvenorError(name + ": the response lacks " + key);
        return at->get<double>();
    };
    if (model == "linear") {
        read.Fit.Model = ResponseModel::Linear;
        read.Fit.A = number("offset");
        read.Fit.B = number("slope");
    } else if (model == "log") {
        read.Fit.Model = ResponseModel::Log;
        read.Fit.A = number("offset");
        read.Fit.B = number("slope_per_ln_uGy");
    } else if (model == "power") {
        read.Fit.Model = ResponseModel::Power;
        read.Fit.A = number("factor");
        read.Fit.B = number("exponent");
    } else {
        throw EvenorError(name + ": unknown response model \"" + Printable(model) + "\"");
    }
    if (!std::isfinite(read.Fit.A) || !std::isfinite(read.Fit.B) || read.Fit.B == 0.0)
        throw EvenorError(name + ": the response has no inverse (a slope or exponent of 0)");
    read.Fit.Fitted = true;
    if (const auto detector = json.find("detector"); detector != json.end() && detector->is_string())
        read.Detector = detector->get<std::string>();
    return read;
}

AnalysisOutcome LinearisedOutcome(const AnalysisSettings& settings, const TDicomBeeld& image,
                                  const SeriesResponse& response, std::optional<nlohmann::ordered_json>& basis)
{
    const auto columns = static_cast<std::uint32_t>(image.Columns());
    const auto rows = static_cast<std::uint32_t>(image.Rows());
    const AreaRect area{settings.FirstColumn, settings.FirstRow, settings.LastColumn, settings.LastRow};
    const double storedMean = RectMoments(image.Pixels(), columns, area).Mean();
    LinearisedPixels linear = LinearisePixels(image.Pixels(), response.Fit, storedMean);
    if (linear.Pixels.empty())
        throw EvenorError("--response: the response gives no positive kerma for this image's mean value " +
                          FormatReal(storedMean));
    AnalysisOutcome outcome;
    outcome.Result = AnalyseRoiGrid(linear.Pixels, columns, rows, image.PixelSpacing(), settings);
    outcome.Pixels = std::move(linear.Pixels);
    outcome.Columns = columns;
    nlohmann::ordered_json coefficients = CoefficientsJson(response.Fit);
    basis = nlohmann::ordered_json{
        {"basis", "kerma_linear"},
        {"description", "Metrics, deviating pixels and verdicts are of the values K(stored value) / unit_uGy; "
                        "the results report is of the stored values"},
        {"unit_uGy", linear.Unit},
        {"area_mean_kerma_uGy", response.Fit.Kerma(storedMean)},
        {"response",
         {{"model", std::string(ResponseModelName(response.Fit.Model))},
          {"coefficients", std::move(coefficients)},
          {"detector", response.Detector}}}};
    return outcome;
}

std::optional<std::vector<double>> ParseKermaList(const std::string& text, std::size_t count, std::string& problem)
{
    const std::vector<std::string> parts = SplitAtCommas(text);
    if (parts.size() != count) {
        problem = std::to_string(parts.size()) + (parts.size() == 1 ? " value" : " values") + " for " +
                  std::to_string(count) + (count == 1 ? " image" : " images");
        return std::nullopt;
    }
    std::vector<double> kerma;
    for (const auto& part : parts) {
        const auto value = ReadKerma(part);
        if (!value) {
            problem = KermaProblem(part);
            return std::nullopt;
        }
        kerma.push_back(*value);
    }
    return kerma;
}

std::optional<std::vector<double>> ReadKermaCsv(const std::string& path, const std::vector<std::string>& files,
                                                std::string& problem)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problem = "cannot open " + Printable(path);
        return std::nullopt;
    }
    std::map<std::string, double> byPath;
    std::map<std::string, std::vector<double>> byName;
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (TrimPadding(line).empty()) continue;
        const std::size_t comma = line.rfind(',');
        if (comma == std::string::npos) {
            problem = "line " + std::to_string(number) + ": FILE,KERMA is expected";
            return std::nullopt;
        }
        const std::string file = TrimPadding(std::string_view(line).substr(0, comma));
        const auto kerma = ReadKerma(std::string_view(line).substr(comma + 1));
        if (!kerma) {
            if (byPath.empty() && number == 1) continue;  // a header
            problem = "line " + std::to_string(number) + ": " + KermaProblem(line.substr(comma + 1));
            return std::nullopt;
        }
        byPath[file] = *kerma;
        byName[FileNamePart(file)].push_back(*kerma);
    }
    std::vector<double> kerma;
    for (const auto& file : files) {
        if (const auto at = byPath.find(file); at != byPath.end()) {
            kerma.push_back(at->second);
            continue;
        }
        const auto named = byName.find(FileNamePart(file));
        if (named == byName.end()) {
            problem = "no kerma for " + Printable(file);
            return std::nullopt;
        }
        if (named->second.size() != 1) {
            problem = "several lines name " + Printable(FileNamePart(file)) + "; give " + Printable(file) +
                      " as FILE names it";
            return std::nullopt;
        }
        kerma.push_back(named->second.front());
    }
    return kerma;
}

}  // namespace evenor
