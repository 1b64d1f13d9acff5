#include "MapRenderer.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <cstdlib>
#include <filesystem>

#include "EvenorError.h"
#include "Metrics.h"
#include "Phantom.h"

namespace evenor {
namespace {

using testing::AddTo;
using testing::Analyse;
using testing::Checkerboard;
using testing::SetTo;
using testing::WholeArea;

const QRgb kRed = qRgb(255, 0, 0);
const QRgb kYellow = qRgb(255, 255, 0);
const QRgb kBlack = qRgb(0, 0, 0);

bool IsGrey(QRgb colour) { return qRed(colour) == qGreen(colour) && qGreen(colour) == qBlue(colour); }

// When EVENOR_MAP_OUTPUT names a folder, the tests leave their maps there to
// be looked at.
void Keep(const QImage& image, const char* name)
{
    if (const char* folder = std::getenv("EVENOR_MAP_OUTPUT"))
        SaveMapPng(image, std::string(folder) + "/" + name + ".png");
}

struct Case {
    const char* name;
    AnalysisSettings settings;
    AnalysisResult result;
    testing::Phantom phantom;
};

// The blotch of the metrics tests: 100 x 100, boxes of 20, four deviating
// ROIs at (30|40, 30|40), analysed over the whole image and over columns and
// rows 10 ... 89.
std::vector<Case> BlotchCases()
{
    auto phantom = Checkerboard(100, 100, 1000, 10);
    AddTo(phantom, 40, 40, 10, 10, -100);
    std::vector<Case> cases;
    AnalysisSettings whole = WholeArea(phantom, 10.0, 20.0, true);
    cases.push_back({"whole image", whole, Analyse(phantom, whole, 20), phantom});
    AnalysisSettings inner = whole;
    inner.FirstColumn = inner.FirstRow = 10;
    inner.LastColumn = inner.LastRow = 89;
    cases.push_back({"inner area", inner, Analyse(phantom, inner, 20), phantom});
    return cases;
}

TEST(AreaMap, OutlinesExactlyTheDeviatingRois)
{
    for (const auto& c : BlotchCases()) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.result.BadROIMap.size(), 4u);
        const QImage map = RenderAreaMap(c.phantom.Pixels, c.phantom.Width, c.settings, c.result);
        const AreaMapGeometry geometry = AreaMapGeometryFor(c.settings);
        ASSERT_EQ(map.width(), static_cast<int>(c.settings.LastColumn - c.settings.FirstColumn + 1));
        ASSERT_EQ(map.height(), map.width());
        Keep(map, c.settings.FirstColumn == 0 ? "area-blotch" : "area-blotch-inner");

        // The corners of every deviating box are red; red appears nowhere
        // outside the deviating boxes.
        for (const BadROI& bad : c.result.BadROIMap) {
            for (const auto& [dx, dy] : {std::pair{0u, 0u}, {19u, 0u}, {0u, 19u}, {19u, 19u}, {1u, 10u}}) {
                const QPoint at = geometry.PixelOf(bad.X + dx, bad.Y + dy);
                EXPECT_EQ(map.pixel(at), kRed) << bad.X << "," << bad.Y << " +" << dx << "," << dy;
            }
        }
        for (int y = 0; y < map.height(); ++y)
            for (int x = 0; x < map.width(); ++x) {
                if (map.pixel(x, y) != kRed) continue;
                const std::uint32_t column = c.settings.FirstColumn + x;
                const std::uint32_t row = c.settings.FirstRow + y;
                ASSERT_TRUE(column >= 30 && column < 60 && row >= 30 && row < 60) << column << "," << row;
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
    auto phantom = Checkerboard(100, 100, 1000, 10);
    SetTo(phantom, 70, 20, 3, 3, 0);
    const AnalysisSettings settings = WholeArea(phantom, 5.0, 20.0, true);
    const AnalysisResult result = Analyse(phantom, settings, 20);
    ASSERT_EQ(result.BadPixelMap.size(), 9u);
    const QImage map = RenderAreaMap(phantom.Pixels, phantom.Width, settings, result);
    Keep(map, "area-dead-pixels");

    // Yellow over the cluster and one pixel around it, framed in black.
    for (std::uint32_t y = 19; y <= 23; ++y)
        for (std::uint32_t x = 69; x <= 73; ++x) EXPECT_EQ(map.pixel(x, y), kYellow) << x << "," << y;
    for (const auto& [x, y] : {std::pair{68, 21}, {74, 21}, {71, 18}, {71, 24}, {68, 18}, {74, 24}})
        EXPECT_EQ(map.pixel(x, y), kBlack) << x << "," << y;
    EXPECT_TRUE(IsGrey(map.pixel(66, 25)));  // off every outline and grid line
}

TEST(AreaMap, ScalesALargeAreaAndStillMarksOnePixel)
{
    // 3000 x 2000 flat image with one dead pixel, no ROIs: the map is 1024
    // wide, the aspect kept, and the dead pixel still gets its marker.
    testing::Phantom phantom = Checkerboard(3000, 2000, 1000, 0);
    phantom.At(1500, 1000) = 0;
    const AnalysisSettings settings = WholeArea(phantom, 5.0, 20.0, true);
    AnalysisResult result;
    result.AreaMean = 1000.0;
    result.AreaSD = 0.0;
    result.BadPixelMap.Add({1500, 1000, 0, 1000.0});
    const QImage map = RenderAreaMap(phantom.Pixels, phantom.Width, settings, result);
    ASSERT_EQ(map.width(), MaxAreaMapSide);
    ASSERT_EQ(map.height(), 683);
    const QPoint at = AreaMapGeometryFor(settings).PixelOf(1500, 1000);
    EXPECT_EQ(at, QPoint(512, 341));
    EXPECT_EQ(map.pixel(at), kYellow);
    EXPECT_EQ(map.pixel(at + QPoint(2, 0)), kBlack);
    // An SD of 0 windows the mean to mid grey.
    EXPECT_EQ(map.pixel(100, 100), qRgb(128, 128, 128));
}

TEST(AreaMap, RefusesAnAreaOutsideThePixels)
{
    const auto phantom = Checkerboard(40, 30, 1000, 10);
    struct Bad {
        const char* name;
        std::uint32_t lastColumn, lastRow, columns;
        std::size_t pixels;
    };
    const std::vector<Bad> cases{
        {"column beyond the image", 40, 29, 40, phantom.Pixels.size()},
        {"row beyond the pixels", 39, 30, 40, phantom.Pixels.size()},
        {"pixels cut short", 39, 29, 40, phantom.Pixels.size() - 1},
        {"no columns", 39, 29, 0, phantom.Pixels.size()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AnalysisSettings settings = WholeArea(phantom, 5.0, 20.0, false);
        settings.LastColumn = c.lastColumn;
        settings.LastRow = c.lastRow;
        EXPECT_THROW(RenderAreaMap(std::span(phantom.Pixels).first(c.pixels), c.columns, settings, AnalysisResult{}),
                     EvenorError);
    }
}

TEST(HeatMap, CellsCarryTheDeviationOfTheirRoi)
{
    const Case c = BlotchCases().front();
    for (const auto kind : {HeatMapKind::RoiMeanDeviation, HeatMapKind::RoiSnrDeviation}) {
        const bool meanKind = kind == HeatMapKind::RoiMeanDeviation;
        SCOPED_TRACE(meanKind ? "mean" : "SNR");
        const HeatMap map = RenderHeatMap(c.result, kind);
        Keep(map.Image, meanKind ? "heat-mean" : "heat-snr");
        ASSERT_EQ(map.Layout.Columns, 9);
        ASSERT_EQ(map.Layout.Rows, 9);

        double largest = 0.0;
        for (std::size_t i = 0; i < c.result.Rois.size(); ++i) {
            const RoiResult& roi = c.result.Rois[i];
            const double deviation = meanKind ? *DeviationPercent(roi.Mean, c.result.AreaMean)
                                              : *DeviationPercent(roi.SNR, c.result.MeanRoiSNR);
            largest = std::max(largest, std::fabs(deviation));
            const QRect cell = map.Layout.CellRect(static_cast<int>(roi.X / 10), static_cast<int>(roi.Y / 10));
            EXPECT_EQ(QColor(map.Image.pixel(cell.center())), DivergingColour(deviation, map.Limit))
                << roi.X << "," << roi.Y;
        }
        EXPECT_EQ(map.Limit, NiceLimit(largest));
        // The blotch reads blue (below the whole) and is outlined.
        const QRect blotch = map.Layout.CellRect(3, 3);
        const QColor centre(map.Image.pixel(blotch.center()));
        EXPECT_GT(centre.blue(), centre.red());
        EXPECT_EQ(map.Image.pixel(blotch.left(), blotch.center().y()), kBlack);
        EXPECT_NE(map.Image.pixel(map.Layout.CellRect(0, 0).topLeft()), kBlack);

        // Something (the title) is written above the cells.
        int dark = 0;
        for (int y = 0; y < map.Layout.Grid.top() - 2; ++y)
            for (int x = 0; x < map.Image.width(); ++x) dark += qGray(map.Image.pixel(x, y)) < 100;
        EXPECT_GT(dark, 50);
    }
}

TEST(HeatMap, GreyWithoutAReference)
{
    Case c = BlotchCases().front();
    c.result.AreaMean = 0.0;
    const HeatMap map = RenderHeatMap(c.result, HeatMapKind::RoiMeanDeviation);
    EXPECT_EQ(map.Image.pixel(map.Layout.CellRect(4, 4).center()), qRgb(128, 128, 128));
    EXPECT_EQ(map.Limit, 1.0);
}

TEST(HeatMap, ColourScaleAndLimits)
{
    EXPECT_EQ(DivergingColour(0.0, 5.0), QColor(255, 255, 255));
    EXPECT_EQ(DivergingColour(5.0, 5.0), QColor(178, 24, 43));
    EXPECT_EQ(DivergingColour(-5.0, 5.0), QColor(33, 102, 172));
    EXPECT_EQ(DivergingColour(50.0, 5.0), DivergingColour(5.0, 5.0));
    const QColor half = DivergingColour(2.5, 5.0);
    EXPECT_GT(half.red(), half.blue());
    EXPECT_LT(half.green(), 255);

    const std::vector<std::pair<double, double>> limits{
        {2.4024, 2.5}, {0.1001, 0.2}, {5.0, 5.0}, {7.0, 10.0}, {10.0, 10.0}, {12.0, 20.0},
        {0.00101, 0.002}, {30.0, 50.0}, {0.0, 1.0}, {-3.0, 1.0},
    };
    for (const auto& [value, limit] : limits) EXPECT_DOUBLE_EQ(NiceLimit(value), limit) << value;
}

TEST(HeatMap, CellAtInvertsCellRect)
{
    for (const auto& [columns, rows, width, height] :
         {std::tuple{9, 9, 477, 477}, {7, 3, 480, 200}, {1000, 2, 1024, 2}, {1, 1, 5, 5}}) {
        HeatMapLayout layout;
        layout.Grid = QRect(16, 40, width, height);
        layout.Columns = columns;
        layout.Rows = rows;
        for (int column = 0; column < columns; ++column)
            for (int row = 0; row < rows; ++row) {
                const QRect cell = layout.CellRect(column, row);
                if (cell.isEmpty()) continue;
                for (const QPoint corner : {cell.topLeft(), cell.bottomRight()}) {
                    int foundColumn = -1, foundRow = -1;
                    ASSERT_TRUE(layout.CellAt(corner, foundColumn, foundRow));
                    ASSERT_EQ(foundColumn, column);
                    ASSERT_EQ(foundRow, row);
                }
            }
        int column = 0, row = 0;
        EXPECT_FALSE(layout.CellAt(layout.Grid.topLeft() - QPoint(1, 0), column, row));
    }
}

TEST(MapFiles, PngRoundTripAndWriteErrors)
{
    const Case c = BlotchCases().front();
    const QImage map = RenderAreaMap(c.phantom.Pixels, c.phantom.Width, c.settings, c.result);
    const auto path = std::filesystem::temp_directory_path() / "evenor-maps-test.png";
    SaveMapPng(map, path.string());
    QImage back(QString::fromStdString(path.string()));
    std::filesystem::remove(path);
    ASSERT_FALSE(back.isNull());
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
    // Text on the heat maps needs a QGuiApplication; CMake runs the tests
    // with the offscreen platform.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
