// Shows the program's real windows with the sample image opened and saves a
// picture of each: the Settings page, the DICOM Tags page, the Calculating
// notice, the About box, the whole screen, and the Results page after
// Calculate (with the area map, with the ROI mean deviation map, and in a
// larger window). Used by scripts/screenshot;
// the program itself takes no arguments, so this driver opens the sample
// through the dialogs' test seam.
//
// Usage: evenor_screenshots OUTPUT_FOLDER
#include <cstdio>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>

#include "DicomDictionary.h"
#include "Dialogs.h"
#include "EvenorWindows.h"

namespace {

void Settle()
{
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
}

bool Save(const QPixmap& picture, const QDir& folder, const char* name)
{
    const QString path = folder.filePath(QString::fromLatin1(name));
    if (!picture.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    evenor::LoadDicomDictionary();
    QApplication application(argc, argv);
    QApplication::setApplicationName(evenor::ApplicationTitle);
    if (argc != 2) {
        std::fprintf(stderr, "usage: evenor_screenshots OUTPUT_FOLDER\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.exists()) {
        std::fprintf(stderr, "no folder %s\n", argv[1]);
        return 2;
    }

    evenor::EvenorWindows windows;
    windows.FormEvenor.show();
    Settle();

    // Open the sample; its tag warnings (if any) are recorded, not shown.
    evenor::Dialogs::SetMessagesAnswered(true);
    evenor::Dialogs::SetNextFileAnswer(QStringLiteral(EVENOR_SAMPLE_PATH));
    windows.FormEvenor.findChild<QPushButton*>(QStringLiteral("ButtonOpen"))->click();
    for (const evenor::ShownMessage& m : evenor::Dialogs::TakeMessages())
        std::printf("box: %s\n", qPrintable(m.Text));
    Settle();

    bool ok = Save(windows.FormEvenor.grab(), folder, "settings.png");
    auto* pages = windows.FormEvenor.findChild<QTabWidget*>(QStringLiteral("EvenorControl"));
    pages->setCurrentIndex(1);
    Settle();
    ok = Save(windows.FormEvenor.grab(), folder, "dicom-tags.png") && ok;
    pages->setCurrentIndex(0);

    windows.FormCalculate.ShowNotice();
    Settle();
    ok = Save(windows.FormCalculate.grab(), folder, "calculating.png") && ok;
    if (QScreen* screen = QGuiApplication::primaryScreen()) ok = Save(screen->grabWindow(0), folder, "screen.png") && ok;
    windows.FormCalculate.HideNotice();

    windows.AboutBox.ShowAbout();
    Settle();
    ok = Save(windows.AboutBox.grab(), folder, "about.png") && ok;
    windows.AboutBox.hide();

    // Calculate with the defaults, the report in a folder of its own.
    const QTemporaryDir reportFolder;
    evenor::Dialogs::SetNextFileAnswer(reportFolder.filePath(QStringLiteral("report.txt")));
    windows.FormEvenor.findChild<QPushButton*>(QStringLiteral("ButtonExport"))->click();
    windows.FormEvenor.findChild<QPushButton*>(QStringLiteral("ButtonCalculate"))->click();
    for (const evenor::ShownMessage& m : evenor::Dialogs::TakeMessages())
        std::printf("box: %s\n", qPrintable(m.Text));
    pages->setCurrentIndex(2);
    Settle();
    ok = Save(windows.FormEvenor.grab(), folder, "results.png") && ok;
    auto* picture = windows.FormEvenor.findChild<QComboBox*>(QStringLiteral("ComboBoxPicture"));
    picture->setCurrentIndex(1);
    Settle();
    ok = Save(windows.FormEvenor.grab(), folder, "results-heatmap.png") && ok;
    windows.FormEvenor.resize(900, 700);
    Settle();
    ok = Save(windows.FormEvenor.grab(), folder, "results-large.png") && ok;
    return ok ? 0 : 1;
}
