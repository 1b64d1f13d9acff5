#include "cli/IntakeRules.h"

#include <array>
#include <fstream>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

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
                try {
                    condition.Pattern.emplace(condition.Text, std::regex::ECMAScript);
                } catch (const std::regex_error& e) {
                    Problem("match." + key, "not a regular expression: " + std::string(e.what()));
                    continue;
                }
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
                Flag(field, value, rule_.Decompress);
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
        // The values themselves, by the window's field rules (the first
        // problem among them), unless the area was already found wrong.
        if (areaWrong) return;
        std::ostringstream err;
        if (!CheckAnalyseOptions(options, rule_.PixelOffset, err)) {
            std::string message = err.str();
            while (!message.empty() && message.back() == '\n') message.pop_back();
            for (const auto& [option, name] : kOptionFields) {
                if (message.starts_with(std::string(option) + ": ")) {
                    return Problem("settings." + std::string(name), message.substr(option.size() + 2));
                }
            }
            Problem("settings", message);
        }
    }

    IntakeRule& rule_;
    std::vector<std::string>& problems_;
};

}  // namespace

bool TagCondition::Holds(const std::string& value) const
{
    const std::string trimmed = TrimPadding(value);
    if (!Pattern) return trimmed == Text;
    // The regular expression engine recurses per character: a hostile image's
    // endless value must not exhaust the stack.
    return trimmed.size() <= kMaxMatchedValueLength && std::regex_match(trimmed, *Pattern);
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
    } catch (const Json::parse_error& e) {
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
         << "inverted: " << (options.Inverted ? "true" : options.NotInverted ? "false" : "from tag") << '\n'
         << "preset: " << (rule.Preset ? rule.Preset->Name : DefaultPreset().Name) << '\n'
         << "decompress: " << (rule.Decompress ? "true" : "false") << '\n'
         << "record: " << (rule.Record ? "true" : "false") << '\n';
    return text.str();
}

}  // namespace evenor
