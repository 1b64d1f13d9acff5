#include "insight/Rims.h"

#include <algorithm>
#include <cmath>
#include <locale>
#include <sstream>
#include <vector>

#include "insight/RobustScale.h"

namespace evenor {

namespace {

// Relative departure of a line mean from the reference.
double Departure(double mean, double reference) { return (mean - reference) / reference; }

// The rim running inwards from one end of means (forward from index 0, or
// backward from the last).
RimSide RimFrom(const std::vector<double>& means, double reference, bool forward)
{
    RimSide side;
    const std::size_t n = means.size();
    const auto at = [&](std::size_t k) { return means[forward ? k : n - 1 - k]; };
    if (n == 0 || reference <= 0.0) return side;
    const double first = Departure(at(0), reference);
    if (std::fabs(first) <= kRimDeparture) return side;
    const double sign = first < 0.0 ? -1.0 : 1.0;
    side.Kind = sign < 0.0 ? RimKind::Dark : RimKind::Bright;
    std::size_t k = 0;
    while (k < n && sign * Departure(at(k), reference) > kRimDeparture) ++k;
    const std::size_t core = k;
    while (k < n && sign * Departure(at(k), reference) > kPenumbraDeparture) ++k;
    if (core < kMinRimLines) return RimSide{};
    side.Lines = static_cast<std::uint32_t>(k);
    return side;
}

std::string_view KindText(RimKind kind) { return kind == RimKind::Bright ? "bright" : "dark"; }

}  // namespace

std::uint32_t RimReport::WidestSide() const { return std::max({Top.Lines, Bottom.Lines, Left.Lines, Right.Lines}); }

RimReport FindRims(const LineProfiles& area)
{
    RimReport rims;
    rims.Area = area.Rect;
    rims.Interior = area.Rect;
    if (area.Rect.Empty()) return rims;
    const std::vector<double> rows = area.RowMeans(), columns = area.ColumnMeans();
    const double rowReference = MedianOf(rows), columnReference = MedianOf(columns);
    rims.Top = RimFrom(rows, rowReference, true);
    rims.Bottom = RimFrom(rows, rowReference, false);
    rims.Left = RimFrom(columns, columnReference, true);
    rims.Right = RimFrom(columns, columnReference, false);

    const std::uint64_t rowsTaken = std::uint64_t{rims.Top.Lines} + rims.Bottom.Lines;
    const std::uint64_t columnsTaken = std::uint64_t{rims.Left.Lines} + rims.Right.Lines;
    if (rowsTaken >= area.Rect.Height || columnsTaken >= area.Rect.Width) {
        rims.Interior = PixelRect{area.Rect.Left, area.Rect.Top, 0, 0};
        return rims;
    }
    rims.Interior = PixelRect{area.Rect.Left + rims.Left.Lines, area.Rect.Top + rims.Top.Lines,
                              area.Rect.Width - static_cast<std::uint32_t>(columnsTaken),
                              area.Rect.Height - static_cast<std::uint32_t>(rowsTaken)};
    return rims;
}

double RimBorderMm(const RimReport& rims, double pixelSpacing)
{
    if (!rims.Found() || !(pixelSpacing > 0.0)) return 0.0;
    return std::ceil(rims.WidestSide() * pixelSpacing * 10.0 - 1e-9) / 10.0;
}

std::string DescribeRims(const RimReport& rims, double pixelSpacing)
{
    if (!rims.Found()) return "No rim found";
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << "Rim at the edges of the area:";
    const struct {
        const char* where;
        const char* unit;
        const RimSide& side;
    } sides[] = {{"top", "rows", rims.Top},
                 {"bottom", "rows", rims.Bottom},
                 {"left", "columns", rims.Left},
                 {"right", "columns", rims.Right}};
    const char* separator = " ";
    for (const auto& s : sides) {
        if (s.side.Lines == 0) continue;
        text << separator << s.side.Lines << ' ' << s.unit << " at the " << s.where << " (" << KindText(s.side.Kind)
             << ")";  // never 1: a rim has at least kMinRimLines lines
        separator = ", ";
    }
    if (rims.Interior.Empty()) {
        text << "; it covers the whole area";
        return text.str();
    }
    text << "; without it the area is columns " << rims.Interior.Left << ".." << rims.Interior.Right() << ", rows "
         << rims.Interior.Top << ".." << rims.Interior.Bottom();
    if (const double border = RimBorderMm(rims, pixelSpacing); border > 0.0)
        text << " (a border of " << border << " mm on every side leaves it out)";
    return text.str();
}

}  // namespace evenor
