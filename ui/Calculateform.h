#pragma once
// Calculateform: the small "Calculating" notice shown while an analysis runs.
//
// The analysis runs on the user-interface thread, so the notice must be
// painted at once when it is shown: no window events are handled until the
// analysis ends.
#include <QWidget>

class QLabel;

namespace evenor {

class TFormCalculate : public QWidget {
    Q_OBJECT
public:
    // mainWindow: the window the notice is centred on the first time.
    explicit TFormCalculate(QWidget* mainWindow);

    // Shows the notice on top of the other windows and paints it before
    // returning. Only paint and window-system events are handled meanwhile,
    // no user input.
    void ShowNotice();
    void HideNotice();

private:
    QWidget* mainWindow_;
    QLabel* calculateTekst_;  // Tekst = text
    bool placed_ = false;
};

}  // namespace evenor
