#include "qa/AnalyseOptions.h"

#include <cmath>
#include <ostream>

#include "analysis/FieldSyntax.h"

namespace evenor {

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

std::vector<OptionProblem> AnalyseOptionProblems(const AnalyseOptions& options, std::uint16_t& pixelOffset)
{
    std::vector<OptionProblem> problems;
    if (!options.Area.empty()) {
        const auto parts = SplitAtCommas(options.Area);
        if (parts.size() != 4) {
            problems.push_back({"--area", "four values are expected: FIRSTCOL,FIRSTROW,LASTCOL,LASTROW"});
        } else {
            for (const auto& part : parts) {
                if (!IsPositiveInteger(part)) {
                    problems.push_back({"--area", kIntegerExpected});
                    break;
                }
            }
        }
    }
    const std::pair<std::string_view, const std::string*> reals[] = {
        {"--box-cm", &options.BoxCm}, {"--roi-dev", &options.RoiDev}, {"--pixel-dev", &options.PixelDev}};
    for (const auto& [name, text] : reals)
        if (!IsNumber(*text)) problems.push_back({name, kNumberExpected});
    if (!ParsePixelOffset(options.Offset, pixelOffset)) problems.push_back({"--offset", kOffsetExpected});
    double border = 0.0;
    if (!IsNumber(options.BorderMm) || !ReadRealField(options.BorderMm, border) ||
        !(border >= 0.0 && std::isfinite(border)))
        problems.push_back({"--border-mm", "A number of millimetres, 0 or more, is expected"});
    return problems;
}

bool CheckAnalyseOptions(const AnalyseOptions& options, std::uint16_t& pixelOffset, std::ostream& err)
{
    const std::vector<OptionProblem> problems = AnalyseOptionProblems(options, pixelOffset);
    if (problems.empty()) return true;
    err << problems.front().Option << ": " << problems.front().Message << '\n';
    return false;
}

}  // namespace evenor
