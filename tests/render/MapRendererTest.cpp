#include "render/MapRenderer.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <cstdlib>
#include <filesystem>

#include "dicom/EvenorError.h"
#include "insight/Metrics.h"
#include "tests/insight/Phantom.h"
#include "tests/support/TempFolder.h"

namespace evenor {
namespace {

const QRgb kRed = qRgb(255, 0, 0);
const QRgb kYellow = qRgb(255, 255, 0);
const QRgb kBlack = qRgb(0, 0, 0);

bool IsGrey(QRgb colour) { return qRed(colour) == qGreen(colour) && qGreen(colour) == qBlue(colour); }

// With EVENOR_MAP_OUTPUT set to a folder, the maps are left there to look at.
void Keep(const QImage& image, const std::string& name)
{
    if (const char* folder = std::getenv("EVENOR_MAP_OUTPUT")) SaveMapPng(image, folder + ("/" + name + ".png"));
}

struct Analysed {
    testing::Phantom Phantom;
    AnalysisSettings Settings;
    AnalysisResult Result;
};

Analysed Blotch(std::uint32_t first = 0, std::uint32_t last = 99)
{
    Analysed a{testing::BlotchPhantom(), {}, {}};
    a.Settings = testing::WholeArea(a.Phantom, 10.0, 20.0, true);
    a.Settings.FirstColumn = a.Settings.FirstRow = first;
    a.Settings.LastColumn = a.Settings.LastRow = last;
    a.Result = testing::Analyse(a.Phantom, a.Settings, 20);
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
    auto phantom = testing::Checkerboard(100, 100, 1000, 10);
    testing::Paint(phantom, 70, 20, 3, [](int) { return 0; });
    const AnalysisSettings settings = testing::WholeArea(phantom, 5.0, 20.0, true);
    const AnalysisResult result = testing::Analyse(phantom, settings, 20);
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
    auto phantom = testing::Checkerboard(3000, 2000, 1000, 0);
    phantom.At(1500, 1000) = 0;
    const AnalysisSettings settings = testing::WholeArea(phantom, 5.0, 20.0, true);
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

TEST(AreaMap, RefusesAnAreaOutsideThePixels)
{
    const auto phantom = testing::Checkerboard(40, 30, 1000, 10);
    const struct {
        std::uint32_t lastColumn, lastRow, columns;
        std::size_t cut;
    } cases[]{{40, 29, 40, 0}, {39, 30, 40, 0}, {39, 29, 40, 1}, {39, 29, 0, 0}};
    for (const auto& c : cases) {
        AnalysisSettings settings = testing::WholeArea(phantom, 5.0, 20.0, false);
        settings.LastColumn = c.lastColumn;
        settings.LastRow = c.lastRow;
        const auto pixels = std::span(phantom.Pixels).first(phantom.Pixels.size() - c.cut);
        EXPECT_THROW(RenderAreaMap(pixels, c.columns, settings, AnalysisResult{}), EvenorError) << c.lastColumn;
    }
}

TEST(HeatMap, CellsCarryTheDeviationOfTheirRoi)
{
    const Analysed a = Blotch();
    for (const bool meanKind : {true, false}) {
        SCOPED_TRACE(meanKind ? "mean" : "SNR");
        const HeatMap map =
            RenderHeatMap(a.Result, meanKind ? HeatMapKind::RoiMeanDeviation : HeatMapKind::RoiSnrDeviation);
        Keep(map.Image, meanKind ? "heat-mean" : "heat-snr");
        ASSERT_EQ(map.Layout.Columns, 9);
        ASSERT_EQ(map.Layout.Rows, 9);
        double largest = 0.0;
        for (const RoiResult& roi : a.Result.Rois) {
            const double deviation = meanKind ? *DeviationPercent(roi.Mean, a.Result.AreaMean)
                                              : *DeviationPercent(roi.SNR, a.Result.MeanRoiSNR);
            largest = std::max(largest, std::fabs(deviation));
            const QRect cell = map.Layout.CellRect(static_cast<int>(roi.X / 10), static_cast<int>(roi.Y / 10));
            EXPECT_EQ(QColor(map.Image.pixel(cell.center())), DivergingColour(deviation, map.Limit))
                << roi.X << "," << roi.Y;
        }
        EXPECT_EQ(map.Limit, NiceLimit(largest));
        // The blotch reads blue and is outlined.
        const QRect blotch = map.Layout.CellRect(3, 3);
        EXPECT_GT(QColor(map.Image.pixel(blotch.center())).blue(), QColor(map.Image.pixel(blotch.center())).red());
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
}  // namespace evenor

int main(int argc, char** argv)
{
    // Heat-map text needs a QGuiApplication; without a display, the offscreen platform.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
