#pragma once
// Placing a secondary window over the main window.
#include <QRect>
#include <QWidget>

namespace evenor {

// Moves window so that its frame is centred on the frame of the window on.
// Before a window is first shown its frame is not known yet; it is taken to
// be as wide as the frame of on.
inline void CentreOn(QWidget& window, const QWidget& on)
{
    const QSize frameExtra = on.frameGeometry().size() - on.size();
    QRect frame(QPoint(), window.size() + frameExtra);
    frame.moveCenter(on.frameGeometry().center());
    window.move(frame.topLeft());
}

}  // namespace evenor
