#pragma once
// How the Results page writes numbers and texts (internal to the window):
// "." whatever the locale, tag texts as UTF-8, escaped for HTML.
#include <QString>
#include <optional>
#include <string_view>

namespace evenor::resultstext {

// Numbers are written with "." whatever the locale (QString::number uses none).
inline QString Number(double value) { return QString::number(value, 'f', 2); }
inline QString Signed(double value) { return (value > 0.0 ? QStringLiteral("+") : QString()) + Number(value); }
inline QString Percent(const std::optional<double>& value, bool withSign)
{
    if (!value) return QStringLiteral("not available");
    return (withSign ? Signed(*value) : Number(*value)) + QStringLiteral(" %");
}
inline QString Text(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline QString Html(std::string_view text) { return Text(text).toHtmlEscaped(); }

}  // namespace evenor::resultstext
