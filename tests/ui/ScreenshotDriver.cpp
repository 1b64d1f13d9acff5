// Shows the program's real windows and saves pictures of them: the Settings
// page with the sample opened, the screen with the window's title and status
// line naming the image and the output file, the DICOM Tags page, the
// Calculating notice (idle, and following a long run with its Cancel, then
// the status line of the cancelled run),
// the About box, the Preferences dialog, the whole screen, the Results page
// after Calculate (area map and ROI mean deviation map at the reference
// size, the tooltip over the map, the picture's own window at 200 %, a larger
// window, maximised), the
// Results page of detector images with one planted fault each (with its
// summary scrolled to the defects, the area map and the ROI noise deviation
// map as drawn), and the screen at each message box of two awkward cases: a
// message shown while the Calculating notice is up (an inverted image
// without Bits Stored), and the opened image chosen as the output file.
// Last, the History page of the database given (scripts/make-drift-history
// makes one from real analyses of a synthetic detector whose uniformity
// drifts), with the trends of its metrics against the baseline, and again
// with its newest record made a new baseline while another detector's image
// is open and recorded; without a database these pictures are left out,
// saying so.
// Used by scripts/screenshot, which runs it under Xvfb with a window
// manager. The program itself takes no arguments, so this driver opens
// files through the dialogs' test seam.
//
// Usage: evenor_screenshots OUTPUT_FOLDER [HISTORY_DATABASE]
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <QToolTip>

#include "dicom/DicomDictionary.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"
#include "tests/ui/DetectorImages.h"
#include "ui/Dialogs.h"
#include "ui/EvenorWindows.h"
#include "ui/HistoryPage.h"
#include "ui/Preferences.h"
#include "ui/ResultsPage.h"

namespace {

void Settle(int turns = 20)
{
    for (int i = 0; i < turns; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
}

bool Save(const QPixmap& picture, const QDir& folder, const QString& name)
{
    const QString path = folder.filePath(name);
    if (!picture.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

QPixmap Screen()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->grabWindow(0) : QPixmap();
}

// Runs action with the real message boxes shown; the screen is saved at each
// box (NAME-1.png, NAME-2.png, ...) before its OK button is clicked.
bool ScreenAtEachBox(const std::function<void()>& action, const QDir& folder, const QString& name)
{
    evenor::Dialogs::SetMessagesAnswered(false);
    bool ok = true;
    int shown = 0;
    QTimer timer;
    timer.setInterval(50);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        timer.stop();
        Settle(30);  // mapped, placed and painted by the window manager
        ok = Save(Screen(), folder, QStringLiteral("%1-%2.png").arg(name).arg(++shown)) && ok;
        std::printf("box: %s\n", qPrintable(box->text()));
        box->button(QMessageBox::Ok)->click();
        timer.start();
    });
    timer.start();
    action();
    timer.stop();
    evenor::Dialogs::SetMessagesAnswered(true);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    evenor::LoadDicomDictionary();
    QApplication application(argc, argv);
    QApplication::setApplicationName(evenor::ApplicationTitle);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: evenor_screenshots OUTPUT_FOLDER [HISTORY_DATABASE]\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.exists()) {
        std::fprintf(stderr, "no folder %s\n", argv[1]);
        return 2;
    }

    const QTemporaryDir work;
    // Remembered folders and recent files of this run only.
    evenor::Preferences::UseFile(work.filePath(QStringLiteral("preferences.ini")));
    auto windows = std::make_unique<evenor::EvenorWindows>();
    const auto form = [&]() -> evenor::TFormEvenor& { return windows->FormEvenor; };
    const auto button = [&](const char* name) { return form().findChild<QPushButton*>(QLatin1String(name)); };
    const auto printBoxes = [] {
        for (const evenor::ShownMessage& m : evenor::Dialogs::TakeMessages())
            std::printf("box: %s\n", qPrintable(m.Text));
    };
    bool ok = true;

    // The awkward cases first, in windows as the program starts them: the
    // notice is centred on the main window. An inverted image without Bits
    // Stored: the inversion's message comes while the Calculating notice is
    // up.
    form().show();
    Settle();
    evenor::test::TestImage noBits = evenor::test::FlatImage(256, 256, 1000);
    noBits.BitsStored.reset();
    noBits.IntensitySign = -1;
    const QString noBitsPath = work.filePath(QStringLiteral("no-bits-stored.dcm"));
    evenor::test::WriteDicomFile(noBitsPath.toStdString(), noBits);
    evenor::Dialogs::SetMessagesAnswered(true);
    evenor::Dialogs::SetNextFileAnswer(noBitsPath);
    button("ButtonOpen")->click();
    printBoxes();
    evenor::Dialogs::SetNextFileAnswer(work.filePath(QStringLiteral("no-bits-report.txt")));
    button("ButtonExport")->click();
    Settle();
    ok = ScreenAtEachBox([&] { button("ButtonCalculate")->click(); }, folder, "message-over-notice") && ok;

    // The opened image chosen as the output file, then Calculate.
    evenor::Dialogs::SetNextFileAnswer(noBitsPath);
    ok = ScreenAtEachBox([&] { button("ButtonExport")->click(); }, folder, "output-is-image-chosen") && ok;
    ok = ScreenAtEachBox([&] { button("ButtonCalculate")->click(); }, folder, "output-is-image-calculate") && ok;

    // The tour, in new windows.
    windows.reset();
    windows = std::make_unique<evenor::EvenorWindows>();
    form().show();
    Settle();

    // Open the sample; its tag warnings (if any) are recorded, not shown.
    evenor::Dialogs::SetNextFileAnswer(QStringLiteral(EVENOR_SAMPLE_PATH));
    button("ButtonOpen")->click();
    printBoxes();
    Settle();

    ok = Save(form().grab(), folder, "settings.png") && ok;
    auto* pages = form().findChild<QTabWidget*>(QStringLiteral("EvenorControl"));
    pages->setCurrentIndex(1);
    Settle();
    ok = Save(form().grab(), folder, "dicom-tags.png") && ok;
    pages->setCurrentIndex(0);

    windows->FormCalculate.ShowNotice();
    Settle();
    ok = Save(windows->FormCalculate.grab(), folder, "calculating.png") && ok;
    ok = Save(Screen(), folder, "screen.png") && ok;
    windows->FormCalculate.HideNotice();

    // A long run (a 0.1 cm box on a 4096 x 4096 image at 0.1 mm): the notice
    // follows its steps (calculating-progress.png, the whole screen), then
    // Cancel ends it and the status line says so (cancelled.png).
    {
        evenor::test::TestImage large = evenor::test::FlatImage(4096, 4096, 2000);
        large.PixelSpacing = "0.1\\0.1";
        std::uint32_t noise = 1;
        for (auto& value : large.Pixels) {
            noise = noise * 1103515245u + 12345u;
            value = static_cast<std::uint16_t>(1900 + (noise >> 16) % 200);
        }
        const QString largePath = work.filePath(QStringLiteral("large-flat-field.dcm"));
        evenor::test::WriteDicomFile(largePath.toStdString(), large);
        evenor::Dialogs::SetNextFileAnswer(largePath);
        button("ButtonOpen")->click();
        evenor::Dialogs::SetNextFileAnswer(work.filePath(QStringLiteral("large-flat-field-uniformity.txt")));
        button("ButtonExport")->click();
        printBoxes();
        auto* dim = form().findChild<QLineEdit*>(QStringLiteral("EditDim"));
        const QString dimension = dim->text();
        dim->setText(QStringLiteral("0.1"));
        Settle();
        ok = Save(Screen(), folder, "title-and-status.png") && ok;
        // Once the notice offers Cancel, and has been painted.
        QTimer poll;
        poll.setInterval(20);
        int seen = 0;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* cancel = windows->FormCalculate.findChild<QPushButton*>(QStringLiteral("ButtonCancel"));
            if (cancel == nullptr || !windows->FormCalculate.isVisible() || !cancel->isEnabled() || ++seen < 5) return;
            poll.stop();
            ok = Save(Screen(), folder, "calculating-progress.png") && ok;
            cancel->click();
        });
        poll.start();
        button("ButtonCalculate")->click();
        poll.stop();
        printBoxes();
        Settle();
        ok = Save(Screen(), folder, "cancelled.png") && ok;
        std::printf("status: %s\n", qPrintable(form().StatusText()));
        dim->setText(dimension);
    }
    evenor::Dialogs::SetNextFileAnswer(QStringLiteral(EVENOR_SAMPLE_PATH));
    button("ButtonOpen")->click();
    printBoxes();

    windows->AboutBox.ShowAbout();
    Settle();
    ok = Save(windows->AboutBox.grab(), folder, "about.png") && ok;
    windows->AboutBox.hide();

    // The Preferences dialog as its button opens it (preferences.png), then
    // cancelled.
    QTimer::singleShot(200, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            std::fprintf(stderr, "no Preferences dialog\n");
            ok = false;
            return;
        }
        Settle(30);
        ok = Save(dialog->grab(), folder, "preferences.png") && ok;
        dialog->reject();
    });
    button("ButtonPreferences")->click();

    // Calculate with the defaults, the report in a folder of its own.
    evenor::Dialogs::SetNextFileAnswer(work.filePath(QStringLiteral("report.txt")));
    button("ButtonExport")->click();
    button("ButtonCalculate")->click();
    printBoxes();
    pages->setCurrentIndex(2);
    Settle();
    ok = Save(form().grab(), folder, "results.png") && ok;
    auto* picture = form().findChild<QComboBox*>(QStringLiteral("ComboBoxPicture"));
    picture->setCurrentIndex(1);
    Settle();
    ok = Save(form().grab(), folder, "results-heatmap.png") && ok;
    // The tooltip of the ROI under the mouse, over the middle of the map.
    if (auto* view = form().findChild<QWidget*>(QStringLiteral("PictureResults"))) {
        const QPoint at = view->rect().center();
        QHelpEvent help(QEvent::ToolTip, at, view->mapToGlobal(at));
        QCoreApplication::sendEvent(view, &help);
        Settle(30);
        ok = Save(Screen(), folder, "results-tooltip.png") && ok;
        QToolTip::hideText();
    }
    picture->setCurrentIndex(0);
    // The PDF report, as "Save PDF report..." writes it.
    evenor::Dialogs::SetNextFileAnswer(folder.filePath(QStringLiteral("results-report.pdf")));
    button("ButtonSavePdf")->click();
    printBoxes();
    // The picture in its own window, at 200 %.
    button("ButtonPictureWindow")->click();
    if (auto* window = form().findChild<QWidget*>(QStringLiteral("PictureWindow"))) {
        window->findChild<QComboBox*>(QStringLiteral("ComboBoxZoom"))->setCurrentText(QStringLiteral("200 %"));
        Settle(30);
        ok = Save(Screen(), folder, "picture-window.png") && ok;
        window->hide();
    }
    form().resize(900, 700);
    Settle();
    ok = Save(form().grab(), folder, "results-large.png") && ok;
    form().showMaximized();
    Settle(50);
    ok = Save(form().grab(), folder, "results-maximised.png") && ok;

    // Detector images with one planted fault each, at the reference size:
    // results-NAME.png (the area map beside the summary's top),
    // summary-NAME.png (the summary from its defects on), area-NAME.png and
    // noise-NAME.png (the maps as drawn, pixel for pixel).
    windows.reset();
    windows = std::make_unique<evenor::EvenorWindows>();
    form().show();
    Settle();
    for (const std::string& name : evenor::test::DetectorImageNames()) {
        const QString tag = QString::fromStdString(name);
        const QString path = work.filePath(tag + QStringLiteral(".dcm"));
        evenor::test::WriteDicomFile(path.toStdString(), evenor::test::DetectorImage(name));
        evenor::Dialogs::SetNextFileAnswer(path);
        button("ButtonOpen")->click();
        printBoxes();
        evenor::Dialogs::SetNextFileAnswer(work.filePath(tag + QStringLiteral("-report.txt")));
        button("ButtonExport")->click();
        button("ButtonCalculate")->click();
        printBoxes();
        auto* tabs = form().findChild<QTabWidget*>(QStringLiteral("EvenorControl"));
        auto* page = form().findChild<evenor::TResultsPage*>(QStringLiteral("Results"));
        auto* choice = form().findChild<QComboBox*>(QStringLiteral("ComboBoxPicture"));
        auto* memo = form().findChild<QTextBrowser*>(QStringLiteral("MemoResults"));
        tabs->setCurrentWidget(page);
        choice->setCurrentIndex(0);
        Settle();
        ok = Save(form().grab(), folder, QStringLiteral("results-%1.png").arg(tag)) && ok;
        if (memo->find(QStringLiteral("Defects"))) {
            QTextCursor cursor = memo->textCursor();
            cursor.clearSelection();
            memo->setTextCursor(cursor);
            memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->value() + memo->cursorRect().top());
            Settle();
        }
        ok = Save(form().grab(), folder, QStringLiteral("summary-%1.png").arg(tag)) && ok;
        ok = Save(QPixmap::fromImage(page->ShownPicture()), folder, QStringLiteral("area-%1.png").arg(tag)) && ok;
        choice->setCurrentIndex(int(evenor::ResultPictureKind::NoiseHeatMap));
        Settle();
        ok = Save(QPixmap::fromImage(page->ShownPicture()), folder, QStringLiteral("noise-%1.png").arg(tag)) && ok;
        tabs->setCurrentIndex(0);
    }

    // The History page: history.png (global uniformity) and history-NAME.png
    // (the other metrics) at the reference size, history-large.png in a
    // larger window, history-notes.png with the record of a software change.
    // A database file is copied first: pressing the page's buttons must not
    // change the one given.
    if (argc < 3) {
        std::fprintf(stderr, "no history database given: no pictures of the History page "
                             "(scripts/make-drift-history makes one)\n");
        return ok ? 0 : 1;
    }
    windows.reset();
    QString database = QString::fromLocal8Bit(argv[2]);
    if (!database.startsWith(QLatin1String("postgres"))) {
        const QString copy = work.filePath(QStringLiteral("history.sqlite"));
        if (!QFile::copy(database, copy)) {
            std::fprintf(stderr, "cannot copy %s\n", argv[2]);
            return 1;
        }
        database = copy;
    }
    evenor::Preferences::SetDatabaseLocation(database);
    windows = std::make_unique<evenor::EvenorWindows>();
    form().show();
    Settle();
    auto* tabs = form().findChild<QTabWidget*>(QStringLiteral("EvenorControl"));
    tabs->setCurrentWidget(form().findChild<evenor::THistoryPage*>(QStringLiteral("History")));
    printBoxes();
    auto* metric = form().findChild<QComboBox*>(QStringLiteral("ComboBoxMetric"));
    metric->setCurrentText(QStringLiteral("Global uniformity"));
    Settle(30);
    ok = Save(form().grab(), folder, "history.png") && ok;
    for (int i = 0; i < metric->count(); ++i) {
        metric->setCurrentIndex(i);
        Settle(30);
        const QString name = metric->currentText().toLower().replace(QLatin1Char(' '), QLatin1Char('-'));
        ok = Save(form().grab(), folder, QStringLiteral("history-%1.png").arg(name)) && ok;
    }
    metric->setCurrentText(QStringLiteral("Global uniformity"));
    form().resize(960, 720);
    Settle(30);
    ok = Save(form().grab(), folder, "history-large.png") && ok;
    // history-notes.png: the record whose note says the software changed,
    // selected (Set as baseline enabled).
    auto* table = form().findChild<QTableWidget*>(QStringLiteral("TableRecords"));
    for (int row = 0; row < table->rowCount(); ++row)
        if (table->item(row, 4) != nullptr && !table->item(row, 4)->text().isEmpty()) {
            table->selectRow(row);
            table->scrollToItem(table->item(row, 0), QAbstractItemView::PositionAtCenter);
            break;
        }
    Settle(30);
    ok = Save(form().grab(), folder, "history-notes.png") && ok;
    // history-seen-now.png: the records made before the baseline was set,
    // shown against it (on the page only), the oldest in view.
    if (auto* seen = form().findChild<QCheckBox*>(QStringLiteral("CheckBoxAgainstCurrent"));
        seen && !seen->isHidden()) {
        seen->setChecked(true);
        table->scrollToBottom();
        Settle(30);
        ok = Save(form().grab(), folder, "history-seen-now.png") && ok;
        seen->setChecked(false);
    }
    // history-rebaselined.png: the sample (another detector) opened and
    // recorded, the drifting detector chosen again and its newest record
    // made the baseline; the page stays on that detector and the chart shows
    // the new baseline from then on at once.
    auto* detectors = form().findChild<QComboBox*>(QStringLiteral("ComboBoxDetector"));
    const QString drifting = detectors->currentData().toString();
    evenor::Dialogs::SetNextFileAnswer(QStringLiteral(EVENOR_SAMPLE_PATH));
    button("ButtonOpen")->click();
    evenor::Dialogs::SetNextFileAnswer(work.filePath(QStringLiteral("sample-report.txt")));
    button("ButtonExport")->click();
    button("ButtonCalculate")->click();
    button("ButtonRecord")->click();
    printBoxes();
    std::printf("recorded: %s\n", qPrintable(detectors->currentData().toString()));
    detectors->setCurrentIndex(detectors->findData(drifting));
    table->selectRow(0);
    evenor::Dialogs::SetNextTextAnswer(QStringLiteral("after service"));
    button("ButtonBaseline")->click();
    printBoxes();
    Settle(30);
    std::printf("after the baseline: %s\n", qPrintable(detectors->currentText()));
    ok = Save(form().grab(), folder, "history-rebaselined.png") && ok;
    ok = Save(Screen(), folder, "history-rebaselined-screen.png") && ok;
    return ok ? 0 : 1;
}
