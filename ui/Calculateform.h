#pragma once
// Calculateform: the small "Calculating" notice shown while an analysis runs.
//
// The analysis runs on a thread of its own; the notice shows the step it has
// reached and offers Cancel. It is modal while shown: the other windows keep
// painting and can be moved, but take no input until the run has ended.
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace evenor {

class RunProgress;

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
    // Shows the steps of progress and lets Cancel ask it to stop, until
    // HideNotice; progress must outlive that. Null shows no steps.
    void Follow(RunProgress* progress);

protected:
    // The window manager's close (the title bar has no button) cancels too.
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ShowProgress();
    void ButtonCancelClick();

    QWidget* mainWindow_;
    QLabel* calculateTekst_;  // Tekst = text
    QLabel* labelStep_;
    QProgressBar* progressBar_;
    QPushButton* buttonCancel_;
    QTimer* timer_;
    RunProgress* progress_ = nullptr;
    bool placed_ = false;
};

}  // namespace evenor
