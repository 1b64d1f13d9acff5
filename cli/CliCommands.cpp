#include "cli/CliCommands.h"

#include <exception>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/BatchRun.h"
#include "cli/CliSummary.h"
#include "cli/HistoryCommands.h"
#include "cli/IntakeCommands.h"
#include "cli/MapExport.h"
#include "cli/SeriesCommand.h"
#include "cmake/EvenorVersion.h"
#include "dicom/DicomLib.h"
#include "dicom/FilePath.h"
#include "dicom/TerminalText.h"
#include "insight/ResultExport.h"
#include "qa/ImageJob.h"
#include "qa/Recorder.h"
#include "qa/SeriesRun.h"

namespace evenor {

namespace {

int TagsCommand(const std::string& file, bool decompress, std::ostream& out, std::ostream& err)
{
    try {
        TDicomBeeld image(DirectoryPart(file), FileNamePart(file),
                          decompress ? CompressedImages::Decode : CompressedImages::Refuse);
        // One element a line: a value holding a line break or an escape
        // sequence (tags arrive unattended through serve) is shown escaped.
        for (const auto& line : image.TagList()) out << Printable(line) << '\n';
        return kExitSuccess;
    } catch (const EvenorError& e) {
        err << e.what() << '\n';
        return kExitFailed;
    }
}

// Everything "analyse" was given besides the analysis options.
struct AnalyseCommandLine {
    std::vector<std::string> Files;
    std::string Report;
    std::string Json;
    std::string Csv;
    std::string PngFolder;
    std::string Pdf;
    std::string Paper = "a4";
    std::string PresetName;
    bool FailOnDeviation = false;
    bool Nps = false;
    bool Quiet = false;
    bool Record = false;
    std::string Db, By;
    std::string Response;  // a series JSON: judge kerma-linear values
    BatchOptions Batch;
};

PaperSize PaperOf(const std::string& name) { return name == "letter" ? PaperSize::Letter : PaperSize::A4; }

int SingleImage(const AnalyseCommandLine& line, bool withMaps, const AnalyseOptions& options,
                const GuidelinePreset& preset, std::ostream& out, std::ostream& err)
{
    ImageJob job;
    job.File = line.Files.front();
    job.Options = &options;
    job.Preset = &preset;
    job.Outputs.Report = line.Report;
    job.Outputs.Json = line.Json;
    job.Outputs.Csv = line.Csv;
    if (!line.PngFolder.empty()) job.Outputs.MapFolder = line.PngFolder;
    job.Outputs.Pdf = line.Pdf;
    job.Outputs.Paper = PaperOf(line.Paper);
    job.Pictures = ModulePictures();
    job.WantRecord = line.Record;
    job.WantSpectrum = line.Nps;
    job.AnalysedBy = line.By;
    if (!line.Response.empty()) {
        try {
            job.Response = ReadSeriesResponse(line.Response);
        } catch (const std::exception& e) {
            err << e.what() << '\n';
            return kExitFailed;
        }
    }
    // With a PDF report the test is recorded before the report is drawn, so
    // that it shows the baseline comparison.
    std::optional<HistoryRecorder> recorder;
    if (line.Record && !line.Pdf.empty()) {
        recorder.emplace(line.Db, line.By);
        job.RecordForReport = [&](QaRecord record) { return recorder->RecordForReport(std::move(record)); };
    }

    std::optional<MapSession> maps;
    if (withMaps) maps.emplace();
    const ImageOutcome outcome = AnalyseImage(job, [&](const std::string& text) { err << text << '\n'; });
    if (!outcome.Ok) {
        // Recorded before the PDF report failed: say so all the same.
        if (outcome.Recorded) out << *outcome.Recorded << '\n';
        return kExitFailed;
    }
    if (!line.Quiet && job.Response)
        out << "Metrics and verdicts of kerma-linear values (" << ResponseModelName(job.Response->Fit.Model)
            << " response of " << Printable(line.Response) << "); the report is of the stored values\n";
    if (!line.Quiet) out << ImageSummaryText(job.File, outcome);
    if (outcome.Recorded) out << *outcome.Recorded << '\n';
    if (outcome.RecordError) {
        err << *outcome.RecordError << '\n';
        return kExitFailed;
    }
    // The database is opened only now, after every output was written.
    if (outcome.Record) {
        try {
            out << HistoryRecorder(line.Db, line.By).Record(*outcome.Record) << '\n';
        } catch (const std::exception& e) {
            err << e.what() << '\n';
            return kExitFailed;
        }
    }
    if (line.FailOnDeviation && outcome.Verdict.Overall == Verdict::Fail) return kExitDeviation;
    return kExitSuccess;
}

constexpr const char* kAnalyseFooter = R"(
Runs one uniformity test, as the window's Calculate button does, and writes the
results report (plain text, CR LF line ends) to REPORT, replacing it. The report
is opened only after the analysis has succeeded; --json, --csv, --png and --pdf
are written after the report.

Values follow the window's field rules: whole numbers in decimal or hexadecimal
("$1F", "0x1F"), reals with "." as the decimal separator whatever the locale.
The "Mean SNR in ROI's" line of the report uses the locale's decimal separator
(LC_ALL, LC_NUMERIC, LANG).

Without --inverted or --no-inverted, the inversion follows the image's tag
0028,1041 (Pixel Intensity Relationship Sign): "-1" inverts, "1" does not. The
warnings about tags 0028,1040 and 0028,1041 that the window shows after an open
are printed on standard error, prefixed "Warning: ", and so is a warning when
0008,0068 Presentation Intent Type is FOR PRESENTATION (a processed image).

A colour image (Samples per Pixel not 1), Bits Allocated other than 8 or 16,
or signed pixels (Pixel Representation 1) are read and reported all the
same, with a warning naming the reason, but not judged: every verdict is
"not judged", and --record records nothing ("Not recorded: " and the reason
on standard error, exit status 1).

Compressed images are refused unless --decompress is given: then JPEG (lossless,
baseline, extended), JPEG-LS, JPEG 2000, RLE and deflated images with one
sample per pixel are decoded (the first frame) and analysed as the uncompressed
image would be; a lossy one (a lossy transfer syntax, or 0028,2110 Lossy Image
Compression "01") gets a warning on standard error and in the JSON.

After a successful run a summary goes to standard output (unless --quiet): the
counts, the summary metrics with their descriptions and the verdicts of the
guideline preset (--preset, see --list-presets). A preset's ROI and pixel
deviation percentages are the defaults of --roi-dev and --pixel-dev when
--preset is given. The metrics judge the detector, not its few bad pixels:
they are computed from ROI statistics without the deviating pixels (their
every-pixel values, the report's, are shown beside them), and the deviating
pixels are judged as clusters. The summary also names line defects, a rim at
the edges of the area (with the --border-mm that leaves it out) and row or
column correlated noise; the overall verdict covers all of them.

--border-mm X evaluates the area (the whole image or --area) less X mm on every
side, rounded up to whole pixels with the image's pixel spacing; the report
shows the area evaluated. An image without a pixel spacing, or one where the
border leaves nothing, is refused.

Batch: with --out-dir OUT instead of -o, FILE may be several files and folders
(a folder: its files, sorted by name, hidden ones left out; --recursive for its
sub-folders too). Two images are analysed at a time (--jobs). Each image gets
OUT/NAME.txt, NAME being its file name without the extension ("-2", "-3" added
when two images would share a name), and with --each-json, --each-csv,
--each-png and --each-pdf also NAME.json, NAME.csv, NAME-area.png,
NAME-roi-mean-deviation.png, NAME-roi-snr-deviation.png,
NAME-roi-noise-deviation.png and NAME.pdf. OUT/summary.csv holds one row per
image, in order; an image that fails (not DICOM, refused settings, a write error) is
reported on standard error, prefixed with its path, gets an error row and is
skipped. Standard output gets one line per analysed image and a total; on a
terminal, standard error shows a progress line.

Messages go to standard error. Exit status: 0 when every report (and output)
was written, 1 when a run was refused (for example "Area smaller than box
dimension") or failed (an unreadable image, a file that cannot be written) -- in
a batch, when any image failed --, 2 for a usage error, 3 with
--fail-on-deviation when nothing failed but an overall verdict is "fail".)";

}  // namespace

int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err, bool errIsTerminal)
{
    CLI::App app{"Evenor: uniformity test of digital X-ray detectors", "evenor-cli"};
    app.set_version_flag("--version", "evenor-cli " + std::string(EvenorVersion));
    app.require_subcommand(1);

    std::string tagsFile;
    auto* tags = app.add_subcommand("tags", "Print the DICOM tag list of FILE, one element per line");
    tags->add_option("FILE", tagsFile, "DICOM file")->required();
    bool tagsDecompress = false;
    tags->add_flag("--decompress", tagsDecompress,
                   "Read compressed images too (JPEG, JPEG-LS, JPEG 2000, RLE, deflate) instead of refusing them");

    AnalyseOptions analyseOptions;
    AnalyseCommandLine line;
    bool listPresets = false;
    auto* analyse = app.add_subcommand("analyse", "Analyse the uniformity of FILE and write the results report");
    analyse->footer(kAnalyseFooter);
    analyse->add_option("FILE", line.Files,
                        "DICOM image, compressed ones with --decompress (several files or folders with --out-dir)");
    auto* output = analyse->add_option("-o,--output", line.Report, "Results report to write (replaced if present)")
                       ->type_name("REPORT");
    analyse
        ->add_option("--area", analyseOptions.Area,
                     "Area to evaluate, 0-based inclusive pixel positions (default: the whole image)")
        ->type_name("FIRSTCOL,FIRSTROW,LASTCOL,LASTROW");
    analyse
        ->add_option("--border-mm", analyseOptions.BorderMm,
                     "Leave X mm out on every side of the area (a collimated or shuttered rim); 0: nothing")
        ->type_name("X")
        ->capture_default_str();
    analyse->add_option("--box-cm", analyseOptions.BoxCm, "Side of the analysing box in cm")
        ->type_name("X")
        ->capture_default_str();
    auto* roiDev = analyse
                       ->add_option("--roi-dev", analyseOptions.RoiDev,
                                    "A ROI deviates when its mean or SNR differs more than P % from the whole "
                                    "area's (default with --preset: the preset's)")
                       ->type_name("P")
                       ->capture_default_str();
    auto* pixelDev = analyse
                         ->add_option("--pixel-dev", analyseOptions.PixelDev,
                                      "A pixel deviates when it differs more than P % from the mean of its ROI "
                                      "(default with --preset: the preset's)")
                         ->type_name("P")
                         ->capture_default_str();
    analyse->add_flag("--no-detect", analyseOptions.NoDetect, "Do not look for deviating pixels");
    analyse
        ->add_option("--offset", analyseOptions.Offset,
                     "Pixel value without dose, 0 to 65535; subtracted from every pixel value")
        ->type_name("N")
        ->capture_default_str();
    auto* inverted = analyse->add_flag(
        "--inverted", analyseOptions.Inverted,
        "Pixel values fall with dose: invert them against 2^BitsStored - 1 (default: as tag 0028,1041 says)");
    auto* notInverted = analyse->add_flag("--no-inverted", analyseOptions.NotInverted,
                                          "Pixel values rise with dose: no inversion (default: as tag 0028,1041 says)");
    inverted->excludes(notInverted);
    analyse->add_flag("--decompress", analyseOptions.Decompress,
                      "Decode compressed images (JPEG, JPEG-LS, JPEG 2000, RLE, deflate; the first frame) instead "
                      "of refusing them; a lossy one is analysed with a warning");

    const std::string outputs = "Outputs and verdicts";
    auto* json =
        analyse->add_option("--json", line.Json, "Also write the whole result as JSON (docs/result.schema.json)")
            ->type_name("FILE")
            ->group(outputs);
    auto* csv = analyse->add_option("--csv", line.Csv, "Also write the ROI table as CSV, one row per ROI")
                    ->type_name("FILE")
                    ->group(outputs);
    auto* png = analyse
                    ->add_option("--png", line.PngFolder,
                                 "Also draw the maps into DIR (created if missing): area.png, "
                                 "roi-mean-deviation.png, roi-snr-deviation.png, roi-noise-deviation.png")
                    ->type_name("DIR")
                    ->group(outputs);
    auto* pdf = analyse
                    ->add_option("--pdf", line.Pdf,
                                 "Also write the test's PDF report (identity, settings, results, verdicts, maps, "
                                 "deviating ROIs and pixels, warnings, with --record the baseline comparison, "
                                 "sign-off)")
                    ->type_name("FILE")
                    ->group(outputs);
    auto* nps = analyse
                    ->add_flag("--nps", line.Nps,
                               "Also compute the noise power spectrum of the area (stored values; linearised with "
                               "--response): the NNPS curves, metrics and periodic patterns in the summary and the "
                               "JSON (\"nps\"); with --png also nnps.png and nnps-2d.png")
                    ->group(outputs);
    auto* paper = analyse->add_option("--paper", line.Paper, "Paper of the PDF reports")
                      ->check(CLI::IsMember({"a4", "letter"}))
                      ->capture_default_str()
                      ->group(outputs);
    auto* preset =
        analyse
            ->add_option("--preset", line.PresetName,
                         "Guideline preset for the verdicts (default: " + std::string(DefaultPreset().Name) + ")")
            ->type_name("NAME")
            ->group(outputs);
    analyse->add_flag("--list-presets", listPresets, "Print the presets with their descriptions and stop")
        ->group(outputs);
    analyse
        ->add_flag("--fail-on-deviation", line.FailOnDeviation,
                   "Exit with status 3 when the overall verdict is \"fail\"")
        ->group(outputs);
    analyse->add_flag("-q,--quiet", line.Quiet, "No summary on standard output, no progress line")->group(outputs);

    const std::string batch = "Batch (several images)";
    auto* outDir = analyse
                       ->add_option("--out-dir", line.Batch.OutDir,
                                    "Analyse every FILE (files and folders) into OUT, created if missing; "
                                    "instead of -o")
                       ->type_name("OUT")
                       ->group(batch);
    auto* eachJson =
        analyse->add_flag("--each-json", line.Batch.Json, "Also write OUT/NAME.json per image")->group(batch);
    auto* eachCsv = analyse->add_flag("--each-csv", line.Batch.Csv, "Also write OUT/NAME.csv per image")->group(batch);
    auto* eachPng = analyse
                        ->add_flag("--each-png", line.Batch.Png,
                                   "Also draw OUT/NAME-area.png, NAME-roi-mean-deviation.png, "
                                   "NAME-roi-snr-deviation.png and NAME-roi-noise-deviation.png per image")
                        ->group(batch);
    auto* eachPdf = analyse->add_flag("--each-pdf", line.Batch.Pdf, "Also write the PDF report OUT/NAME.pdf per image")
                        ->group(batch);
    auto* recursive =
        analyse->add_flag("-r,--recursive", line.Batch.Recursive, "Take the files of sub-folders too")->group(batch);
    auto* jobs = analyse->add_option("-j,--jobs", line.Batch.Jobs, "Images analysed at the same time")
                     ->check(CLI::Range(1u, 64u))
                     ->capture_default_str()
                     ->type_name("N")
                     ->group(batch);
    auto* response = analyse
                         ->add_option("--response", line.Response,
                                      "Judge kerma-linear values: the detector's response from a series JSON "
                                      "(evenor-cli series --json); the report stays on the stored values")
                         ->type_name("RESPONSE.json")
                         ->group(outputs);
    const std::string history = "History";
    analyse
        ->add_flag("--record", line.Record,
                   "Record the result in the QA history (after the report, JSON, CSV and maps are written; "
                   "before a PDF report, which shows the record)")
        ->group(history);
    auto* db = analyse
                   ->add_option("--db", line.Db,
                                "History database: a file or a postgresql:// URI (default: $EVENOR_DB, else "
                                "~/.local/share/evenor/history.sqlite)")
                   ->type_name("DB")
                   ->group(history);
    auto* by = analyse
                   ->add_option("--by", line.By,
                                "Who made the analysis: named in the PDF reports and the record (default: the user)")
                   ->type_name("NAME")
                   ->group(history);
    db->needs("--record");
    for (auto* single : {output, json, csv, png, pdf, nps}) single->excludes(outDir);
    for (auto* batchOnly : {eachJson, eachCsv, eachPng, eachPdf, recursive, jobs}) batchOnly->needs(outDir);

    HistoryCommandLine historyLine;
    AddHistoryCommands(app, historyLine);
    IntakeCommandLine intakeLine;
    AddIntakeCommands(app, intakeLine);
    SeriesCommandLine seriesLine;
    AddSeriesCommand(app, seriesLine);
    const auto runWeb = AddWebCommand(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // CLI11 prints help and version to out, errors to err.
        const int code = app.exit(e, out, err);
        return code == 0 ? kExitSuccess : kExitUsage;
    }

    if (*tags) return TagsCommand(tagsFile, tagsDecompress, out, err);
    if (int status = 0; RunHistoryCommands(historyLine, out, err, status)) return status;
    if (int status = 0; RunIntakeCommands(intakeLine, out, err, status)) return status;
    if (int status = 0; RunSeriesCommand(seriesLine, out, err, status)) return status;
    if (int status = 0; runWeb(out, err, status)) return status;
    if (!*analyse) return kExitUsage;

    if (listPresets) {
        out << PresetListText();
        return kExitSuccess;
    }
    const auto usage = [&](const std::string& message) {
        err << message << "\nRun with --help for more information.\n";
        return kExitUsage;
    };
    const bool batchMode = outDir->count() > 0;
    if (line.Files.empty()) return usage("FILE is required");
    if (!batchMode && output->count() == 0) return usage("--output is required (or --out-dir for several images)");
    if (!batchMode && line.Files.size() > 1) return usage("-o takes one FILE; use --out-dir OUT for several");
    if (batchMode && line.Batch.OutDir.empty()) return usage("--out-dir: a folder is expected");

    const GuidelinePreset* chosen = &DefaultPreset();
    if (preset->count() > 0) {
        chosen = FindPreset(line.PresetName);
        if (chosen == nullptr) {
            std::string names;
            for (const auto name : PresetNames()) names += (names.empty() ? "" : ", ") + std::string(name);
            return usage("--preset: no preset named \"" + line.PresetName + "\"; the presets are " + names);
        }
        if (roiDev->count() == 0) analyseOptions.RoiDev = FormatReal(chosen->RoiDeviationPercent);
        if (pixelDev->count() == 0) analyseOptions.PixelDev = FormatReal(chosen->PixelDeviationPercent);
    }

    std::uint16_t pixelOffset = 0;
    if (!CheckAnalyseOptions(analyseOptions, pixelOffset, err)) return kExitUsage;
    const bool withPdf = batchMode ? line.Batch.Pdf : pdf->count() > 0;
    const bool withMaps = (batchMode ? line.Batch.Png : png->count() > 0) || withPdf;
    if (withMaps) {
        const bool forPdf = batchMode ? !line.Batch.Png : png->count() == 0;
        const char* option = forPdf ? (batchMode ? "--each-pdf" : "--pdf") : (batchMode ? "--each-png" : "--png");
        if (const std::string problem = MapsProblem(); !problem.empty())
            return usage(std::string(option) + ": " + problem);
    }
    if (!batchMode && png->count() > 0 && line.PngFolder.empty()) return usage("--png: a folder is expected");
    if (!batchMode && withPdf && line.Pdf.empty()) return usage("--pdf: a file is expected");
    if (paper->count() > 0 && !withPdf) return usage("--paper: only with --pdf or --each-pdf");
    if (by->count() > 0 && !withPdf && !line.Record) return usage("--by: only with --record, --pdf or --each-pdf");
    // The PDF, the maps, the ROI table and the history describe the stored
    // values; a linearised run gives the summary and the JSON.
    if (response->count() > 0 && (batchMode || withMaps || csv->count() > 0 || line.Record))
        return usage("--response: only with one image, -o and --json (not with --out-dir, --csv, --png, --pdf or "
                     "--record)");
    if (response->count() > 0 && line.Response.empty()) return usage("--response: a file is expected");
    line.Batch.Paper = PaperOf(line.Paper);
    line.Batch.By = line.By;

    try {
        if (!batchMode) return SingleImage(line, withMaps, analyseOptions, *chosen, out, err);
        line.Batch.Paths = line.Files;
        line.Batch.Quiet = line.Quiet;
        line.Batch.FailOnDeviation = line.FailOnDeviation;
        line.Batch.Progress = errIsTerminal;
        std::optional<HistoryRecorder> recorder;
        if (line.Record) line.Batch.Recorder = &recorder.emplace(line.Db, line.By);
        return RunBatch(line.Batch, analyseOptions, *chosen, out, err);
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        return kExitFailed;
    }
}

}  // namespace evenor
