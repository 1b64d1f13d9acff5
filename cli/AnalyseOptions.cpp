#include "cli/AnalyseOptions.h"

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
                err << "--area: " << kIntegerExpected << '\n';
                return false;
            }
        }
    }
    const std::pair<const char*, const std::string*> reals[] = {
        {"--box-cm", &options.BoxCm}, {"--roi-dev", &options.RoiDev}, {"--pixel-dev", &options.PixelDev}};
    for (const auto& [name, text] : reals) {
        if (!IsNumber(*text)) {
            err << name << ": " << kNumberExpected << '\n';
            return false;
        }
    }
    if (!ParsePixelOffset(options.Offset, pixelOffset)) {
        err << "--offset: " << kOffsetExpected << '\n';
        return false;
    }
    double border = 0.0;
    if (!IsNumber(options.BorderMm) || !ReadRealField(options.BorderMm, border) ||
        !(border >= 0.0 && std::isfinite(border))) {
        err << "--border-mm: A number of millimetres, 0 or more, is expected\n";
        return false;
    }
    return true;
}

}  // namespace evenor
