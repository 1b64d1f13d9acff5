#include "render/MapRenderer.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <cstdlib>
#include <filesystem>

#include "base/EvenorError.h"
#include "insight/Metrics.h"
#include "insight/StructuredNoise.h"
#include "tests/support/DetectorPhantoms.h"
#include "tests/support/Phantom.h"
#include "tests/support/TempFolder.h"

namespace evenor::test {
namespace {

const QRgb kRed = qRgb(255, 0, 0);
const QRgb kYellow = qRgb(255, 255, 0);
const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kMagenta = qRgb(255, 0, 255);
const QRgb kOrange = qRgb(255, 140, 0);
const QRgb kGreen = qRgb(0, 200, 0);

bool IsGrey(QRgb colour) { return qRed(colour) == qGreen(colour) && qGreen(colour) == qBlue(colour); }

// With EVENOR_MAP_OUTPUT set to a folder, the maps are left there to look at.
void Keep(const QImage& image, const std::string& name)
{
    if (const char* folder = std::getenv("EVENOR_MAP_OUTPUT")) SaveMapPng(image, folder + ("/" + name + ".png"));
}

struct Analysed {
    test::Phantom Phantom;
    AnalysisSettings Settings;
    AnalysisResult Result;
};

Analysed Blotch(std::uint32_t first = 0, std::uint32_t last = 99)
{
    Analysed a{test::BlotchPhantom(), {}, {}};
    a.Settings = test::WholeArea(a.Phantom, 10.0, 20.0, true);
    a.Settings.FirstColumn = a.Settings.FirstRow = first;
    a.Settings.LastColumn = a.Settings.LastRow = last;
    a.Result = test::Analyse(a.Phantom, a.Settings, 20);
    return a;
}

TEST(AreaMap, OutlinesExactlyTheDeviatingRois)
{
    for (const std::uint32_t first : {0u, 10u}) {  // whole image, and columns and rows 10 ... 89
        SCOPED_TRACE(first);
        const Analysed a = Blotch(first, 99 - first);
        ASSERT_EQ(a.Result.BadROIMap.size(), 4u);
        const QImage map = RenderAreaMap(a.Phantom.Pixels, a.Phantom.Width, a.Settings, a.Result);
        Keep(map, "area-blotch-" + std::to_string(first));
        ASSERT_EQ(map.size(), QSize(100 - 2 * first, 100 - 2 * first));
        const AreaMapGeometry geometry = AreaMapGeometryFor(a.Settings);

        // Corners and sides of every deviating box are red, and red lies
        // nowhere outside them.
        for (const BadROI& bad : a.Result.BadROIMap)
            for (const auto& [dx, dy] : {std::pair{0u, 0u}, {19u, 0u}, {0u, 19u}, {19u, 19u}, {1u, 10u}})
                EXPECT_EQ(map.pixel(geometry.PixelOf(bad.X + dx, bad.Y + dy)), kRed) << bad.X << "," << bad.Y;
        for (int y = 0; y < map.height(); ++y)
            for (int x = 0; x < map.width(); ++x) {
                const bool inside = x + first >= 30 && x + first < 60 && y + first >= 30 && y + first < 60;
                ASSERT_TRUE(inside || map.pixel(x, y) != kRed) << x << "," << y;
            }

        // Inside the blotch (off every line) darker than the flat field.
        const QRgb blotch = map.pixel(geometry.PixelOf(45, 45));
        const QRgb flat = map.pixel(geometry.PixelOf(15, 15));
        EXPECT_TRUE(IsGrey(blotch) && IsGrey(flat));
        EXPECT_LT(qRed(blotch) + 50, qRed(flat));
    }
}

TEST(AreaMap, MarksADeadPixelCluster)
{
    auto phantom = test::Checkerboard(100, 100, 1000, 10);
    test::Paint(phantom, 70, 20, 3, [](int) { return 0; });
    const AnalysisSettings settings = test::WholeArea(phantom, 5.0, 20.0, true);
    const AnalysisResult result = test::Analyse(phantom, settings, 20);
    ASSERT_EQ(result.BadPixelMap.size(), 9u);
    const QImage map = RenderAreaMap(phantom.Pixels, phantom.Width, settings, result);
    Keep(map, "area-dead-pixels");

    // Yellow over the cluster and one pixel around it, framed in black.
    for (int y = 19; y <= 23; ++y)
        for (int x = 69; x <= 73; ++x) EXPECT_EQ(map.pixel(x, y), kYellow) << x << "," << y;
    for (const auto& [x, y] : {std::pair{68, 21}, {74, 21}, {71, 18}, {71, 24}, {68, 18}, {74, 24}})
        EXPECT_EQ(map.pixel(x, y), kBlack) << x << "," << y;
    EXPECT_TRUE(IsGrey(map.pixel(66, 25)));  // off every marker, outline and grid line
}

TEST(AreaMap, ScalesALargeAreaAndStillMarksOnePixel)
{
    auto phantom = test::Checkerboard(3000, 2000, 1000, 0);
    phantom.At(1500, 1000) = 0;
    const AnalysisSettings settings = test::WholeArea(phantom, 5.0, 20.0, true);
    AnalysisResult result;  // no ROIs, SD 0
    result.AreaMean = 1000.0;
    result.BadPixelMap.Add({1500, 1000, 0, 1000.0});
    const QImage map = RenderAreaMap(phantom.Pixels, phantom.Width, settings, result);
    ASSERT_EQ(map.size(), QSize(MaxAreaMapSide, 683));
    const QPoint at = AreaMapGeometryFor(settings).PixelOf(1500, 1000);
    EXPECT_EQ(at, QPoint(512, 341));
    EXPECT_EQ(map.pixel(at), kYellow);
    EXPECT_EQ(map.pixel(at + QPoint(2, 0)), kBlack);
    EXPECT_EQ(map.pixel(100, 100), qRgb(128, 128, 128));  // SD 0: the mean is mid grey
}

// A Poisson field of 256 x 256 at 2000 (boxes of 32 pixels) with a dead 3 x 3
// cluster, a single hot pixel and column 180 offset by +2 %, inspected for
// real: the cluster is circled, the single pixel is not, the column is
// marked; nothing else carries the defect colours.
TEST(AreaMap, CirclesClustersAndMarksLineDefects)
{
    test::Field field = test::FlatSignal(256, 256, 2000.0);
    for (std::uint32_t y = 0; y < 256; ++y) field.At(180, y) *= 1.02;
    test::Image image = test::PoissonImage(field, 5);
    for (std::uint32_t y = 60; y < 63; ++y)
        for (std::uint32_t x = 100; x < 103; ++x) image.At(x, y) = 0;
    image.At(40, 200) = 9000;
    const test::Inspection run = test::Inspect(image);
    const DetectorInsight& insight = run.Insight;
    ASSERT_EQ(insight.Clusters.Clusters.size(), 2u);
    ASSERT_EQ(insight.Clusters.Clusters[0].Size, 9u);
    ASSERT_EQ(insight.Lines.size(), 1u);
    ASSERT_EQ(insight.Lines[0].Orientation, LineOrientation::Column);
    ASSERT_EQ(insight.Lines[0].Index, 180u);

    const QImage plain = RenderAreaMap(image.Pixels, image.Width, run.Settings, run.Result);
    const QImage map = RenderAreaMap(image.Pixels, image.Width, run.Settings, run.Result, AreaMapDefectsOf(insight));
    Keep(map, "area-defects");
    ASSERT_EQ(map.size(), QSize(256, 256));
    ASSERT_EQ(AreaMapLineUnit(AreaMapGeometryFor(run.Settings)), 1);

    // The ring: 2 pixels wide from the cluster's centre (101.5, 61.5 in map
    // coordinates) at half the box's diagonal plus 4; its marker inside stays
    // yellow.
    const double cx = 101.5, cy = 61.5, inner = std::hypot(3.0, 3.0) / 2.0 + 4.0;
    const auto distance = [&](int x, int y) { return std::hypot(x + 0.5 - cx, y + 0.5 - cy); };
    for (const auto& [x, y] : {std::pair{108, 61}, {94, 61}, {101, 68}, {101, 54}})
        EXPECT_EQ(map.pixel(x, y), kMagenta) << x << "," << y;
    EXPECT_EQ(map.pixel(101, 61), kYellow);
    for (int x = 99; x <= 103; ++x) EXPECT_EQ(map.pixel(x, 63), kYellow) << x;

    // The column: solid ticks 3 wide and 8 long at both edges, dashes 2 on
    // and 4 off between them.
    for (const int y : {0, 7, 248, 255})
        for (const int x : {179, 180, 181}) EXPECT_EQ(map.pixel(x, y), kOrange) << x << "," << y;
    for (const int y : {120, 121, 126, 127}) EXPECT_EQ(map.pixel(180, y), kOrange) << y;
    for (const int y : {122, 123, 124, 125}) EXPECT_NE(map.pixel(180, y), kOrange) << y;
    EXPECT_NE(map.pixel(179, 120), kOrange);
    // Its name is written right of the top tick: dark box, some orange text.
    int texty = 0;
    for (int y = 0; y < 12; ++y)
        for (int x = 183; x < 256; ++x) texty += qRed(map.pixel(x, y)) > 150 && qBlue(map.pixel(x, y)) < 100;
    EXPECT_GT(texty, 10);

    // Elsewhere the map is the plain one: magenta only on the ring, orange
    // only on the column and its name, no green (no rim).
    for (int y = 0; y < map.height(); ++y)
        for (int x = 0; x < map.width(); ++x) {
            const QRgb colour = map.pixel(x, y);
            const bool ring = distance(x, y) >= inner && distance(x, y) < inner + 2.0;
            const bool column = x >= 179 && x <= 181;
            const bool name = y < 16 && x > 181;
            if (!ring && !column && !name) ASSERT_EQ(colour, plain.pixel(x, y)) << x << "," << y;
            ASSERT_NE(colour, kGreen) << x << "," << y;
        }
    // The single hot pixel keeps only its marker.
    EXPECT_EQ(map.pixel(40, 200), kYellow);
}

// A dark rim of 24 columns on the left (5 % of the field): a green band 2
// pixels wide inside the rim along the interior's edge, all the way down.
TEST(AreaMap, OutlinesARim)
{
    test::Field field = test::FlatSignal(256, 256, 2000.0);
    for (std::uint32_t y = 0; y < 256; ++y)
        for (std::uint32_t x = 0; x < 24; ++x) field.At(x, y) = 100.0;
    const test::Image image = test::PoissonImage(field, 9);
    const test::Inspection run = test::Inspect(image);
    const RimReport& rims = run.Insight.Rims;
    ASSERT_EQ(rims.Left.Kind, RimKind::Dark);
    ASSERT_EQ(rims.Left.Lines, 24u);
    ASSERT_EQ(rims.Top.Lines + rims.Bottom.Lines + rims.Right.Lines, 0u);
    AreaMapDefects defects;
    defects.Rims = &rims;
    const QImage map = RenderAreaMap(image.Pixels, image.Width, run.Settings, run.Result, defects);
    Keep(map, "area-rim");
    for (const int y : {0, 100, 255}) {
        EXPECT_EQ(map.pixel(22, y), kGreen) << y;
        EXPECT_EQ(map.pixel(23, y), kGreen) << y;
        EXPECT_NE(map.pixel(21, y), kGreen) << y;
        EXPECT_NE(map.pixel(24, y), kGreen) << y;
    }
}

// A scaled map (3000 x 2000 onto 1024 x 683, unit 3): the ring and the
// ticks grow, so a 3 x 3 cluster and a row still show.
TEST(AreaMap, DefectMarksGrowWithTheMap)
{
    const auto phantom = test::Checkerboard(3000, 2000, 1000, 0);
    const AnalysisSettings settings = test::WholeArea(phantom, 5.0, 20.0, true);
    AnalysisResult result;
    result.AreaMean = 1000.0;
    const DefectCluster cluster{9, 1500, 1000, 1502, 1002, 1501.0, 1001.0, 9};
    LineDefect row;
    row.Orientation = LineOrientation::Row;
    row.Index = 500;
    AreaMapDefects defects;
    defects.Clusters = std::span(&cluster, 1);
    defects.Lines = std::span(&row, 1);
    const QImage map = RenderAreaMap(phantom.Pixels, phantom.Width, settings, result, defects);
    const AreaMapGeometry geometry = AreaMapGeometryFor(settings);
    ASSERT_EQ(AreaMapLineUnit(geometry), 3);
    // Ring from radius 18 to 24 around the box's centre.
    const QPointF centre = (geometry.ToMap(1500, 1000) + geometry.ToMap(1503, 1003)) / 2.0;
    const int cx = static_cast<int>(centre.x()), cy = static_cast<int>(centre.y());
    for (const auto& [dx, dy] : {std::pair{21, 0}, {-21, 0}, {0, 21}, {0, -21}, {15, 15}})
        EXPECT_EQ(map.pixel(cx + dx, cy + dy), kMagenta) << dx << "," << dy;
    for (const auto& [dx, dy] : {std::pair{10, 0}, {0, 27}}) EXPECT_NE(map.pixel(cx + dx, cy + dy), kMagenta);
    // The row: ticks 7 wide and 24 long at both edges, dashes 6 on, 12 off.
    const int y = geometry.PixelOf(0, 500).y();
    for (const int dy : {-3, 0, 3}) {
        EXPECT_EQ(map.pixel(0, y + dy), kOrange) << dy;
        EXPECT_EQ(map.pixel(23, y + dy), kOrange) << dy;
        EXPECT_EQ(map.pixel(map.width() - 1, y + dy), kOrange) << dy;
    }
    EXPECT_EQ(map.pixel(36, y), kOrange);
    EXPECT_EQ(map.pixel(41, y), kOrange);
    EXPECT_NE(map.pixel(30, y), kOrange);
    EXPECT_NE(map.pixel(36, y - 3), kOrange);  // the dashes are 3 wide
}

TEST(AreaMap, RefusesAnAreaOutsideThePixels)
{
    const auto phantom = test::Checkerboard(40, 30, 1000, 10);
    const struct {
        std::uint32_t lastColumn, lastRow, columns;
        std::size_t cut;
    } cases[]{{40, 29, 40, 0}, {39, 30, 40, 0}, {39, 29, 40, 1}, {39, 29, 0, 0}};
    for (const auto& c : cases) {
        AnalysisSettings settings = test::WholeArea(phantom, 5.0, 20.0, false);
        settings.LastColumn = c.lastColumn;
        settings.LastRow = c.lastRow;
        const auto pixels = std::span(phantom.Pixels).first(phantom.Pixels.size() - c.cut);
        EXPECT_THROW(RenderAreaMap(pixels, c.columns, settings, AnalysisResult{}), EvenorError) << c.lastColumn;
    }
}

TEST(HeatMap, CellsCarryTheDeviationOfTheirRoi)
{
    const Analysed a = Blotch();
    const std::vector<std::optional<double>> noise = RoiNoiseDeviationPercent(a.Result.Rois);
    for (const HeatMapKind kind :
         {HeatMapKind::RoiMeanDeviation, HeatMapKind::RoiSnrDeviation, HeatMapKind::RoiNoiseDeviation}) {
        SCOPED_TRACE(static_cast<int>(kind));
        const HeatMap map = RenderHeatMap(a.Result, kind);
        Keep(map.Image, "heat-" + std::to_string(static_cast<int>(kind)));
        ASSERT_EQ(map.Layout.Columns, 9);
        ASSERT_EQ(map.Layout.Rows, 9);
        double largest = 0.0;
        for (std::size_t i = 0; i < a.Result.Rois.size(); ++i) {
            const RoiResult& roi = a.Result.Rois[i];
            const double deviation =
                kind == HeatMapKind::RoiMeanDeviation  ? *DeviationPercent(roi.Mean, a.Result.AreaMean)
                : kind == HeatMapKind::RoiSnrDeviation ? *DeviationPercent(roi.SNR, a.Result.MeanRoiSNR)
                                                       : *noise[i];
            largest = std::max(largest, std::fabs(deviation));
            const QRect cell = map.Layout.CellRect(static_cast<int>(roi.X / 10), static_cast<int>(roi.Y / 10));
            EXPECT_EQ(QColor(map.Image.pixel(cell.center())), DivergingColour(deviation, map.Limit))
                << roi.X << "," << roi.Y;
        }
        EXPECT_EQ(map.Limit, NiceLimit(largest));
        // The blotch reads blue on the mean and SNR maps; on the noise map
        // red, as its boxes hold both levels and have the largest SDs. Its
        // ROI is outlined on every map.
        const QRect blotch = map.Layout.CellRect(3, 3);
        const QColor inside(map.Image.pixel(blotch.center()));
        if (kind == HeatMapKind::RoiNoiseDeviation)
            EXPECT_GT(inside.red(), inside.blue());
        else
            EXPECT_GT(inside.blue(), inside.red());
        EXPECT_EQ(map.Image.pixel(blotch.left(), blotch.center().y()), kBlack);
        EXPECT_NE(map.Image.pixel(map.Layout.CellRect(0, 0).topLeft()), kBlack);
        // The title is written above the cells.
        int dark = 0;
        for (int y = 0; y < map.Layout.Grid.top() - 2; ++y)
            for (int x = 0; x < map.Image.width(); ++x) dark += qGray(map.Image.pixel(x, y)) < 100;
        EXPECT_GT(dark, 50);
    }

    Analysed dark = Blotch();
    dark.Result.AreaMean = 0.0;  // no reference: grey cells
    const HeatMap grey = RenderHeatMap(dark.Result, HeatMapKind::RoiMeanDeviation);
    EXPECT_EQ(grey.Image.pixel(grey.Layout.CellRect(4, 4).center()), qRgb(128, 128, 128));
    for (RoiResult& roi : dark.Result.Rois) roi.SD = 0.0;  // no mean ROI SD
    const HeatMap noiseless = RenderHeatMap(dark.Result, HeatMapKind::RoiNoiseDeviation);
    EXPECT_EQ(noiseless.Image.pixel(noiseless.Layout.CellRect(4, 4).center()), qRgb(128, 128, 128));
}

TEST(HeatMap, ColourScaleLimitsAndCellLookup)
{
    EXPECT_EQ(DivergingColour(0.0, 5.0), QColor(255, 255, 255));
    EXPECT_EQ(DivergingColour(5.0, 5.0), QColor(178, 24, 43));
    EXPECT_EQ(DivergingColour(-5.0, 5.0), QColor(33, 102, 172));
    EXPECT_EQ(DivergingColour(50.0, 5.0), DivergingColour(5.0, 5.0));
    for (const auto& [value, limit] : {std::pair{2.4024, 2.5},
                                       {0.1001, 0.2},
                                       {5.0, 5.0},
                                       {7.0, 10.0},
                                       {12.0, 20.0},
                                       {0.00101, 0.002},
                                       {30.0, 50.0},
                                       {0.0, 1.0},
                                       {-3.0, 1.0}})
        EXPECT_DOUBLE_EQ(NiceLimit(value), limit) << value;

    for (const auto& [columns, rows, width, height] :
         {std::tuple{9, 9, 477, 477}, {7, 3, 480, 200}, {1000, 2, 1024, 2}, {1, 1, 5, 5}}) {
        const HeatMapLayout layout{QRect(16, 40, width, height), columns, rows};
        int column = -1, row = -1;
        EXPECT_FALSE(layout.CellAt(layout.Grid.topLeft() - QPoint(1, 0), column, row));
        for (column = 0; column < columns; ++column)
            for (row = 0; row < rows; ++row) {
                const QRect cell = layout.CellRect(column, row);
                for (const QPoint corner : {cell.topLeft(), cell.bottomRight()}) {
                    int foundColumn = -1, foundRow = -1;
                    if (cell.isEmpty()) continue;
                    ASSERT_TRUE(layout.CellAt(corner, foundColumn, foundRow));
                    ASSERT_EQ(QPoint(foundColumn, foundRow), QPoint(column, row));
                }
            }
    }
}

TEST(MapFiles, PngRoundTripAndWriteErrors)
{
    const Analysed a = Blotch();
    const QImage map = RenderAreaMap(a.Phantom.Pixels, a.Phantom.Width, a.Settings, a.Result);
    const test::TempFolder folder;
    const auto path = folder / "map.png";
    SaveMapPng(map, path.string());
    const QImage back(QString::fromStdString(path.string()));
    EXPECT_EQ(back.convertToFormat(QImage::Format_RGB32), map);
    try {
        SaveMapPng(map, "/nonexistent-folder-of-evenor/map.png");
        ADD_FAILURE() << "no error";
    } catch (const InOutError& e) {
        EXPECT_EQ(e.Code(), 2);
    }
    EXPECT_THROW(EncodePng(QImage()), EvenorError);
}

}  // namespace
}  // namespace evenor::test

int main(int argc, char** argv)
{
    // Heat-map text needs a QGuiApplication; without a display, the offscreen platform.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
