#pragma once
// Intake rules: which settings an incoming image is analysed with, chosen by
// its tags. A rules file is a JSON object with an ordered list of rules; the
// first rule whose every condition holds decides, and an image no rule takes
// is never analysed with guessed settings.
//
//   {
//     "rules": [
//       {
//         "name": "Room 1 wall stand",                      (optional)
//         "match": {"modality": "DX",                      exact text
//                   "station": {"regex": "ROOM-?1"}},       whole value
//         "settings": {"box_cm": 1, "border_mm": 5, "record": true}
//       }
//     ]
//   }
//
// Conditions ("match", all must hold; an empty or missing "match" takes every
// image) on: modality, manufacturer, model, station, detector_id, serial,
// series_description, image_type. A condition is a string, compared with the
// element's value without its padding, or {"regex": "..."}, an ECMAScript
// regular expression (at most kMaxPatternLength characters) that must match
// the whole value; a value longer than kMaxMatchedValueLength matches no
// regular expression. A missing element has the value "".
//
// Settings (all optional; the command line's defaults otherwise): area
// ([FIRSTCOL, FIRSTROW, LASTCOL, LASTROW] or the same as "a,b,c,d"),
// border_mm, box_cm, roi_deviation, pixel_deviation (numbers), detect
// (boolean), offset (whole number), inverted (true, false or "from tag"),
// preset (a preset name), decompress and record (booleans). Values obey the
// window's field rules; a preset gives the defaults of the two deviation
// percentages, as --preset does.
//
// "//" and "/* */" comments are allowed. Every rule may carry a
// "description" text.
#include <cstddef>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "cli/AnalyseOptions.h"
#include "dicom/DicomLib.h"
#include "insight/Guidelines.h"

namespace evenor {

inline constexpr std::size_t kMaxPatternLength = 1000;
inline constexpr std::size_t kMaxMatchedValueLength = 1024;

struct TagCondition {
    std::string Field;  // "modality", ...
    std::string Tag;    // 8 hexadecimal digits
    std::string Text;   // the exact text, or the regular expression's source
    std::optional<std::regex> Pattern;

    bool Holds(const std::string& value) const;
};

struct IntakeRule {
    std::size_t Number = 0;  // 1-based position in the file
    std::string Name;        // "" when the rule has none
    std::string Description;
    std::vector<TagCondition> Conditions;
    AnalyseOptions Options;  // checked
    std::uint16_t PixelOffset = 0;
    const GuidelinePreset* Preset = nullptr;
    bool Decompress = false;
    bool Record = false;

    // "rule 2 (\"Room 1\")" or "rule 2".
    std::string Label() const;
};

struct IntakeRules {
    std::vector<IntakeRule> Rules;
    // Every problem found, each naming the rule and the field; the rules are
    // usable only when there is none.
    std::vector<std::string> Problems;
};

// Parses the text of a rules file; never throws for a problem of the text.
IntakeRules ParseIntakeRules(std::string_view text);

// Reads and parses a rules file; a file that cannot be read is one problem.
IntakeRules ReadIntakeRules(const std::string& path);

// The first rule whose conditions all hold for the tags; null when none does.
const IntakeRule* MatchIntakeRule(const IntakeRules& rules, const std::vector<TagEntry>& tags);

// The condition fields and their tags, in the order above.
struct ConditionField {
    std::string_view Name;
    std::string_view Tag;
};
std::vector<ConditionField> ConditionFields();

// What a rule gives an image, one "name: value" per line (for "rules test").
std::string RuleSettingsText(const IntakeRule& rule);

}  // namespace evenor
