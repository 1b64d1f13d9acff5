// The History page: the detector list, the table of its records, the trend
// chart with its limits and baseline bands, and the buttons that record the
// last test and set a baseline. It stays one file because every part reads
// the same records the page has loaded and redraws from them together; the
// records, limits and baselines themselves live in history/, and the trend
// series and report data in qa/, so what is left here is widget code.

#include "ui/HistoryPage.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QGraphicsLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegend>
#include <QLegendMarker>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QResizeEvent>
#include <QScatterSeries>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QValueAxis>

#include "insight/ResultExport.h"
#include "qa/Recorder.h"
#include "qa/ReportSources.h"
#include "ui/Dialogs.h"
#include "ui/Fonts.h"
#include "ui/Preferences.h"

namespace evenor {

namespace {

QString Text(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QDateTime TestedAt(const StoredRecord& record)
{
    QDateTime at = QDateTime::fromString(Text(record.TestedAt), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    at.setTimeSpec(Qt::UTC);
    return at;
}

// A word-wrapped label that asks its layout for the height of all its lines
// at its width (a splitter's pane otherwise squeezes it over its neighbours).
class TWrappedLabel : public QLabel {
public:
    using QLabel::QLabel;

    QSize minimumSizeHint() const override
    {
        const QSize hint = QLabel::minimumSizeHint();
        return width() > 0 ? QSize(hint.width(), heightForWidth(width())) : hint;
    }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QLabel::resizeEvent(event);
        if (event->size().width() != event->oldSize().width()) updateGeometry();
    }
};

// "2026-03-02" of days since 1970-01-01.
QString DateOf(double day)
{
    return QDate(1970, 1, 1).addDays(static_cast<qint64>(std::floor(day))).toString(QStringLiteral("yyyy-MM-dd"));
}

QLineSeries* Line(const std::vector<QPointF>& points)
{
    auto* series = new QLineSeries;
    for (const QPointF& p : points) series->append(p);
    return series;
}

// A band between two horizontal lines over [left, right].
QAreaSeries* Band(double left, double right, double low, double high, const QColor& colour, const QString& name)
{
    auto* band = new QAreaSeries(Line({{left, high}, {right, high}}), Line({{left, low}, {right, low}}));
    band->setName(name);
    band->setColor(colour);
    band->setBorderColor(colour);
    return band;
}

}  // namespace

std::string HistoryLocation()
{
    // The default file's folder is made by the first recording; a chosen one must exist.
    return HistoryLocation(Preferences::DatabaseLocation().trimmed().toStdString());
}

THistoryPage::THistoryPage(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("History"));

    auto* detectorLabel = new QLabel(QStringLiteral("Detector:"), this);
    comboBoxDetector_ = new QComboBox(this);
    comboBoxDetector_->setObjectName(QStringLiteral("ComboBoxDetector"));
    comboBoxDetector_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    comboBoxDetector_->setMinimumContentsLength(16);
    detectorLabel->setBuddy(comboBoxDetector_);

    tableRecords_ = new QTableWidget(0, 5, this);
    tableRecords_->setObjectName(QStringLiteral("TableRecords"));
    tableRecords_->setHorizontalHeaderLabels({QStringLiteral("Date"), QStringLiteral("File"), QStringLiteral("Verdict"),
                                              QStringLiteral("Baseline checks"), QStringLiteral("Notes")});
    tableRecords_->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableRecords_->setSelectionMode(QAbstractItemView::SingleSelection);
    tableRecords_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tableRecords_->verticalHeader()->hide();
    // One line of text per record: more of them, and room for the chart.
    tableRecords_->verticalHeader()->setDefaultSectionSize(tableRecords_->fontMetrics().height() + 6);
    tableRecords_->horizontalHeader()->setStretchLastSection(true);

    // The images that arrived by "evenor-cli serve" or "watch" for this
    // detector, with their state.
    tableInbox_ = new QTableWidget(0, 4, this);
    tableInbox_->setObjectName(QStringLiteral("TableInbox"));
    tableInbox_->setHorizontalHeaderLabels(
        {QStringLiteral("Updated"), QStringLiteral("File"), QStringLiteral("State"), QStringLiteral("Rule, message")});
    tableInbox_->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableInbox_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tableInbox_->verticalHeader()->hide();
    tableInbox_->horizontalHeader()->setStretchLastSection(true);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("HistoryTabs"));
    tabs_->addTab(tableRecords_, QStringLiteral("Records"));
    tabs_->addTab(tableInbox_, QStringLiteral("Inbox"));

    auto* metricLabel = new QLabel(QStringLiteral("Trend of:"), this);
    comboBoxMetric_ = new QComboBox(this);
    comboBoxMetric_->setObjectName(QStringLiteral("ComboBoxMetric"));
    for (const BaselineCheckInfo& check : AllBaselineChecks()) comboBoxMetric_->addItem(Text(check.Name));
    metricLabel->setBuddy(comboBoxMetric_);

    // Compact: the metric's name is in the combo box above, and the page is
    // small at the window's reference size.
    auto* chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->legend()->setFont(UiFont(7));
    chart->setMargins(QMargins(0, 0, 0, 0));
    chart->layout()->setContentsMargins(0, 0, 0, 0);
    chart->setBackgroundRoundness(0);
    chartView_ = new QChartView(chart, this);
    chartView_->setObjectName(QStringLiteral("ChartTrend"));
    chartView_->setRenderHint(QPainter::Antialiasing);
    chartView_->setMinimumHeight(60);  // room for the line of limits under it at the reference size
    // The limits the bands were drawn with, under the chart: the legend has
    // no room for them, nor any at all when the page is small.
    labelLimits_ = new TWrappedLabel(this);
    labelLimits_->setObjectName(QStringLiteral("LabelChartLimits"));
    labelLimits_->setFont(UiFont(8));
    labelLimits_->setWordWrap(true);
    labelLimits_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    labelLimits_->hide();
    axisX_ = new QDateTimeAxis;
    axisX_->setFormat(QStringLiteral("yyyy-MM-dd"));
    axisX_->setTickCount(4);
    axisX_->setLabelsFont(UiFont(7));
    axisY_ = new QValueAxis;
    axisY_->setLabelsFont(UiFont(7));
    axisY_->setLabelFormat(QStringLiteral("%g"));
    chart->addAxis(axisX_, Qt::AlignBottom);
    chart->addAxis(axisY_, Qt::AlignLeft);
    axisX_->setVisible(false);
    axisY_->setVisible(false);
    // As many y ticks as the plot's height leaves room for: crowded labels
    // are elided to "...".
    // The legend only where it leaves the plot room (the line under the
    // chart gives the limits at any size).
    connect(chart, &QChart::plotAreaChanged, this, [this, chart](const QRectF& plot) {
        FitYAxis(plot.height());
        chart->legend()->setVisible(chartView_->height() >= 160);
    });

    buttonRecord_ = new QPushButton(QStringLiteral("Record this test"), this);
    buttonRecord_->setObjectName(QStringLiteral("ButtonRecord"));
    buttonRecord_->setToolTip(QStringLiteral("Record the last result in the history"));
    buttonRecord_->setAutoDefault(false);
    buttonBaseline_ = new QPushButton(QStringLiteral("Set as baseline"), this);
    buttonBaseline_->setObjectName(QStringLiteral("ButtonBaseline"));
    buttonBaseline_->setToolTip(QStringLiteral("Make the selected record the detector's baseline"));
    buttonBaseline_->setAutoDefault(false);
    labelStatus_ = new QLabel(this);
    labelStatus_->setObjectName(QStringLiteral("LabelHistoryStatus"));
    labelStatus_->setWordWrap(true);

    auto* detectorRow = new QHBoxLayout;
    detectorRow->addWidget(detectorLabel);
    detectorRow->addWidget(comboBoxDetector_, 1);
    labelNoBaseline_ = new QLabel(this);
    labelNoBaseline_->setObjectName(QStringLiteral("LabelNoBaseline"));
    labelNoBaseline_->setWordWrap(true);
    labelNoBaseline_->setToolTip(QStringLiteral("Records made before the detector's first baseline was set are "
                                                "judged against none"));
    labelNoBaseline_->hide();
    checkBoxAgainstCurrent_ = new QCheckBox(this);
    checkBoxAgainstCurrent_->setObjectName(QStringLiteral("CheckBoxAgainstCurrent"));
    checkBoxAgainstCurrent_->setToolTip(QStringLiteral("Judge the records made before any baseline against the newest "
                                                       "one, with the limits in force now, on this page only: their "
                                                       "recorded verdicts stay as they are"));
    checkBoxAgainstCurrent_->hide();
    auto* noBaselineRow = new QHBoxLayout;
    noBaselineRow->addWidget(labelNoBaseline_, 1);
    noBaselineRow->addWidget(checkBoxAgainstCurrent_);
    auto* chartPane = new QWidget(this);
    auto* chartLayout = new QVBoxLayout(chartPane);
    chartLayout->setContentsMargins(0, 0, 0, 0);
    auto* metricRow = new QHBoxLayout;
    metricRow->addWidget(metricLabel);
    metricRow->addWidget(comboBoxMetric_, 1);
    chartLayout->addLayout(metricRow);
    chartLayout->addWidget(chartView_, 1);
    chartLayout->addWidget(labelLimits_);
    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(tabs_);
    splitter->addWidget(chartPane);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 2);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(buttonRecord_);
    buttonRow->addWidget(buttonBaseline_);
    buttonRow->addWidget(labelStatus_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addLayout(detectorRow);
    layout->addLayout(noBaselineRow);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttonRow);

    connect(comboBoxDetector_, &QComboBox::currentIndexChanged, this, &THistoryPage::ComboBoxDetectorChange);
    connect(comboBoxMetric_, &QComboBox::currentIndexChanged, this, &THistoryPage::ShowChart);
    connect(buttonRecord_, &QPushButton::clicked, this, &THistoryPage::ButtonRecordClick);
    connect(buttonBaseline_, &QPushButton::clicked, this, &THistoryPage::ButtonBaselineClick);
    connect(checkBoxAgainstCurrent_, &QCheckBox::toggled, this, &THistoryPage::ShowRecords);
    buttonRecord_->setEnabled(false);
    buttonBaseline_->setEnabled(false);
    connect(tableRecords_, &QTableWidget::itemSelectionChanged, this,
            [this] { buttonBaseline_->setEnabled(tableRecords_->currentRow() >= 0 && !records_.empty()); });
}

QString THistoryPage::StatusText() const { return labelStatus_->text(); }

void THistoryPage::SetOpenDetector(std::string key)
{
    openDetector_ = std::move(key);
    showOpenDetector_ = true;
}

bool THistoryPage::WithStore(const std::function<void(HistoryStore&)>& action)
{
    try {
        const std::unique_ptr<HistoryStore> store = HistoryStore::Open(HistoryLocation());
        action(*store);
        return true;
    } catch (const std::exception& e) {
        Dialogs::Error(this, QString::fromStdString(e.what()));
        return false;
    }
}

std::string THistoryPage::ChosenDetector() const { return comboBoxDetector_->currentData().toString().toStdString(); }

void THistoryPage::Refresh()
{
    buttonRecord_->setEnabled(static_cast<bool>(recordSource_));
    // Looking at the page makes no database: an SQLite file appears with
    // the first record.
    const QString location = QString::fromStdString(HistoryLocation());
    if (!location.startsWith(QStringLiteral("postgres")) && !location.startsWith(QStringLiteral("file:")) &&
        !QFileInfo::exists(location)) {
        filling_ = true;
        comboBoxDetector_->clear();
        filling_ = false;
        records_.clear();
        inbox_.clear();
        baseline_.reset();
        baselines_.clear();
        labelStatus_->setText(QStringLiteral("No test recorded yet."));
        ShowRecords();
        return;
    }
    WithStore([this](HistoryStore& store) {
        const std::string chosen = ChosenDetector();
        const std::vector<DetectorRow> detectors = store.Detectors();
        filling_ = true;
        comboBoxDetector_->clear();
        int select = -1;
        for (const DetectorRow& d : detectors) {
            const QString key = Text(d.Key);
            const QString name = d.DisplayName.empty() || d.DisplayName == d.Key
                                     ? key
                                     : QStringLiteral("%1 (%2)").arg(Text(d.DisplayName), key);
            comboBoxDetector_->addItem(QStringLiteral("%1, %2 records").arg(name).arg(d.RecordCount), key);
            if (showOpenDetector_ && d.Key == openDetector_) select = comboBoxDetector_->count() - 1;
        }
        // Detectors whose images arrived but were not recorded (unmatched,
        // refused, or a rule that does not record): their inbox.
        for (const std::string& key : store.IntakeOnlyDetectors()) {
            comboBoxDetector_->addItem(QStringLiteral("%1, no records").arg(Text(key)), Text(key));
            if (showOpenDetector_ && key == openDetector_) select = comboBoxDetector_->count() - 1;
        }
        // The open image's detector once it is listed, else the one chosen
        // before: a detector the user chose stays chosen until another
        // image is opened or recorded.
        if (select >= 0) showOpenDetector_ = false;
        if (select < 0) select = std::max(0, comboBoxDetector_->findData(Text(chosen)));
        if (comboBoxDetector_->count() > 0) comboBoxDetector_->setCurrentIndex(select);
        filling_ = false;
        ReadRecords(store);
    });
    ShowRecords();
}

void THistoryPage::ComboBoxDetectorChange()
{
    if (filling_) return;
    WithStore([this](HistoryStore& store) { ReadRecords(store); });
    ShowRecords();
}

void THistoryPage::ReadRecords(HistoryStore& store)
{
    records_.clear();
    inbox_.clear();
    baseline_.reset();
    baselines_.clear();
    const std::string key = ChosenDetector();
    if (key.empty()) return;
    inbox_ = store.Intake(key);
    const std::vector<std::string> intakeOnly = store.IntakeOnlyDetectors();
    if (std::find(intakeOnly.begin(), intakeOnly.end(), key) != intakeOnly.end()) {
        tabs_->setCurrentIndex(1);  // nothing recorded: the inbox is all there is
        return;
    }
    RecordFilter filter;
    filter.Detector = key;
    filter.WithDetails = false;
    std::vector<StoredRecord> records = store.Records(filter);
    const DetectorRow detector = store.FindDetector(key);
    const std::vector<Baseline> baselines = store.Baselines(key);
    limits_ = store.LimitsOf(detector.Id);
    records_ = std::move(records);
    if (!baselines.empty()) baseline_ = baselines.back();
    baselines_ = baselines;
}

void THistoryPage::ShowRecords()
{
    tableInbox_->clearContents();
    tableInbox_->setRowCount(static_cast<int>(inbox_.size()));
    for (std::size_t i = 0; i < inbox_.size(); ++i) {  // newest first, as stored
        const IntakeEntry& e = inbox_[i];
        QString state = Text(e.State);
        if (!e.Verdict.empty()) state += QStringLiteral(" (%1)").arg(Text(e.Verdict));
        if (e.RecordId) state += QStringLiteral(", record %1").arg(*e.RecordId);
        QString about = Text(e.Rule);
        if (!e.Message.empty() && e.State != IntakeAnalysed)
            about += (about.isEmpty() ? QString() : QStringLiteral(": ")) + Text(e.Message);
        const QStringList cells = {Text(e.UpdatedAt), QFileInfo(Text(e.Path)).fileName(), state, about};
        for (int c = 0; c < cells.size(); ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            if (c == 1) item->setToolTip(Text(e.Path) + QStringLiteral("\n") + Text(e.Source));
            tableInbox_->setItem(static_cast<int>(i), c, item);
        }
    }
    tabs_->setTabText(1, inbox_.empty() ? QStringLiteral("Inbox") : QStringLiteral("Inbox (%1)").arg(inbox_.size()));

    // The records judged with no baseline, and the offer to see them
    // against the newest one.
    const auto unjudged =
        std::count_if(records_.begin(), records_.end(), [](const StoredRecord& r) { return !r.BaselineVersion; });
    const bool againstCurrent = unjudged > 0 && baseline_ && checkBoxAgainstCurrent_->isChecked();
    if (unjudged > 0 && baseline_)
        labelNoBaseline_->setText(QStringLiteral("%1 of %2 records %3 judged with no baseline.")
                                      .arg(unjudged)
                                      .arg(records_.size())
                                      .arg(unjudged == 1 ? QStringLiteral("was") : QStringLiteral("were")));
    else if (unjudged > 0)
        labelNoBaseline_->setText(QStringLiteral("No baseline is set: the records were judged with none."));
    labelNoBaseline_->setVisible(unjudged > 0);
    if (baseline_)
        checkBoxAgainstCurrent_->setText(QStringLiteral("Show %1 against baseline %2")
                                             .arg(unjudged == 1 ? QStringLiteral("it") : QStringLiteral("them"))
                                             .arg(baseline_->Version));
    checkBoxAgainstCurrent_->setVisible(unjudged > 0 && baseline_);

    tableRecords_->clearContents();
    tableRecords_->setRowCount(static_cast<int>(records_.size()));
    // Newest first.
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const StoredRecord& r = records_[records_.size() - 1 - i];
        const int row = static_cast<int>(i);
        QString checks =
            r.BaselineVersion
                ? QStringLiteral("%1 (baseline %2)").arg(Text(VerdictName(r.BaselineOverall))).arg(*r.BaselineVersion)
                : QStringLiteral("no baseline");
        // Judged now against the newest baseline, shown only: the record
        // keeps the verdict it was recorded with.
        QStringList seenNow;
        if (againstCurrent && !r.BaselineVersion) {
            Verdict overall = Verdict::NotEvaluated;
            seenNow << QStringLiteral("Recorded with no baseline; against baseline %1 with the limits in force now:")
                           .arg(baseline_->Version);
            for (const BaselineCheck& check : CheckAgainstBaseline(r.Record.Numbers, r.Record.Exposure,
                                                                   r.Record.ExposureUnit, *baseline_, limits_)) {
                overall = std::max(overall, check.Result);
                const QString name = Text(FindBaselineCheck(check.Key)->Name);
                seenNow << (check.DeviationPercent ? QStringLiteral("%1: %2 % (%3)")
                                                         .arg(name, QString::number(*check.DeviationPercent, 'f', 2),
                                                              Text(VerdictName(check.Result)))
                                                   : QStringLiteral("%1: %2").arg(name, Text(check.Note)));
            }
            checks =
                QStringLiteral("%1 (baseline %2, seen now)").arg(Text(VerdictName(overall))).arg(baseline_->Version);
        }
        // Notes: the exclusion, and a new software version or model (a
        // natural point to set a new baseline).
        QStringList notes;
        if (r.Excluded) notes << QStringLiteral("excluded: %1").arg(Text(r.ExcludedReason));
        for (const std::string& note : r.Notes) notes << Text(note);
        const QStringList cells = {Text(r.TestedAt), QFileInfo(Text(r.Record.FileName)).fileName(),
                                   Text(VerdictName(r.Record.Overall)), checks, notes.join(QStringLiteral("; "))};
        for (int c = 0; c < cells.size(); ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            item->setData(Qt::UserRole, QVariant::fromValue<qlonglong>(r.Id));
            // The notes over the whole row too: at the window's reference
            // size their column lies to the right, out of sight.
            QStringList tip;
            if (c == 1) tip << Text(r.Record.FileName);
            if (c == 3 && !seenNow.isEmpty()) {
                tip << seenNow;
                QFont italic = item->font();
                italic.setItalic(true);
                item->setFont(italic);
            }
            if (!notes.isEmpty()) tip << notes;
            item->setToolTip(tip.join(QLatin1Char('\n')));
            tableRecords_->setItem(row, c, item);
        }
    }
    tableRecords_->resizeColumnsToContents();
    buttonBaseline_->setEnabled(false);
    ShowChart();
}

void THistoryPage::ShowChart()
{
    QChart* chart = chartView_->chart();
    chart->removeAllSeries();
    axisX_->setVisible(false);
    axisY_->setVisible(false);
    labelLimits_->clear();
    labelLimits_->hide();
    chartView_->setToolTip(QString());
    const int index = comboBoxMetric_->currentIndex();
    if (index < 0 || records_.empty()) return;
    // Each record against the baseline and the limits in force when it was
    // recorded, as the table and the command line's charts show it; the
    // baselines over time.
    const TrendSeries trend =
        TrendSeriesFor(static_cast<std::size_t>(index), std::string(), ChosenDetector(), records_, baselines_, limits_);
    constexpr double kMsPerDay = 86'400'000.0;

    auto* values = new QLineSeries;
    values->setName(QStringLiteral("Recorded"));
    values->setPointsVisible(true);
    // One colour whatever the number of band pieces before it (the theme's
    // colour by position made it green on the warning band).
    values->setColor(QColor(0x6d, 0x5f, 0xd5));
    auto* excluded = new QScatterSeries;
    excluded->setName(QStringLiteral("Excluded"));
    excluded->setMarkerSize(7);
    excluded->setColor(Qt::gray);
    double low = std::numeric_limits<double>::max(), high = std::numeric_limits<double>::lowest();
    double left = std::numeric_limits<double>::max(), right = std::numeric_limits<double>::lowest();
    for (const TrendPoint& point : trend.Points) {
        const double x = point.Day * kMsPerDay;
        (point.Excluded ? static_cast<QXYSeries*>(excluded) : values)->append(x, point.Value);
        low = std::min(low, point.Value);
        high = std::max(high, point.Value);
        left = std::min(left, x);
        right = std::max(right, x);
    }
    if (left > right) {
        delete values;
        delete excluded;
        return;
    }
    // Beyond the newest baseline when it was set at or after the last record,
    // so that it shows at once (as the printed charts leave room for it).
    if (!trend.Baselines.empty() && trend.Baselines.back().FromDay * kMsPerDay >= right) {
        right = trend.Baselines.back().FromDay * kMsPerDay;
        right += std::max((right - left) * 0.04, 43'200'000.0);
    }
    if (left == right) {
        left -= 43'200'000.0;
        right += 43'200'000.0;
    }

    // The baselines in force over time and their bands, stretch by stretch:
    // each version from when it was set until the next took over, changing
    // where the records' limits change (as the printed charts draw them).
    // The legend names each kind of band once; the line under the chart
    // gives their limits, per period of one pair when they changed.
    std::vector<QAbstractSeries*> series;
    std::vector<QAbstractSeries*> unlisted;  // later pieces of a band already in the legend
    QStringList named;
    const std::vector<TrendStretch> stretches = TrendStretches(trend, left / kMsPerDay, right / kMsPerDay);
    const std::vector<TrendLimitsPeriod> periods = TrendLimitsPeriods(stretches);
    const bool limitsVary = TrendLimitsVary(periods);
    for (const TrendStretch& stretch : stretches) {
        const double from = stretch.From * kMsPerDay, to = stretch.To * kMsPerDay;
        if (!(to > from)) continue;
        const double ref = stretch.Reference;
        const double scale = std::max(ref, trend.MinimumReference);
        const auto add = [&](QAbstractSeries* piece) {
            series.push_back(piece);
            if (named.contains(piece->name()))
                unlisted.push_back(piece);
            else
                named << piece->name();
        };
        const auto band = [&](std::optional<double> percent, const QColor& colour, const char* name) {
            if (!percent) return;
            const double lo = std::max(0.0, ref - scale * *percent / 100.0);
            const double hi = ref + scale * *percent / 100.0;
            add(Band(from, to, lo, hi, colour, QStringLiteral("%1 limits").arg(QLatin1String(name))));
            low = std::min(low, lo);
            high = std::max(high, hi);
        };
        band(stretch.ActionPercent, QColor(255, 214, 153), "Action");
        band(stretch.WarningPercent, QColor(198, 236, 198), "Warning");
        auto* line = Line({{from, ref}, {to, ref}});
        line->setName(QStringLiteral("Baseline"));
        QPen pen(QColor(30, 90, 30));
        pen.setStyle(Qt::DashLine);
        pen.setWidth(2);
        line->setPen(pen);
        add(line);
        low = std::min(low, ref);
        high = std::max(high, ref);
    }
    series.push_back(values);
    if (excluded->count() > 0)
        series.push_back(excluded);
    else
        delete excluded;

    axisX_->setRange(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(left), Qt::UTC),
                     QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(right), Qt::UTC));
    const double margin = high > low ? (high - low) * 0.05 : std::max(1.0, std::abs(high) * 0.05);
    // Every metric is a count, a ratio or a percentage: none goes below 0.
    yLow_ = low >= 0.0 ? std::max(0.0, low - margin) : low - margin;
    yHigh_ = high + margin;
    yTicks_ = 0;
    FitYAxis(chart->plotArea().height());
    axisX_->setVisible(true);
    axisY_->setVisible(true);
    for (QAbstractSeries* s : series) {
        chart->addSeries(s);
        s->attachAxis(axisX_);
        s->attachAxis(axisY_);
    }
    for (QAbstractSeries* s : unlisted)
        for (QLegendMarker* marker : chart->legend()->markers(s)) marker->setVisible(false);

    // "Limits: warning ±5 %, action ±8 %", or when they changed over the
    // chart "Limits from 2026-01-05: warning ±50 %, action ±100 %; from
    // 2026-04-13: ..."; the tooltip gives one period a line.
    QStringList parts;
    for (const TrendLimitsPeriod& period : periods) {
        QStringList pair;
        const auto limit = [&](std::optional<double> percent, const char* name) {
            if (percent)
                pair << QStringLiteral("%1 \u00b1%2 %")
                            .arg(QLatin1String(name), QString::fromStdString(FormatReal(*percent)));
        };
        limit(period.WarningPercent, "warning");
        limit(period.ActionPercent, "action");
        parts << (limitsVary ? QStringLiteral("from %1: ").arg(DateOf(period.From)) : QString()) +
                     pair.join(QStringLiteral(", "));
        if (!limitsVary) break;
    }
    if (!parts.isEmpty()) {
        const QString head = limitsVary ? QStringLiteral("Limits ") : QStringLiteral("Limits: ");
        labelLimits_->setText(head + parts.join(QStringLiteral("; ")));
        labelLimits_->show();
        chartView_->setToolTip(head.trimmed() + (limitsVary ? QStringLiteral("\n") : QStringLiteral(" ")) +
                               parts.join(QStringLiteral("\n")));
    }
}

void THistoryPage::FitYAxis(double plotHeight)
{
    // About 28 pixels between ticks, 2 to 6 intervals.
    const int ticks = std::clamp(static_cast<int>(plotHeight / 28.0), 2, 6) + 1;
    if (ticks == yTicks_) return;
    yTicks_ = ticks;
    axisY_->setRange(yLow_, yHigh_);
    axisY_->setTickCount(ticks);
    axisY_->applyNiceNumbers();
}

bool THistoryPage::RecordLastTest()
{
    std::optional<QaRecord> record;
    try {
        if (recordSource_) record = recordSource_();
    } catch (const std::exception& e) {
        Dialogs::Error(this, QString::fromStdString(e.what()));
        return false;
    }
    if (!record) {
        labelStatus_->setText(QStringLiteral("No result to record: calculate first."));
        return false;
    }
    RecordOutcome outcome;
    if (!WithStore([&](HistoryStore& store) { outcome = store.Record(*record); })) return false;
    QString status = outcome.AlreadyRecorded ? QStringLiteral("Already recorded as record %1.").arg(outcome.Id)
                                             : QStringLiteral("Recorded as record %1.").arg(outcome.Id);
    for (const std::string& note : outcome.Notes) status += QLatin1Char(' ') + Text(note);
    labelStatus_->setText(status);
    SetOpenDetector(outcome.DetectorKey);
    lastRecord_ = outcome;
    Refresh();
    return true;
}

std::optional<ReportBaseline> THistoryPage::ReportOfLastRecord()
{
    if (!lastRecord_) return std::nullopt;
    std::optional<ReportBaseline> report;
    WithStore([&](HistoryStore& store) { report = ReportBaselineFor(store, *lastRecord_); });
    return report;
}

void THistoryPage::ButtonRecordClick() { RecordLastTest(); }

void THistoryPage::ButtonBaselineClick()
{
    const int row = tableRecords_->currentRow();
    const QTableWidgetItem* item = row >= 0 ? tableRecords_->item(row, 0) : nullptr;
    if (item == nullptr) return;
    const std::int64_t id = item->data(Qt::UserRole).toLongLong();
    const std::optional<QString> reason =
        Dialogs::AskText(this, QStringLiteral("Why does record %1 become the baseline?").arg(id));
    if (!reason) return;
    // The history keeps why each baseline was set; a blank reason says nothing.
    if (reason->trimmed().isEmpty()) {
        Dialogs::Message(this,
                         QStringLiteral("A baseline needs a reason: record %1 was not made the baseline.").arg(id));
        return;
    }
    const std::string key = ChosenDetector();
    Baseline baseline;
    if (!WithStore([&](HistoryStore& store) {
            baseline = store.SetBaselineFromRecord(key, id, reason->toStdString(), OperatingSystemUser());
        }))
        return;
    labelStatus_->setText(QStringLiteral("Baseline %1 set from record %2.").arg(baseline.Version).arg(id));
    Refresh();
}

bool EditPreferences(QWidget* parent)
{
    QDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("PreferencesDialog"));
    dialog.setWindowTitle(QStringLiteral("Preferences"));
    auto* location = new QLineEdit(Preferences::DatabaseLocation(), &dialog);
    location->setObjectName(QStringLiteral("EditDatabase"));
    location->setPlaceholderText(QString::fromStdString(HistoryStore::DefaultLocation()));
    location->setToolTip(QStringLiteral("An SQLite file, or a postgresql:// URI for a shared database; empty for the "
                                        "default file"));
    location->setMinimumWidth(360);
    auto* recordEvery = new QCheckBox(QStringLiteral("Record every test"), &dialog);
    recordEvery->setObjectName(QStringLiteral("CheckBoxRecordEvery"));
    recordEvery->setToolTip(QStringLiteral("Record each successful calculation in the history"));
    recordEvery->setChecked(Preferences::RecordEveryTest());
    auto* decodeCompressed = new QCheckBox(QStringLiteral("Decode compressed images"), &dialog);
    decodeCompressed->setObjectName(QStringLiteral("CheckBoxDecodeCompressed"));
    decodeCompressed->setToolTip(QStringLiteral("Open JPEG, JPEG-LS, JPEG 2000, RLE and deflated images (the first "
                                                "frame) instead of refusing them; lossy ones are analysed with a "
                                                "warning"));
    decodeCompressed->setChecked(Preferences::DecodeCompressedImages());
    auto* paper = new QComboBox(&dialog);
    paper->setObjectName(QStringLiteral("ComboBoxPaper"));
    paper->addItem(QStringLiteral("A4"), QString::fromLatin1(PaperName(PaperSize::A4)));
    paper->addItem(QStringLiteral("Letter"), QString::fromLatin1(PaperName(PaperSize::Letter)));
    paper->setToolTip(QStringLiteral("The paper of the PDF reports; until one is chosen, Letter where the system "
                                     "measures in US units, A4 elsewhere"));
    const PaperSize shownPaper = Preferences::ReportPaper();
    paper->setCurrentIndex(shownPaper == PaperSize::Letter ? 1 : 0);
    auto* analysedBy = new QLineEdit(Preferences::AnalysedBy(), &dialog);
    analysedBy->setObjectName(QStringLiteral("EditAnalysedBy"));
    analysedBy->setPlaceholderText(QString::fromStdString(OperatingSystemUser()));
    analysedBy->setToolTip(QStringLiteral("Who the PDF reports name as having made the analysis; empty for the "
                                          "user's login"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("History database:"), location);
    form->addRow(QString(), recordEvery);
    form->addRow(QString(), decodeCompressed);
    form->addRow(QStringLiteral("PDF report paper:"), paper);
    form->addRow(QStringLiteral("Analysed by:"), analysedBy);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addLayout(form);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted) return false;
    Preferences::SetDatabaseLocation(location->text().trimmed());
    Preferences::SetRecordEveryTest(recordEvery->isChecked());
    Preferences::SetDecodeCompressedImages(decodeCompressed->isChecked());
    Preferences::SetAnalysedBy(analysedBy->text().trimmed());
    // Kept once chosen; left to the locale while the shown paper is untouched.
    const PaperSize chosenPaper = paper->currentIndex() == 1 ? PaperSize::Letter : PaperSize::A4;
    if (chosenPaper != shownPaper || Preferences::ReportPaperChosen()) Preferences::SetReportPaper(chosenPaper);
    return true;
}

}  // namespace evenor
