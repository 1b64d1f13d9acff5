// The main window: layout, open and output-file flows, field checks,
// tag-derived defaults, Calculate, and one analysis compared with evenor-cli.
#include <filesystem>
#include <memory>
#include <optional>

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "DicomDictionary.h"
#include "DicomLib.h"
#include "EvenorWindows.h"
#include "TempFolder.h"
#include "TestDicomWriter.h"
#include "UiTestSupport.h"

using namespace evenor;
using namespace evenor::test;

namespace {

const QString W1 = QStringLiteral(
    "Pixel-Intensity relationship (tag:00281040) is NOT linear, results may be meaningless");
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
    std::unique_ptr<EvenorWindows> windows_;
    std::unique_ptr<TempFolder> folder_;

    TFormEvenor& Form() { return windows_->FormEvenor; }
    template <class T>
    T* C(const char* name) { return Child<T>(Form(), name); }
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
        folder_ = std::make_unique<TempFolder>();
        windows_ = std::make_unique<EvenorWindows>();
        Form().show();
        Form().activateWindow();
        QApplication::setActiveWindow(&Form());
        QVERIFY(QTest::qWaitForWindowActive(&Form()));
        TakeBoxes();
    }

    void cleanup()
    {
        windows_.reset();
        folder_.reset();
        Dialogs::ClearFileAnswers();
        Dialogs::SetMessagesAnswered(true);
        TakeBoxes();
    }

    void initialState()
    {
        QCOMPARE(Form().windowTitle(), QStringLiteral("Evenor"));
        QCOMPARE(Form().size(), QSize(537, 365));
        QVERIFY(!PagesEnabled());
        auto* pages = C<QTabWidget>("EvenorControl");
        QCOMPARE(pages->currentWidget(), C<QWidget>("Settings"));
        QCOMPARE(pages->tabText(0), QStringLiteral("Settings"));
        QCOMPARE(pages->tabText(1), QStringLiteral("DICOM Tags"));
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
        Form().resize(637, 465);
        QCOMPARE(C<QWidget>("EvenorControl")->geometry(), QRect(8, 8, 517, 445));
        QCOMPARE(C<QWidget>("ButtonCalculate")->pos(), QPoint(532, 428));
        QCOMPARE(C<QWidget>("ButtonOpen")->pos(), QPoint(532, 332));
        QCOMPARE(C<QWidget>("ButtonExport")->pos(), QPoint(532, 372));
        QCOMPARE(C<QWidget>("ButtonAbout")->pos(), QPoint(588, 32));
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
        for (int i = 0; i < 15; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* focus = QApplication::focusWidget();
            visited << (qobject_cast<QTabBar*>(focus) != nullptr ? QStringLiteral("EvenorControl") : focus->objectName());
        }
        const QStringList expected = {"EvenorControl", "EditBoven",   "EditLinks",   "EditRechts",   "EditOnder",
                                      "EditDim",       "EditPixelOffset", "Inverse", "EditROIDev",   "CheckBoxDev",
                                      "EditDevPerc",   "ButtonOpen",  "ButtonExport", "ButtonAbout", "ButtonCalculate"};
        QCOMPARE(visited, expected);
        QCOMPARE(TakeBoxes(), QStringList());
    }

    void pathSplit_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("file");
        QTest::newRow("unix") << "/data/qa/flat.dcm" << "/data/qa/" << "flat.dcm";
        QTest::newRow("backslash") << "C:\\data\\flat.dcm" << "C:\\data\\" << "flat.dcm";
        QTest::newRow("mixed, last wins") << "/a\\b/c.dcm" << "/a\\b/" << "c.dcm";
        QTest::newRow("no separator") << "flat.dcm" << "" << "flat.dcm";
        QTest::newRow("colon is no separator") << "C:flat.dcm" << "" << "C:flat.dcm";
        QTest::newRow("trailing separator") << "/data/" << "/data/" << "";
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
        QCOMPARE(C<QPlainTextEdit>("MemoDicomtags")->toPlainText(), lines.join('\n'));
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

    void errorBoxText_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << "Disk full" << "Disk full.";
        QTest::newRow("full stop") << "Read error." << "Read error.";
        QTest::newRow("exclamation sorts before") << "Oops!" << "Oops!";
        QTest::newRow("parenthesis sorts before") << "code (5)" << "code (5)";
        QTest::newRow("slash sorts after") << "Cannot open file /tmp/" << "Cannot open file /tmp/.";
        QTest::newRow("digit sorts after") << "error 5" << "error 5.";
        QTest::newRow("empty") << "" << "";
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
        QTest::newRow("first row, leading blank") << "EditBoven" << " 12" << "";
        QTest::newRow("first row, trailing blank") << "EditBoven" << "12 " << IntegerExpected;
        QTest::newRow("first column, hex") << "EditLinks" << "$1F" << "";
        QTest::newRow("first column, negative") << "EditLinks" << "-3" << IntegerExpected;
        QTest::newRow("last column, beyond int32") << "EditRechts" << "2147483648" << IntegerExpected;
        QTest::newRow("last row, real") << "EditOnder" << "1.0" << IntegerExpected;
        QTest::newRow("last row, empty") << "EditOnder" << "" << IntegerExpected;
        QTest::newRow("box, exponent") << "EditDim" << "1e2" << "";
        QTest::newRow("box, comma") << "EditDim" << "1,5" << NumberExpected;
        QTest::newRow("roi dev, negative") << "EditROIDev" << "-2.5" << "";
        QTest::newRow("roi dev, word") << "EditROIDev" << "five" << NumberExpected;
        QTest::newRow("pixel dev, empty") << "EditDevPerc" << "" << NumberExpected;
        QTest::newRow("offset, largest") << "EditPixelOffset" << "65535" << "";
        QTest::newRow("offset, above 16 bits") << "EditPixelOffset" << "65536" << OffsetExpected;
        QTest::newRow("offset, negative") << "EditPixelOffset" << "-1" << OffsetExpected;
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
        const std::uint16_t offset = field == QLatin1String("EditPixelOffset") && message.isEmpty() ? typed.toUShort() : 7;
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
        QCOMPARE(QByteArray::fromStdString(fromWindow), QByteArray::fromStdString(ReadWholeFile(cliReport.toStdString())));
    }
};

QTEST_MAIN(EvenorTest)
#include "EvenorTest.moc"
