#include "cli/IntakeCommands.h"

#include <ostream>

#include <CLI/CLI.hpp>

#include "cli/CliCommands.h"
#include "cli/IntakeRules.h"
#include "dicom/DicomLib.h"
#include "dicom/FilePath.h"

namespace evenor {

namespace {

// Prints the problems of a rules file; true when there is none.
bool RulesUsable(const IntakeRules& rules, std::ostream& err)
{
    for (const auto& problem : rules.Problems) err << problem << '\n';
    return rules.Problems.empty();
}

}  // namespace

void AddIntakeCommands(CLI::App& app, IntakeCommandLine& line)
{
    auto* rules = app.add_subcommand("rules", "Check a rules file, or see which rule an image matches");
    rules->require_subcommand(1);
    line.Check = rules->add_subcommand("check", "Validate a rules file: every problem, naming the rule and the field");
    line.Check->add_option("FILE", line.RulesFile, "The rules file (JSON)")->required();
    line.Test = rules->add_subcommand("test", "Say which rule IMAGE matches and the settings it would get");
    line.Test->add_option("FILE", line.RulesFile, "The rules file (JSON)")->required();
    line.Test->add_option("IMAGE", line.Image, "A DICOM image")->required();
    rules->footer(R"(
A rules file is a JSON object whose "rules" array is tried in order; the first
rule whose "match" conditions all hold gives the image its "settings". An image
no rule matches is never analysed. docs/rules-example.json shows every field.
Exit status: 0 the file is usable (check) or the image matches a rule (test);
1 a problem in the file, an unreadable image, or no rule matches; 2 usage.)");
}

bool RunIntakeCommands(const IntakeCommandLine& line, std::ostream& out, std::ostream& err, int& status)
{
    if (line.Check != nullptr && *line.Check) {
        const IntakeRules rules = ReadIntakeRules(line.RulesFile);
        if (!RulesUsable(rules, err)) {
            status = kExitFailed;
            return true;
        }
        out << line.RulesFile << ": " << rules.Rules.size() << (rules.Rules.size() == 1 ? " rule" : " rules")
            << ", no problem found\n";
        for (const auto& rule : rules.Rules) {
            out << "  " << rule.Label() << ": ";
            if (rule.Conditions.empty()) out << "every image";
            for (std::size_t i = 0; i < rule.Conditions.size(); ++i) {
                const auto& condition = rule.Conditions[i];
                out << (i == 0 ? "" : " and ") << condition.Field << (condition.Pattern ? " matches /" : " is \"")
                    << condition.Text << (condition.Pattern ? "/" : "\"");
            }
            out << '\n';
        }
        status = kExitSuccess;
        return true;
    }
    if (line.Test != nullptr && *line.Test) {
        const IntakeRules rules = ReadIntakeRules(line.RulesFile);
        if (!RulesUsable(rules, err)) {
            status = kExitFailed;
            return true;
        }
        try {
            const TDicomBeeld image(DirectoryPart(line.Image), FileNamePart(line.Image));
            const IntakeRule* rule = MatchIntakeRule(rules, image.TagTable());
            if (rule == nullptr) {
                out << line.Image << ": no rule matches; the image would be kept and listed as unmatched\n";
                status = kExitFailed;
                return true;
            }
            out << line.Image << ": " << rule->Label() << '\n' << RuleSettingsText(*rule);
            status = kExitSuccess;
        } catch (const EvenorError& e) {
            err << line.Image << ": " << e.what() << '\n';
            status = kExitFailed;
        }
        return true;
    }
    return false;
}

}  // namespace evenor
