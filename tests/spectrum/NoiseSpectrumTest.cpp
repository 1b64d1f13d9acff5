// The spectrum of planted fields: white noise gives a flat NNPS of
// sigma^2 * dx^2 / mean^2, a planted pattern one peak of the right frequency
// and orientation, and the sums do not depend on the number of threads.
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "spectrum/NoiseSpectrum.h"
#include "spectrum/SpectrumPeaks.h"

namespace evenor::test {
namespace {

constexpr double kMean = 2000.0, kSigma = 20.0;

// A planted pattern: amplitude * cos(2 pi (fx * x + fy * y) * spacing), and
// offsets of SD lineNoise shared by the pixels of each column and of each row.
struct Wave {
    double Amplitude = 0.0, Fx = 0.0, Fy = 0.0;  // pixel values, mm^-1
    double LineNoise = 0.0;                      // pixel values
};

std::vector<std::uint16_t> Field(std::uint32_t size, double spacing, const Wave& wave, unsigned seed = 7)
{
    std::mt19937_64 random(seed);
    std::normal_distribution<double> noise(0.0, kSigma);
    std::normal_distribution<double> line(0.0, wave.LineNoise > 0.0 ? wave.LineNoise : 1.0);
    std::vector<double> columns(size, 0.0), rows(size, 0.0);
    if (wave.LineNoise > 0.0)
        for (std::uint32_t i = 0; i < size; ++i) {
            columns[i] = line(random);
            rows[i] = line(random);
        }
    std::vector<std::uint16_t> pixels(std::size_t{size} * size);
    for (std::uint32_t y = 0; y < size; ++y)
        for (std::uint32_t x = 0; x < size; ++x) {
            const double phase = 2.0 * std::numbers::pi * (wave.Fx * x + wave.Fy * y) * spacing;
            pixels[std::size_t{y} * size + x] = static_cast<std::uint16_t>(
                std::lround(kMean + noise(random) + columns[x] + rows[y] + wave.Amplitude * std::cos(phase)));
        }
    return pixels;
}

NoiseSpectrum Spectrum(const std::vector<std::uint16_t>& pixels, std::uint32_t size, double spacing,
                       unsigned workers = 0)
{
    NoiseSpectrumRun run = ComputeNoiseSpectrum(pixels, size, {0, 0, size - 1, size - 1}, spacing, {}, workers);
    EXPECT_TRUE(run.Spectrum) << run.NotComputed;
    return *run.Spectrum;
}

TEST(NoiseSpectrum, WhiteNoiseGivesAFlatNnpsInCutsAndRadialAverage)
{
    const double spacing = 0.1;
    const auto pixels = Field(1024, spacing, {});
    const NoiseSpectrum s = Spectrum(pixels, 1024, spacing);
    EXPECT_EQ(s.Rois, 49u);
    EXPECT_NEAR(s.Frequencies.front(), 1.0 / 25.6, 1e-12);
    EXPECT_NEAR(s.Frequencies.back(), 5.0, 1e-12);
    // Quantisation adds 1/12 to the variance.
    const double expected = (kSigma * kSigma + 1.0 / 12.0) * spacing * spacing / (kMean * kMean);
    // Over 49 half-overlapping ROIs a value of a cut scatters by ~6 %, a mean
    // of 8 of them by ~2 %.
    for (const auto* curve : {&s.Horizontal, &s.Vertical, &s.Radial}) {
        for (std::size_t k = 8; k + 8 <= curve->size(); k += 8) {
            double sum = 0.0;
            for (std::size_t i = k; i < k + 8; ++i) sum += (*curve)[i];
            EXPECT_NEAR(sum / 8.0 / expected, 1.0, 0.08) << "at bin " << k;
        }
    }
    ASSERT_EQ(s.Metrics.size(), 4u);
    EXPECT_EQ(s.Metrics.back().Frequency, 4.0);
    EXPECT_TRUE(FindSpectrumPeaks(s).Peaks.empty());
}

TEST(NoiseSpectrum, MetricsStayWithinNyquist)
{
    const double spacing = 0.2;  // Nyquist 2.5 mm^-1: no metric at 4
    const auto pixels = Field(512, spacing, {});
    const NoiseSpectrum s = Spectrum(pixels, 512, spacing);
    ASSERT_EQ(s.Metrics.size(), 3u);
    EXPECT_EQ(s.Metrics.back().Frequency, 2.0);
}

TEST(NoiseSpectrum, TheSumsDoNotDependOnTheThreads)
{
    const auto pixels = Field(768, 0.15, {3.0, 1.3, 0.0});
    const NoiseSpectrum one = Spectrum(pixels, 768, 0.15, 1);
    const NoiseSpectrum three = Spectrum(pixels, 768, 0.15, 3);
    EXPECT_EQ(one.Nnps2D, three.Nnps2D);
    EXPECT_EQ(one.Mean, three.Mean);
}

TEST(NoiseSpectrum, ADetrendedRampLeavesNoPower)
{
    // A field that is a 2-D second-order polynomial and nothing else.
    const std::uint32_t size = 384;
    std::vector<std::uint16_t> pixels(std::size_t{size} * size);
    for (std::uint32_t y = 0; y < size; ++y)
        for (std::uint32_t x = 0; x < size; ++x)
            pixels[std::size_t{y} * size + x] = static_cast<std::uint16_t>(1000 + 2 * x + 3 * y + (x * y) / 64);
    const NoiseSpectrum s = Spectrum(pixels, size, 0.1);
    double largest = 0.0;
    for (double v : s.Nnps2D) largest = std::max(largest, v);
    // Only the rounding of xy / 64 stays: far below the 1e-6 of a noise SD of
    // 20 on 2000 at 0.1 mm, where the ramp undetrended would give ~1e-3.
    EXPECT_LT(largest, 1e-7);
}

TEST(NoiseSpectrum, ALinearisingTransformIsApplied)
{
    const auto pixels = Field(512, 0.1, {});
    const NoiseSpectrum plain = Spectrum(pixels, 512, 0.1);
    // Doubling every value and adding a constant: NPS x 4, mean x 2 + 100.
    const auto run = ComputeNoiseSpectrum(pixels, 512, {0, 0, 511, 511}, 0.1, [](double v) { return 2.0 * v + 100.0; });
    ASSERT_TRUE(run.Spectrum);
    EXPECT_TRUE(run.Spectrum->Linearised);
    EXPECT_NEAR(run.Spectrum->Mean, 2.0 * plain.Mean + 100.0, 1e-9);
    const double ratio = 4.0 * plain.Mean * plain.Mean / (run.Spectrum->Mean * run.Spectrum->Mean);
    EXPECT_NEAR(run.Spectrum->Horizontal[40] / plain.Horizontal[40], ratio, 1e-9);
}

// Averaged over several images: every ROI of every image counts once, so the
// NPS (NNPS x mean^2) of the sum is the mean of the images' NPS and the mean
// the mean of their means.
TEST(NoiseSpectrumSum, AveragesThePowerAndTheMeanOverEveryRoi)
{
    const std::uint32_t size = 512;
    const auto a = Field(size, 0.1, {}, 11);
    const auto b = Field(size, 0.1, {4.0, 1.5, 0.0}, 12);
    std::vector<std::uint16_t> brighter(b);
    for (auto& v : brighter) v = static_cast<std::uint16_t>(v + 1000);
    struct Case {
        const char* Name;
        std::vector<const std::vector<std::uint16_t>*> Images;
    } cases[] = {
        {"one image", {&a}},
        {"the same image twice", {&a, &a}},
        {"two images", {&a, &b}},
        {"two images of different means", {&a, &brighter}},
        {"three images", {&a, &b, &brighter}},
    };
    const SpectrumRegion region{0, 0, size - 1, size - 1};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        NoiseSpectrumSum sum(0.1, {}, 2);
        double mean = 0.0;
        std::vector<double> nps;
        for (const auto* image : c.Images) {
            sum.Add(*image, size, region);
            const NoiseSpectrum one = Spectrum(*image, size, 0.1);
            nps.resize(one.Nnps2D.size(), 0.0);
            for (std::size_t i = 0; i < nps.size(); ++i) nps[i] += one.Nnps2D[i] * one.Mean * one.Mean;
            mean += one.Mean;
        }
        const double n = static_cast<double>(c.Images.size());
        mean /= n;
        const auto run = sum.Result();
        ASSERT_TRUE(run.Spectrum) << run.NotComputed;
        const NoiseSpectrum& s = *run.Spectrum;
        EXPECT_EQ(s.Images, c.Images.size());
        EXPECT_EQ(s.Rois, 9u * c.Images.size());
        EXPECT_NEAR(s.Mean, mean, 1e-9 * mean);
        for (std::size_t i = 1; i < nps.size(); i += 97) {
            const double npsMean = nps[i] / n;
            EXPECT_NEAR(s.Nnps2D[i] * s.Mean * s.Mean, npsMean, 1e-9 * npsMean) << "bin " << i;
        }
    }
}

TEST(NoiseSpectrumSum, RefusesImagesOfAnotherGridAndValuesOutsideTheResponse)
{
    const auto pixels = Field(512, 0.1, {});
    NoiseSpectrumSum sum(0.1);
    sum.Add(pixels, 512, {0, 0, 511, 511});
    EXPECT_THROW(sum.Add(pixels, 512, {0, 0, 383, 511}), std::invalid_argument);

    // A dead pixel at 0 on a detector whose response has no kerma there: it
    // counts as 0 instead of turning the whole spectrum into NaN.
    auto dead = pixels;
    dead[300 * 512 + 300] = 0;
    const auto run =
        ComputeNoiseSpectrum(dead, 512, {0, 0, 511, 511}, 0.1, [](double v) { return v > 0.0 ? v : std::nan(""); });
    ASSERT_TRUE(run.Spectrum) << run.NotComputed;
    for (double v : run.Spectrum->Radial) ASSERT_TRUE(std::isfinite(v));
    EXPECT_TRUE(std::isfinite(run.Spectrum->Mean));
}

TEST(NoiseSpectrum, SaysWhyThereIsNone)
{
    const std::vector<std::uint16_t> pixels(300 * 300, 1000);
    const std::vector<std::uint16_t> dark(300 * 300, 0);
    struct Case {
        const std::vector<std::uint16_t>* Pixels;
        SpectrumRegion Region;
        double Spacing;
        const char* Reason;
    } cases[] = {
        {&pixels, {0, 0, 299, 299}, 0.0, kSpectrumNeedsSpacing},
        {&pixels, {0, 0, 254, 299}, 0.1, kSpectrumAreaTooSmall},
        {&pixels, {10, 45, 299, 299}, 0.1, kSpectrumAreaTooSmall},
        {&dark, {0, 0, 299, 299}, 0.1, kSpectrumNoSignal},
    };
    for (const Case& c : cases) {
        const auto run = ComputeNoiseSpectrum(*c.Pixels, 300, c.Region, c.Spacing);
        EXPECT_FALSE(run.Spectrum);
        EXPECT_EQ(run.NotComputed, c.Reason);
    }
    EXPECT_THROW(ComputeNoiseSpectrum(pixels, 300, {0, 0, 300, 299}, 0.1), std::invalid_argument);
}

TEST(SpectrumPeaks, APlantedWaveGivesOnePeakOfItsFrequencyAndOrientation)
{
    const double spacing = 0.1, bin = 1.0 / 25.6;
    struct Case {
        Wave Planted;
        PeakOrientation Orientation;
        double Angle;
    } cases[] = {
        {{5.0, 2.5, 0.0}, PeakOrientation::Horizontal, 0.0},
        {{5.0, 0.0, 1.7}, PeakOrientation::Vertical, 90.0},  // between two bins
        {{5.0, 1.0, 1.0}, PeakOrientation::Oblique, 45.0},
        {{5.0, 1.2, -2.0}, PeakOrientation::Oblique, 180.0 - std::atan2(2.0, 1.2) * 180.0 / std::numbers::pi},
    };
    for (const Case& c : cases) {
        const auto pixels = Field(1024, spacing, c.Planted);
        const PeakSearch search = FindSpectrumPeaks(Spectrum(pixels, 1024, spacing));
        ASSERT_EQ(search.Peaks.size(), 1u) << c.Planted.Fx << "," << c.Planted.Fy;
        const SpectrumPeak& peak = search.Peaks.front();
        EXPECT_EQ(peak.Orientation, c.Orientation);
        EXPECT_NEAR(peak.Frequency, std::hypot(c.Planted.Fx, c.Planted.Fy), bin);
        EXPECT_NEAR(peak.AngleDegrees, c.Angle, 2.0);
        EXPECT_NEAR(peak.PeriodPixels, 1.0 / (peak.Frequency * spacing), 1e-9);
        EXPECT_GT(peak.Excess, search.ExcessLimit);
    }
}

TEST(SpectrumPeaks, NoiseSharedByWholeColumnsAndRowsIsNoPattern)
{
    // Column and row offsets of half the pixel noise raise both axes and make
    // them scatter as much as the few columns of ROIs do; a wave on top of
    // them is still found.
    const double spacing = 0.1;
    struct Case {
        Wave Planted;
        std::size_t Peaks;
    } cases[] = {{{0.0, 0.0, 0.0, 10.0}, 0}, {{6.0, 1.25, 0.0, 10.0}, 1}};
    for (unsigned seed : {1u, 2u, 3u}) {
        for (const Case& c : cases) {
            const auto pixels = Field(2048, spacing, c.Planted, seed);
            const PeakSearch search = FindSpectrumPeaks(Spectrum(pixels, 2048, spacing));
            EXPECT_EQ(search.Peaks.size(), c.Peaks) << "seed " << seed << ", wave " << c.Planted.Amplitude;
        }
    }
}

TEST(SpectrumPeaks, TheLimitFallsWithTheRoisToTheMinimum)
{
    EXPECT_GT(PeakExcessLimit(1), 20.0);
    EXPECT_GT(PeakExcessLimit(49), PeakExcessLimit(225));
    EXPECT_EQ(PeakExcessLimit(961), kPeakMinimumExcess);
}

}  // namespace
}  // namespace evenor::test
