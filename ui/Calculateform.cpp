#include "ui/Calculateform.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include "ui/Fonts.h"
#include "ui/Placement.h"
#include "ui/RunProgress.h"

namespace evenor {

namespace {
constexpr int ClientWidth = 256;
constexpr int ClientHeight = 119;
// How often the shown step follows the run.
constexpr int FollowMilliseconds = 100;
}  // namespace

TFormCalculate::TFormCalculate(QWidget* mainWindow)
    // A fixed dialog frame with a title and no buttons in it, always on top.
    : QWidget(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint),
      mainWindow_(mainWindow)
{
    setObjectName(QStringLiteral("FormCalculate"));
    setWindowTitle(QStringLiteral("Calculating"));
    setWindowModality(Qt::ApplicationModal);
    setFont(UiFont(8));
    setFixedSize(ClientWidth, ClientHeight);

    calculateTekst_ = new QLabel(QStringLiteral("Calculating, this may take a while........"), this);
    calculateTekst_->setObjectName(QStringLiteral("CalculateTekst"));
    calculateTekst_->setFont(FitFontToWidth(UiFont(12), calculateTekst_->text(), ClientWidth - 2 * 8));
    calculateTekst_->move(8, 16);
    calculateTekst_->adjustSize();

    labelStep_ = new QLabel(this);
    labelStep_->setObjectName(QStringLiteral("LabelStep"));
    labelStep_->setGeometry(8, 44, ClientWidth - 2 * 8, 16);
    progressBar_ = new QProgressBar(this);
    progressBar_->setObjectName(QStringLiteral("ProgressCalculate"));
    progressBar_->setGeometry(8, 62, ClientWidth - 2 * 8, 16);
    progressBar_->setTextVisible(false);
    buttonCancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    buttonCancel_->setObjectName(QStringLiteral("ButtonCancel"));
    buttonCancel_->setToolTip(QStringLiteral("Stop the calculation; nothing is written"));
    buttonCancel_->setGeometry(ClientWidth - 8 - 75, 86, 75, 25);
    buttonCancel_->setAutoDefault(false);
    connect(buttonCancel_, &QPushButton::clicked, this, &TFormCalculate::ButtonCancelClick);

    timer_ = new QTimer(this);
    timer_->setInterval(FollowMilliseconds);
    connect(timer_, &QTimer::timeout, this, &TFormCalculate::ShowProgress);
    Follow(nullptr);
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

void TFormCalculate::HideNotice()
{
    Follow(nullptr);
    hide();
}

void TFormCalculate::Follow(RunProgress* progress)
{
    progress_ = progress;
    buttonCancel_->setText(QStringLiteral("Cancel"));
    if (progress_ == nullptr) {
        timer_->stop();
        labelStep_->clear();
        progressBar_->setValue(0);
        buttonCancel_->setEnabled(false);
        return;
    }
    progressBar_->setRange(0, progress_->Steps());
    ShowProgress();
    timer_->start();
}

void TFormCalculate::ShowProgress()
{
    if (progress_ == nullptr) return;
    const RunProgress::State state = progress_->Current();
    labelStep_->setText(QStringLiteral("Step %1 of %2: %3")
                            .arg(state.Step + 1)
                            .arg(progress_->Steps())
                            .arg(QString::fromStdString(state.Text)));
    progressBar_->setValue(state.Step);
    buttonCancel_->setEnabled(!state.Cancelling && !state.Committed);
    if (state.Cancelling) buttonCancel_->setText(QStringLiteral("Cancelling"));
}

void TFormCalculate::ButtonCancelClick()
{
    if (progress_ != nullptr) progress_->RequestCancel();
    ShowProgress();
}

void TFormCalculate::closeEvent(QCloseEvent* event)
{
    event->ignore();
    if (isVisible()) ButtonCancelClick();
}

void TFormCalculate::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        ButtonCancelClick();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace evenor
