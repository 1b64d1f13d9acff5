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
// element's value without its padding, or {"regex": "..."}, a regular
// expression (at most kMaxPatternLength characters) that must match the whole
// value, however long. A missing element has the value "".
//
// The expressions are RE2's (https://github.com/google/re2/wiki/Syntax): the
// familiar ECMAScript-like syntax without back-references and look-around,
// which RE2 refuses with a message of its own. RE2 matches in time linear in
// the value's length whatever the expression, and without recursion per
// character: values come from any modality that sends, and no value can hold
// an intake worker. A character is one byte, as the value is stored.
//
// Settings (all optional; the command line's defaults otherwise): area
// ([FIRSTCOL, FIRSTROW, LASTCOL, LASTROW] or the same as "a,b,c,d"),
// border_mm, box_cm, roi_deviation, pixel_deviation (numbers), detect
// (boolean), offset (whole number), inverted (true, false or "from tag"),
// preset (a preset name), decompress and record (booleans). Values obey the
// window's field rules and pass the analysis' checks on at least some image:
// an area in order and within 65535 columns and rows, a box of more than
// 0 cm, a box and border that leave a box on the area or the largest image
// (at pixels of 10 mm, coarser than any detector's); whether an area lies
// inside the image and holds the box is known only when the image comes.
// The deviation percentages lie between 0 and 100: at 0 % or less every ROI
// or pixel deviates, at 100 % or more none below the mean can. A preset gives
// the defaults of the two deviation percentages, as --preset does.
//
// "//" and "/* */" comments are allowed. Every rule may carry a
// "description" text.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/DicomLib.h"
#include "insight/Guidelines.h"
#include "qa/AnalyseOptions.h"

namespace re2 {
class RE2;
}

namespace evenor {

// A tag condition describes a short value; a longer expression is a mistake
// in the file.
inline constexpr std::size_t kMaxPatternLength = 1000;

struct TagCondition {
    std::string Field;  // "modality", ...
    std::string Tag;    // 8 hexadecimal digits
    std::string Text;   // the exact text, or the regular expression's source
    // The compiled expression; null for an exact text. Shared by copies and
    // safe to match from several threads at once.
    std::shared_ptr<const re2::RE2> Pattern;

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
