// The History page and the preferences dialog: a test recorded through the
// page into a temporary SQLite database and shown in its table, recorded once
// only, made the baseline with a reason; records judged with no baseline
// said and shown against the newest one; store failures in the error box;
// the preferences remembered, and "Record every test" recording after the
// run's own messages.
#include <filesystem>
#include <limits>
#include <memory>

#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLegend>
#include <QLegendMarker>
#include <QLineEdit>
#include <QLineSeries>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include "dicom/DicomDictionary.h"
#include "history/HistoryStore.h"
#include "history/Sha256.h"
#include "qa/ReportSources.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/EvenorWindows.h"
#include "ui/HistoryPage.h"

namespace evenor::test {

namespace {

const QString ResultsWritten = QStringLiteral("Results written to Output File");

QString Q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

// A record of another detector, written straight into the store.
QaRecord OtherDetectorRecord()
{
    QaRecord record;
    record.Detector.DetectorId = "OTHER-1";
    record.FileName = "other.dcm";
    record.FileSha256 = std::string(64, 'a');
    record.Settings = "synthetic";
    record.AcquisitionDate = "20260101";
    record.Numbers.AreaSNR = 50.0;
    return record;
}

}  // namespace

class HistoryPageTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TemporaryPreferences> preferences_;
    std::unique_ptr<EvenorWindows> windows_;
    std::unique_ptr<TempFolder> folder_;

    TFormEvenor& Form() { return windows_->FormEvenor; }
    template <class T> T* C(const char* name) { return Child<T>(Form(), name); }
    THistoryPage* Page() { return C<THistoryPage>("History"); }
    void Click(const char* name) { QTest::mouseClick(C<QPushButton>(name), Qt::LeftButton); }

    // Opens a flat image, chooses a report and runs Calculate.
    std::filesystem::path CalculateImage(const std::string& name, std::uint16_t value)
    {
        const auto path = *folder_ / name;
        WriteDicomFile(path, FlatImage(40, 50, value, {{3, 4, static_cast<std::uint16_t>(value * 3)}}));
        Dialogs::SetNextFileAnswer(Q(path));
        Click("ButtonOpen");
        Dialogs::SetNextFileAnswer(Q(*folder_ / (name + ".txt")));
        Click("ButtonExport");
        TakeBoxes();
        Click("ButtonCalculate");
        return path;
    }
    void ShowHistory() { C<QTabWidget>("EvenorControl")->setCurrentWidget(Page()); }
    std::unique_ptr<HistoryStore> Store() { return HistoryStore::Open(preferences_->Database().toStdString()); }

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
        windows_ = std::make_unique<EvenorWindows>();
        Form().show();
        TakeBoxes();
    }

    void cleanup()
    {
        windows_.reset();
        folder_.reset();
        preferences_.reset();
        Dialogs::ClearFileAnswers();
        TakeBoxes();
    }

    void recordShowAndSetBaseline()
    {
        // Looking at the page before anything is recorded makes no database.
        ShowHistory();
        QVERIFY(!QFileInfo::exists(preferences_->Database()));
        Click("ButtonRecord");
        QVERIFY(Page()->Records().empty());
        QCOMPARE(TakeBoxes(), QStringList());

        Store()->Record(OtherDetectorRecord());
        {
            // What "evenor-cli watch" left: one image of that detector, and
            // one file of no detector that the page does not show.
            const auto store = Store();
            bool isNew = false;
            IntakeEntry entry = store->ClaimIntake("sha-1", "/in/other.dcm", "watch", isNew);
            entry.State = IntakeAnalysed;
            entry.Verdict = "pass";
            entry.DetectorKey = "OTHER-1";
            entry.Rule = "rule 1";
            store->FinishIntake(entry);
            entry = store->ClaimIntake("sha-2", "/in/notes.txt", "watch", isNew);
            entry.State = IntakeRefused;
            entry.Message = "not DICOM";
            store->FinishIntake(entry);
            // A detector no rule took: no record, only its inbox.
            entry = store->ClaimIntake("sha-3", "/in/new.dcm", "watch", isNew);
            entry.State = IntakeUnmatched;
            entry.DetectorKey = "NEW-1";
            store->FinishIntake(entry);
        }
        const auto image = CalculateImage("flat.dcm", 1000);
        QCOMPARE(TakeBoxes(), QStringList{Plain(ResultsWritten)});
        ShowHistory();
        // Only the other detector is recorded: it is shown.
        auto* detectors = C<QComboBox>("ComboBoxDetector");
        QCOMPARE(detectors->count(), 2);
        QCOMPARE(detectors->itemText(1), QStringLiteral("NEW-1, no records"));
        QCOMPARE(detectors->currentData().toString(), QStringLiteral("OTHER-1"));
        auto* inbox = C<QTableWidget>("TableInbox");
        QCOMPARE(inbox->rowCount(), 1);
        QCOMPARE(inbox->item(0, 1)->text(), QStringLiteral("other.dcm"));
        QCOMPARE(inbox->item(0, 2)->text(), QStringLiteral("analysed (pass)"));
        QCOMPARE(C<QTabWidget>("HistoryTabs")->tabText(1), QStringLiteral("Inbox (1)"));
        detectors->setCurrentIndex(1);
        QCOMPARE(inbox->rowCount(), 1);
        QCOMPARE(inbox->item(0, 2)->text(), QStringLiteral("unmatched"));
        QVERIFY(Page()->Records().empty());
        detectors->setCurrentIndex(0);

        Click("ButtonRecord");
        QCOMPARE(TakeBoxes(), QStringList());
        // The open image's detector is chosen, with its one record as the
        // command line would have made it.
        QCOMPARE(detectors->count(), 3);
        QVERIFY(detectors->currentData().toString() != QStringLiteral("OTHER-1"));
        QCOMPARE(Page()->Records().size(), std::size_t{1});
        const StoredRecord stored = Page()->Records().front();
        QCOMPARE(stored.Record.FileSha256, Sha256OfFile(image.string()));
        QCOMPARE(stored.Record.FileName, image.string());
        QCOMPARE(stored.Record.Preset, std::string(DefaultPreset().Name));
        QCOMPARE(stored.Record.Numbers.DeviatingPixelCount, std::int64_t{1});
        auto* table = C<QTableWidget>("TableRecords");
        QCOMPARE(table->rowCount(), 1);
        QCOMPARE(table->item(0, 1)->text(), QStringLiteral("flat.dcm"));
        QCOMPARE(table->item(0, 2)->text(), QString::fromUtf8(VerdictName(stored.Record.Overall).data()));
        QCOMPARE(table->item(0, 3)->text(), QStringLiteral("no baseline"));

        // The same test again is not recorded twice.
        Click("ButtonRecord");
        QVERIFY(Page()->StatusText().startsWith(QStringLiteral("Already recorded")));
        QCOMPARE(Page()->Records().size(), std::size_t{1});

        // Set as baseline: a cancelled reason sets none, a given one sets it.
        const std::string key = detectors->currentData().toString().toStdString();
        table->selectRow(0);
        Dialogs::SetNextTextAnswer(std::nullopt);
        Click("ButtonBaseline");
        QVERIFY(Store()->Baselines(key).empty());
        table->selectRow(0);
        Dialogs::SetNextTextAnswer(QStringLiteral("after service"));
        Click("ButtonBaseline");
        QCOMPARE(TakeBoxes(), QStringList());
        const std::vector<Baseline> baselines = Store()->Baselines(key);
        QCOMPARE(baselines.size(), std::size_t{1});
        QCOMPARE(baselines[0].Reason, std::string("after service"));
        QCOMPARE(baselines[0].Source, "record " + std::to_string(stored.Id));
        // The chart shows the new baseline at once, though no record was
        // judged against it yet.
        {
            C<QComboBox>("ComboBoxMetric")->setCurrentIndex(0);  // area SNR
            std::vector<double> levels;
            for (QAbstractSeries* series : C<QChartView>("ChartTrend")->chart()->series())
                if (series->name() == QStringLiteral("Baseline"))
                    for (const QPointF& at : static_cast<QLineSeries*>(series)->points()) levels.push_back(at.y());
            QVERIFY(!levels.empty());
            for (const double level : levels) QCOMPARE(level, baselines[0].Numbers.AreaSNR);
        }

        // A second run against that baseline shows its checks.
        CalculateImage("brighter.dcm", 1100);
        ShowHistory();
        Click("ButtonRecord");
        QCOMPARE(table->rowCount(), 2);
        QVERIFY(table->item(0, 3)->text().endsWith(QStringLiteral("(baseline 1)")));

        // The PDF report of the recorded run compares it with the baseline;
        // the next run is not recorded yet, and its report does not.
        const auto reportText = [&](const char* name) {
            const auto pdf = *folder_ / name;
            Dialogs::SetNextFileAnswer(Q(pdf));
            C<QPushButton>("ButtonSavePdf")->click();
            TakeBoxes();
            QProcess text;
            text.start("pdftotext", {Q(pdf), "-"});
            text.waitForFinished(20000);
            return QString::fromUtf8(text.readAllStandardOutput()).simplified();
        };
        QString report = reportText("recorded.pdf");
        for (const char* part :
             {"Baseline comparison", "Recorded as record", "Baseline 1, set", "after service", "Against the baseline:"})
            QVERIFY2(report.contains(QLatin1String(part)), part);
        CalculateImage("dimmer.dcm", 900);
        report = reportText("new.pdf");
        QVERIFY(report.contains(QStringLiteral("Uniformity test report")));
        QVERIFY(!report.contains(QStringLiteral("Baseline comparison")));

        // The notes: an exclusion, and the other detector's new software
        // version (newest first).
        QaRecord updated = OtherDetectorRecord();
        updated.FileSha256 = std::string(64, 'b');
        updated.AcquisitionDate = "20260108";
        updated.SoftwareVersions = "2.0";
        Store()->Record(updated);
        Store()->ExcludeRecord(Store()->Records({"OTHER-1", ""}).front().Id, "grid in the beam", "qa");
        detectors->setCurrentIndex(detectors->findData(QStringLiteral("OTHER-1")));
        QCOMPARE(table->rowCount(), 2);
        QCOMPARE(table->item(0, 4)->text(), QStringLiteral("software version changed from \"\" to \"2.0\""));
        QCOMPARE(table->item(1, 4)->text(), QStringLiteral("excluded: grid in the beam"));
        QCOMPARE(table->item(1, 1)->toolTip(), QStringLiteral("other.dcm\nexcluded: grid in the beam"));
    }

    // A series recorded before any baseline, then a baseline from its first
    // record: the page says which records were judged with none, and shows
    // them against the newest baseline when asked, the records unchanged;
    // the chart draws that baseline over them from the first one's test.
    void recordsJudgedWithNoBaseline()
    {
        const auto record = [&](const char* date, double snr, char sha) {
            QaRecord r = OtherDetectorRecord();
            r.Detector.DetectorId = "BACK-1";
            r.FileSha256 = std::string(64, sha);
            r.AcquisitionDate = date;
            r.Numbers.AreaSNR = snr;
            r.Numbers.DeviatingRoiCount = 5;
            Store()->Record(r);
        };
        record("20260105", 100.0, '1');
        record("20260112", 104.0, '2');
        record("20260119", 130.0, '3');
        ShowHistory();
        auto* detectors = C<QComboBox>("ComboBoxDetector");
        detectors->setCurrentIndex(detectors->findData(QStringLiteral("BACK-1")));
        auto* notice = C<QLabel>("LabelNoBaseline");
        auto* against = C<QCheckBox>("CheckBoxAgainstCurrent");
        QVERIFY(!notice->isHidden());
        QCOMPARE(notice->text(), QStringLiteral("No baseline is set: the records were judged with none."));
        QVERIFY(against->isHidden());

        Store()->SetBaselineFromFirst("BACK-1", 1, "acceptance", "qa");
        record("20260126", 101.0, '4');
        Page()->Refresh();
        QCOMPARE(detectors->currentData().toString(), QStringLiteral("BACK-1"));
        QCOMPARE(notice->text(), QStringLiteral("3 of 4 records were judged with no baseline."));
        QVERIFY(!against->isHidden());
        QCOMPARE(against->text(), QStringLiteral("Show them against baseline 1"));
        auto* table = C<QTableWidget>("TableRecords");
        const auto column = [&](int c) {
            QStringList cells;
            for (int row = 0; row < table->rowCount(); ++row) cells << table->item(row, c)->text();
            return cells;
        };
        const QStringList recorded = {"pass (baseline 1)", "no baseline", "no baseline", "no baseline"};
        QCOMPARE(column(3), recorded);  // newest first
        against->setChecked(true);
        QCOMPARE(column(3), QStringList({"pass (baseline 1)", "fail (baseline 1, seen now)",
                                         "pass (baseline 1, seen now)", "pass (baseline 1, seen now)"}));
        QVERIFY(table->item(1, 3)->toolTip().contains(QStringLiteral("Area SNR: 30.00 % (fail)")));
        QVERIFY(table->item(1, 3)->font().italic());
        for (const StoredRecord& r : Store()->Records({"BACK-1", ""}))
            QCOMPARE(r.BaselineVersion.has_value(), r.Record.AcquisitionDate == "20260126");
        against->setChecked(false);
        QCOMPARE(column(3), recorded);

        // The baseline from the first record is drawn from that record's test.
        C<QComboBox>("ComboBoxMetric")->setCurrentIndex(0);  // area SNR
        double from = std::numeric_limits<double>::max();
        for (QAbstractSeries* series : C<QChartView>("ChartTrend")->chart()->series())
            if (series->name() == QStringLiteral("Baseline"))
                for (const QPointF& at : static_cast<QLineSeries*>(series)->points()) from = std::min(from, at.x());
        QCOMPARE(from, *DayOf(Page()->Records().front().TestedAt) * 86'400'000.0);

        // The legend (where it fits) names each kind of band once; the line under the chart
        // gives the limits, per period after a change, and is shown whole
        // at the window's reference size as in a larger window.
        const auto legend = [&] {
            QTest::qWait(20);  // the legend lays its markers out
            QStringList shown;
            for (QLegendMarker* marker : C<QChartView>("ChartTrend")->chart()->legend()->markers())
                if (marker->isVisible()) shown << marker->label();
            return shown;
        };
        const QStringList kinds = {"Action limits", "Warning limits", "Baseline", "Recorded"};
        auto* limits = C<QLabel>("LabelChartLimits");
        const auto readable = [&](const QString& text) {
            const QSize reference = Form().size();
            for (const QSize size : {reference, QSize(960, 720)}) {
                Form().resize(size);
                QTest::qWait(20);
                QCOMPARE(limits->text(), text);
                if (size.width() == 960) QCOMPARE(legend(), kinds);  // none in the small chart
                QVERIFY2(!limits->visibleRegion().isEmpty(),
                         qPrintable(QStringLiteral("hidden at %1 px").arg(size.width())));
                // Word-wrapped in full: no line cut off below.
                QVERIFY(limits->height() >= limits->heightForWidth(limits->width()));
                QVERIFY(Form().rect().contains(QRect(limits->mapTo(&Form(), QPoint()), limits->size())));
                // Under the chart, not drawn over its axis.
                auto* chart = C<QChartView>("ChartTrend");
                QVERIFY2(limits->mapTo(&Form(), QPoint()).y() >= chart->mapTo(&Form(), QPoint(0, chart->height())).y(),
                         qPrintable(QStringLiteral("at %1x%2: the line at %3, the chart ends at %4")
                                        .arg(size.width())
                                        .arg(size.height())
                                        .arg(limits->mapTo(&Form(), QPoint()).y())
                                        .arg(chart->mapTo(&Form(), QPoint(0, chart->height())).y())));
            }
            Form().resize(reference);
        };
        readable(QStringLiteral("Limits: warning \u00b110 %, action \u00b120 %"));
        Store()->ChangeLimits("BACK-1", {{"area_snr", Limits{5.0, 10.0}}}, "tighter", "qa");
        record("20260202", 102.0, '5');
        record("20260209", 103.0, '6');
        Page()->Refresh();
        readable(QStringLiteral("Limits from 2026-01-05: warning \u00b110 %, action \u00b120 %; "
                                "from 2026-02-02: warning \u00b15 %, action \u00b110 %"));
    }

    // Set as baseline on a detector other than the open image's: the page
    // stays on that detector, the baseline and the status line are its. A
    // blank reason is refused with a message and sets none.
    void baselineOnChosenDetector_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("set");
        QTest::newRow("reason") << "grid replaced" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("blank") << " \t " << false;
    }

    void baselineOnChosenDetector()
    {
        QFETCH(QString, reason);
        QFETCH(bool, set);
        Store()->Record(OtherDetectorRecord());
        CalculateImage("flat.dcm", 1000);
        ShowHistory();
        Click("ButtonRecord");  // the open image's detector, chosen after recording
        TakeBoxes();
        auto* detectors = C<QComboBox>("ComboBoxDetector");
        const QString open = detectors->currentData().toString();
        QVERIFY(open != QStringLiteral("OTHER-1"));

        detectors->setCurrentIndex(detectors->findData(QStringLiteral("OTHER-1")));
        C<QTableWidget>("TableRecords")->selectRow(0);
        const std::int64_t id = Page()->Records().front().Id;
        Dialogs::SetNextTextAnswer(reason);
        Click("ButtonBaseline");

        QCOMPARE(detectors->currentData().toString(), QStringLiteral("OTHER-1"));
        QVERIFY(Store()->Baselines(open.toStdString()).empty());
        const std::vector<Baseline> baselines = Store()->Baselines("OTHER-1");
        if (set) {
            QCOMPARE(TakeBoxes(), QStringList());
            QCOMPARE(baselines.size(), std::size_t{1});
            QCOMPARE(baselines[0].Reason, reason.toStdString());
            QCOMPARE(Page()->StatusText(), QStringLiteral("Baseline 1 set from record %1.").arg(id));
        } else {
            QCOMPARE(TakeBoxes(),
                     QStringList{Plain(
                         QStringLiteral("A baseline needs a reason: record %1 was not made the baseline.").arg(id))});
            QVERIFY(baselines.empty());
        }
        // Looking at another page and back keeps the chosen detector too.
        C<QTabWidget>("EvenorControl")->setCurrentIndex(0);
        ShowHistory();
        QCOMPARE(detectors->currentData().toString(), QStringLiteral("OTHER-1"));
    }

    void storeFailureGoesToErrorBox_data()
    {
        QTest::addColumn<bool>("recordEvery");
        QTest::newRow("button") << false;
        QTest::newRow("record every test") << true;
    }

    void storeFailureGoesToErrorBox()
    {
        QFETCH(bool, recordEvery);
        const QString database = Q(*folder_ / "missing" / "history.sqlite");
        Preferences::SetDatabaseLocation(database);
        Preferences::SetRecordEveryTest(recordEvery);
        CalculateImage("flat.dcm", 1000);
        if (!recordEvery) {
            QCOMPARE(TakeBoxes(), QStringList{Plain(ResultsWritten)});
            ShowHistory();
            Click("ButtonRecord");
        }
        const QStringList boxes = TakeBoxes();
        QCOMPARE(boxes.size(), recordEvery ? 2 : 1);
        if (recordEvery) QCOMPARE(boxes.front(), Plain(ResultsWritten));
        QVERIFY2(boxes.back().startsWith(Error(QStringLiteral("History database ") + database + QLatin1Char(':'))),
                 qPrintable(boxes.back()));
        // The run's own results stay.
        QVERIFY(C<QWidget>("Results")->isEnabled());
    }

    // On a PostgreSQL server (the ctest entry ui_history_postgres, label
    // postgres, which scripts/test runs inside pg_virtualenv): the location
    // typed into the Preferences dialog as a postgresql:// URI, every test
    // recorded there, the History page listing them, and the button's record.
    void postgresThroughTheWindow()
    {
        if (qEnvironmentVariableIsEmpty("EVENOR_UI_POSTGRES"))
            QSKIP("run by the ctest entry ui_history_postgres, with a server");
        if (qEnvironmentVariableIsEmpty("PGHOST")) QFAIL("no PostgreSQL server (PGHOST is not set)");
        const std::string schema = "evenor_ui_" + std::to_string(QCoreApplication::applicationPid());
        const auto admin = OpenPostgresSession("postgresql://");
        admin->Run("DROP SCHEMA IF EXISTS " + schema + " CASCADE", {});
        admin->Run("CREATE SCHEMA " + schema, {});
        const QString uri = QStringLiteral("postgresql://?options=-csearch_path%3D") + Q(schema);
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog != nullptr);
            dialog->findChild<QLineEdit*>(QStringLiteral("EditDatabase"))->setText(uri);
            dialog->findChild<QCheckBox*>(QStringLiteral("CheckBoxRecordEvery"))->setChecked(true);
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        Click("ButtonPreferences");
        CalculateImage("flat.dcm", 1000);
        QCOMPARE(TakeBoxes(), QStringList{Plain(ResultsWritten)});
        CalculateImage("second.dcm", 1200);
        QCOMPARE(TakeBoxes(), QStringList{Plain(ResultsWritten)});
        ShowHistory();
        QCOMPARE(C<QTableWidget>("TableRecords")->rowCount(), 2);
        Click("ButtonRecord");
        QVERIFY(Page()->StatusText().startsWith(QStringLiteral("Already recorded as record")));
        QCOMPARE(TakeBoxes(), QStringList());
        QCOMPARE(HistoryStore::Open(uri.toStdString(), false)->Records().size(), std::size_t{2});
        admin->Run("DROP SCHEMA " + schema + " CASCADE", {});
    }

    void preferencesRememberedAndRecordEveryTest()
    {
        const QString database = Q(*folder_ / "chosen.sqlite");
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog != nullptr);
            QCOMPARE(dialog->objectName(), QStringLiteral("PreferencesDialog"));
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("EditDatabase"));
            QCOMPARE(edit->text(), preferences_->Database());
            edit->setText(database);
            dialog->findChild<QCheckBox*>(QStringLiteral("CheckBoxRecordEvery"))->setChecked(true);
            auto* decode = dialog->findChild<QCheckBox*>(QStringLiteral("CheckBoxDecodeCompressed"));
            QVERIFY(!decode->isChecked());
            decode->setChecked(true);
            // The paper shows the locale's; left as it is, none is chosen.
            auto* paper = dialog->findChild<QComboBox*>(QStringLiteral("ComboBoxPaper"));
            QCOMPARE(paper->currentText(),
                     QString::fromLatin1(Preferences::LocalePaper() == PaperSize::Letter ? "Letter" : "A4"));
            // Who the PDF reports name: the user's login until a name is typed.
            auto* analysedBy = dialog->findChild<QLineEdit*>(QStringLiteral("EditAnalysedBy"));
            QCOMPARE(analysedBy->text(), QString());
            analysedBy->setText(QStringLiteral(" A. Physicist "));
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        Click("ButtonPreferences");
        {
            const QSettings file(preferences_->File(), QSettings::IniFormat);
            QCOMPARE(file.value(QStringLiteral("History/Database")).toString(), database);
            QCOMPARE(file.value(QStringLiteral("History/RecordEveryTest")).toBool(), true);
            QCOMPARE(file.value(QStringLiteral("Images/DecodeCompressed")).toBool(), true);
            QCOMPARE(file.value(QStringLiteral("Reports/AnalysedBy")).toString(), QStringLiteral("A. Physicist"));
            QVERIFY(!file.contains(QStringLiteral("Reports/Paper")));
        }
        QVERIFY(Preferences::DecodeCompressedImages());
        QVERIFY(!Preferences::ReportPaperChosen());

        // The other paper chosen is kept; so is a choice shown again.
        const PaperSize other = Preferences::LocalePaper() == PaperSize::Letter ? PaperSize::A4 : PaperSize::Letter;
        for (const PaperSize paper : {other, other}) {
            QTimer::singleShot(0, [&] {
                auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
                QVERIFY(dialog != nullptr);
                auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("ComboBoxPaper"));
                combo->setCurrentText(QString::fromLatin1(paper == PaperSize::Letter ? "Letter" : "A4"));
                dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
            });
            Click("ButtonPreferences");
            QVERIFY(Preferences::ReportPaperChosen());
            QCOMPARE(Preferences::ReportPaper(), paper);
            const QSettings file(preferences_->File(), QSettings::IniFormat);
            QCOMPARE(file.value(QStringLiteral("Reports/Paper")).toString(), QString::fromLatin1(PaperName(paper)));
        }

        // Each successful run is recorded after its messages, which stay as they were.
        CalculateImage("flat.dcm", 1000);
        QCOMPARE(TakeBoxes(), QStringList{Plain(ResultsWritten)});
        CalculateImage("second.dcm", 1200);
        QCOMPARE(TakeBoxes(), QStringList{Plain(ResultsWritten)});
        const auto store = HistoryStore::Open(database.toStdString(), false);
        QCOMPARE(store->Records().size(), std::size_t{2});
        QVERIFY(!QFileInfo::exists(preferences_->Database()));

        // An empty location means the default one.
        Preferences::SetDatabaseLocation(QString());
        qputenv("EVENOR_DB", database.toUtf8());
        QCOMPARE(HistoryLocation(), database.toStdString());
        qunsetenv("EVENOR_DB");
    }
};

}  // namespace evenor::test

QTEST_MAIN(evenor::test::HistoryPageTest)
#include "HistoryPageTest.moc"
