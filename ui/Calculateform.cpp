#include "ui/Calculateform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QThread>
#include <QWindow>

#include "ui/Fonts.h"
#include "ui/Placement.h"

namespace evenor {

namespace {
constexpr int ClientWidth = 256;
constexpr int ClientHeight = 49;
}  // namespace

TFormCalculate::TFormCalculate(QWidget* mainWindow)
    // A fixed dialog frame with a title and no buttons in it, always on top.
    : QWidget(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint),
      mainWindow_(mainWindow)
{
    setObjectName(QStringLiteral("FormCalculate"));
    setWindowTitle(QStringLiteral("Calculating"));
    setFont(UiFont(8));
    setFixedSize(ClientWidth, ClientHeight);

    calculateTekst_ = new QLabel(QStringLiteral("Calculating, this may take a while........"), this);
    calculateTekst_->setObjectName(QStringLiteral("CalculateTekst"));
    calculateTekst_->setFont(FitFontToWidth(UiFont(12), calculateTekst_->text(), ClientWidth - 2 * 8));
    calculateTekst_->move(8, 16);
    calculateTekst_->adjustSize();
}

void TFormCalculate::ShowNotice()
{
    if (!placed_ && mainWindow_ != nullptr) {
        // Centred on the main window the first time; afterwards where it was.
        CentreOn(*this, *mainWindow_);
        placed_ = true;
    }
    show();
    raise();

    // The window system maps the window asynchronously. Wait briefly for it
    // to be exposed, handling no user input meanwhile, then paint it.
    QElapsedTimer waited;
    waited.start();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    while (windowHandle() != nullptr && !windowHandle()->isExposed() && waited.elapsed() < 500) {
        QThread::msleep(5);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TFormCalculate::HideNotice() { hide(); }

}  // namespace evenor
