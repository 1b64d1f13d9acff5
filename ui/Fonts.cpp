#include "ui/Fonts.h"

#include <cmath>

#include <QFontMetrics>
#include <QStringList>

namespace evenor {

QFont UiFont(int points)
{
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    // Points at 96 dpi, narrowed by a tenth for the wider face.
    font.setPixelSize(static_cast<int>(std::lround(points * 96.0 / 72.0 * 0.9)));
    return font;
}

QFont FitFontToWidth(QFont font, const QString& text, int maxWidth)
{
    while (font.pixelSize() > 6 && QFontMetrics(font).horizontalAdvance(text) > maxWidth)
        font.setPixelSize(font.pixelSize() - 1);
    return font;
}

}  // namespace evenor
