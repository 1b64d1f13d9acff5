#pragma once
// The windows' fonts. The layout is fixed pixel geometry made for a narrow
// 8 pt sans-serif face at 96 dpi; DejaVu Sans (always installed with the
// program) is wider, so each size is mapped to a slightly smaller pixel size
// that keeps every caption inside its control.
#include <QFont>
#include <QString>

namespace evenor {

// The font standing in for the reference face at the given point size.
QFont UiFont(int points);

// The largest font not above font whose rendering of text is at most
// maxWidth pixels wide (never below 6 pixels).
QFont FitFontToWidth(QFont font, const QString& text, int maxWidth);

}  // namespace evenor
