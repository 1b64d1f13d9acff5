// The trend chart of a hand-made series: the baseline line and the bands lie
// at the rows their values give, in each baseline version's stretch of time;
// a baseline set after the last record shows at once; the legend or the
// bands' labels give the limits each stretch was drawn with. The baselines
// over time of stored records (TrendSeriesFor): one set from records made
// after the fact is drawn over them.
#include <gtest/gtest.h>

#include <QPaintEngine>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <iterator>

#include "qa/ReportSources.h"
#include "render/MapRenderer.h"
#include "render/TrendChart.h"

namespace evenor::test {
namespace {

// A chart-sized picture that keeps the texts painted on it and where they
// begin (in its coordinates), and draws nothing.
class TextRecorder : public QImage {
public:
    struct Drawn {
        QString Text;
        QPointF At;  // the start of the baseline
    };
    std::vector<Drawn> Texts;

    TextRecorder() : QImage(TrendChartSize, QImage::Format_RGB32) {}
    QPaintEngine* paintEngine() const override { return &engine_; }
    std::optional<QPointF> Where(const QString& text) const
    {
        for (const Drawn& d : Texts)
            if (d.Text == text) return d.At;
        return std::nullopt;
    }
    bool Has(const QString& text) const { return Where(text).has_value(); }

private:
    class Engine : public QPaintEngine {
    public:
        explicit Engine(TextRecorder& owner) : QPaintEngine(AllFeatures), owner_(owner) {}
        bool begin(QPaintDevice*) override { return true; }
        bool end() override { return true; }
        void updateState(const QPaintEngineState&) override {}
        Type type() const override { return User; }
        void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
        void drawPath(const QPainterPath&) override {}
        void drawPolygon(const QPointF*, int, PolygonDrawMode) override {}
        void drawTextItem(const QPointF& at, const QTextItem& item) override
        {
            owner_.Texts.push_back({item.text(), state->transform().map(at)});
        }

    private:
        TextRecorder& owner_;
    };
    mutable Engine engine_{*this};
};

void Paint(TextRecorder& recorder, const TrendSeries& series)
{
    QPainter painter(&recorder);
    PaintTrendChart(painter, series);
}

TEST(TrendChartTest, BaselineAndBandsLieAtTheirValues)
{
    TrendSeries series;
    series.Title = "DET-1: Area SNR";
    series.ValueName = "Area SNR";
    series.WarningPercent = 10.0;
    series.ActionPercent = 20.0;
    // Days 0 ... 9 against a baseline of 100, days 10 ... 19 against 50 (a
    // new version); one excluded record far off.
    for (int day = 0; day < 20; ++day)
        series.Points.push_back({.Day = 20000.0 + day,
                                 .Value = day < 10 ? 100.0 + day : 45.0 - day % 2,
                                 .Excluded = day == 4,
                                 .Reference = day < 10 ? 100.0 : 50.0});
    series.Baselines = {{.FromDay = 19990.0, .Reference = 100.0}, {.FromDay = 20009.5, .Reference = 50.0}};
    series.Points[4].Value = 10.0;
    // Days 15 ... 19 were judged with narrower limits of their own.
    for (int day = 15; day < 20; ++day) {
        series.Points[day].OwnLimits = true;
        series.Points[day].WarningPercent = 4.0;
        series.Points[day].ActionPercent = 8.0;
    }

    const QImage image = RenderTrendChart(series);
    ASSERT_EQ(image.size(), TrendChartSize);
    const TrendChartFrame frame = TrendChartFrameFor(series);
    EXPECT_LE(frame.Low, 10.0);
    EXPECT_GE(frame.High, 120.0);
    const auto at = [&](double day, double value) {
        return image.pixel(static_cast<int>(std::lround(frame.XOf(day))),
                           static_cast<int>(std::lround(frame.YOf(value))));
    };
    struct Case {
        double day, value;
        QRgb expected;
    };
    // Halfway between records, clear of the dots and the line through them.
    const Case cases[] = {
        {2.5, 100.0, TrendBaselineColour},    {2.5, 94.0, TrendWarningBandColour}, {2.5, 106.0, TrendWarningBandColour},
        {2.5, 85.0, TrendActionBandColour},   {2.5, 116.0, TrendActionBandColour}, {2.5, 76.0, 0xffffffff},
        {9.2, 100.0, TrendBaselineColour},  // the new version took over at 9.5, before its first record
        {9.8, 50.0, TrendBaselineColour},     {14.5, 50.0, TrendBaselineColour},   {14.5, 53.0, TrendWarningBandColour},
        {14.5, 58.0, TrendActionBandColour},  {14.5, 42.0, TrendActionBandColour}, {14.5, 90.0, 0xffffffff},
        {17.5, 51.3, TrendWarningBandColour}, {17.5, 53.0, TrendActionBandColour}, {17.5, 54.5, 0xffffffff},
    };
    for (const Case& c : cases)
        EXPECT_EQ(at(20000.0 + c.day, c.value), c.expected) << "day " << c.day << ", value " << c.value;

    // Excluded: hollow (white inside); included: filled.
    EXPECT_EQ(at(20004.0, 10.0), 0xffffffffu);
    EXPECT_NE(at(20003.0, 103.0), 0xffffffffu);
    EXPECT_NE(at(20003.0, 103.0), TrendWarningBandColour);

    // The same series draws the same bytes.
    EXPECT_EQ(EncodePng(image), EncodePng(RenderTrendChart(series)));
}

// A new baseline set ten days after the last record: the axis reaches it, the
// old version holds until then, the new one from then to the right edge with
// the limits in force now; the records stay coloured by the baseline they
// were judged against.
TEST(TrendChartTest, AFreshBaselineShowsFromWhenItWasSet)
{
    TrendSeries series;
    series.WarningPercent = 10.0;
    series.ActionPercent = 20.0;
    for (int day = 0; day < 10; ++day)
        series.Points.push_back({.Day = 20000.0 + day, .Value = 100.0 + day, .Reference = 100.0});
    series.Points[3].OwnLimits = true;  // judged with 5 and 15 % then
    series.Points[3].WarningPercent = 5.0;
    series.Points[3].ActionPercent = 15.0;
    series.Baselines = {{.FromDay = 20000.0, .Reference = 100.0}, {.FromDay = 20019.0, .Reference = 60.0}};

    const std::vector<TrendStretch> stretches = TrendStretches(series, 19999.0, 20020.0);
    struct Expected {
        double from, to, reference;
        std::optional<double> warning, action;
    };
    const Expected expected[] = {{20000.0, 20003.0, 100.0, 10.0, 20.0},
                                 {20003.0, 20004.0, 100.0, 5.0, 15.0},
                                 {20004.0, 20019.0, 100.0, 10.0, 20.0},
                                 {20019.0, 20020.0, 60.0, 10.0, 20.0}};
    ASSERT_EQ(stretches.size(), std::size(expected));
    for (std::size_t k = 0; k < stretches.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(stretches[k].From, expected[k].from);
        EXPECT_EQ(stretches[k].To, expected[k].to);
        EXPECT_EQ(stretches[k].Reference, expected[k].reference);
        EXPECT_EQ(stretches[k].WarningPercent, expected[k].warning);
        EXPECT_EQ(stretches[k].ActionPercent, expected[k].action);
    }

    const QImage image = RenderTrendChart(series);
    const TrendChartFrame frame = TrendChartFrameFor(series);
    EXPECT_GT(frame.LastDay, 20019.0);
    EXPECT_LE(frame.Low, 60.0 - 12.0);
    const auto at = [&](double day, double value) {
        return image.pixel(static_cast<int>(std::lround(frame.XOf(day))),
                           static_cast<int>(std::lround(frame.YOf(value))));
    };
    EXPECT_EQ(at(20014.0, 100.0), TrendBaselineColour);  // the old one after the last record
    EXPECT_EQ(at(20014.0, 63.0), 0xffffffffu);
    EXPECT_EQ(at(20019.5, 60.0), TrendBaselineColour);  // the new one at once
    EXPECT_EQ(at(20019.5, 64.0), TrendWarningBandColour);
    EXPECT_EQ(at(20019.5, 70.0), TrendActionBandColour);
    EXPECT_EQ(at(20019.5, 103.0), 0xffffffffu);  // no longer the old one's band

    // A band of 100 % reaches 0, not an axis step below it.
    series.ActionPercent = 100.0;
    series.Baselines.back().Reference = 26.251833548202747;  // 100 % of it is a little more than itself
    EXPECT_EQ(TrendChartFrameFor(series).Low, 0.0);
}

// The limits each stretch was drawn with are said: with one pair throughout,
// by the legend, also when the limits in force now are others; when they
// changed, by a label at the start of each period, above the values, the
// legend then naming the bands only.
TEST(TrendChartTest, TheLimitsOfEachStretchAreNamed)
{
    struct Case {
        const char* name;
        bool changed;  // days 5 ... 9 judged with 5 and 15 %
        std::vector<QString> shown, notShown;
    };
    const Case cases[] = {
        {"one pair, other limits now",
         false,
         {"warning \u00b110 %", "action \u00b120 %"},
         {"warning \u00b18 %", "action \u00b116 %", "warning", "warning \u00b110 %, action \u00b120 %"}},
        {"changed",
         true,
         {"warning", "action", "warning \u00b110 %, action \u00b120 %",
          "from 2024-10-09: warning \u00b15 %, action \u00b115 %"},
         {"warning \u00b18 %", "warning \u00b110 %", "warning \u00b15 %"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TrendSeries series;
        series.WarningPercent = 8.0;  // changed after the last record
        series.ActionPercent = 16.0;
        for (int day = 0; day < 10; ++day) {
            const bool narrow = c.changed && day >= 5;
            series.Points.push_back({.Day = 20000.0 + day + 0.3,
                                     .Value = 100.0 + day % 3,
                                     .Reference = 100.0,
                                     .OwnLimits = true,
                                     .WarningPercent = narrow ? 5.0 : 10.0,
                                     .ActionPercent = narrow ? 15.0 : 20.0});
        }
        series.Baselines = {{.FromDay = 19990.0, .Reference = 100.0}};
        TextRecorder texts;
        Paint(texts, series);
        for (const QString& text : c.shown) EXPECT_TRUE(texts.Has(text)) << text.toStdString();
        for (const QString& text : c.notShown) EXPECT_FALSE(texts.Has(text)) << text.toStdString();
        if (!c.changed) continue;
        // Each label at its period's start, above the bands (120 at most).
        const TrendChartFrame frame = TrendChartFrameFor(series);
        const std::optional<QPointF> first = texts.Where(c.shown[2]), second = texts.Where(c.shown[3]);
        ASSERT_TRUE(first && second);
        EXPECT_LT(first->x(), frame.XOf(20001.0));
        EXPECT_GE(second->x(), frame.XOf(20005.3));
        EXPECT_LT(second->x(), frame.XOf(20006.3));
        for (const QPointF& at : {*first, *second}) {
            EXPECT_LT(at.y(), frame.YOf(120.0));
            EXPECT_GT(at.y(), frame.Plot.top());
        }
    }
}

// Stored records of detector "D", area SNR only; a judged one with limits of
// 5 and 15 %.
StoredRecord Stored(std::int64_t id, const char* testedAt, std::optional<std::int64_t> baseline)
{
    StoredRecord r;
    r.Id = id;
    r.DetectorKey = "D";
    r.TestedAt = testedAt;
    r.BaselineVersion = baseline;
    r.Record.Numbers.AreaSNR = 100.0 + static_cast<double>(id);
    if (baseline) {
        BaselineCheck check;
        check.Limit = {5.0, 15.0};
        r.Checks.assign(BaselineCheckCount, check);
    }
    return r;
}

Baseline Set(std::int64_t version, const char* setAt, const char* source)
{
    Baseline b;
    b.Version = version;
    b.SetAt = setAt;
    b.Source = source;
    b.Numbers.AreaSNR = 100.0 * static_cast<double>(version);
    return b;
}

// Every baseline check charts the number it judges: the trend's value and
// reference are those CheckAgainstBaseline compares; a check that concerns
// the exposure is neither judged nor given a reference at another exposure; a
// count's baseline of 0 counts as 1 in the judgement and in the band.
TEST(TrendSeriesForTest, EachCheckChartsTheNumberItJudges)
{
    RecordNumbers now, then;
    now.AreaSNR = 110.0, then.AreaSNR = 100.0;
    now.MeanRoiSNR = 90.0, then.MeanRoiSNR = 100.0;
    now.Metrics[static_cast<std::size_t>(MetricId::GlobalUniformity)] = 3.0;
    then.Metrics[static_cast<std::size_t>(MetricId::GlobalUniformity)] = 2.0;
    now.Metrics[static_cast<std::size_t>(MetricId::LocalUniformity)] = 1.5;
    then.Metrics[static_cast<std::size_t>(MetricId::LocalUniformity)] = 1.0;
    now.Metrics[static_cast<std::size_t>(MetricId::NoiseUniformity)] = 4.0;
    then.Metrics[static_cast<std::size_t>(MetricId::NoiseUniformity)] = 5.0;
    now.DeviatingRoiCount = 2, then.DeviatingRoiCount = 0;
    now.AreaMean = 1200.0, then.AreaMean = 1000.0;
    struct Case {
        const char* key;
        double value, reference, deviation;
        const char* axis;
    };
    const Case cases[] = {
        {"area_snr", 110.0, 100.0, 10.0, "Area SNR"},
        {"mean_roi_snr", 90.0, 100.0, -10.0, "Mean ROI SNR"},
        {"global_uniformity", 3.0, 2.0, 50.0, "Global uniformity (%)"},
        {"local_uniformity", 1.5, 1.0, 50.0, "Local uniformity (%)"},
        {"noise_uniformity", 4.0, 5.0, -20.0, "Noise uniformity (%)"},
        {"deviating_roi_count", 2.0, 0.0, 100.0, "Deviating ROIs"},
        {"area_mean", 1200.0, 1000.0, 20.0, "Area mean (pixel value)"},
    };
    ASSERT_EQ(std::size(cases), BaselineCheckCount);
    for (const bool sameExposure : {true, false}) {
        Baseline baseline = Set(1, "2026-01-01 09:00:00", "record 1");
        baseline.Numbers = then;
        baseline.Exposure = "10", baseline.ExposureUnit = "mAs";
        StoredRecord record = Stored(2, "2026-01-05 08:15:00", 1);
        record.Record.Numbers = now;
        record.Record.Exposure = sameExposure ? "10" : "12.5", record.Record.ExposureUnit = "mAs";
        const BaselineLimits limits = DefaultBaselineLimits();
        const std::vector<BaselineCheck> checks =
            CheckAgainstBaseline(now, record.Record.Exposure, "mAs", baseline, limits);
        ASSERT_EQ(checks.size(), BaselineCheckCount);
        for (std::size_t i = 0; i < BaselineCheckCount; ++i) {
            const BaselineCheckInfo& info = AllBaselineChecks()[i];
            const Case& c =
                *std::find_if(std::begin(cases), std::end(cases), [&](const Case& x) { return x.key == info.Key; });
            SCOPED_TRACE(std::string(c.key) + (sameExposure ? " at the same exposure" : " at another exposure"));
            const bool compared = sameExposure || c.key != std::string_view("area_mean");
            EXPECT_EQ(checks[i].Key, info.Key);
            EXPECT_EQ(checks[i].Value, c.value);
            ASSERT_EQ(checks[i].DeviationPercent.has_value(), compared);
            if (compared) EXPECT_NEAR(*checks[i].DeviationPercent, c.deviation, 1e-9);

            const TrendSeries series = TrendSeriesFor(i, "DET", "D", {record}, {baseline}, limits);
            EXPECT_EQ(series.ValueName, c.axis);
            ASSERT_EQ(series.Points.size(), 1u);
            EXPECT_EQ(series.Points[0].Value, c.value);
            EXPECT_EQ(series.Points[0].Reference, compared ? std::optional(c.reference) : std::nullopt);
            // The band's half-width follows the judgement's reference.
            EXPECT_EQ(std::max(c.reference, series.MinimumReference),
                      c.key == std::string_view("deviating_roi_count") ? 1.0 : c.reference);
        }
    }
}

// A baseline is drawn from when it was set, from its first judged record if
// earlier, and over the records it was made from when they were judged with
// no baseline (recorded before it, tested before it); never over a record
// judged against an earlier version.
TEST(TrendSeriesForTest, ABaselineMadeAfterTheFactIsDrawnOverItsRecords)
{
    struct Case {
        const char* name;
        std::vector<StoredRecord> records;
        std::vector<Baseline> baselines;
        std::vector<const char*> from;  // each version's start
    };
    const Case cases[] = {
        {"median of records recorded before it",
         {Stored(1, "2026-01-05 08:15:00", {}), Stored(2, "2026-01-12 08:15:00", {}),
          Stored(3, "2026-01-19 08:15:00", {}), Stored(4, "2026-01-26 08:15:00", 1)},
         {Set(1, "2026-06-01 10:00:00", "median of records 1, 2, 3")},
         {"2026-01-05 08:15:00"}},
        {"one record recorded before it",
         {Stored(1, "2026-01-05 08:15:00", {}), Stored(2, "2026-01-12 08:15:00", {})},
         {Set(1, "2026-06-01 10:00:00", "record 2")},
         {"2026-01-12 08:15:00"}},
        {"no record judged against it yet",
         {Stored(1, "2026-01-05 08:15:00", {})},
         {Set(1, "2026-06-01 10:00:00", "record 1")},
         {"2026-01-05 08:15:00"}},
        {"a new baseline from a record judged against the one before",
         {Stored(1, "2026-01-05 08:15:00", {}), Stored(2, "2026-01-12 08:15:00", 1),
          Stored(3, "2026-01-19 08:15:00", 1)},
         {Set(1, "2026-01-05 09:00:00", "record 1"), Set(2, "2026-06-01 10:00:00", "record 3")},
         {"2026-01-05 08:15:00", "2026-06-01 10:00:00"}},
        {"a new baseline from records before the one before",
         {Stored(1, "2026-01-05 08:15:00", {}), Stored(2, "2026-01-12 08:15:00", 1),
          Stored(3, "2026-01-19 08:15:00", 1), Stored(4, "2026-06-08 08:15:00", 2)},
         {Set(1, "2026-01-05 09:00:00", "record 1"), Set(2, "2026-06-01 10:00:00", "median of records 1, 2, 3")},
         {"2026-01-05 08:15:00", "2026-06-01 10:00:00"}},
        {"a source of another shape",
         {Stored(1, "2026-01-05 08:15:00", {}), Stored(2, "2026-07-01 08:15:00", 1)},
         {Set(1, "2026-06-01 10:00:00", "the first 1 records")},
         {"2026-06-01 10:00:00"}},
    };
    std::array<Limits, BaselineCheckCount> now;
    now.fill(Limits{10.0, 20.0});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TrendSeries series = TrendSeriesFor(0, "DET: Area SNR", "D", c.records, c.baselines, now);
        ASSERT_EQ(series.Baselines.size(), c.from.size());
        for (std::size_t v = 0; v < c.from.size(); ++v) EXPECT_EQ(series.Baselines[v].FromDay, *DayOf(c.from[v]));
    }

    // Over the records made before it, the band has the limits of the first
    // record judged against it, not those in force now.
    const TrendSeries series = TrendSeriesFor(0, "DET: Area SNR", "D", cases[0].records, cases[0].baselines, now);
    const std::vector<TrendStretch> stretches = TrendStretches(series, 20458.0, 20480.0);
    ASSERT_EQ(stretches.size(), 1u);
    EXPECT_EQ(stretches[0].From, *DayOf("2026-01-05 08:15:00"));
    EXPECT_EQ(stretches[0].WarningPercent, 5.0);
    EXPECT_EQ(stretches[0].ActionPercent, 15.0);
}

}  // namespace
}  // namespace evenor::test
