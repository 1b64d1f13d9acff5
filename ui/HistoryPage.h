#pragma once
// The History page of the main window: the QA history of one detector (the
// open image's when it has been recorded, or any chosen), its records with
// their verdicts, a trend chart of one metric against the detector's latest
// baseline with its warning and action bands, and the buttons that record
// the last test and make a record the baseline. Records judged with no
// baseline (made before one was set) are counted above the table, and can be
// seen against the newest baseline with the limits in force now; their
// recorded verdicts stay as they are, nothing is written.
//
// The page opens the history database for each action (the location from the
// preferences) and keeps no connection. A store failure goes to the error box
// with the store's message, which names the database; the page stays as it
// was.
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QWidget>

#include "history/HistoryStore.h"
#include "qa/ReportData.h"

class QChartView;
class QCheckBox;
class QDateTimeAxis;
class QValueAxis;
class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;
class QTabWidget;

namespace evenor {

// The database the window records in: the preferences' location, else
// HistoryStore::DefaultLocation().
std::string HistoryLocation();

class THistoryPage : public QWidget {
    Q_OBJECT
public:
    explicit THistoryPage(QWidget* parent = nullptr);

    // Gives the record of the last successful run; nothing before one. May
    // throw EvenorError.
    void SetRecordSource(std::function<std::optional<QaRecord>()> source) { recordSource_ = std::move(source); }
    // The detector key of the open image (empty without one): chosen on the
    // first Refresh that finds it recorded; later ones keep the user's choice.
    void SetOpenDetector(std::string key);
    // Reads the detectors and the chosen one's records again.
    void Refresh();
    // Records the last run. Returns false (after the error box) when the
    // store failed or there is no run to record.
    bool RecordLastTest();
    // The history part of the PDF report of the last run, when it has been
    // recorded since the run (RecordLastTest); nothing otherwise, or after the
    // error box when the store failed.
    std::optional<ReportBaseline> ReportOfLastRecord();
    // A new run: its record is not made yet.
    void ForgetLastRecord() { lastRecord_.reset(); }

    // What the page shows, for tests.
    const std::vector<StoredRecord>& Records() const { return records_; }
    const std::vector<IntakeEntry>& Inbox() const { return inbox_; }
    QString StatusText() const;

private slots:
    void ComboBoxDetectorChange();
    void ShowChart();
    void ButtonRecordClick();
    void ButtonBaselineClick();

private:
    // Runs an action on the store; false after the error box when it threw.
    bool WithStore(const std::function<void(HistoryStore&)>& action);
    void ReadRecords(HistoryStore& store);
    void ShowRecords();
    std::string ChosenDetector() const;

    std::function<std::optional<QaRecord>()> recordSource_;
    std::string openDetector_;
    // Whether the next Refresh chooses openDetector_ (once it is listed).
    bool showOpenDetector_ = false;
    std::optional<RecordOutcome> lastRecord_;  // of the last run
    std::vector<StoredRecord> records_;
    std::vector<IntakeEntry> inbox_;    // the chosen detector's images received or found
    std::optional<Baseline> baseline_;  // the newest
    std::vector<Baseline> baselines_;   // every version, oldest first
    std::array<Limits, BaselineCheckCount> limits_{};
    bool filling_ = false;

    QComboBox* comboBoxDetector_ = nullptr;
    QTableWidget* tableRecords_ = nullptr;
    QTableWidget* tableInbox_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QComboBox* comboBoxMetric_ = nullptr;
    QChartView* chartView_ = nullptr;
    QLabel* labelLimits_ = nullptr;  // the limits of the chart's bands, under it
    // Made once and kept: axes removed and deleted between charts left their
    // labels drawn behind the new ones.
    QDateTimeAxis* axisX_ = nullptr;
    QValueAxis* axisY_ = nullptr;
    // The values the y axis must show, before rounding to nice numbers, and
    // the tick count chosen for the plot's height.
    double yLow_ = 0.0, yHigh_ = 1.0;
    int yTicks_ = 0;
    void FitYAxis(double plotHeight);
    QPushButton* buttonRecord_ = nullptr;
    QPushButton* buttonBaseline_ = nullptr;
    QLabel* labelStatus_ = nullptr;
    // Says how many records were judged with no baseline (made before one was
    // set); the box shows them against the newest baseline, in this page only.
    QLabel* labelNoBaseline_ = nullptr;
    QCheckBox* checkBoxAgainstCurrent_ = nullptr;
};

// The preferences dialog: where the history is kept, whether every test is
// recorded, whether compressed images are decoded, the PDF reports' paper and
// who they name as having made the analysis. Accepting it stores them all in
// the preferences.
// Shows the dialog modally over parent; true when the user accepted it.
bool EditPreferences(QWidget* parent);

}  // namespace evenor
