// The main window's Results page: when it is enabled and what it keeps, the
// summary of a phantom with a known blotch, the preset verdicts, the
// processed-image warning and the picture view.
#include <filesystem>
#include <memory>
#include <optional>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>

#include "DicomDictionary.h"
#include "EvenorWindows.h"
#include "ImageInfo.h"
#include "ResultsPage.h"
#include "TempFolder.h"
#include "TestDicomWriter.h"
#include "UiTestSupport.h"

using namespace evenor;
using namespace evenor::test;

namespace {

QString Q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

// 60 x 60 pixels of 1 mm: with the default 1 cm box the grid is 11 x 11 ROIs
// of 10 pixels at a step of 5. A chessboard of 1000 +/- 10 gives every ROI the
// mean 1000 and an SD above 0; the blotch lowers one ROI's box, at column 20,
// row 30, by 60. Area mean 1000 - 100 * 60 / 3600 = 998.333..., so that ROI
// deviates by (940 - 998.333) / 998.333 = -5.84 %; the ROIs overlapping it by
// half lie at 970 and deviate by -2.84 %.
TestImage BlotchImage()
{
    TestImage image = FlatImage(60, 60, 0);
    for (std::uint16_t y = 0; y < 60; ++y)
        for (std::uint16_t x = 0; x < 60; ++x) {
            const bool blotch = x >= 20 && x < 30 && y >= 30 && y < 40;
            image.Pixels[std::size_t{y} * 60 + x] =
                static_cast<std::uint16_t>(((x + y) % 2 == 0 ? 1010 : 990) - (blotch ? 60 : 0));
        }
    return image;
}

// The file's bytes with Presentation Intent Type (0008,0068, CS) added after
// Modality (0008,0060), keeping the tags in ascending order.
std::string WithPresentationIntent(const TestImage& image, const std::string& intent)
{
    TestImage withIntent = image;
    withIntent.PresentationIntentType = intent;
    return DicomFileBytes(withIntent);
}

}  // namespace

class ResultsPageTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<EvenorWindows> windows_;
    std::unique_ptr<TempFolder> folder_;

    TFormEvenor& Form() { return windows_->FormEvenor; }
    template <class T>
    T* C(const char* name) { return Child<T>(Form(), name); }
    TResultsPage* Page() { return C<TResultsPage>("Results"); }
    QString Summary() { return C<QTextBrowser>("MemoResults")->toPlainText(); }

    std::filesystem::path Write(const std::string& name, const TestImage& image)
    {
        const auto path = *folder_ / name;
        WriteDicomFile(path, image);
        return path;
    }
    void Open(const std::filesystem::path& path)
    {
        Dialogs::SetNextFileAnswer(Q(path));
        QTest::mouseClick(C<QPushButton>("ButtonOpen"), Qt::LeftButton);
        TakeBoxes();
    }
    void ChooseOutput(const std::filesystem::path& path)
    {
        Dialogs::SetNextFileAnswer(Q(path));
        QTest::mouseClick(C<QPushButton>("ButtonExport"), Qt::LeftButton);
    }
    void Calculate() { QTest::mouseClick(C<QPushButton>("ButtonCalculate"), Qt::LeftButton); }
    // Opens the image, calculates with the window's defaults, and expects
    // nothing but the final message.
    void Analyse(const std::filesystem::path& path)
    {
        Open(path);
        ChooseOutput(*folder_ / "report.txt");
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Results written to Output File")});
    }
    void ShowResultsPage()
    {
        C<QTabWidget>("EvenorControl")->setCurrentWidget(Page());
        QTest::qWait(20);
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
        TakeBoxes();
    }

    // The third page, after the two of the open flow, disabled until a run
    // succeeds; neither refused runs nor opens enable it.
    void enabledOnlyBySuccessfulRun()
    {
        auto* pages = C<QTabWidget>("EvenorControl");
        QCOMPARE(pages->count(), 3);
        QCOMPARE(pages->widget(2), static_cast<QWidget*>(Page()));
        QCOMPARE(pages->tabText(2), QStringLiteral("Results"));
        QCOMPARE(pages->currentWidget(), C<QWidget>("Settings"));
        QVERIFY(!Page()->isEnabled());

        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Select a Dicomfile first")});
        QVERIFY(!Page()->isEnabled());

        Open(Write("blotch.dcm", BlotchImage()));
        QVERIFY(C<QWidget>("Settings")->isEnabled());
        QVERIFY(!Page()->isEnabled());
        ChooseOutput(*folder_ / "report.txt");
        C<QLineEdit>("EditRechts")->setText("70");
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Area outside the image")});
        QVERIFY(!Page()->isEnabled());
        QVERIFY(!Page()->Results());

        C<QLineEdit>("EditRechts")->setText("59");
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Results written to Output File")});
        QVERIFY(Page()->isEnabled());
        QVERIFY(Page()->Results());
        QCOMPARE(pages->currentWidget(), C<QWidget>("Settings"));  // the page is not switched
    }

    // The blotch's ROI is the largest mean deviation, at its position; the
    // preset's verdicts follow the chosen preset.
    void blotchSummaryAndPresets()
    {
        Analyse(Write("blotch.dcm", BlotchImage()));
        const QString summary = Summary();
        QVERIFY2(summary.contains("Results of blotch.dcm"), qPrintable(summary));
        QVERIFY2(summary.contains("ROIs: 121, deviating ROIs: "), qPrintable(summary));
        QVERIFY2(summary.contains(", deviating pixels: 0\n"), qPrintable(summary));
        QVERIFY2(summary.contains("Largest ROI mean deviation: -5.84 % at ROI X 20, Y 30\n"), qPrintable(summary));
        QVERIFY2(summary.contains("Largest ROI SNR deviation: "), qPrintable(summary));
        // Spread of the ROI means: (1000 - 940) / 998.333.
        QVERIFY2(summary.contains("Global uniformity: 6.01 %\nSpread of the ROI means"), qPrintable(summary));
        // Its neighbours, each half over the blotch, average 970: 30 / 998.333.
        QVERIFY2(summary.contains("Local uniformity: 3.01 % at ROI X 20, Y 30\nLargest difference"),
                 qPrintable(summary));
        QVERIFY2(summary.contains("Noise uniformity: "), qPrintable(summary));
        QVERIFY(!summary.contains("FOR PRESENTATION"));

        // The area map covers the whole area at one map pixel per image pixel.
        QCOMPARE(Page()->ShownPicture().size(), QSize(60, 60));

        // Another preset judges the same numbers again, without a run.
        auto* preset = C<QComboBox>("ComboBoxPreset");
        QCOMPARE(preset->currentText(), QStringLiteral("evenor-default"));
        // evenor-default: action above 5 %; european: warning above 10 %.
        QVERIFY2(Summary().contains("Guideline preset evenor-default: "), qPrintable(Summary()));
        QVERIFY2(Summary().contains("Largest ROI mean deviation -5.84 %: fail"), qPrintable(Summary()));

        std::filesystem::remove(*folder_ / "report.txt");
        preset->setCurrentText("european");
        QVERIFY2(Summary().contains("Guideline preset european: "), qPrintable(Summary()));
        QVERIFY2(Summary().contains("Largest ROI mean deviation -5.84 %: pass"), qPrintable(Summary()));
        QVERIFY(!std::filesystem::exists(*folder_ / "report.txt"));
        QCOMPARE(TakeBoxes(), QStringList());

        // The choice stays for the next run.
        Analyse(Write("second.dcm", BlotchImage()));
        QCOMPARE(preset->currentText(), QStringLiteral("european"));
        QVERIFY2(Summary().contains("Guideline preset european: "), qPrintable(Summary()));
    }

    void processedImageWarning_data()
    {
        QTest::addColumn<QString>("intent");  // "<none>": no element
        QTest::addColumn<bool>("warned");
        QTest::newRow("for presentation") << "FOR PRESENTATION" << true;
        QTest::newRow("letter case ignored") << "For Presentation" << true;
        QTest::newRow("for processing") << "FOR PROCESSING" << false;
        QTest::newRow("absent") << "<none>" << false;
    }

    void processedImageWarning()
    {
        QFETCH(QString, intent);
        QFETCH(bool, warned);
        const auto path = *folder_ / "intent.dcm";
        if (intent == QLatin1String("<none>"))
            WriteDicomFile(path, BlotchImage());
        else
            WriteWholeFile(path, WithPresentationIntent(BlotchImage(), intent.toStdString()));
        Analyse(path);
        QCOMPARE(Summary().contains(QString::fromLatin1(evenor::ProcessedImageWarning.data(), evenor::ProcessedImageWarning.size())),
                 warned);
    }

    // A failed run, a failed open and a later open keep the last results,
    // labelled with their image; the next successful run replaces them.
    void lastResultsKept()
    {
        Analyse(Write("first.dcm", BlotchImage()));
        const QString first = Summary();
        QVERIFY(first.contains("Results of first.dcm"));

        // A run that would change the summary, failing at the report.
        QTest::mouseClick(C<QCheckBox>("CheckBoxDev"), Qt::LeftButton);
        ChooseOutput(*folder_ / "missing folder" / "report.txt");
        Calculate();
        const QStringList boxes = TakeBoxes();
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith("error|Evenor|"), qPrintable(boxes[0]));
        QVERIFY(Page()->isEnabled());
        QCOMPARE(Summary(), first);

        const auto broken = *folder_ / "broken.dcm";
        WriteWholeFile(broken, std::string(200, 'x'));
        Open(broken);
        QVERIFY(!C<QWidget>("Settings")->isEnabled());
        QVERIFY(Page()->isEnabled());
        QCOMPARE(Summary(), first);

        Open(Write("flat.dcm", FlatImage(40, 50, 100)));
        QCOMPARE(Summary(), first);
        ChooseOutput(*folder_ / "report.txt");
        C<QLineEdit>("EditDim")->setText("9");
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Area smaller than box dimension")});
        QCOMPARE(Summary(), first);

        C<QLineEdit>("EditDim")->setText("1");
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Results written to Output File")});
        QVERIFY(Summary().contains("Results of flat.dcm"));
    }

    // A flat image without noise has ROI SDs of 0: no SNR reference, and
    // deviating pixels not searched when the box is unticked.
    void unavailableValues()
    {
        Open(Write("flat.dcm", FlatImage(40, 50, 100)));
        QTest::mouseClick(C<QCheckBox>("CheckBoxDev"), Qt::LeftButton);
        ChooseOutput(*folder_ / "report.txt");
        Calculate();
        QCOMPARE(TakeBoxes(), QStringList{Plain("Results written to Output File")});
        const QString summary = Summary();
        QVERIFY2(summary.contains("deviating pixels: not searched\n"), qPrintable(summary));
        QVERIFY2(summary.contains("Largest ROI SNR deviation: not available\n"), qPrintable(summary));
        QVERIFY2(summary.contains("Noise uniformity: not available\n"), qPrintable(summary));
        QVERIFY2(summary.contains("Deviating pixels: not evaluated (deviating pixels were not searched)"),
                 qPrintable(summary));
    }

    // The file name is shown as text, never read as markup.
    void fileNameIsText()
    {
        Analyse(Write("<b>a&b.dcm", BlotchImage()));
        QVERIFY2(Summary().contains("Results of <b>a&b.dcm"), qPrintable(Summary()));
    }

    void pictures()
    {
        Analyse(Write("blotch.dcm", BlotchImage()));
        ShowResultsPage();
        auto* choice = C<QComboBox>("ComboBoxPicture");
        auto* legend = C<QLabel>("LabelLegend");
        QCOMPARE(choice->count(), 3);
        QCOMPARE(choice->currentIndex(), 0);
        QVERIFY(legend->text().contains("deviating pixels"));
        const QImage area = Page()->ShownPicture();
        choice->setCurrentIndex(1);
        const QImage mean = Page()->ShownPicture();
        choice->setCurrentIndex(2);
        const QImage snr = Page()->ShownPicture();
        QVERIFY(!mean.isNull() && !snr.isNull());
        QVERIFY(mean != area && snr != mean);
        // The mean map's bar ends at the largest deviation rounded up: 10 %.
        choice->setCurrentIndex(1);
        QCOMPARE(legend->text(), QStringLiteral("Blue -10 %, white 0 %, red +10 %. Black frames: deviating ROIs."));

        // Fitted, the view has no scroll bars; at actual size the heat map
        // is larger than the view and scrolls.
        auto* scroll = C<QScrollArea>("ScrollPicture");
        QVERIFY(!scroll->horizontalScrollBar()->isVisible());
        QTest::mouseClick(C<QCheckBox>("CheckBoxActualSize"), Qt::LeftButton);
        QTRY_VERIFY(scroll->verticalScrollBar()->isVisible());
        QCOMPARE(scroll->widget()->minimumSize(), mean.size());
        QTest::mouseClick(C<QCheckBox>("CheckBoxActualSize"), Qt::LeftButton);
        QTRY_VERIFY(!scroll->verticalScrollBar()->isVisible());
    }

    // The picture keeps its share of the page's height when the window grows.
    void growsWithWindow()
    {
        Analyse(Write("blotch.dcm", BlotchImage()));
        ShowResultsPage();
        auto* scroll = C<QScrollArea>("ScrollPicture");
        auto* memo = C<QTextBrowser>("MemoResults");
        const QSize pictureBefore = scroll->size();
        const QSize memoBefore = memo->size();
        QVERIFY(pictureBefore.height() > memoBefore.height());
        Form().resize(837, 665);
        QTRY_COMPARE(scroll->width(), pictureBefore.width() + 300);
        QCOMPARE(memo->width(), memoBefore.width() + 300);
        // 300 pixels more height, shared 60 : 40 within rounding.
        QVERIFY2(std::abs(scroll->height() - pictureBefore.height() - 180) <= 2,
                 qPrintable(QString::number(scroll->height())));
        QVERIFY2(std::abs(memo->height() - memoBefore.height() - 120) <= 2, qPrintable(QString::number(memo->height())));
    }
};

QTEST_MAIN(ResultsPageTest)
#include "ResultsPageTest.moc"
