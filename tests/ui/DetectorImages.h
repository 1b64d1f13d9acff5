#pragma once
// DICOM test images of a detector with one planted fault each, from the
// phantoms of the detector-insight tests: 256 x 256 pixels of Poisson noise
// around 2000, with a pixel spacing that makes the window's default 1 cm box
// 32 pixels wide. Same name, same pixels.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tests/support/DetectorPhantoms.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {

inline constexpr std::uint32_t kDetectorSide = 256;

// The names DetectorImage knows, in the order the screenshots show them.
inline const std::vector<std::string>& DetectorImageNames()
{
    static const std::vector<std::string> names{"clean",         "hot-pixels",     "cluster",
                                                "column-offset", "collimated-rim", "row-noise"};
    return names;
}

// clean: the flat field alone; hot-pixels: five single pixels at 9000;
// cluster: a dead 3 x 3 cluster at columns 100-102, rows 60-62; column-offset:
// column 180 brighter by 2 %; collimated-rim: the 24 columns on the left and
// the 16 rows at the top at 5 % of the field (a collimator's shadow), with a
// half-shadowed line beside each; row-noise: each row offset by a normal draw
// with half the pixel noise as its SD. Names joined by "+" plant several
// faults ("cluster+column-offset"); unknown names plant nothing.
inline TestImage DetectorImage(const std::string& name)
{
    namespace t = evenor::test;
    const auto has = [&name](const std::string& fault) {
        return ("+" + name + "+").find("+" + fault + "+") != std::string::npos;
    };
    const double mean = 2000.0;
    t::Field field = t::FlatSignal(kDetectorSide, kDetectorSide, mean);
    if (has("column-offset"))
        for (std::uint32_t y = 0; y < kDetectorSide; ++y) field.At(180, y) *= 1.02;
    if (has("collimated-rim")) {
        for (std::uint32_t y = 0; y < kDetectorSide; ++y)
            for (std::uint32_t x = 0; x < kDetectorSide; ++x) {
                const auto level = [](std::uint32_t position, std::uint32_t lines) {
                    return position < lines ? 0.05 : position == lines ? 0.525 : 1.0;
                };
                field.At(x, y) *= std::min(level(x, 24), level(y, 16));
            }
    }
    if (has("row-noise")) {
        std::mt19937_64 rng(17);
        std::normal_distribution<double> offset(0.0, 0.5 * std::sqrt(mean));
        for (std::uint32_t y = 0; y < kDetectorSide; ++y) {
            const double o = offset(rng);
            for (std::uint32_t x = 0; x < kDetectorSide; ++x) field.At(x, y) += o;
        }
    }
    t::Image image = t::PoissonImage(field, 3);
    if (has("hot-pixels"))
        for (const auto& [x, y] : {std::pair{30u, 40u}, {200u, 50u}, {120u, 128u}, {60u, 210u}, {230u, 230u}})
            image.At(x, y) = 9000;
    if (has("cluster")) {
        for (std::uint32_t y = 60; y < 63; ++y)
            for (std::uint32_t x = 100; x < 103; ++x) image.At(x, y) = 0;
    }
    TestImage dicom;
    dicom.Rows = static_cast<std::uint16_t>(image.Height);
    dicom.Columns = static_cast<std::uint16_t>(image.Width);
    dicom.Pixels = std::move(image.Pixels);
    dicom.PixelSpacing = "0.3125\\0.3125";  // 10 mm / 32 pixels
    return dicom;
}

}  // namespace evenor::test
