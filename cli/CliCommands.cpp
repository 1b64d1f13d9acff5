#include "CliCommands.h"

#include <exception>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "AnalysisRun.h"
#include "DicomLib.h"
#include "FieldSyntax.h"

namespace evenor {

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Splits a path at its last separator into the directory part (ending with
// the separator) and the file-name part.
std::pair<std::string, std::string> SplitPath(const std::string& path)
{
    const auto pos = path.find_last_of("/\\");
    if (pos == std::string::npos) return {"", path};
    return {path.substr(0, pos + 1), path.substr(pos + 1)};
}

int TagsCommand(const std::string& file, std::ostream& out, std::ostream& err)
{
    try {
        const auto [directory, name] = SplitPath(file);
        TDicomBeeld image(directory, name);
        for (const auto& line : image.TagList()) out << line << '\n';
        return kExitSuccess;
    } catch (const EvenorError& e) {
        err << e.what() << '\n';
        return kExitFailed;
    }
}

// The run's messages as lines on standard error; the command line has no
// Calculating notice.
class CliHost : public RunHost {
public:
    explicit CliHost(std::ostream& err) : err_(err) {}
    void ShowMessage(const std::string& text) override { err_ << text << '\n'; }
    void ShowNotice() override {}
    void HideNotice() override {}

private:
    std::ostream& err_;
};

// The options of "analyse" as typed; checked by the window's field rules.
struct AnalyseOptions {
    std::string File;
    std::string Report;
    std::string Area;  // FIRSTCOL,FIRSTROW,LASTCOL,LASTROW; empty: whole image
    std::string BoxCm = "1";
    std::string RoiDev = "5";
    std::string PixelDev = "20";
    std::string Offset = "0";
    bool NoDetect = false;
    bool Inverted = false;
    bool NotInverted = false;
};

std::vector<std::string> SplitAtCommas(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return parts;
        start = comma + 1;
    }
}

// Checks every value with the settings fields' rules; the first failure is a
// usage error with the field's own message.
bool CheckAnalyseOptions(const AnalyseOptions& options, std::uint16_t& pixelOffset, std::ostream& err)
{
    if (!options.Area.empty()) {
        const auto parts = SplitAtCommas(options.Area);
        if (parts.size() != 4) {
            err << "--area: four values are expected: FIRSTCOL,FIRSTROW,LASTCOL,LASTROW\n";
            return false;
        }
        for (const auto& part : parts) {
            if (!IsPositiveInteger(part)) {
                err << "--area: A positive integer is expected\n";
                return false;
            }
        }
    }
    const std::pair<const char*, const std::string*> reals[] = {
        {"--box-cm", &options.BoxCm}, {"--roi-dev", &options.RoiDev}, {"--pixel-dev", &options.PixelDev}};
    for (const auto& [name, text] : reals) {
        if (!IsNumber(*text)) {
            err << name << ": A number is expected\n";
            return false;
        }
    }
    if (!ParsePixelOffset(options.Offset, pixelOffset)) {
        err << "--offset: A positive integer under 16384 is expected\n";
        return false;
    }
    return true;
}

int AnalyseCommand(const AnalyseOptions& options, std::ostream& err)
{
    AnalysisSettings settings;
    if (!CheckAnalyseOptions(options, settings.PixelOffset, err)) return kExitUsage;

    try {
        const auto [directory, name] = SplitPath(options.File);
        TDicomBeeld image(directory, name);

        // The defaults an open gives the window, with its warnings.
        const TagDefaults tagDefaults = DefaultsFromTags(image.TagList());
        for (const auto& warning : tagDefaults.Warnings) err << "Warning: " << warning << '\n';

        SettingsFields fields;
        if (options.Area.empty()) {
            const AreaDefaults area = DefaultArea(image.Rows(), image.Columns());
            fields.Boven = area.Boven;
            fields.Links = area.Links;
            fields.Rechts = area.Rechts;
            fields.Onder = area.Onder;
        } else {
            const auto parts = SplitAtCommas(options.Area);
            fields.Links = parts[0];
            fields.Boven = parts[1];
            fields.Rechts = parts[2];
            fields.Onder = parts[3];
        }
        fields.Dim = options.BoxCm;
        fields.ROIDev = options.RoiDev;
        fields.DevPerc = options.PixelDev;
        fields.DetectDeviatingPixels = !options.NoDetect;
        fields.Logarithmic = tagDefaults.Logarithmic.value_or(false);
        if (options.Inverted)
            fields.Inverted = true;
        else if (options.NotInverted)
            fields.Inverted = false;
        else
            fields.Inverted = tagDefaults.Inverted.value_or(false);

        settings.DicomFileName = options.File;
        settings.OutputFileName = options.Report;
        CliHost host(err);
        return RunAnalysis(fields, &image, settings, host) ? kExitSuccess : kExitFailed;
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        return kExitFailed;
    }
}

constexpr const char* kAnalyseFooter = R"(
Runs one uniformity test, as the window's Calculate button does, and writes the
results report (plain text, CR LF line ends) to REPORT, replacing it. The report
is opened only after the analysis has succeeded.

Values follow the window's field rules: whole numbers in decimal or hexadecimal
("$1F", "0x1F"), reals with "." as the decimal separator whatever the locale.
The "Mean SNR in ROI's" line of the report uses the locale's decimal separator
(LC_ALL, LC_NUMERIC, LANG).

Without --inverted or --no-inverted, the inversion follows the image's tag
0028,1041 (Pixel Intensity Relationship Sign): "-1" inverts, "1" does not. The
warnings about tags 0028,1040 and 0028,1041 that the window shows after an open
are printed on standard error, prefixed "Warning: ".

Messages go to standard error. Exit status: 0 when the report was written, 1 when
the run was refused (for example "Area smaller than box dimension") or failed
(an unreadable image, a report that cannot be written), 2 for a usage error.)";

}  // namespace

int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err)
{
    CLI::App app{"Evenor: uniformity test of digital X-ray detectors", "evenor-cli"};
    app.set_version_flag("--version", std::string("evenor-cli 0.9.0.1Beta"));
    app.require_subcommand(1);

    std::string tagsFile;
    auto* tags = app.add_subcommand("tags", "Print the DICOM tag list of FILE, one element per line");
    tags->add_option("FILE", tagsFile, "DICOM file")->required();

    AnalyseOptions analyseOptions;
    auto* analyse = app.add_subcommand("analyse", "Analyse the uniformity of FILE and write the results report");
    analyse->footer(kAnalyseFooter);
    analyse->add_option("FILE", analyseOptions.File, "Uncompressed DICOM image")->required();
    analyse->add_option("-o,--output", analyseOptions.Report, "Results report to write (replaced if present)")
        ->required()
        ->type_name("REPORT");
    analyse
        ->add_option("--area", analyseOptions.Area,
                     "Area to evaluate, 0-based inclusive pixel positions (default: the whole image)")
        ->type_name("FIRSTCOL,FIRSTROW,LASTCOL,LASTROW");
    analyse->add_option("--box-cm", analyseOptions.BoxCm, "Side of the analysing box in cm")
        ->type_name("X")
        ->capture_default_str();
    analyse
        ->add_option("--roi-dev", analyseOptions.RoiDev,
                     "A ROI deviates when its mean or SNR differs more than P % from the whole area's")
        ->type_name("P")
        ->capture_default_str();
    analyse
        ->add_option("--pixel-dev", analyseOptions.PixelDev,
                     "A pixel deviates when it differs more than P % from the mean of its ROI")
        ->type_name("P")
        ->capture_default_str();
    analyse->add_flag("--no-detect", analyseOptions.NoDetect, "Do not look for deviating pixels");
    analyse
        ->add_option("--offset", analyseOptions.Offset,
                     "Pixel value without dose, 0 to 65535; subtracted from every pixel value")
        ->type_name("N")
        ->capture_default_str();
    auto* inverted = analyse->add_flag("--inverted", analyseOptions.Inverted,
                                       "Pixel values fall with dose: invert them against 2^BitsStored - 1 (default: as tag 0028,1041 says)");
    auto* notInverted =
        analyse->add_flag("--no-inverted", analyseOptions.NotInverted, "Pixel values rise with dose: no inversion (default: as tag 0028,1041 says)");
    inverted->excludes(notInverted);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // CLI11 prints help and version to out, errors to err.
        const int code = app.exit(e, out, err);
        return code == 0 ? kExitSuccess : kExitUsage;
    }

    if (*tags) return TagsCommand(tagsFile, out, err);
    if (*analyse) return AnalyseCommand(analyseOptions, err);
    return kExitUsage;
}

}  // namespace evenor
