#pragma once
// About: the About box, shown without being modal by the main window's About
// button. One instance lives for the whole program; OK hides it and the next
// press of About shows the same box again where it was.
#include <QDialog>
#include <QFrame>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace evenor {

// A panel with a lowered outer and a raised inner bevel, one pixel each.
class TBevelPanel : public QFrame {
    Q_OBJECT
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent* event) override;
};

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    // mainWindow: the window the box is centred on the first time.
    explicit TAboutBox(QWidget* mainWindow);

    // Shows the box, or brings it to the front when it is already shown.
    void ShowAbout();

    // The About box's text (no-warranty statement, licence terms, beta note,
    // where to report problems).
    static QString MemoText();

public slots:
    void OKButtonClick();

protected:
    // Only OK closes the box: Escape, which a dialog would take as Cancel, is
    // ignored, as the box has no Cancel button.
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* mainWindow_;
    bool placed_ = false;
};

}  // namespace evenor
