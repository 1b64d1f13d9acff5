#include "cli/SeriesCommand.h"

#include <exception>
#include <ostream>

#include "analysis/AnalysisRun.h"
#include "base/EvenorError.h"
#include "cli/CliCommands.h"
#include "dicom/SharedFile.h"
#include "dicom/TerminalText.h"
#include "insight/ResultExport.h"
#include "qa/SeriesRun.h"

namespace evenor {

namespace {

constexpr const char* kSeriesFooter = R"(
Judges several flat fields of one detector together. The images must share the
detector (Manufacturer, Manufacturer's Model Name, Detector ID, Device Serial
Number), the size and the pixel spacing; a series that does not is refused
before any pixel is read. Figures are in stored pixel values, over the area
(the whole image or --area, less --border-mm on every side).

At one dose (no kerma, or two or more images with equal kerma): the difference
of each pair of images (1st and 2nd, 3rd and 4th, ...) gives the quantum
(random) noise, the mean image the fixed pattern; the summary and the JSON give
the total, quantum and structured SD and the structured fraction, the fixed
pattern per box (--box-cm), the noise uniformity of the quantum noise alone,
and the deviating pixels found in every image (persistent) or in one
(transient).

With three or more distinct kerma values (--kerma or --kerma-file, in µGy at
the detector): the mean of the central 10 x 10 mm against kerma fitted with
linear, log and power models (the best by R2, linear kept on a tie), and the
variance against kerma fitted as e + q K + s K^2 with no term below 0. Images
carrying Exposure Index (0018,1411) are checked against EI = 100 x K within
+-20 %. Dark images (--dark) give the offset, the dark noise and the dark
defect pixels.

With --nps: the noise power spectrum of each dose over the area, averaged over
all 256 x 256 ROIs of all its images, of kerma-linear values (the inverse of
the fitted response) when the response is fitted, else of the stored values.

Exit status: 0 success, 1 refused or failed, 2 usage error.)";

}  // namespace

void AddSeriesCommand(CLI::App& app, SeriesCommandLine& line)
{
    auto* series = line.Command =
        app.add_subcommand("series", "Judge several flat fields of one detector: noise, fixed pattern, response");
    series->footer(kSeriesFooter);
    series->add_option("FILE", line.Files, "DICOM images of one detector (at least two)")->required();
    line.KermaOption = series
                           ->add_option("--kerma", line.Kerma,
                                        "Air kerma at the detector in µGy for each FILE in order, comma-separated")
                           ->type_name("LIST");
    line.KermaFileOption =
        series->add_option("--kerma-file", line.KermaFile, "CSV of lines file,kerma_uGy")->type_name("CSV");
    line.KermaOption->excludes(line.KermaFileOption);
    series->add_option("--dark", line.Darks, "Dark images (no exposure) of the same detector")->type_name("FILE");
    series
        ->add_option("--area", line.Options.Area,
                     "Area to evaluate, 0-based inclusive pixel positions (default: the whole image)")
        ->type_name("FIRSTCOL,FIRSTROW,LASTCOL,LASTROW");
    series
        ->add_option("--border-mm", line.Options.BorderMm,
                     "Leave X mm out on every side of the area (a collimated or shuttered rim); 0: nothing")
        ->type_name("X")
        ->capture_default_str();
    series
        ->add_option("--box-cm", line.Options.BoxCm,
                     "Side in cm of the boxes of the fixed-pattern map and the noise uniformity")
        ->type_name("B")
        ->capture_default_str();
    line.JsonOption = series->add_option("--json", line.Json, "Also write the whole result as JSON")->type_name("OUT");
    series->add_flag("--nps", line.Nps,
                     "Also compute the noise power spectrum of each dose, averaged over its images (of kerma-linear "
                     "values with three or more doses): NNPS metrics and periodic patterns in the summary and the "
                     "JSON (\"nps\")");
    series->add_flag("--decompress", line.Options.Decompress,
                     "Decode compressed images (JPEG, JPEG-LS, JPEG 2000, RLE, deflate; the first frame) instead "
                     "of refusing them");
}

bool RunSeriesCommand(const SeriesCommandLine& line, std::ostream& out, std::ostream& err, int& status)
{
    if (line.Command == nullptr || !*line.Command) return false;
    const auto usage = [&](const std::string& message) {
        err << message << "\nRun with --help for more information.\n";
        status = kExitUsage;
        return true;
    };
    std::uint16_t pixelOffset = 0;
    if (!CheckAnalyseOptions(line.Options, pixelOffset, err)) {
        status = kExitUsage;
        return true;
    }
    if (line.Files.size() < 2) return usage("FILE: a series needs at least two images");
    if (line.JsonOption->count() > 0 && line.Json.empty()) return usage("--json: a file is expected");

    SeriesRequest request;
    request.Files = line.Files;
    request.Darks = line.Darks;
    request.Area = line.Options.Area;
    request.BorderMm = line.Options.BorderMm;
    request.BoxCm = line.Options.BoxCm;
    request.Decompress = line.Options.Decompress;
    request.Nps = line.Nps;
    std::string problem;
    if (line.KermaOption->count() > 0) {
        const auto kerma = ParseKermaList(line.Kerma, line.Files.size(), problem);
        if (!kerma) return usage("--kerma: " + problem);
        request.Kerma = *kerma;
    } else if (line.KermaFileOption->count() > 0) {
        const auto kerma = ReadKermaCsv(line.KermaFile, line.Files, problem);
        if (!kerma) return usage("--kerma-file: " + problem);
        request.Kerma = *kerma;
    }
    // The JSON may not replace one of the images it describes.
    if (!line.Json.empty()) {
        std::vector<std::string> inputs = line.Files;
        inputs.insert(inputs.end(), line.Darks.begin(), line.Darks.end());
        for (const auto& input : inputs)
            if (IsSameFile(line.Json, input)) {
                err << Printable(line.Json) << ": " << kOutputIsImage << '\n';
                status = kExitFailed;
                return true;
            }
    }

    try {
        const SeriesResult result = RunSeries(request, [&](const std::string& text) { err << text << '\n'; });
        if (!line.Json.empty()) {
            // Tag values and file names may hold bytes that are not UTF-8.
            const std::string text =
                SeriesToJson(result).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
            try {
                WriteFile(line.Json, [&](std::ostream& file) { file << text << '\n'; });
            } catch (const EvenorError& e) {
                throw EvenorError(Printable(line.Json) + ": " + e.what());
            }
        }
        out << SeriesSummaryText(result);
        status = kExitSuccess;
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        status = kExitFailed;
    }
    return true;
}

}  // namespace evenor
