// The Calculating notice: its window, its place, its immediate painting, the
// message boxes shown while it is up, the run's progress and Cancel, and the
// window that keeps handling events while a long run goes on.
//
// Run with QT_QPA_PLATFORM=xcb under a window manager that publishes
// _NET_CLIENT_LIST_STACKING (CMake's ui_calculateform_x11_tests, under Xvfb
// and openbox), the message-box case also checks the stacking order the
// window system really uses.
#include <algorithm>
#include <memory>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include "dicom/DicomDictionary.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/EvenorWindows.h"
#include "ui/ResultsPage.h"
#include "ui/RunProgress.h"

namespace evenor::test {

namespace {

// The top-level windows in the window manager's stacking order, bottom
// first; empty when the platform is not X11 or no window manager publishes
// the order.
std::vector<WId> StackingOrder()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return {};
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"), {"-root", "-notype", "_NET_CLIENT_LIST_STACKING"});
    if (!xprop.waitForFinished(5000) || xprop.exitCode() != 0) return {};
    std::vector<WId> order;
    static const QRegularExpression id(QStringLiteral("0x[0-9a-fA-F]+"));
    for (const auto& match : id.globalMatch(QString::fromLatin1(xprop.readAllStandardOutput())))
        order.push_back(static_cast<WId>(match.captured().toULongLong(nullptr, 16)));
    return order;
}

// Whether upper is stacked above lower; waits for the window manager to list
// both. Empty when the order cannot be seen.
std::optional<bool> StackedAbove(const QWidget& upper, const QWidget& lower)
{
    for (int tries = 0; tries < 200; ++tries) {
        const std::vector<WId> order = StackingOrder();
        if (order.empty()) return std::nullopt;
        const auto up = std::find(order.begin(), order.end(), upper.winId());
        const auto low = std::find(order.begin(), order.end(), lower.winId());
        if (up != order.end() && low != order.end()) return up > low;
        QTest::qWait(10);
    }
    return false;
}

}  // namespace

class CalculateformTest : public QObject {
    Q_OBJECT

private:
    TemporaryPreferences preferences_;  // before the windows
    std::unique_ptr<EvenorWindows> windows_;
    TFormCalculate& Notice() { return windows_->FormCalculate; }

private slots:
    void initTestCase()
    {
        LoadDicomDictionary();
        Dialogs::SetMessagesAnswered(true);
    }

    void init()
    {
        windows_ = std::make_unique<EvenorWindows>();
        windows_->FormEvenor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&windows_->FormEvenor));
    }
    void cleanup()
    {
        windows_.reset();
        Dialogs::ClearFileAnswers();
        Dialogs::SetMessagesAnswered(true);
        Dialogs::TakeMessages();
    }

    void window()
    {
        QVERIFY(!Notice().isVisible());
        QCOMPARE(Notice().windowTitle(), QStringLiteral("Calculating"));
        QCOMPARE(Notice().size(), QSize(256, 119));
        QCOMPARE(Notice().windowModality(), Qt::ApplicationModal);
        QCOMPARE(Notice().minimumSize(), Notice().maximumSize());
        const Qt::WindowFlags flags = Notice().windowFlags();
        QVERIFY(flags & Qt::WindowStaysOnTopHint);
        QVERIFY(flags & Qt::CustomizeWindowHint);
        QVERIFY(!(flags & (Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint)));
        auto* label = Child<QLabel>(Notice(), "CalculateTekst");
        QCOMPARE(label->text(), QStringLiteral("Calculating, this may take a while........"));
        QCOMPARE(label->pos(), QPoint(8, 16));
        QVERIFY(label->geometry().right() < 256);  // the whole text is inside the window
        QVERIFY(label->sizeHint().width() <= label->width());
        QVERIFY(!Child<QPushButton>(Notice(), "ButtonCancel")->isEnabled());  // no run to cancel
    }

    // Painted before ShowNotice returns: the analysis that follows handles
    // no events.
    void paintedAtOnce()
    {
        struct PaintCounter : QObject {
            int paints = 0;
            bool eventFilter(QObject*, QEvent* event) override
            {
                if (event->type() == QEvent::Paint) ++paints;
                return false;
            }
        } counter;
        Child<QLabel>(Notice(), "CalculateTekst")->installEventFilter(&counter);
        Notice().ShowNotice();
        QVERIFY(Notice().isVisible());
        QVERIFY(counter.paints > 0);
        Notice().HideNotice();
        QVERIFY(!Notice().isVisible());
    }

    // Centred on the main window the first time, later where it was.
    void placement()
    {
        windows_->FormEvenor.move(100, 80);
        Notice().ShowNotice();
        const QPoint centre = windows_->FormEvenor.frameGeometry().center();
        QVERIFY((Notice().frameGeometry().center() - centre).manhattanLength() <= 2);
        Notice().move(Notice().pos() + QPoint(30, 20));
        const QPoint moved = Notice().pos();
        Notice().HideNotice();
        windows_->FormEvenor.move(300, 200);
        Notice().ShowNotice();
        QCOMPARE(Notice().pos(), moved);
        Notice().HideNotice();
    }

    // A message of the run shown while the notice is up (an inverted image
    // without Bits Stored) belongs to the notice, which the window manager
    // then stacks it above; the final message, after the notice, belongs to
    // the main window again.
    void messagesAboveNotice()
    {
        const TempFolder folder;
        TestImage image = FlatImage(40, 40, 1000);
        image.BitsStored.reset();
        image.IntensitySign = -1;
        WriteDicomFile(folder / "no-bits.dcm", image);
        TFormEvenor& form = windows_->FormEvenor;
        Dialogs::SetNextFileAnswer(QString::fromStdString((folder / "no-bits.dcm").string()));
        QTest::mouseClick(Child<QPushButton>(form, "ButtonOpen"), Qt::LeftButton);
        Dialogs::SetNextFileAnswer(QString::fromStdString((folder / "report.txt").string()));
        QTest::mouseClick(Child<QPushButton>(form, "ButtonExport"), Qt::LeftButton);
        QCOMPARE(TakeBoxes(), QStringList());

        Dialogs::SetMessagesAnswered(false);
        BoxAnswerer answerer;
        std::vector<std::optional<bool>> aboveNotice;
        answerer.Inspect = [&](QMessageBox& box) {
            aboveNotice.push_back(Notice().isVisible() ? StackedAbove(box, Notice()) : std::nullopt);
        };
        QTest::mouseClick(Child<QPushButton>(form, "ButtonCalculate"), Qt::LeftButton);

        QCOMPARE(answerer.Answered.size(), std::size_t{2});
        const AnsweredBox& bitsStored = answerer.Answered[0];
        QCOMPARE(bitsStored.Text, QStringLiteral("Can't find Bits Stored (tag 0028,0101), Pixel values NOT inverted"));
        QCOMPARE(bitsStored.Parent, static_cast<QWidget*>(&Notice()));
        QCOMPARE(bitsStored.TransientParent, Notice().windowHandle());
        const AnsweredBox& written = answerer.Answered[1];
        QCOMPARE(written.Text, QStringLiteral("Results written to Output File"));
        QCOMPARE(written.Parent, static_cast<QWidget*>(&form));
        QCOMPARE(written.TransientParent, form.windowHandle());
        QCOMPARE(aboveNotice.size(), std::size_t{2});
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
            QVERIFY2(aboveNotice[0].has_value(), "no window manager publishes the stacking order");
            QVERIFY2(*aboveNotice[0], "the message box is stacked under the notice");
        }
        QVERIFY(!aboveNotice[1].has_value());  // the notice was hidden by then
    }

    // Cancel stops a run at its next step, until the run commits to writing
    // its report: from then on it is refused, and the report is written whole.
    void runProgressCancel_data()
    {
        QTest::addColumn<bool>("committed");
        QTest::newRow("before the report") << false;
        QTest::newRow("while the report is written") << true;
    }

    void runProgressCancel()
    {
        QFETCH(bool, committed);
        RunProgress progress;
        progress.Step(1, "inspecting the detector");
        if (committed) progress.Commit();
        QCOMPARE(progress.RequestCancel(), !committed);
        QCOMPARE(progress.Current().Cancelling, !committed);
        bool stopped = false;
        try {
            progress.Commit();
            progress.Step(2, "drawing the pictures, writing the report");
        } catch (const RunCancelled&) {
            stopped = true;
        }
        QCOMPARE(stopped, !committed);
    }

    // Cancel during a run: nothing is written, an existing report keeps its
    // bytes, the Results page keeps what it showed, the status line says so.
    // Pressed while a message of the run is up (the run waits for its OK),
    // so the cancel falls in the run's first step whatever the machine's speed.
    void cancelKeepsOutput()
    {
        const TempFolder folder;
        TestImage image = FlatImage(40, 40, 1000);
        image.BitsStored.reset();
        image.IntensitySign = -1;
        WriteDicomFile(folder / "no-bits.dcm", image);
        const std::string report = (folder / "report.txt").string();
        WriteWholeFile(report, "the report of an earlier image\n");
        TFormEvenor& form = windows_->FormEvenor;
        Dialogs::SetNextFileAnswer(QString::fromStdString((folder / "no-bits.dcm").string()));
        QTest::mouseClick(Child<QPushButton>(form, "ButtonOpen"), Qt::LeftButton);
        Dialogs::SetNextFileAnswer(QString::fromStdString(report));
        QTest::mouseClick(Child<QPushButton>(form, "ButtonExport"), Qt::LeftButton);
        QCOMPARE(TakeBoxes(), QStringList());

        Dialogs::SetMessagesAnswered(false);
        BoxAnswerer answerer;
        QString stepShown;
        answerer.Inspect = [&](QMessageBox&) {
            auto* cancel = Child<QPushButton>(Notice(), "ButtonCancel");
            QTRY_VERIFY(cancel->isEnabled());
            stepShown = Child<QLabel>(Notice(), "LabelStep")->text();
            cancel->click();
        };
        QTest::mouseClick(Child<QPushButton>(form, "ButtonCalculate"), Qt::LeftButton);

        QCOMPARE(answerer.Answered.size(), std::size_t{1});  // the Bits Stored message, no "Results written"
        QCOMPARE(stepShown, QStringLiteral("Step 1 of 3: analysing the image"));
        QVERIFY(!form.Calculating());
        QVERIFY(!Notice().isVisible());
        QCOMPARE(QByteArray::fromStdString(ReadWholeFile(report)), QByteArray("the report of an earlier image\n"));
        QVERIFY(!Child<TResultsPage>(form, "Results")->Results().has_value());
        QCOMPARE(form.StatusText(), QStringLiteral("Calculation cancelled, nothing written.  Output file: ") +
                                        QString::fromStdString(report));

        // The next run is not cancelled.
        Dialogs::SetMessagesAnswered(true);
        QTest::mouseClick(Child<QPushButton>(form, "ButtonCalculate"), Qt::LeftButton);
        QCOMPARE(TakeBoxes().last(), Plain(QStringLiteral("Results written to Output File")));
        QVERIFY(Child<TResultsPage>(form, "Results")->Results().has_value());
        const std::string written = ReadWholeFile(report);
        QVERIFY(!written.empty() && written != "the report of an earlier image\n");
    }

    // A long run (a small box on a large image: 167,281 ROIs) leaves the
    // window's events handled: timers fire, the notice follows the steps and
    // the main window repaints, and the Results page is ready at the end.
    void respondsDuringRun()
    {
        const TempFolder folder;
        TestImage image = FlatImage(2048, 2048, 2000);
        image.PixelSpacing = "0.1\\0.1";
        std::uint32_t noise = 12345;
        for (auto& value : image.Pixels) {
            noise = noise * 1103515245u + 12345u;
            value = static_cast<std::uint16_t>(1900 + (noise >> 16) % 200);
        }
        WriteDicomFile(folder / "large.dcm", image);
        TFormEvenor& form = windows_->FormEvenor;
        Dialogs::SetNextFileAnswer(QString::fromStdString((folder / "large.dcm").string()));
        QTest::mouseClick(Child<QPushButton>(form, "ButtonOpen"), Qt::LeftButton);
        Dialogs::SetNextFileAnswer(QString::fromStdString((folder / "report.txt").string()));
        QTest::mouseClick(Child<QPushButton>(form, "ButtonExport"), Qt::LeftButton);
        Child<QLineEdit>(form, "EditDim")->setText(QStringLiteral("0.1"));
        TakeBoxes();

        int ticks = 0;
        QStringList steps;
        QTimer timer;
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (!form.Calculating() || !Notice().isVisible()) return;
            ++ticks;
            const QString step = Child<QLabel>(Notice(), "LabelStep")->text();
            if (steps.isEmpty() || steps.last() != step) steps << step;
        });
        timer.start();
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(Child<QPushButton>(form, "ButtonCalculate"), Qt::LeftButton);
        const qint64 took = clock.elapsed();
        timer.stop();

        QCOMPARE(TakeBoxes(), QStringList{Plain(QStringLiteral("Results written to Output File"))});
        const auto& results = Child<TResultsPage>(form, "Results")->Results();
        QVERIFY(results.has_value());
        QCOMPARE(results->Rois.size(), std::size_t{409 * 409});
        QVERIFY2(ticks >= 3, qPrintable(QStringLiteral("%1 timer ticks in a run of %2 ms").arg(ticks).arg(took)));
        QVERIFY2(steps.contains(QStringLiteral("Step 1 of 3: analysing the image")), qPrintable(steps.join('|')));
        QVERIFY2(steps.last().startsWith(QStringLiteral("Step ")), qPrintable(steps.join('|')));
    }
};

}  // namespace evenor::test

QTEST_MAIN(evenor::test::CalculateformTest)
#include "CalculateformTest.moc"
