// The main window's Results page: when it is enabled and what it keeps, the
// summary of a phantom with a known blotch, the preset verdicts, the
// processed-image warning, the picture view, and what the detector
// inspection says of a detector with a cluster and an offset column.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>

#include "analysis/AnalysisRun.h"
#include "dicom/DicomDictionary.h"
#include "insight/ImageInfo.h"
#include "insight/ResultExport.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"
#include "tests/ui/DetectorImages.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/EvenorWindows.h"
#include "ui/Preferences.h"
#include "ui/ResultsPage.h"

namespace evenor::test {

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
    TemporaryPreferences preferences_;  // before the windows
    std::unique_ptr<EvenorWindows> windows_;
    std::unique_ptr<TempFolder> folder_;

    TFormEvenor& Form() { return windows_->FormEvenor; }
    template <class T> T* C(const char* name) { return Child<T>(Form(), name); }
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
        QCOMPARE(pages->count(), 4);  // History follows
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

    // With the preference, a compressed image is decoded and analysed like
    // its uncompressed original; a lossy one is warned about beside the
    // processed-image warning. Without it, the refusal stays.
    void compressedImageDecodedOnRequest_data()
    {
        QTest::addColumn<QString>("lossyTag");  // "<none>": no element
        QTest::addColumn<bool>("warned");
        QTest::newRow("lossless") << "<none>" << false;
        QTest::newRow("lossy compressed before") << "01" << true;
    }

    void compressedImageDecodedOnRequest()
    {
        QFETCH(QString, lossyTag);
        QFETCH(bool, warned);
        TestImage image = BlotchImage();
        image.RleCompressed = true;
        if (lossyTag != QLatin1String("<none>")) image.LossyImageCompression = lossyTag.toStdString();
        const auto path = Write("rle.dcm", image);
        const QString lossyWarning =
            QString::fromLatin1(evenor::LossyImageWarning.data(), evenor::LossyImageWarning.size());

        Preferences::SetDecodeCompressedImages(false);
        Dialogs::SetNextFileAnswer(Q(path));
        QTest::mouseClick(C<QPushButton>("ButtonOpen"), Qt::LeftButton);
        const QStringList refused = TakeBoxes();
        QCOMPARE(refused.size(), 1);
        QVERIFY2(refused.front().startsWith(
                     Error("Cannot open compressed DICOM images. Transfer Syntax UID = 1.2.840.10008.1.2.5")),
                 qPrintable(refused.front()));

        Preferences::SetDecodeCompressedImages(true);
        Analyse(path);
        const QString compressed = Summary();
        QCOMPARE(compressed.contains(lossyWarning), warned);
        // The saved PDF report carries the warning as the page does.
        ShowResultsPage();
        const auto pdf = *folder_ / "rle.pdf";
        Dialogs::SetNextFileAnswer(Q(pdf));
        QTest::mouseClick(C<QPushButton>("ButtonSavePdf"), Qt::LeftButton);
        QCOMPARE(TakeBoxes(), QStringList{Plain("PDF report written to " + Q(pdf))});
        QProcess text;
        text.start("pdftotext", {Q(pdf), "-"});
        QVERIFY2(text.waitForFinished(20000), "pdftotext (poppler-utils) did not run");
        QCOMPARE(QString::fromUtf8(text.readAllStandardOutput()).simplified().contains(lossyWarning), warned);
        Analyse(Write("plain.dcm", BlotchImage()));
        QString plain = Summary();
        plain.replace(QStringLiteral("plain.dcm"), QStringLiteral("rle.dcm"));
        if (warned) plain.replace(QStringLiteral("Results of rle.dcm\n"), "Results of rle.dcm\n" + lossyWarning + "\n");
        QCOMPARE(compressed, plain);
        Preferences::SetDecodeCompressedImages(false);
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
        QCOMPARE(Summary().contains(
                     QString::fromLatin1(evenor::ProcessedImageWarning.data(), evenor::ProcessedImageWarning.size())),
                 warned);
    }

    // The warnings about the pixel-intensity tags stay on the page after the
    // open's message boxes are gone.
    void tagWarnings_data()
    {
        QTest::addColumn<QString>("relationship");  // empty: no element
        QTest::addColumn<bool>("withSign");
        QTest::addColumn<QStringList>("warnings");
        QTest::newRow("log") << "LOG" << true << QStringList{evenor::kWarningNotLinear};
        QTest::newRow("no 0028,1040") << "" << true << QStringList{evenor::kWarningLinearMissing};
        QTest::newRow("no 0028,1041") << "LIN" << false << QStringList{evenor::kWarningSignMissing};
        QTest::newRow("linear, sign 1") << "LIN" << true << QStringList{};
    }

    void tagWarnings()
    {
        QFETCH(QString, relationship);
        QFETCH(bool, withSign);
        QFETCH(QStringList, warnings);
        TestImage image = BlotchImage();
        image.IntensityRelationship = relationship.isEmpty() ? std::nullopt : std::optional(relationship.toStdString());
        if (!withSign) image.IntensitySign.reset();
        Analyse(Write("tags.dcm", image));
        const QString summary = Summary();
        for (const QString& warning :
             {evenor::kWarningNotLinear, evenor::kWarningLinearMissing, evenor::kWarningSignMissing})
            QCOMPARE(summary.contains(warning), warnings.contains(warning));
    }

    // An image Evenor reads but does not judge: the page and the saved PDF
    // report name the reason, every verdict is "not judged", and the History
    // page refuses to record it.
    void notJudgedImageWarning_data()
    {
        QTest::addColumn<int>("kind");  // index into NotJudgedImages
        const auto images = evenor::test::NotJudgedImages(BlotchImage());
        for (std::size_t i = 0; i < images.size(); ++i) QTest::newRow(images[i].Name.c_str()) << static_cast<int>(i);
    }

    void notJudgedImageWarning()
    {
        QFETCH(int, kind);
        const evenor::test::NotJudgedImage image = evenor::test::NotJudgedImages(BlotchImage())[kind];
        const QString warning = QString::fromStdString(image.Warning);
        Analyse(Write(image.Name + ".dcm", image.Image));
        const QString summary = Summary();
        QVERIFY2(summary.contains(warning), qPrintable(summary));
        QVERIFY2(summary.contains("Guideline preset evenor-default: not judged"), qPrintable(summary));
        QVERIFY2(!summary.contains(": pass (") && !summary.contains(": fail ("), qPrintable(summary));

        ShowResultsPage();
        const auto pdf = *folder_ / (image.Name + ".pdf");
        Dialogs::SetNextFileAnswer(Q(pdf));
        QTest::mouseClick(C<QPushButton>("ButtonSavePdf"), Qt::LeftButton);
        QCOMPARE(TakeBoxes(), QStringList{Plain("PDF report written to " + Q(pdf))});
        QProcess text;
        text.start("pdftotext", {Q(pdf), "-"});
        QVERIFY2(text.waitForFinished(20000), "pdftotext (poppler-utils) did not run");
        const QString printed = QString::fromUtf8(text.readAllStandardOutput()).simplified();
        QVERIFY2(printed.contains("Warning: " + warning), qPrintable(printed));
        QVERIFY2(printed.contains("Overall verdict: not judged"), qPrintable(printed));

        // Nor does the History page record it.
        C<QTabWidget>("EvenorControl")->setCurrentWidget(C<QWidget>("History"));
        QTest::mouseClick(C<QPushButton>("ButtonRecord"), Qt::LeftButton);
        QCOMPARE(TakeBoxes(), QStringList{Error("Not recorded: " + warning + ".")});
        QVERIFY(!QFileInfo::exists(preferences_.Database()));
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
        QCOMPARE(choice->count(), 4);
        QCOMPARE(choice->currentIndex(), 0);
        QVERIFY(legend->text().contains("deviating pixels"));
        const QImage area = Page()->ShownPicture();
        choice->setCurrentIndex(1);
        const QImage mean = Page()->ShownPicture();
        choice->setCurrentIndex(2);
        const QImage snr = Page()->ShownPicture();
        choice->setCurrentIndex(3);
        QCOMPARE(choice->currentText(), QStringLiteral("ROI noise deviation"));
        const QImage noise = Page()->ShownPicture();
        QVERIFY(!mean.isNull() && !snr.isNull() && !noise.isNull());
        QVERIFY(mean != area && snr != mean && noise != snr && noise != mean);
        QVERIFY(legend->text().startsWith("Blue -"));
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

    // At the reference size the picture stands beside the summary and takes
    // most of the width, the summary still shows many lines of some words
    // each; growing keeps the picture square until the user moves the
    // boundary, whose share then stays.
    void layoutBesideSummary()
    {
        Analyse(Write("blotch.dcm", BlotchImage()));
        ShowResultsPage();
        auto* scroll = C<QScrollArea>("ScrollPicture");
        auto* memo = C<QTextBrowser>("MemoResults");
        QVERIFY(memo->mapTo(Page(), QPoint(0, 0)).x() >= scroll->mapTo(Page(), QPoint(scroll->width(), 0)).x());
        auto* splitter = C<QSplitter>("SplitterResults");
        QVERIFY2(
            scroll->width() >= 220 && scroll->height() >= 220 && splitter->sizes()[0] >= 0.55 * splitter->width(),
            qPrintable(
                QStringLiteral("%1 x %2 of %3").arg(scroll->width()).arg(scroll->height()).arg(splitter->width())));
        QVERIFY2(memo->viewport()->height() >= 15 * memo->fontMetrics().lineSpacing() &&
                     memo->viewport()->width() >= 20 * memo->fontMetrics().averageCharWidth(),
                 qPrintable(QStringLiteral("%1 x %2").arg(memo->viewport()->width()).arg(memo->viewport()->height())));

        Form().resize(1000, 740);
        QTRY_VERIFY(scroll->width() > 450);
        // As wide as high, but at most 60 % of the width.
        const int total = splitter->sizes()[0] + splitter->sizes()[1];
        const int square = std::min(splitter->height(), int(std::lround(0.6 * total)));
        QVERIFY2(std::abs(splitter->sizes()[0] - square) <= 2,
                 qPrintable(QStringLiteral("%1 vs %2").arg(splitter->sizes()[0]).arg(square)));

        // The user's share: drag the handle 100 pixels to the left.
        QSplitterHandle* handle = splitter->handle(1);
        const QPoint grip = handle->rect().center();
        const int before = splitter->sizes()[0];
        QTest::mousePress(handle, Qt::LeftButton, {}, grip);
        QTest::mouseMove(handle, grip - QPoint(100, 0));
        QTest::mouseRelease(handle, Qt::LeftButton, {}, grip - QPoint(100, 0));
        QTRY_VERIFY(splitter->sizes()[0] < before - 50);
        const double share = double(splitter->sizes()[0]) / (splitter->sizes()[0] + splitter->sizes()[1]);
        Form().resize(800, 500);
        QTRY_VERIFY(splitter->width() < 700);
        const double kept = double(splitter->sizes()[0]) / (splitter->sizes()[0] + splitter->sizes()[1]);
        QVERIFY2(std::abs(kept - share) < 0.02, qPrintable(QStringLiteral("%1 vs %2").arg(kept).arg(share)));
    }

    // The tooltip of each picture names the ROI under the mouse with its
    // values: the blotch's ROI at X 20, Y 30 deviates by -5.84 %.
    void describePicturePoint_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("where");  // "roi": the blotch's ROI; "pixel": a map pixel
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("area map, blotch")
            << int(ResultPictureKind::AreaMap) << "25,35"
            << QStringList{"Pixel X 25, Y 35\nROI X 20, Y 30, deviating\n", "Mean 940.00 (-5.84 % from the area mean)"};
        // Pixel (21, 41) lies in the boxes at columns 15 and 20 and rows 35
        // and 40; the nearest centres are those of column 15 (at 20) and row
        // 35 (at 40).
        QTest::newRow("area map, nearest centre") << int(ResultPictureKind::AreaMap) << "21,41"
                                                  << QStringList{"Pixel X 21, Y 41\nROI X 15, Y 35, deviating\n"};
        QTest::newRow("mean map, blotch")
            << int(ResultPictureKind::MeanHeatMap) << "roi"
            << QStringList{"ROI X 20, Y 30, deviating\n", "(-5.84 % from the area mean)", "from the mean ROI SNR)"};
        QTest::newRow("snr map, blotch") << int(ResultPictureKind::SnrHeatMap) << "roi"
                                         << QStringList{"ROI X 20, Y 30, deviating\n"};
        // The blotch's box holds only blotch pixels: its SD is the field's,
        // below the mean ROI SD, which the boxes over the blotch's edges raise.
        QTest::newRow("noise map, blotch")
            << int(ResultPictureKind::NoiseHeatMap) << "roi"
            << QStringList{"ROI X 20, Y 30, deviating\n", "\nSD -", " % from the mean ROI SD"};
        QTest::newRow("heat map, title") << int(ResultPictureKind::MeanHeatMap) << "0,0" << QStringList{};
    }

    void describePicturePoint()
    {
        QFETCH(int, kind);
        QFETCH(QString, where);
        QFETCH(QStringList, expected);
        Analyse(Write("blotch.dcm", BlotchImage()));
        // Shown on the page, so that a heat map is drawn.
        ShowResultsPage();
        C<QComboBox>("ComboBoxPicture")->setCurrentIndex(kind);
        const RunResults& results = *Page()->Results();
        const auto pictureKind = static_cast<ResultPictureKind>(kind);
        QPoint pixel;
        if (where == QLatin1String("roi")) {
            const ResultPicture& picture = results.Pictures[std::size_t(kind)];
            QVERIFY(picture.Cells.has_value());
            const auto column =
                std::find(results.RoiColumns.begin(), results.RoiColumns.end(), 20u) - results.RoiColumns.begin();
            const auto row = std::find(results.RoiRows.begin(), results.RoiRows.end(), 30u) - results.RoiRows.begin();
            pixel = picture.Cells->CellRect(int(column), int(row)).center();
        } else {
            const QStringList xy = where.split(',');
            pixel = QPoint(xy[0].toInt(), xy[1].toInt());
        }
        const QString text = DescribePicturePoint(results, pictureKind, pixel);
        if (expected.isEmpty()) QVERIFY2(text.isEmpty(), qPrintable(text));
        for (const QString& part : expected) QVERIFY2(text.contains(part), qPrintable(text));

        // The page's view shows the same text as its tooltip.
        auto* view = C<QWidget>("PictureResults");
        QTRY_VERIFY(view->width() > 100);
        // The view position of the picture pixel's centre: fitted and centred.
        const QImage& image = results.Pictures[std::size_t(kind)].Image;
        const double scale = std::min(std::floor(image.width() * std::min(double(view->width()) / image.width(),
                                                                          double(view->height()) / image.height())) /
                                          image.width(),
                                      std::floor(image.height() * std::min(double(view->width()) / image.width(),
                                                                           double(view->height()) / image.height())) /
                                          image.height());
        const QPointF origin(std::floor((view->width() - image.width() * scale) / 2),
                             std::floor((view->height() - image.height() * scale) / 2));
        const QPoint at = (origin + (QPointF(pixel) + QPointF(0.5, 0.5)) * scale).toPoint();
        QHelpEvent help(QEvent::ToolTip, at, view->mapToGlobal(at));
        QCoreApplication::sendEvent(view, &help);
        if (text.isEmpty()) {
            QVERIFY(!QToolTip::isVisible() || QToolTip::text().isEmpty());
        } else {
            QTRY_VERIFY(QToolTip::isVisible());
            // A view pixel covers several picture pixels: the same ROI at least.
            QVERIFY2(QToolTip::text().section('\n', 0, 0) == text.section('\n', 0, 0) ||
                         kind == int(ResultPictureKind::AreaMap),
                     qPrintable(QToolTip::text()));
            QVERIFY2(QToolTip::text().contains(expected.last()), qPrintable(QToolTip::text()));
        }
        QToolTip::hideText();
    }

    // A detector with a dead 3 x 3 cluster and a column 2 % too bright: the
    // summary judges the detector without the cluster's pixels, shows the
    // every-pixel values beside, names the cluster and the column, and the
    // verdicts include the defect checks; another preset judges them again.
    void detectorSummary()
    {
        Analyse(Write("detector.dcm", DetectorImage("cluster+column-offset")));
        const QString summary = Summary();
        QVERIFY2(summary.contains(", deviating pixels: 9\n"), qPrintable(summary));
        QVERIFY2(summary.contains("Clusters of deviating pixels: 0 single, 0 pairs, 1 of three or more\n"
                                  "Largest cluster: 9 pixels at columns 100-102, rows 60-62 (centre X 101.0, Y 61.0); "
                                  "0 above, 9 below their ROI mean\n"),
                 qPrintable(summary));
        QVERIFY2(summary.contains(QRegularExpression("Line defects: 1\n\\s*column 180: \\+[12]\\.\\d\\d % from its "
                                                     "neighbours \\(\\d+\\.\\d SD\\)\n")),
                 qPrintable(summary));
        QVERIFY2(summary.contains("\nNo rim found\n"), qPrintable(summary));
        QVERIFY2(summary.contains("Row correlated noise: ") && summary.contains("Column correlated noise: "),
                 qPrintable(summary));

        // The dead pixels pull the ROIs over them down by about 9 * 2000 /
        // 1024, 0.9 % of the mean: every pixel counted, global uniformity is
        // larger by about that; the robust value comes first, with the
        // description that says which pixels it includes.
        const QRegularExpression global("Global uniformity: (\\d+\\.\\d\\d) % \\(every pixel: (\\d+\\.\\d\\d) %\\)\n"
                                        "Spread of the ROI means[^\n]*; ROI statistics without the deviating pixels\n");
        const QRegularExpressionMatch match = global.match(summary);
        QVERIFY2(match.hasMatch(), qPrintable(summary));
        const double robust = match.captured(1).toDouble();
        const double every = match.captured(2).toDouble();
        QVERIFY2(every - robust > 0.5 && every - robust < 1.2, qPrintable(match.captured(0)));
        for (const char* metric : {"Largest ROI mean deviation: ", "Largest ROI SNR deviation: ", "Local uniformity: ",
                                   "Noise uniformity: "})
            QVERIFY2(summary.contains(QRegularExpression(QString::fromLatin1(metric) + "[^\n]* \\(every pixel: ")),
                     metric);

        // Verdicts: the cluster of 9 warns (warning above 2, action above 9),
        // one line defect fails.
        QVERIFY2(summary.contains("Largest defect cluster 9 pixels: warning (warning above 2 pixels, action above 9 "
                                  "pixels)"),
                 qPrintable(summary));
        QVERIFY2(summary.contains("Line defects 1: fail (action above 0)"), qPrintable(summary));
        QVERIFY2(summary.contains("Guideline preset evenor-default: fail"), qPrintable(summary));

        // Another preset: the same inspection judged again, no new run.
        const DetectorInsight* before = &Page()->Results()->Insight;
        std::filesystem::remove(*folder_ / "report.txt");
        C<QComboBox>("ComboBoxPreset")->setCurrentText("european");
        QVERIFY2(Summary().contains("Guideline preset european: fail"), qPrintable(Summary()));
        QVERIFY2(Summary().contains("Line defects 1: fail"), qPrintable(Summary()));
        QVERIFY(!std::filesystem::exists(*folder_ / "report.txt"));
        QCOMPARE(&Page()->Results()->Insight, before);

        // The area map marks the cluster and the column.
        ShowResultsPage();
        QVERIFY2(C<QLabel>("LabelLegend")->text().contains("Magenta rings: clusters. Orange: line defects."),
                 qPrintable(C<QLabel>("LabelLegend")->text()));
        const QImage area = Page()->ShownPicture();
        QCOMPARE(area.size(), QSize(256, 256));
        QCOMPARE(area.pixel(108, 61), qRgb(255, 0, 255));
        QCOMPARE(area.pixel(180, 0), qRgb(255, 140, 0));
        QCOMPARE(TakeBoxes(), QStringList());
    }

    // "Save PDF report...": the report of the shown results, judged by the
    // chosen preset, with the window's numbers and the image's warning; a
    // cancelled dialog writes nothing, a file that cannot be written is
    // named in the error box.
    void savePdfReport()
    {
        auto* save = C<QPushButton>("ButtonSavePdf");
        QVERIFY(!save->isEnabled());
        const auto image = *folder_ / "processed.dcm";
        WriteWholeFile(image, WithPresentationIntent(BlotchImage(), "FOR PRESENTATION"));
        Preferences::SetAnalysedBy(QStringLiteral("A. Physicist"));
        Analyse(image);
        Preferences::SetAnalysedBy(QString());
        ShowResultsPage();
        QVERIFY(save->isEnabled());
        C<QComboBox>("ComboBoxPreset")->setCurrentText("european");

        Dialogs::SetNextFileAnswer(std::nullopt);
        QTest::mouseClick(save, Qt::LeftButton);
        QCOMPARE(TakeBoxes(), QStringList());
        QCOMPARE(Dialogs::LastFileDialogStart(), Q(*folder_ / "processed-uniformity.pdf"));

        // Drawn beside the window (a large result's report takes seconds),
        // the Calculating notice following it with its Cancel.
        const auto pdf = *folder_ / "report.pdf";
        Dialogs::SetNextFileAnswer(Q(pdf));
        QStringList noticeSteps;
        QTimer follow;
        follow.setInterval(1);
        QObject::connect(&follow, &QTimer::timeout, [&] {
            if (!windows_->FormCalculate.isVisible()) return;
            const QString step = Child<QLabel>(windows_->FormCalculate, "LabelStep")->text();
            if (!noticeSteps.contains(step)) noticeSteps << step;
        });
        follow.start();
        QTest::mouseClick(save, Qt::LeftButton);
        follow.stop();
        QVERIFY(!windows_->FormCalculate.isVisible());
        QCOMPARE(noticeSteps, QStringList{"Step 1 of 1: drawing the PDF report"});
        QCOMPARE(TakeBoxes(), QStringList{Plain("PDF report written to " + Q(pdf))});
        QProcess text;
        text.start("pdftotext", {Q(pdf), "-"});
        QVERIFY2(text.waitForFinished(20000), "pdftotext (poppler-utils) did not run");
        const QString shown = QString::fromUtf8(text.readAllStandardOutput()).simplified();
        const RunResults& results = *Page()->Results();
        // The numbers as the summary rounds them; when and by whom the analysis was made.
        const auto rounded = [](double value) { return QString::number(value, 'f', 2).toStdString(); };
        for (const std::string& expected :
             {std::string("Uniformity test report"), std::string("Verdicts, preset european"),
              "Warning: " + std::string(ProcessedImageWarning), rounded(results.Result.AreaMean),
              rounded(results.Result.AreaSNR), rounded(results.Result.MeanRoiSNR),
              "Analysed " + results.AnalysedAt + " UTC by A. Physicist"})
            QVERIFY2(shown.contains(QString::fromStdString(expected)), expected.c_str());

        // The paper: the locale's until one is chosen in the Preferences,
        // then the chosen one.
        const auto pageSize = [&] {
            QProcess info;
            info.start("pdfinfo", {Q(pdf)});
            info.waitForFinished(20000);
            return QString::fromUtf8(info.readAllStandardOutput()).simplified();
        };
        const auto sizeOf = [](PaperSize paper) {
            return QString::fromLatin1(paper == PaperSize::Letter ? "Page size: 612 x 792 pts"
                                                                  : "Page size: 595 x 842 pts");
        };
        QVERIFY(!Preferences::ReportPaperChosen());
        QVERIFY2(pageSize().contains(sizeOf(Preferences::LocalePaper())), qPrintable(pageSize()));
        for (const PaperSize paper : {PaperSize::Letter, PaperSize::A4}) {
            Preferences::SetReportPaper(paper);
            Dialogs::SetNextFileAnswer(Q(pdf));
            QTest::mouseClick(save, Qt::LeftButton);
            QCOMPARE(TakeBoxes(), QStringList{Plain("PDF report written to " + Q(pdf))});
            QVERIFY2(pageSize().contains(sizeOf(paper)), qPrintable(pageSize()));
        }

        const auto nowhere = *folder_ / "missing" / "report.pdf";
        Dialogs::SetNextFileAnswer(Q(nowhere));
        QTest::mouseClick(save, Qt::LeftButton);
        const QStringList boxes = TakeBoxes();
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith(Error(Q(nowhere) + ": ")), qPrintable(boxes[0]));
    }

    // The picture in its own window: the page's picture, following the
    // page's choice, zoomed to a factor, resizable.
    void pictureWindow()
    {
        QVERIFY(!C<QPushButton>("ButtonPictureWindow")->isEnabled());
        Analyse(Write("blotch.dcm", BlotchImage()));
        ShowResultsPage();
        QTest::mouseClick(C<QPushButton>("ButtonPictureWindow"), Qt::LeftButton);
        QWidget* window = Page()->findChild<QWidget*>("PictureWindow");
        QVERIFY(window != nullptr);
        QTRY_VERIFY(window->isVisible());
        QVERIFY(window->isWindow());
        QVERIFY(window->minimumSize() != window->maximumSize());
        QCOMPARE(window->windowTitle(), QStringLiteral("Area map of blotch.dcm"));
        auto* view = window->findChild<QWidget*>("PictureWindowView");
        auto* zoom = window->findChild<QComboBox*>("ComboBoxZoom");
        QCOMPARE(zoom->currentText(), QStringLiteral("Fit"));
        zoom->setCurrentText("400 %");
        QCOMPARE(view->minimumSize(), QSize(240, 240));  // 60 x 60 map pixels

        C<QComboBox>("ComboBoxPicture")->setCurrentIndex(1);
        QCOMPARE(window->windowTitle(), QStringLiteral("ROI mean deviation of blotch.dcm"));
        QCOMPARE(view->minimumSize(), Page()->ShownPicture().size() * 4);
        // Ctrl + wheel zooms out one step.
        QWheelEvent wheel(QPointF(10, 10), view->mapToGlobal(QPointF(10, 10)), {}, QPoint(0, -120), Qt::NoButton,
                          Qt::ControlModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(view, &wheel);
        QCOMPARE(zoom->currentText(), QStringLiteral("200 %"));
        QCOMPARE(TakeBoxes(), QStringList());
    }

    // Esc and Ctrl+W close the picture window.
    void pictureWindowClosedByKeys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Esc") << int(Qt::Key_Escape) << int(Qt::NoModifier);
        QTest::newRow("Ctrl+W") << int(Qt::Key_W) << int(Qt::ControlModifier);
    }

    void pictureWindowClosedByKeys()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        Analyse(Write("blotch.dcm", BlotchImage()));
        ShowResultsPage();
        QTest::mouseClick(C<QPushButton>("ButtonPictureWindow"), Qt::LeftButton);
        QWidget* window = Page()->findChild<QWidget*>("PictureWindow");
        QVERIFY(window != nullptr);
        QApplication::setActiveWindow(window);
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window->findChild<QWidget*>("ComboBoxZoom"), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QTRY_VERIFY(!window->isVisible());
        QVERIFY(Form().isVisible());
    }

    // Which ROIs the deviating-ROI map lists, by position, in one pass over
    // each list: a 0.1 cm box on a 4096 x 4096 image at 0.1 mm has 670,761
    // ROIs, a large share of them deviating, and a search of the whole list
    // for each deviating one kept the window busy for hours.
    void deviatingRoiFlags_data()
    {
        QTest::addColumn<int>("side");   // ROIs along each edge
        QTest::addColumn<int>("every");  // each every-th ROI deviates; 0: none
        QTest::newRow("none") << 30 << 0;
        QTest::newRow("every one") << 30 << 1;
        QTest::newRow("every third") << 31 << 3;
        QTest::newRow("half of 670,761") << 819 << 2;
    }

    void deviatingRoiFlags()
    {
        QFETCH(int, side);
        QFETCH(int, every);
        TMeetSerie rois;
        TBadROIMap bad;
        std::vector<bool> expected;
        // Column-major, as the grid lays them; the map lists them in its own order.
        for (int x = 0; x < side; ++x)
            for (int y = 0; y < side; ++y) {
                RoiResult roi;
                roi.X = std::uint32_t(x) * 5;
                roi.Y = std::uint32_t(y) * 5;
                rois.push_back(roi);
                expected.push_back(every > 0 && rois.size() % std::size_t(every) == 0);
            }
        for (std::size_t i = rois.size(); i-- > 0;)
            if (expected[i]) bad.push_back(BadROI{rois[i].X, rois[i].Y});
        QElapsedTimer clock;
        clock.start();
        const std::vector<bool> flags = DeviatingRoiFlags(rois, bad);
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed()) + " ms"));
        QVERIFY(flags == expected);
    }
};

}  // namespace evenor::test

QTEST_MAIN(evenor::test::ResultsPageTest)
#include "ResultsPageTest.moc"
