#include "qa/IntakeRules.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include <nlohmann/json.hpp>
#include <re2/re2.h>

#include "analysis/AnalysisRun.h"
#include "analysis/AreaBorder.h"
#include "analysis/FieldSyntax.h"
#include "insight/ImageInfo.h"
#include "insight/ResultExport.h"

namespace evenor {

namespace {

using Json = nlohmann::ordered_json;  // conditions in the file's order

constexpr std::array<ConditionField, 8> kConditionFields{{
    {"modality", "00080060"},
    {"manufacturer", "00080070"},
    {"model", "00081090"},
    {"station", "00081010"},
    {"detector_id", "0018700A"},
    {"serial", "00181000"},
    {"series_description", "0008103E"},
    {"image_type", "00080008"},
}};

// The command line's option names in CheckAnalyseOptions' messages, and the
// rules file's names for them.
constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kOptionFields{{
    {"--area", "area"},
    {"--box-cm", "box_cm"},
    {"--roi-dev", "roi_deviation"},
    {"--pixel-dev", "pixel_deviation"},
    {"--offset", "offset"},
    {"--border-mm", "border_mm"},
}};

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// A rule's settings are refused only where no image could take them. DICOM
// gives an image at most 65535 columns and rows; it does not bound the pixel
// spacing, and X-ray detectors' pixels are well under 1 mm: a box or border is
// too large for every image when it is too large even at pixels of 10 mm.
constexpr std::uint32_t kLargestImageSide = std::numeric_limits<std::uint16_t>::max();
constexpr double kCoarsestPixelSpacingMm = 10.0;
// Said of a box or border too large for an image of that size (the rule's
// area, else the largest).
std::string OnAnyImage(bool areaGiven)
{
    return areaGiven ? ", whatever the image: none has pixels wider than 10 mm"
                     : ", whatever the image: none has more than 65535 columns or rows, nor pixels wider than 10 mm";
}

// The regular expressions: RE2's syntax, one byte a character as the values
// are stored (Latin-1 to RE2: every byte stands for itself, so an expression
// written in UTF-8 matches the same bytes in the value). RE2's messages are
// reported by the rules check, not logged.
RE2::Options PatternOptions()
{
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_log_errors(false);
    return options;
}

class RuleReader {
public:
    RuleReader(IntakeRule& rule, std::vector<std::string>& problems) : rule_(rule), problems_(problems) {}

    void Problem(std::string_view field, const std::string& text)
    {
        problems_.push_back(rule_.Label() + (field.empty() ? "" : ", " + Quoted(field)) + ": " + text);
    }

    void Read(const Json& entry)
    {
        if (!entry.is_object()) return Problem("", "a rule is an object with \"match\" and \"settings\"");
        for (const auto& [key, value] : entry.items()) {
            if (key == "name" || key == "description") {
                if (!value.is_string()) {
                    Problem(key, "a text is expected");
                    continue;
                }
                (key == "name" ? rule_.Name : rule_.Description) = value.get<std::string>();
            } else if (key != "match" && key != "settings") {
                Problem(key, "unknown field; a rule has name, description, match and settings");
            }
        }
        if (const auto match = entry.find("match"); match != entry.end()) ReadMatch(*match);
        const auto settings = entry.find("settings");
        ReadSettings(settings == entry.end() ? Json::object() : *settings);
    }

private:
    void ReadMatch(const Json& match)
    {
        if (!match.is_object()) return Problem("match", "an object of tag conditions is expected");
        for (const auto& [key, value] : match.items()) {
            const ConditionField* field = nullptr;
            for (const auto& f : kConditionFields)
                if (f.Name == key) field = &f;
            if (field == nullptr) {
                std::string names;
                for (const auto& f : kConditionFields) names += (names.empty() ? "" : ", ") + std::string(f.Name);
                Problem("match." + key, "unknown tag; the conditions are on " + names);
                continue;
            }
            TagCondition condition{std::string(field->Name), std::string(field->Tag), {}, {}};
            if (value.is_string()) {
                condition.Text = value.get<std::string>();
            } else if (value.is_object() && value.size() == 1 && value.contains("regex") &&
                       value["regex"].is_string()) {
                condition.Text = value["regex"].get<std::string>();
                if (condition.Text.size() > kMaxPatternLength) {
                    Problem("match." + key, "a regular expression of at most " + std::to_string(kMaxPatternLength) +
                                                " characters is expected");
                    continue;
                }
                auto pattern = std::make_shared<RE2>(condition.Text, PatternOptions());
                if (!pattern->ok()) {
                    const bool perlOnly =
                        pattern->error_code() == RE2::ErrorBadEscape || pattern->error_code() == RE2::ErrorBadPerlOp;
                    Problem("match." + key, "not a regular expression: " + pattern->error() +
                                                (perlOnly ? " (the syntax is RE2's: no back-references, no "
                                                            "look-around, named groups as (?P<name>...))"
                                                          : ""));
                    continue;
                }
                condition.Pattern = std::move(pattern);
            } else {
                Problem("match." + key, "a text or {\"regex\": \"...\"} is expected");
                continue;
            }
            rule_.Conditions.push_back(std::move(condition));
        }
    }

    // A number given as a JSON number or as a text in the field rules' syntax.
    bool NumberText(const std::string& key, const Json& value, std::string& text)
    {
        if (value.is_number_integer()) {
            text = value.dump();
        } else if (value.is_number()) {
            text = FormatReal(value.get<double>());
        } else if (value.is_string()) {
            text = value.get<std::string>();
        } else {
            Problem(key, "a number is expected");
            return false;
        }
        return true;
    }

    bool Flag(const std::string& key, const Json& value, bool& flag)
    {
        if (!value.is_boolean()) {
            Problem(key, "true or false is expected");
            return false;
        }
        flag = value.get<bool>();
        return true;
    }

    void ReadSettings(const Json& settings)
    {
        if (!settings.is_object()) return Problem("settings", "an object is expected");
        AnalyseOptions& options = rule_.Options;
        bool roiGiven = false, pixelGiven = false, areaWrong = false;
        for (const auto& [key, value] : settings.items()) {
            const std::string field = "settings." + key;
            if (key == "area") {
                if (value.is_array()) {
                    std::string text;
                    for (const auto& part : value) {
                        std::string partText;
                        if (!part.is_number_integer() && !part.is_string()) {
                            Problem(field, "four whole numbers are expected: [FIRSTCOL, FIRSTROW, LASTCOL, LASTROW]");
                            areaWrong = true;
                            break;
                        }
                        partText = part.is_string() ? part.get<std::string>() : part.dump();
                        text += (text.empty() ? "" : ",") + partText;
                    }
                    options.Area = text;
                } else if (value.is_string()) {
                    options.Area = value.get<std::string>();
                } else {
                    Problem(field, "four whole numbers are expected: [FIRSTCOL, FIRSTROW, LASTCOL, LASTROW]");
                    areaWrong = true;
                }
                if (!areaWrong && options.Area.empty()) {
                    Problem(field, "four whole numbers are expected: [FIRSTCOL, FIRSTROW, LASTCOL, LASTROW]");
                    areaWrong = true;
                }
            } else if (key == "border_mm") {
                NumberText(field, value, options.BorderMm);
            } else if (key == "box_cm") {
                NumberText(field, value, options.BoxCm);
            } else if (key == "roi_deviation") {
                roiGiven = NumberText(field, value, options.RoiDev);
            } else if (key == "pixel_deviation") {
                pixelGiven = NumberText(field, value, options.PixelDev);
            } else if (key == "offset") {
                NumberText(field, value, options.Offset);
            } else if (key == "detect") {
                bool detect = true;
                if (Flag(field, value, detect)) options.NoDetect = !detect;
            } else if (key == "inverted") {
                if (value.is_boolean()) {
                    options.Inverted = value.get<bool>();
                    options.NotInverted = !options.Inverted;
                } else if (value != "from tag") {
                    Problem(field, "true, false or \"from tag\" is expected");
                }
            } else if (key == "preset") {
                if (!value.is_string() || FindPreset(value.get<std::string>()) == nullptr) {
                    std::string names;
                    for (const auto name : PresetNames()) names += (names.empty() ? "" : ", ") + std::string(name);
                    Problem(field, "no such preset; the presets are " + names);
                } else {
                    rule_.Preset = FindPreset(value.get<std::string>());
                }
            } else if (key == "decompress") {
                if (Flag(field, value, rule_.Decompress)) options.Decompress = rule_.Decompress;
            } else if (key == "record") {
                Flag(field, value, rule_.Record);
            } else {
                Problem(field,
                        "unknown setting; the settings are area, border_mm, box_cm, roi_deviation, pixel_deviation, "
                        "detect, offset, inverted, preset, decompress and record");
            }
        }
        if (rule_.Preset == nullptr) rule_.Preset = &DefaultPreset();
        // A preset's percentages are the defaults, as with --preset.
        if (settings.contains("preset")) {
            if (!roiGiven) options.RoiDev = FormatReal(rule_.Preset->RoiDeviationPercent);
            if (!pixelGiven) options.PixelDev = FormatReal(rule_.Preset->PixelDeviationPercent);
        }
        CheckValues(options, areaWrong);
    }

    // The values by the window's field rules, then by the analysis' checks as
    // far as they hold for every image; each problem of each field.
    void CheckValues(const AnalyseOptions& options, bool areaWrong)
    {
        std::vector<OptionProblem> problems = AnalyseOptionProblems(options, rule_.PixelOffset);
        if (areaWrong) std::erase_if(problems, [](const OptionProblem& p) { return p.Option == "--area"; });
        for (const auto& [option, message] : problems) Problem(SettingsField(option), message);
        const auto valid = [&](std::string_view option) {
            return std::none_of(problems.begin(), problems.end(),
                                [&](const OptionProblem& p) { return p.Option == option; });
        };

        // The rule's area, else the whole of the largest image.
        AnalysisSettings settings;
        settings.LastColumn = settings.LastRow = kLargestImageSide - 1;
        bool areaUsable = !areaWrong && valid("--area");
        if (areaUsable && !options.Area.empty()) {
            const auto parts = SplitAtCommas(options.Area);
            ReadAreaField(parts[0], settings.FirstColumn);
            ReadAreaField(parts[1], settings.FirstRow);
            ReadAreaField(parts[2], settings.LastColumn);
            ReadAreaField(parts[3], settings.LastRow);
            if (!AreaInOrder(settings)) {
                Problem("settings.area",
                        std::string(kAreaNotCorrect) + ": the first column or row comes after the last");
                areaUsable = false;
            } else if (!AreaInsideImage(settings, kLargestImageSide, kLargestImageSide)) {
                Problem("settings.area", std::string(kAreaOutsideImage) +
                                             ": no image has more than 65535 columns or rows (whether the area lies "
                                             "inside the image is checked when the image comes)");
                areaUsable = false;
            }
        }
        double border = 0.0;
        if (areaUsable && valid("--border-mm") && ReadRealField(options.BorderMm, border)) {
            const BorderedArea bordered = ReduceArea(settings, kCoarsestPixelSpacingMm, border);
            if (bordered.Accepted) {
                settings = bordered.Settings;
            } else {
                Problem("settings.border_mm", bordered.Refusal + OnAnyImage(!options.Area.empty()));
                areaUsable = false;
            }
        }
        if (valid("--box-cm") && ReadRealField(options.BoxCm, settings.BoxDimension)) {
            if (!(settings.BoxDimension > 0.0))
                Problem("settings.box_cm", std::string(kBoxTooSmall) + ": a box of 0 cm or less has none on any image");
            else if (areaUsable && !AreaHoldsBox(settings, kCoarsestPixelSpacingMm))
                Problem("settings.box_cm", kAreaSmallerThanBox + OnAnyImage(!options.Area.empty()));
        }

        // A deviation band of 0 % or less takes in nothing, so everything
        // deviates; one of 100 % or more reaches down to 0 or below, and no
        // value lies under that (a dead pixel, at 0, included).
        const struct {
            std::string_view Option;
            const std::string& Text;
            const char* What;
        } percentages[] = {
            {"--roi-dev", options.RoiDev, "every ROI deviates, at 100 % or more no ROI below the area's mean can"},
            {"--pixel-dev", options.PixelDev,
             "every pixel deviates, at 100 % or more no pixel below its ROI's mean can, not even a dead one"},
        };
        for (const auto& percentage : percentages) {
            double value = 0.0;
            if (valid(percentage.Option) && ReadRealField(percentage.Text, value) && !(value > 0.0 && value < 100.0))
                Problem(SettingsField(percentage.Option),
                        std::string("A percentage above 0 and below 100 is expected: at 0 % or less ") +
                            percentage.What);
        }
    }

    // The rules file's name of a command line option's setting.
    static std::string SettingsField(std::string_view option)
    {
        for (const auto& [name, field] : kOptionFields)
            if (name == option) return "settings." + std::string(field);
        return "settings";
    }

    IntakeRule& rule_;
    std::vector<std::string>& problems_;
};

}  // namespace

bool TagCondition::Holds(const std::string& value) const
{
    const std::string trimmed = TrimPadding(value);
    if (!Pattern) return trimmed == Text;
    // Linear in the value's length and without recursion: the whole value is
    // matched, however long.
    return RE2::FullMatch(trimmed, *Pattern);
}

std::string IntakeRule::Label() const
{
    return "rule " + std::to_string(Number) + (Name.empty() ? std::string() : " (" + Quoted(Name) + ")");
}

std::vector<ConditionField> ConditionFields() { return {kConditionFields.begin(), kConditionFields.end()}; }

IntakeRules ParseIntakeRules(std::string_view text)
{
    IntakeRules rules;
    Json document;
    try {
        document = Json::parse(text, nullptr, true, /*ignore_comments=*/true);
    } catch (const Json::exception& e) {  // a syntax error, or a number out of range
        rules.Problems.push_back(std::string("not a rules file: ") + e.what());
        return rules;
    }
    const auto list = document.is_object() ? document.find("rules") : document.end();
    if (!document.is_object() || list == document.end() || !list->is_array()) {
        rules.Problems.push_back("not a rules file: an object with a \"rules\" array is expected");
        return rules;
    }
    for (const auto& [key, value] : document.items())
        if (key != "rules" && key != "description")
            rules.Problems.push_back(Quoted(key) + ": unknown field; a rules file has rules and description");
    for (const auto& entry : *list) {
        IntakeRule rule;
        rule.Number = rules.Rules.size() + 1;
        RuleReader(rule, rules.Problems).Read(entry);
        rules.Rules.push_back(std::move(rule));
    }
    if (rules.Rules.empty()) rules.Problems.push_back("the file has no rules: no image would be analysed");
    return rules;
}

IntakeRules ReadIntakeRules(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string text;
    if (in) text.assign(std::istreambuf_iterator<char>(in), {});
    if (!in && !in.eof()) {
        IntakeRules rules;
        rules.Problems.push_back(path + ": cannot read the rules file");
        return rules;
    }
    IntakeRules rules = ParseIntakeRules(text);
    for (auto& problem : rules.Problems) problem = path + ": " + problem;
    return rules;
}

const IntakeRule* MatchIntakeRule(const IntakeRules& rules, const std::vector<TagEntry>& tags)
{
    const auto valueOf = [&](const std::string& tag) -> std::string {
        for (const auto& entry : tags)
            if (entry.Tag == tag) return entry.Value;
        return {};
    };
    for (const auto& rule : rules.Rules) {
        bool holds = true;
        for (const auto& condition : rule.Conditions) {
            if (!condition.Holds(valueOf(condition.Tag))) {
                holds = false;
                break;
            }
        }
        if (holds) return &rule;
    }
    return nullptr;
}

std::string RuleSettingsText(const IntakeRule& rule)
{
    const AnalyseOptions& options = rule.Options;
    std::ostringstream text;
    text << "area: " << (options.Area.empty() ? "the whole image" : options.Area) << '\n'
         << "border_mm: " << options.BorderMm << '\n'
         << "box_cm: " << options.BoxCm << '\n'
         << "roi_deviation: " << options.RoiDev << '\n'
         << "pixel_deviation: " << options.PixelDev << '\n'
         << "detect: " << (options.NoDetect ? "false" : "true") << '\n'
         << "offset: " << rule.PixelOffset << '\n'
         << "inverted: "
         << (options.Inverted      ? "true"
             : options.NotInverted ? "false"
                                   : "from tag")
         << '\n'
         << "preset: " << (rule.Preset ? rule.Preset->Name : DefaultPreset().Name) << '\n'
         << "decompress: " << (rule.Decompress ? "true" : "false") << '\n'
         << "record: " << (rule.Record ? "true" : "false") << '\n';
    return text.str();
}

}  // namespace evenor
