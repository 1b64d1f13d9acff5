// The main window: layout, open and output-file flows (also by dropping a
// file and from the recent files), the output file that is the image, the
// remembered folders, field checks, tag-derived defaults, Calculate (nothing
// opened while it runs), and one analysis compared with evenor-cli.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include <QCheckBox>
#include <QDropEvent>
#include <QGroupBox>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QUrl>
#include <QWindow>

#include "analysis/AnalysisRun.h"
#include "dicom/DicomDictionary.h"
#include "dicom/DicomLib.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/EvenorWindows.h"
#include "ui/ResultsPage.h"

namespace evenor::test {

namespace {

const QString W1 =
    QStringLiteral("Pixel-Intensity relationship (tag:00281040) is NOT linear, results may be meaningless");
const QString W2 = QStringLiteral(
    "Pixel-Intensity relationship (tag:00281040) is NOT present in DICOM file, results may be meaningless");
const QString W3 = QStringLiteral(
    "Pixel-Intensity relationship sign (tag:00281041) is NOT \"1\" or \"-1\", results may be meaningless");
const QString W4 = QStringLiteral(
    "Pixel-Intensity relationship (tag:00281041) is NOT present in DICOM file, results may be meaningless");

const QString IntegerExpected = QStringLiteral("A positive integer is expected");
const QString NumberExpected = QStringLiteral("A number is expected");
const QString OffsetExpected = QStringLiteral("A positive integer under 16384 is expected");

QString Q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

}  // namespace

class EvenorTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TemporaryPreferences> preferences_;
    std::unique_ptr<EvenorWindows> windows_;
    std::unique_ptr<TempFolder> folder_;

    TFormEvenor& Form() { return windows_->FormEvenor; }
    template <class T> T* C(const char* name) { return Child<T>(Form(), name); }
    QLineEdit* Edit(const char* name) { return C<QLineEdit>(name); }

    // Opens a file through the open dialog's answer.
    void Open(const std::filesystem::path& path)
    {
        Dialogs::SetNextFileAnswer(Q(path));
        QTest::mouseClick(C<QPushButton>("ButtonOpen"), Qt::LeftButton);
    }
    void ChooseOutput(const std::optional<QString>& path)
    {
        Dialogs::SetNextFileAnswer(path);
        QTest::mouseClick(C<QPushButton>("ButtonExport"), Qt::LeftButton);
    }
    void Calculate() { QTest::mouseClick(C<QPushButton>("ButtonCalculate"), Qt::LeftButton); }
    // Cancelling the first open enables the pages with no image.
    void EnablePagesWithoutImage()
    {
        Dialogs::SetNextFileAnswer(std::nullopt);
        QTest::mouseClick(C<QPushButton>("ButtonOpen"), Qt::LeftButton);
    }
    std::filesystem::path WriteImage(const std::string& name, const TestImage& image)
    {
        const auto path = *folder_ / name;
        WriteDicomFile(path, image);
        return path;
    }
    // The program's windows as at a start of the program.
    void StartWindows()
    {
        windows_.reset();
        windows_ = std::make_unique<EvenorWindows>();
        Form().show();
        Form().activateWindow();
        QApplication::setActiveWindow(&Form());
        QVERIFY(QTest::qWaitForWindowActive(&Form()));
        TakeBoxes();
    }
    // A drag of data entering the window at position and, when the window
    // accepts it, dropped there. Whether the drop was taken; *action: the
    // action the window took it with.
    bool DragAndDrop(const QMimeData& data, QPoint position, Qt::DropActions offered = Qt::CopyAction,
                     Qt::DropAction* action = nullptr)
    {
        QWindow* window = Form().windowHandle();
        // Dragged with Shift where the source offers a move: the move is the
        // proposed action, as a file manager proposes it.
        const Qt::KeyboardModifiers keys = offered & Qt::MoveAction ? Qt::ShiftModifier : Qt::NoModifier;
        QDragEnterEvent enter(position, offered, &data, Qt::LeftButton, keys);
        QCoreApplication::sendEvent(window, &enter);
        if (!enter.isAccepted()) {
            QDragLeaveEvent leave;
            QCoreApplication::sendEvent(window, &leave);
            return false;
        }
        QDropEvent drop(position, offered, &data, Qt::LeftButton, keys);
        if (offered & Qt::MoveAction && drop.proposedAction() != Qt::MoveAction) return false;
        QCoreApplication::sendEvent(window, &drop);
        if (action != nullptr) *action = drop.dropAction();
        return drop.isAccepted();
    }
    QStringList RecentEntries()
    {
        QStringList files;
        for (QAction* action : C<QPushButton>("ButtonRecent")->menu()->actions()) files << action->data().toString();
        return files;
    }
    bool PagesEnabled()
    {
        const bool settings = C<QWidget>("Settings")->isEnabled();
        const bool tags = C<QWidget>("DICOMTags")->isEnabled();
        if (settings != tags) throw std::runtime_error("pages differ in state");
        return settings;
    }

private slots:
    void initTestCase()
    {
        LoadDicomDictionary();
        Dialogs::SetMessagesAnswered(true);
    }

    void init()
    {
        preferences_ = std::make_unique<TemporaryPreferences>();
        folder_ = std::make_unique<TempFolder>();
        StartWindows();
    }

    void cleanup()
    {
        windows_.reset();
        folder_.reset();
        preferences_.reset();
        Dialogs::ClearFileAnswers();
        Dialogs::SetMessagesAnswered(true);
        TakeBoxes();
    }

    void initialState()
    {
        QCOMPARE(Form().windowTitle(), QStringLiteral("Evenor"));
        // The reference client area and the status line under it.
        QCOMPARE(Form().size(), QSize(537, 385));
        QCOMPARE(C<QWidget>("StatusBar")->geometry(), QRect(0, 365, 537, 20));
        QCOMPARE(Form().StatusText(), QStringLiteral("Output file: none chosen"));
        QVERIFY(!PagesEnabled());
        auto* pages = C<QTabWidget>("EvenorControl");
        QCOMPARE(pages->currentWidget(), C<QWidget>("Settings"));
        QCOMPARE(pages->tabText(0), QStringLiteral("Settings"));
        QCOMPARE(pages->tabText(1), QStringLiteral("DICOM Tags"));
        QCOMPARE(pages->count(), 4);
        QCOMPARE(pages->tabText(2), QStringLiteral("Results"));
        QCOMPARE(pages->tabText(3), QStringLiteral("History"));
        auto* logaritm = C<QCheckBox>("Logaritm");
        QVERIFY(logaritm->isHidden());
        QVERIFY(!logaritm->isEnabled());
        QVERIFY(!C<QCheckBox>("Inverse")->isChecked());
        QVERIFY(C<QCheckBox>("CheckBoxDev")->isChecked());
        auto* memo = C<QPlainTextEdit>("MemoDicomtags");
        QVERIFY(memo->isReadOnly());
        QCOMPARE(memo->lineWrapMode(), QPlainTextEdit::NoWrap);
        QCOMPARE(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QVERIFY(memo->toPlainText().isEmpty());
        QCOMPARE(Form().Settings().PixelOffset, std::uint16_t{0});
        QVERIFY(Form().CurrentImage() == nullptr);
    }

    void anchoringOnResize()
    {
        Form().resize(637, 485);
        QCOMPARE(C<QWidget>("EvenorControl")->geometry(), QRect(8, 8, 517, 445));
        QCOMPARE(C<QWidget>("StatusBar")->geometry(), QRect(0, 465, 637, 20));
        QCOMPARE(C<QWidget>("ButtonCalculate")->pos(), QPoint(532, 428));
        QCOMPARE(C<QWidget>("ButtonOpen")->pos(), QPoint(532, 332));
        QCOMPARE(C<QWidget>("ButtonExport")->pos(), QPoint(532, 372));
        QCOMPARE(C<QWidget>("ButtonAbout")->pos(), QPoint(588, 32));
        QCOMPARE(C<QWidget>("ButtonPreferences")->pos(), QPoint(532, 64));
        // The memo keeps its margins to the four sides of its page.
        auto* page = C<QWidget>("DICOMTags");
        C<QTabWidget>("EvenorControl")->setCurrentWidget(page);
        QTRY_COMPARE(C<QWidget>("MemoDicomtags")->geometry(), page->rect().adjusted(8, 4, -8, -4));
    }

    void tabOrder()
    {
        EnablePagesWithoutImage();
        for (const char* name : {"EditBoven", "EditLinks", "EditRechts", "EditOnder"}) Edit(name)->setText("1");
        C<QWidget>("ButtonCalculate")->setFocus();
        QStringList visited;
        for (int i = 0; i < 16; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* focus = QApplication::focusWidget();
            visited << (qobject_cast<QTabBar*>(focus) != nullptr ? QStringLiteral("EvenorControl")
                                                                 : focus->objectName());
        }
        const QStringList expected = {"EvenorControl", "EditBoven",   "EditLinks",         "EditRechts",
                                      "EditOnder",     "EditDim",     "EditPixelOffset",   "Inverse",
                                      "EditROIDev",    "CheckBoxDev", "EditDevPerc",       "ButtonOpen",
                                      "ButtonExport",  "ButtonAbout", "ButtonPreferences", "ButtonCalculate"};
        QCOMPARE(visited, expected);
        QCOMPARE(TakeBoxes(), QStringList());
    }

    void pathSplit_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("file");
        QTest::newRow("unix") << "/data/qa/flat.dcm"
                              << "/data/qa/"
                              << "flat.dcm";
        QTest::newRow("backslash") << "C:\\data\\flat.dcm"
                                   << "C:\\data\\"
                                   << "flat.dcm";
        QTest::newRow("mixed, last wins") << "/a\\b/c.dcm"
                                          << "/a\\b/"
                                          << "c.dcm";
        QTest::newRow("no separator") << "flat.dcm"
                                      << ""
                                      << "flat.dcm";
        QTest::newRow("colon is no separator") << "C:flat.dcm"
                                               << ""
                                               << "C:flat.dcm";
        QTest::newRow("trailing separator") << "/data/"
                                            << "/data/"
                                            << "";
    }

    void pathSplit()
    {
        QFETCH(QString, path);
        QFETCH(QString, directory);
        QFETCH(QString, file);
        const std::string p = path.toStdString();
        QCOMPARE(QString::fromStdString(DirectoryPart(p)), directory);
        QCOMPARE(QString::fromStdString(FileNamePart(p)), file);
        QCOMPARE(DirectoryPart(p) + FileNamePart(p), p);
    }

    // Success, a second success, cancel, failure: the state table of the open flow.
    void openFlow()
    {
        TestImage first = FlatImage(4, 6, 1000);
        const auto firstPath = WriteImage("first.dcm", first);
        Open(firstPath);
        QCOMPARE(TakeBoxes(), QStringList());
        QVERIFY(PagesEnabled());
        QVERIFY(Form().CurrentImage() != nullptr);
        QCOMPARE(QString::fromStdString(Form().Settings().DicomFileName), Q(firstPath));
        QStringList lines;
        for (const std::string& line : Form().CurrentImage()->TagList()) lines << QString::fromLatin1(line);
        QCOMPARE(C<QPlainTextEdit>("MemoDicomtags")->toPlainText(), DisplayText(lines.join('\n')));
        QCOMPARE(Edit("EditBoven")->text(), QStringLiteral("0"));
        QCOMPARE(Edit("EditLinks")->text(), QStringLiteral("0"));
        QCOMPARE(Edit("EditRechts")->text(), QStringLiteral("5"));
        QCOMPARE(Edit("EditOnder")->text(), QStringLiteral("3"));

        // A second image replaces the area and the memo, not the user's values.
        Edit("EditDim")->setText("2");
        Edit("EditROIDev")->setText("7");
        Edit("EditDevPerc")->setText("30");
        QTest::mouseClick(C<QCheckBox>("CheckBoxDev"), Qt::LeftButton);
        const auto secondPath = WriteImage("second.dcm", FlatImage(8, 3, 500));
        Open(secondPath);
        QCOMPARE(Edit("EditRechts")->text(), QStringLiteral("2"));
        QCOMPARE(Edit("EditOnder")->text(), QStringLiteral("7"));
        QCOMPARE(Edit("EditDim")->text(), QStringLiteral("2"));
        QCOMPARE(Edit("EditROIDev")->text(), QStringLiteral("7"));
        QCOMPARE(Edit("EditDevPerc")->text(), QStringLiteral("30"));
        QVERIFY(!C<QCheckBox>("CheckBoxDev")->isChecked());
        const QString secondMemo = C<QPlainTextEdit>("MemoDicomtags")->toPlainText();
        QVERIFY(secondMemo != lines.join('\n'));

        // Cancel: the file name is forgotten, the image and the screen stay.
        ChooseOutput(Q(*folder_ / "report.txt"));
        Dialogs::SetNextFileAnswer(std::nullopt);
        QTest::mouseClick(C<QPushButton>("ButtonOpen"), Qt::LeftButton);
        QVERIFY(Form().Settings().DicomFileName.empty());
        QVERIFY(Form().CurrentImage() != nullptr);
        QVERIFY(PagesEnabled());
        QCOMPARE(C<QPlainTextEdit>("MemoDicomtags")->toPlainText(), secondMemo);
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Select a Dicomfile first")});

        // Failure: the reader's message in the error box, no image, pages
        // disabled, memo, fields and path kept; Calculate refuses to start.
        const auto brokenPath = *folder_ / "broken.dcm";
        WriteWholeFile(brokenPath, std::string(200, 'x'));
        std::string readerMessage;
        try {
            TDicomBeeld probe(DirectoryPart(brokenPath.string()), FileNamePart(brokenPath.string()));
        } catch (const EvenorError& error) {
            readerMessage = error.what();
        }
        QVERIFY(!readerMessage.empty());
        Open(brokenPath);
        QCOMPARE(TakeBoxes(), QStringList{Error(ErrorBoxText(QString::fromStdString(readerMessage)))});
        QVERIFY(Form().CurrentImage() == nullptr);
        QVERIFY(!PagesEnabled());
        QCOMPARE(C<QPlainTextEdit>("MemoDicomtags")->toPlainText(), secondMemo);
        QCOMPARE(Edit("EditRechts")->text(), QStringLiteral("2"));
        QCOMPARE(QString::fromStdString(Form().Settings().DicomFileName), Q(brokenPath));
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Select a Dicomfile first")});
    }

    void cancelFirstOpenEnablesPages()
    {
        EnablePagesWithoutImage();
        QVERIFY(PagesEnabled());
        QVERIFY(Form().CurrentImage() == nullptr);
        QVERIFY(C<QPlainTextEdit>("MemoDicomtags")->toPlainText().isEmpty());
        ChooseOutput(Q(*folder_ / "report.txt"));
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Select a Dicomfile first")});
    }

    void outputFileFlow()
    {
        const QString chosen = Q(*folder_ / "no extension");
        ChooseOutput(chosen);
        QCOMPARE(QString::fromStdString(Form().Settings().OutputFileName), chosen);
        QVERIFY(!QFile::exists(chosen));
        ChooseOutput(std::nullopt);
        QVERIFY(Form().Settings().OutputFileName.empty());
        Open(WriteImage("image.dcm", FlatImage(4, 4, 100)));
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Select a export file first")});
    }

    // An output file that is the opened image, under any name, is refused
    // when it is chosen (the choice is forgotten) or, when it only becomes
    // the image afterwards, at Calculate; the image's bytes stay as they were.
    void outputFileIsImage_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("refusedAt");  // "choice", "calculate" or "" (not refused)
        QTest::newRow("same path") << "same"
                                   << "choice";
        QTest::newRow("through another path") << "dotdot"
                                              << "choice";
        QTest::newRow("symbolic link") << "symlink"
                                       << "choice";
        QTest::newRow("hard link") << "hardlink"
                                   << "choice";
        QTest::newRow("symbolic link made after the choice") << "symlink later"
                                                             << "calculate";
        QTest::newRow("hard link made after the choice") << "hardlink later"
                                                         << "calculate";
        QTest::newRow("copy of the image") << "copy"
                                           << "";
    }

    void outputFileIsImage()
    {
        QFETCH(QString, how);
        QFETCH(QString, refusedAt);
        namespace fs = std::filesystem;
        const fs::path image = WriteImage("image.dcm", FlatImage(40, 40, 100));
        const std::string bytes = ReadWholeFile(image);
        fs::create_directory(*folder_ / "sub");
        Open(image);
        TakeBoxes();

        fs::path output = *folder_ / "output.dcm";
        const bool later = how.endsWith(QLatin1String(" later"));
        const QString kind = later ? how.chopped(6) : how;
        const auto link = [&] {
            if (kind == QLatin1String("symlink")) fs::create_symlink(image, output);
            if (kind == QLatin1String("hardlink")) fs::create_hard_link(image, output);
        };
        if (how == QLatin1String("same")) output = image;
        if (how == QLatin1String("dotdot")) output = *folder_ / "sub" / ".." / "image.dcm";
        if (how == QLatin1String("copy")) fs::copy_file(image, output);
        if (!later) link();

        ChooseOutput(Q(output));
        const QString refusal = Plain(QString::fromUtf8(kOutputIsImage));
        if (refusedAt == QLatin1String("choice")) {
            QCOMPARE(TakeBoxes(), QStringList{refusal});
            QVERIFY(Form().Settings().OutputFileName.empty());
            Calculate();
            QCOMPARE(TakeBoxes(), QStringList{Plain("Select a export file first")});
        } else {
            QCOMPARE(TakeBoxes(), QStringList());
            QCOMPARE(QString::fromStdString(Form().Settings().OutputFileName), Q(output));
            if (later) link();
            Calculate();
            QCOMPARE(TakeBoxes(), QStringList{refusedAt.isEmpty() ? Plain("Results written to Output File") : refusal});
        }
        QVERIFY(ReadWholeFile(image) == bytes);
        // The image still opens and analyses.
        Open(image);
        ChooseOutput(Q(*folder_ / "report.txt"));
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Results written to Output File")});
    }

    void proposedReportPath_data()
    {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("report");
        QTest::newRow("extension") << "/data/qa/flat.dcm"
                                   << ""
                                   << "/data/qa/flat-uniformity.txt";
        QTest::newRow("only the last extension") << "/data/flat.field.dcm"
                                                 << ""
                                                 << "/data/flat.field-uniformity.txt";
        QTest::newRow("no extension") << "/data/IM0001"
                                      << ""
                                      << "/data/IM0001-uniformity.txt";
        QTest::newRow("output folder") << "/data/qa/flat.dcm"
                                       << "/reports"
                                       << "/reports/flat-uniformity.txt";
    }

    void proposedReportPath()
    {
        QFETCH(QString, image);
        QFETCH(QString, folder);
        QFETCH(QString, report);
        QCOMPARE(ProposedReportPath(image, folder), report);
    }

    // The dialogs start in the folders used last, also after a restart; the
    // output dialog proposes a report named after the current image, in the
    // folder of the last report, else next to the image.
    void rememberedFolders()
    {
        namespace fs = std::filesystem;
        fs::create_directory(*folder_ / "images");
        fs::create_directory(*folder_ / "reports");
        const fs::path image = *folder_ / "images" / "flat.dcm";
        WriteDicomFile(image, FlatImage(20, 20, 100));
        ChooseOutput(std::nullopt);
        QCOMPARE(Dialogs::LastFileDialogStart(), QString());  // nothing used yet
        Open(image);
        QCOMPARE(Dialogs::LastFileDialogStart(), QString());
        ChooseOutput(Q(*folder_ / "reports" / "report.txt"));
        QCOMPARE(Dialogs::LastFileDialogStart(), Q(*folder_ / "images" / "flat-uniformity.txt"));
        ChooseOutput(std::nullopt);
        QCOMPARE(Dialogs::LastFileDialogStart(), Q(*folder_ / "reports" / "flat-uniformity.txt"));

        StartWindows();
        Dialogs::SetNextFileAnswer(std::nullopt);
        QTest::mouseClick(C<QPushButton>("ButtonOpen"), Qt::LeftButton);
        QCOMPARE(Dialogs::LastFileDialogStart(), Q(*folder_ / "images"));
        ChooseOutput(std::nullopt);  // no image yet: the folder of the last report
        QCOMPARE(Dialogs::LastFileDialogStart(), Q(*folder_ / "reports"));
        Open(image);
        ChooseOutput(std::nullopt);
        QCOMPARE(Dialogs::LastFileDialogStart(), Q(*folder_ / "reports" / "flat-uniformity.txt"));
        // The folder of the last report has gone: next to the image again.
        fs::remove_all(*folder_ / "reports");
        ChooseOutput(std::nullopt);
        QCOMPARE(Dialogs::LastFileDialogStart(), Q(*folder_ / "images" / "flat-uniformity.txt"));
        QCOMPARE(TakeBoxes(), QStringList());
    }

    // Dropping one existing file anywhere on the window opens it as the open
    // dialog would; other drags are refused.
    void dropOpensImage_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QPoint>("where");
        QTest::addColumn<bool>("opened");
        const QPoint edit(16 + 8 + 40 + 10, 23 + 8 + 30 + 16 + 10);  // over EditBoven, below the tab bar
        QTest::newRow("on a field") << "image" << edit << true;
        QTest::newRow("on the page") << "image" << QPoint(200, 320) << true;
        QTest::newRow("on a button") << "image" << QPoint(470, 245) << true;
        QTest::newRow("two files") << "two" << edit << false;
        QTest::newRow("a folder") << "folder" << edit << false;
        QTest::newRow("remote file") << "remote" << edit << false;
        QTest::newRow("text") << "text" << edit << false;
    }

    void dropOpensImage()
    {
        QFETCH(QString, what);
        QFETCH(QPoint, where);
        QFETCH(bool, opened);
        // With an image open, so that the page's fields are enabled.
        const auto first = WriteImage("first.dcm", FlatImage(10, 10, 100));
        Open(first);
        const auto image = WriteImage("dropped.dcm", FlatImage(10, 12, 100));
        QMimeData data;
        const QUrl url = QUrl::fromLocalFile(Q(image));
        // File managers offer the file's address as text too, which a field
        // would take as typed text.
        if (what == QLatin1String("image")) {
            data.setUrls({url});
            data.setText(url.toString());
        }
        if (what == QLatin1String("two")) data.setUrls({url, url});
        if (what == QLatin1String("folder")) data.setUrls({QUrl::fromLocalFile(Q(folder_->Path()))});
        if (what == QLatin1String("remote")) data.setUrls({QUrl("https://example.org/dropped.dcm")});
        if (what == QLatin1String("text")) data.setText(Q(image));
        QCOMPARE(DragAndDrop(data, where), opened);
        if (opened) QTRY_COMPARE(Edit("EditRechts")->text(), QStringLiteral("11"));
        QTest::qWait(20);
        QCOMPARE(QString::fromStdString(Form().Settings().DicomFileName), Q(opened ? image : first));
        QCOMPARE(Edit("EditRechts")->text(), opened ? QStringLiteral("11") : QStringLiteral("9"));
        QCOMPARE(Edit("EditBoven")->text(), QStringLiteral("0"));
        QVERIFY(PagesEnabled());
        QCOMPARE(TakeBoxes(), QStringList());
    }

    // "evenor FILE" (a desktop's "Open with") opens the image as a drop
    // would, once the window runs.
    void commandLineFileOpens()
    {
        const auto image = WriteImage("given.dcm", FlatImage(10, 14, 100));
        Form().OpenFromCommandLine(Q(image));
        QTRY_COMPARE(QString::fromStdString(Form().Settings().DicomFileName), Q(image));
        QCOMPARE(Edit("EditRechts")->text(), QStringLiteral("13"));
        QCOMPARE(TakeBoxes(), QStringList());
    }

    // The images opened last, newest first, a few of them, kept across
    // starts; choosing one opens it; a file gone since is not offered.
    void recentFiles()
    {
        QVERIFY(!C<QPushButton>("ButtonRecent")->isEnabled());
        std::vector<QString> paths;
        for (int i = 0; i < Preferences::MaxRecentFiles + 1; ++i) {
            paths.push_back(Q(WriteImage("image" + std::to_string(i) + ".dcm", FlatImage(10, 10 + i, 100))));
            Open(paths.back().toStdString());
        }
        // A failed open is not listed.
        const auto broken = *folder_ / "broken.dcm";
        WriteWholeFile(broken, std::string(200, 'x'));
        Open(broken);
        TakeBoxes();

        StartWindows();
        QVERIFY(C<QPushButton>("ButtonRecent")->isEnabled());
        QStringList expected;
        for (int i = Preferences::MaxRecentFiles; i >= 1; --i) expected << paths[std::size_t(i)];
        QCOMPARE(RecentEntries(), expected);

        QMenu* menu = C<QPushButton>("ButtonRecent")->menu();
        menu->actions()[2]->trigger();
        QTRY_VERIFY(Form().CurrentImage() != nullptr);
        QCOMPARE(QString::fromStdString(Form().Settings().DicomFileName), expected[2]);
        QCOMPARE(RecentEntries().front(), expected[2]);
        QCOMPARE(TakeBoxes(), QStringList());

        QFile::remove(expected[0]);
        emit menu->aboutToShow();
        QVERIFY(!menu->actions()[1]->isEnabled());
        QVERIFY(menu->actions()[0]->isEnabled());
    }

    // A recent file opens as the open dialog opens it: its folder becomes the
    // open dialog's; one that no longer opens is taken off the list.
    void recentFileOpensAsOpen()
    {
        namespace fs = std::filesystem;
        fs::create_directory(*folder_ / "a");
        fs::create_directory(*folder_ / "b");
        const fs::path one = *folder_ / "a" / "one.dcm";
        const fs::path two = *folder_ / "b" / "two.dcm";
        WriteDicomFile(one, FlatImage(10, 10, 100));
        WriteDicomFile(two, FlatImage(10, 12, 100));
        Open(one);
        Open(two);
        QCOMPARE(RecentEntries(), (QStringList{Q(two), Q(one)}));
        QMenu* menu = C<QPushButton>("ButtonRecent")->menu();

        menu->actions()[1]->trigger();
        QTRY_COMPARE(QString::fromStdString(Form().Settings().DicomFileName), Q(one));
        QCOMPARE(RecentEntries(), (QStringList{Q(one), Q(two)}));
        QCOMPARE(Preferences::OpenFolder(), Q(*folder_ / "a"));
        QCOMPARE(TakeBoxes(), QStringList());

        WriteWholeFile(two, std::string(200, 'x'));
        menu->actions()[1]->trigger();
        QTRY_COMPARE(QString::fromStdString(Form().Settings().DicomFileName), Q(two));
        const QStringList boxes = TakeBoxes();
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith("error|Evenor|"), qPrintable(boxes[0]));
        QVERIFY(Form().CurrentImage() == nullptr);
        QCOMPARE(RecentEntries(), QStringList{Q(one)});
        QCOMPARE(Preferences::OpenFolder(), Q(*folder_ / "a"));
        StartWindows();
        QCOMPARE(RecentEntries(), QStringList{Q(one)});
    }

    // A drop or a recent file while Calculate runs: the notice's and the
    // boxes' event loops deliver drops and timers. Nothing opens during the
    // run, which ends on the image it began with; an open asked for just
    // before the run began takes place after it.
    void noOpenDuringRun_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("beforeRun");
        QTest::newRow("drop during the run") << "drop" << false;
        QTest::newRow("recent file during the run") << "recent" << false;
        QTest::newRow("drop just before the run") << "drop" << true;
        QTest::newRow("recent file just before the run") << "recent" << true;
    }

    void noOpenDuringRun()
    {
        QFETCH(QString, how);
        QFETCH(bool, beforeRun);
        const auto other = WriteImage("other.dcm", FlatImage(30, 30, 100));
        Open(other);
        const auto first = WriteImage("first.dcm", FlatImage(40, 50, 100));
        Open(first);
        const QString report = Q(*folder_ / "report.txt");
        ChooseOutput(report);
        const TDicomBeeld* image = Form().CurrentImage();
        QVERIFY(image != nullptr);

        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(Q(other))});
        QAction* recent = C<QPushButton>("ButtonRecent")->menu()->actions()[1];
        QCOMPARE(recent->data().toString(), Q(other));
        // Asks for the other image; whether a drop was taken.
        const auto askForOther = [&] {
            if (how == QLatin1String("recent")) {
                recent->trigger();
                return true;
            }
            return DragAndDrop(data, QPoint(200, 320));
        };

        struct NoticeSpy : QObject {
            std::function<void()> onShow;
            std::function<void()> onHide;
            bool eventFilter(QObject*, QEvent* event) override
            {
                if (event->type() == QEvent::Show && onShow) onShow();
                if (event->type() == QEvent::Hide && onHide) onHide();
                return false;
            }
        } spy;
        bool calculatingAtShow = false;
        bool dropTakenInRun = false;
        const TDicomBeeld* imageAtHide = nullptr;
        std::string fileAtHide;
        spy.onShow = [&] {
            calculatingAtShow = Form().Calculating();
            if (!beforeRun) dropTakenInRun = askForOther();
            // Let any timer the drop or the menu started run now.
            QTest::qWait(30);
        };
        spy.onHide = [&] {
            imageAtHide = Form().CurrentImage();
            fileAtHide = Form().Settings().DicomFileName;
        };
        windows_->FormCalculate.installEventFilter(&spy);

        if (beforeRun) QVERIFY(askForOther());
        // Directly, so that no event is handled between the two.
        Form().ButtonCalculateClick();
        windows_->FormCalculate.removeEventFilter(&spy);

        QVERIFY(calculatingAtShow);
        QVERIFY(!Form().Calculating());
        if (how == QLatin1String("drop")) QVERIFY(!dropTakenInRun);
        QVERIFY(imageAtHide == image);
        QCOMPARE(QString::fromStdString(fileAtHide), Q(first));
        QCOMPARE(TakeBoxes(), QStringList{Plain("Results written to Output File")});
        const auto& results = C<TResultsPage>("Results")->Results();
        QVERIFY(results.has_value());
        QCOMPARE(results->FileName, QStringLiteral("first.dcm"));
        QCOMPARE(results->Settings.LastColumn, 49u);
        QVERIFY(QFile::exists(report));

        if (beforeRun) {
            QTRY_COMPARE(QString::fromStdString(Form().Settings().DicomFileName), Q(other));
            QCOMPARE(Edit("EditRechts")->text(), QStringLiteral("29"));
        } else {
            QTest::qWait(30);
            QVERIFY(Form().CurrentImage() == image);
            QCOMPARE(QString::fromStdString(Form().Settings().DicomFileName), Q(first));
        }
        QCOMPARE(TakeBoxes(), QStringList());
    }

    // NUL characters padding values are not drawn: the tag list keeps them,
    // its memo and the boxes show the text without them.
    void nulPaddingNotShown()
    {
        const auto image = WriteImage("image.dcm", FlatImage(10, 10, 100));
        Open(image);
        QStringList lines;
        for (const std::string& line : Form().CurrentImage()->TagList())
            lines << QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
        const QString tags = lines.join('\n');
        QVERIFY(tags.contains(QStringLiteral("1.2.840.10008.1.2.1") + QChar(0)));  // the transfer syntax's padding
        QCOMPARE(C<QPlainTextEdit>("MemoDicomtags")->toPlainText(), QString(tags).remove(QChar(0)));

        // RLE Lossless, one character shorter than a padded explicit little
        // endian UID: the reader's message ends in the NUL.
        std::string bytes = ReadWholeFile(image);
        const std::string explicitLittle("1.2.840.10008.1.2.1\0", 20);
        bytes.replace(bytes.find(explicitLittle), explicitLittle.size(), std::string("1.2.840.10008.1.2.5\0", 20));
        const auto compressed = *folder_ / "rle.dcm";
        WriteWholeFile(compressed, bytes);
        Dialogs::SetMessagesAnswered(false);
        BoxAnswerer answerer;
        Open(compressed);
        const QString message =
            QStringLiteral("Cannot open compressed DICOM images. Transfer Syntax UID = 1.2.840.10008.1.2.5");
        QCOMPARE(TakeBoxes(), QStringList{Error(message + QChar(0))});  // as the reader said it
        QCOMPARE(answerer.Answered.size(), std::size_t{1});
        QCOMPARE(answerer.Answered[0].Text, message);
    }

    // Below the reference size the controls would overlap; the window does
    // not get smaller.
    void minimumSize()
    {
        Form().resize(300, 200);
        QCOMPARE(Form().size(), QSize(537, 385));
        const char* controls[] = {"EvenorControl", "ButtonCalculate", "ButtonRecent",      "ButtonOpen",
                                  "ButtonExport",  "ButtonAbout",     "ButtonPreferences", "StatusBar"};
        for (const char* first : controls)
            for (const char* second : controls)
                if (first != second)
                    QVERIFY2(!C<QWidget>(first)->geometry().intersects(C<QWidget>(second)->geometry()),
                             qPrintable(QStringLiteral("%1 overlaps %2").arg(first, second)));
        QWidget* page = C<QWidget>("Settings");
        for (auto* group : page->findChildren<QGroupBox*>())
            QVERIFY2(page->rect().contains(group->geometry()), qPrintable(group->objectName()));
    }

    void errorBoxText_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << "Disk full"
                                << "Disk full.";
        QTest::newRow("full stop") << "Read error."
                                   << "Read error.";
        QTest::newRow("exclamation sorts before") << "Oops!"
                                                  << "Oops!";
        QTest::newRow("parenthesis sorts before") << "code (5)"
                                                  << "code (5)";
        QTest::newRow("slash sorts after") << "Cannot open file /tmp/"
                                           << "Cannot open file /tmp/.";
        QTest::newRow("digit sorts after") << "error 5"
                                           << "error 5.";
        QTest::newRow("empty") << ""
                               << "";
    }

    void errorBoxText()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(ErrorBoxText(message), shown);
    }

    // Typed text, the way the field is left (Tab), and what follows.
    void exitChecks_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message");
        QTest::newRow("first row, leading blank") << "EditBoven"
                                                  << " 12"
                                                  << "";
        QTest::newRow("first row, trailing blank") << "EditBoven"
                                                   << "12 " << IntegerExpected;
        QTest::newRow("first column, hex") << "EditLinks"
                                           << "$1F"
                                           << "";
        QTest::newRow("first column, negative") << "EditLinks"
                                                << "-3" << IntegerExpected;
        QTest::newRow("last column, beyond int32") << "EditRechts"
                                                   << "2147483648" << IntegerExpected;
        QTest::newRow("last row, real") << "EditOnder"
                                        << "1.0" << IntegerExpected;
        QTest::newRow("last row, empty") << "EditOnder"
                                         << "" << IntegerExpected;
        QTest::newRow("box, exponent") << "EditDim"
                                       << "1e2"
                                       << "";
        QTest::newRow("box, comma") << "EditDim"
                                    << "1,5" << NumberExpected;
        QTest::newRow("roi dev, negative") << "EditROIDev"
                                           << "-2.5"
                                           << "";
        QTest::newRow("roi dev, word") << "EditROIDev"
                                       << "five" << NumberExpected;
        QTest::newRow("pixel dev, empty") << "EditDevPerc"
                                          << "" << NumberExpected;
        QTest::newRow("offset, largest") << "EditPixelOffset"
                                         << "65535"
                                         << "";
        QTest::newRow("offset, above 16 bits") << "EditPixelOffset"
                                               << "65536" << OffsetExpected;
        QTest::newRow("offset, negative") << "EditPixelOffset"
                                          << "-1" << OffsetExpected;
    }

    void exitChecks()
    {
        QFETCH(QString, field);
        QFETCH(QString, typed);
        QFETCH(QString, message);
        EnablePagesWithoutImage();
        for (const char* name : {"EditBoven", "EditLinks", "EditRechts", "EditOnder"}) Edit(name)->setText("0");
        Form().Settings().PixelOffset = 7;

        QLineEdit* edit = Edit(field.toLatin1().constData());
        Type(edit, typed);
        QCOMPARE(TakeBoxes(), QStringList());  // typing alone checks nothing
        QTest::keyClick(edit, Qt::Key_Tab);
        if (message.isEmpty()) {
            QCOMPARE(TakeBoxes(), QStringList());
            QCOMPARE(edit->text(), typed);  // kept exactly as typed
            QVERIFY(QApplication::focusWidget() != edit);
        } else {
            QCOMPARE(TakeBoxes(), QStringList{Plain(message)});
            QCOMPARE(edit->text(), QString());
            QCOMPARE(QApplication::focusWidget(), edit);
        }
        const std::uint16_t offset =
            field == QLatin1String("EditPixelOffset") && message.isEmpty() ? typed.toUShort() : 7;
        QCOMPARE(Form().Settings().PixelOffset, offset);
    }

    // Losing the window's activation is no leaving of the field; moving to a
    // control of the window is, and an emptied field repeats its message.
    void exitCheckOnlyWhenFocusMovesInsideWindow()
    {
        EnablePagesWithoutImage();
        QLineEdit* dim = Edit("EditDim");
        Type(dim, "abc");

        QWidget other;
        other.setObjectName("OtherWindow");
        other.resize(100, 100);
        other.show();
        other.activateWindow();
        QApplication::setActiveWindow(&other);
        QVERIFY(QTest::qWaitForWindowActive(&other));
        Form().activateWindow();
        QApplication::setActiveWindow(&Form());
        QVERIFY(QTest::qWaitForWindowActive(&Form()));
        QCOMPARE(QApplication::focusWidget(), dim);
        QCOMPARE(TakeBoxes(), QStringList());
        QCOMPARE(dim->text(), QStringLiteral("abc"));

        QTest::keyClick(dim, Qt::Key_Tab);
        QCOMPARE(TakeBoxes(), QStringList{Plain(NumberExpected)});
        QTest::keyClick(dim, Qt::Key_Tab);
        QCOMPARE(TakeBoxes(), QStringList{Plain(NumberExpected)});
        QCOMPARE(QApplication::focusWidget(), dim);
        QTest::keyClicks(dim, "2.5");
        QTest::keyClick(dim, Qt::Key_Tab);
        QCOMPARE(TakeBoxes(), QStringList());
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("EditPixelOffset"));
    }

    // Leaving a refused field for another field that would be refused too
    // shows one message, not a chain: the other field never had the focus.
    void refusedFieldDoesNotCheckTheNextOne()
    {
        EnablePagesWithoutImage();  // the area fields are empty
        QLineEdit* boven = Edit("EditBoven");
        Type(boven, "x");
        QTest::mouseClick(Edit("EditOnder"), Qt::LeftButton);
        QCOMPARE(TakeBoxes(), QStringList{Plain(IntegerExpected)});
        QCOMPARE(QApplication::focusWidget(), boven);
    }

    // The same with the real message box: clicking its OK button.
    void realMessageBox()
    {
        EnablePagesWithoutImage();
        Dialogs::SetMessagesAnswered(false);
        QLineEdit* boven = Edit("EditBoven");
        Type(boven, "x");
        BoxAnswerer answerer;
        QTest::keyClick(boven, Qt::Key_Tab);  // to EditLinks, empty as well
        QCOMPARE(answerer.Answered.size(), std::size_t{1});
        const AnsweredBox& answered = answerer.Answered.front();
        QCOMPARE(answered.Caption, QStringLiteral("Evenor"));
        QCOMPARE(answered.Text, IntegerExpected);
        QCOMPARE(answered.Icon, QMessageBox::NoIcon);
        QCOMPARE(answered.ButtonCount, 1);
        QCOMPARE(boven->text(), QString());
        // The field has the focus once the window is active again, and the
        // field it was leaving for is not checked then either.
        QTRY_COMPARE(Form().focusWidget(), boven);
        QApplication::setActiveWindow(&Form());
        QTRY_COMPARE(QApplication::focusWidget(), boven);
        QTest::qWait(50);
        QCOMPARE(TakeBoxes(), QStringList{Plain(IntegerExpected)});
        QCOMPARE(answerer.Answered.size(), std::size_t{1});
    }

    // The three kinds of box as they are really shown.
    void realBoxKinds()
    {
        Dialogs::SetMessagesAnswered(false);
        BoxAnswerer answerer;
        Dialogs::Message(&Form(), "Area not correct");
        Dialogs::Warning(&Form(), W2);
        Dialogs::Error(&Form(), "Disk full");
        QCOMPARE(answerer.Answered.size(), std::size_t{3});
        const struct {
            const char* caption;
            QString text;
            QMessageBox::Icon icon;
        } expected[] = {{"Evenor", "Area not correct", QMessageBox::NoIcon},
                        {"Warning", W2, QMessageBox::Warning},
                        {"Evenor", "Disk full.", QMessageBox::Critical}};
        for (std::size_t i = 0; i < std::size(expected); ++i) {
            QCOMPARE(answerer.Answered[i].Caption, QString::fromLatin1(expected[i].caption));
            QCOMPARE(answerer.Answered[i].Text, expected[i].text);
            QCOMPARE(answerer.Answered[i].Icon, expected[i].icon);
            QCOMPARE(answerer.Answered[i].ButtonCount, 1);
        }
    }

    // A click on a button that takes the focus from a refused field shows the
    // field's message and does nothing else.
    void clickAfterRefusedFieldIsDropped()
    {
        Open(WriteImage("image.dcm", FlatImage(40, 40, 100)));
        ChooseOutput(Q(*folder_ / "report.txt"));
        QLineEdit* dim = Edit("EditDim");
        Type(dim, "1,5");
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain(NumberExpected)});
        QCOMPARE(QApplication::focusWidget(), dim);
        QCOMPARE(dim->text(), QString());
        QVERIFY(!QFile::exists(Q(*folder_ / "report.txt")));

        // Once the field is valid the button works.
        QTest::keyClicks(dim, "1");
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Results written to Output File")});
    }

    // A page switch that takes the focus from a refused field brings the
    // Settings page back with the focus in the field.
    void pageSwitchFromRefusedField()
    {
        EnablePagesWithoutImage();
        QLineEdit* dim = Edit("EditDim");
        Type(dim, "abc");
        auto* pages = C<QTabWidget>("EvenorControl");
        pages->setCurrentWidget(C<QWidget>("DICOMTags"));
        QCOMPARE(TakeBoxes(), QStringList{Plain(NumberExpected)});
        QTRY_COMPARE(pages->currentWidget(), C<QWidget>("Settings"));
        QTRY_COMPARE(QApplication::focusWidget(), dim);
        QCOMPARE(TakeBoxes(), QStringList());
    }

    void checkBoxDev()
    {
        EnablePagesWithoutImage();
        auto* box = C<QCheckBox>("CheckBoxDev");
        QLineEdit* percent = Edit("EditDevPerc");
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(!box->isChecked());
        QVERIFY(!percent->isEnabled());
        QCOMPARE(percent->text(), QStringLiteral("20"));
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(percent->isEnabled());
        QCOMPARE(percent->text(), QStringLiteral("20"));
    }

    // Pixel Intensity Relationship and its Sign: check boxes and warnings.
    // Both boxes are ticked before the open, so "unchanged" reads true.
    void defaultsFromTags_data()
    {
        QTest::addColumn<QString>("relationship");  // "<none>": no element
        QTest::addColumn<int>("sign");              // 99: no element
        QTest::addColumn<QStringList>("warnings");
        QTest::addColumn<bool>("logarithmic");
        QTest::addColumn<bool>("inverted");
        QTest::newRow("LOG, 1") << "LOG" << 1 << QStringList{W1} << true << false;
        QTest::newRow("lin, -1") << "lin" << -1 << QStringList{} << false << true;
        QTest::newRow("LINEAR, -10") << "LINEAR" << -10 << QStringList{} << false << true;
        QTest::newRow("XYZ, 10") << "XYZ" << 10 << QStringList{W1} << true << false;
        QTest::newRow("LIN, 0") << "LIN" << 0 << QStringList{W3} << false << true;
        QTest::newRow("XYZ, 0") << "XYZ" << 0 << QStringList{W1, W3} << true << true;
        QTest::newRow("neither") << "<none>" << 99 << QStringList{W2, W4} << true << true;
    }

    void defaultsFromTags()
    {
        QFETCH(QString, relationship);
        QFETCH(int, sign);
        QFETCH(QStringList, warnings);
        QFETCH(bool, logarithmic);
        QFETCH(bool, inverted);
        TestImage image = FlatImage(10, 20, 100);
        image.IntensityRelationship.reset();
        if (relationship != QLatin1String("<none>")) image.IntensityRelationship = relationship.toStdString();
        image.IntensitySign.reset();
        if (sign != 99) image.IntensitySign = static_cast<std::int16_t>(sign);
        C<QCheckBox>("Logaritm")->setChecked(true);
        C<QCheckBox>("Inverse")->setChecked(true);

        Open(WriteImage("tags.dcm", image));
        QStringList expected;
        for (const QString& w : warnings) expected << Warning(w);
        QCOMPARE(TakeBoxes(), expected);
        QCOMPARE(C<QCheckBox>("Logaritm")->isChecked(), logarithmic);
        QCOMPARE(C<QCheckBox>("Inverse")->isChecked(), inverted);
        QVERIFY(C<QCheckBox>("Logaritm")->isHidden());
        QCOMPARE(Edit("EditRechts")->text(), QStringLiteral("19"));
        QCOMPARE(Edit("EditOnder")->text(), QStringLiteral("9"));
    }

    // Opening another image, however it is opened, forgets the output file
    // chosen for the one before: its report is not overwritten with the new
    // image's numbers. The title names the open image, the status line the
    // output file, and the output dialog proposes the new image's report.
    void openForgetsOutputFile_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("open dialog") << "dialog";
        QTest::newRow("drop") << "drop";
        QTest::newRow("recent file") << "recent";
        QTest::newRow("image that fails to open") << "broken";
    }

    void openForgetsOutputFile()
    {
        QFETCH(QString, how);
        const auto first = WriteImage("A.dcm", FlatImage(40, 50, 100));
        const auto second = WriteImage("B.dcm", FlatImage(40, 50, 900));
        if (how == QLatin1String("broken")) WriteWholeFile(second, std::string(200, 'x'));
        if (how == QLatin1String("recent")) {
            Open(second);
            TakeBoxes();
        }
        Open(first);
        QCOMPARE(Form().windowTitle(), QStringLiteral("A.dcm - Evenor"));
        const QString report = Q(*folder_ / "A-uniformity.txt");
        ChooseOutput(report);
        QCOMPARE(Dialogs::LastFileDialogStart(), report);
        QCOMPARE(Form().StatusText(), QStringLiteral("Output file: ") + report);
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Results written to Output File")});
        const std::string reportOfA = ReadWholeFile(report.toStdString());

        if (how == QLatin1String("dialog") || how == QLatin1String("broken")) Open(second);
        if (how == QLatin1String("drop")) {
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(Q(second))});
            QVERIFY(DragAndDrop(data, QPoint(200, 320)));
        }
        if (how == QLatin1String("recent")) C<QPushButton>("ButtonRecent")->menu()->actions()[1]->trigger();
        QTRY_COMPARE(QString::fromStdString(Form().Settings().DicomFileName), Q(second));
        TakeBoxes();  // the error box of the broken image
        QVERIFY(Form().Settings().OutputFileName.empty());
        QCOMPARE(Form().StatusText(), QStringLiteral("Output file: none chosen"));
        QCOMPARE(Form().windowTitle(),
                 how == QLatin1String("broken") ? QStringLiteral("Evenor") : QStringLiteral("B.dcm - Evenor"));
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain(how == QLatin1String("broken") ? "Select a Dicomfile first"
                                                                               : "Select a export file first")});
        QVERIFY(ReadWholeFile(report.toStdString()) == reportOfA);
        // The report proposed is the new image's; without one, its folder.
        ChooseOutput(std::nullopt);
        QCOMPARE(Dialogs::LastFileDialogStart(),
                 how == QLatin1String("broken") ? Q(folder_->Path()) : Q(*folder_ / "B-uniformity.txt"));
    }

    // A file manager deletes a dragged file whose drop is taken as a move:
    // the window takes a drop as a copy whatever the source proposes, and
    // refuses a source that offers no copy.
    void dropTakenAsCopy_data()
    {
        QTest::addColumn<int>("offered");
        QTest::addColumn<bool>("taken");
        QTest::newRow("copy") << int(Qt::CopyAction) << true;
        QTest::newRow("copy or move, move proposed") << int(Qt::CopyAction | Qt::MoveAction) << true;
        QTest::newRow("copy, move or link") << int(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction) << true;
        QTest::newRow("move only") << int(Qt::MoveAction) << false;
    }

    void dropTakenAsCopy()
    {
        QFETCH(int, offered);
        QFETCH(bool, taken);
        const auto image = WriteImage("dropped.dcm", FlatImage(10, 12, 100));
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(Q(image))});
        Qt::DropAction action = Qt::IgnoreAction;
        QCOMPARE(DragAndDrop(data, QPoint(200, 320), Qt::DropActions(offered), &action), taken);
        if (taken) {
            QCOMPARE(action, Qt::CopyAction);
            QTRY_COMPARE(QString::fromStdString(Form().Settings().DicomFileName), Q(image));
        } else {
            QTest::qWait(20);
            QVERIFY(Form().CurrentImage() == nullptr);
        }
        QVERIFY(std::filesystem::exists(image));
    }

    // Enter on the focused Calculate button starts it; Ctrl+O opens an image.
    void keyboard_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("box");  // the box it leads to, "" when none
        QTest::newRow("Enter on Calculate") << int(Qt::Key_Enter) << int(Qt::NoModifier) << "Select a Dicomfile first";
        QTest::newRow("Return on Calculate")
            << int(Qt::Key_Return) << int(Qt::NoModifier) << "Select a Dicomfile first";
        QTest::newRow("Ctrl+O") << int(Qt::Key_O) << int(Qt::ControlModifier) << "";
    }

    void keyboard()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, box);
        const auto image = WriteImage("keyed.dcm", FlatImage(10, 12, 100));
        Dialogs::SetNextFileAnswer(Q(image));
        auto* calculate = C<QPushButton>("ButtonCalculate");
        calculate->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(calculate->hasFocus());
        QTest::keyClick(calculate, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        if (box.isEmpty()) {
            QCOMPARE(QString::fromStdString(Form().Settings().DicomFileName), Q(image));
            QCOMPARE(TakeBoxes(), QStringList());
        } else {
            QVERIFY(Form().CurrentImage() == nullptr);
            QCOMPARE(TakeBoxes(), QStringList{Plain(box)});
        }
    }

    // The run's messages in order, with the notice around the work.
    void calculateMessages()
    {
        QStringList log;
        struct NoticeSpy : QObject {
            QStringList* log;
            bool eventFilter(QObject*, QEvent* event) override
            {
                if (event->type() == QEvent::Show || event->type() == QEvent::Hide) {
                    *log << TakeBoxes();
                    *log << (event->type() == QEvent::Show ? "notice shown" : "notice hidden");
                }
                return false;
            }
        } spy;
        spy.log = &log;
        windows_->FormCalculate.installEventFilter(&spy);

        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Select a Dicomfile first")});

        Open(WriteImage("image.dcm", FlatImage(40, 50, 100)));
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Select a export file first")});

        const QString report = Q(*folder_ / "report.txt");
        ChooseOutput(report);
        Edit("EditLinks")->setText("30");
        Edit("EditRechts")->setText("20");
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Area not correct")});
        QCOMPARE(Form().Settings().FirstColumn, 30u);  // stored despite the refusal
        QCOMPARE(Form().Settings().LastColumn, 20u);
        QVERIFY(log.isEmpty());

        Edit("EditLinks")->setText("0");
        Edit("EditRechts")->setText("49");
        Calculate();
        log << TakeBoxes();
        QCOMPARE(log, (QStringList{"notice shown", "notice hidden", Plain("Results written to Output File")}));
        QVERIFY(QFile::exists(report));
        QVERIFY(!windows_->FormCalculate.isVisible());
    }

    // A report that cannot be written ends in the error box; the program
    // goes on and the next run works.
    void calculateErrorGoesToErrorBox()
    {
        Open(WriteImage("image.dcm", FlatImage(40, 50, 100)));
        ChooseOutput(Q(*folder_ / "missing folder" / "report.txt"));
        Calculate();
        const QStringList boxes = TakeBoxes();
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith("error|Evenor|"), qPrintable(boxes[0]));
        QVERIFY(!windows_->FormCalculate.isVisible());

        ChooseOutput(Q(*folder_ / "report.txt"));
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Results written to Output File")});
    }

    // The sample image analysed by the window and by evenor-cli with the same
    // settings gives the same report, byte for byte.
    void reportEqualsCommandLine()
    {
        const QString sample = QStringLiteral(EVENOR_SAMPLE_PATH);
        QVERIFY2(QFile::exists(sample), "samples/flatfield.dcm is missing");
        Open(sample.toStdString());
        TakeBoxes();  // the sample's tag warnings, if any
        const QString windowReport = Q(*folder_ / "window.txt");
        ChooseOutput(windowReport);
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Results written to Output File")});

        const QString cliReport = Q(*folder_ / "cli.txt");
        QProcess cli;
        cli.setProcessChannelMode(QProcess::MergedChannels);
        cli.start(QStringLiteral(EVENOR_CLI_PATH), {"analyse", sample, "-o", cliReport});
        QVERIFY(cli.waitForFinished(120000));
        QVERIFY2(cli.exitCode() == 0, cli.readAll().constData());

        const std::string fromWindow = ReadWholeFile(windowReport.toStdString());
        QVERIFY(!fromWindow.empty());
        QCOMPARE(QByteArray::fromStdString(fromWindow),
                 QByteArray::fromStdString(ReadWholeFile(cliReport.toStdString())));
    }
};

}  // namespace evenor::test

QTEST_MAIN(evenor::test::EvenorTest)
#include "EvenorTest.moc"
