#pragma once
// Flat Poisson fields and the detector faults planted in them: offset lines,
// dead clusters, soft dips, dark rims, row-correlated noise, a box with
// noise of its own. Gain faults scale the drawn counts, as a detector's gain
// does (its noise scales with them). Header-only, standard library only.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace evenor::test {

struct Image {
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;
    std::vector<std::uint16_t> Pixels;

    std::uint16_t& At(std::uint32_t x, std::uint32_t y) { return Pixels[std::size_t{y} * Width + x]; }
};

// A flat Poisson field of the given mean, drawn from a table of the
// cumulative distribution (a std::poisson_distribution per pixel takes
// seconds for 2048 x 2048). Same seed, same image.
inline Image FlatPoisson(std::uint32_t width, std::uint32_t height, double mean, unsigned seed)
{
    std::vector<double> cumulative;
    const auto last = static_cast<int>(mean + 14.0 * std::sqrt(mean) + 20.0);
    double sum = 0.0;
    for (int k = 0; k <= last; ++k) {  // the terms in logs: exp(-mean) underflows for large means
        sum += std::exp(k * std::log(mean) - mean - std::lgamma(k + 1.0));
        cumulative.push_back(sum);
    }
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> uniform(0.0, sum);
    Image image{width, height, std::vector<std::uint16_t>(std::size_t{width} * height)};
    for (auto& pixel : image.Pixels)
        pixel = static_cast<std::uint16_t>(std::upper_bound(cumulative.begin(), cumulative.end(), uniform(rng)) -
                                           cumulative.begin());
    return image;
}

inline Image FlatPoisson(std::uint32_t side, double mean, unsigned seed) { return FlatPoisson(side, side, mean, seed); }

inline std::uint16_t Scaled(std::uint16_t value, double gain)
{
    return static_cast<std::uint16_t>(std::clamp(std::lround(value * gain), 0L, 65535L));
}

// Column x (or row y) with its gain changed by `fraction` (-0.005: 0.5 % dimmer).
inline void OffsetColumn(Image& image, std::uint32_t x, double fraction)
{
    for (std::uint32_t y = 0; y < image.Height; ++y) image.At(x, y) = Scaled(image.At(x, y), 1.0 + fraction);
}
inline void OffsetRow(Image& image, std::uint32_t y, double fraction)
{
    for (std::uint32_t x = 0; x < image.Width; ++x) image.At(x, y) = Scaled(image.At(x, y), 1.0 + fraction);
}

// A compact cluster of `size` dead pixels (value 0) from (x, y): rows of
// ceil(sqrt(size)) pixels filled in turn.
inline void DeadCluster(Image& image, std::uint32_t x, std::uint32_t y, std::uint32_t size)
{
    const auto side = static_cast<std::uint32_t>(std::ceil(std::sqrt(static_cast<double>(size))));
    for (std::uint32_t i = 0; i < size; ++i) image.At(x + i % side, y + i / side) = 0;
}

// A Gaussian dip of the gain around (x, y): 1 - depth * exp(-r^2 / (2 sigma^2)),
// out to 5 sigma.
inline void SoftDip(Image& image, double x, double y, double sigma, double depth)
{
    const double reach = 5.0 * sigma;
    const auto from = [](double v) { return static_cast<std::uint32_t>(std::max(0.0, std::floor(v))); };
    for (std::uint32_t py = from(y - reach); py < image.Height && py <= y + reach; ++py)
        for (std::uint32_t px = from(x - reach); px < image.Width && px <= x + reach; ++px) {
            const double r2 = (px - x) * (px - x) + (py - y) * (py - y);
            image.At(px, py) = Scaled(image.At(px, py), 1.0 - depth * std::exp(-r2 / (2.0 * sigma * sigma)));
        }
}

// The first `lines` columns with their gain changed by `fraction` (-0.1: a
// rim 10 % dark).
inline void LeftRim(Image& image, std::uint32_t lines, double fraction)
{
    for (std::uint32_t x = 0; x < lines; ++x) OffsetColumn(image, x, fraction);
}

// Adds to every row an offset drawn from a normal distribution of SD
// `percent` % of pixelNoise: row-correlated noise of that size.
inline void RowCorrelatedNoise(Image& image, double percent, double pixelNoise, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> offset(0.0, percent / 100.0 * pixelNoise);
    for (std::uint32_t y = 0; y < image.Height; ++y) {
        const double shift = offset(rng);
        for (std::uint32_t x = 0; x < image.Width; ++x)
            image.At(x, y) = static_cast<std::uint16_t>(std::clamp(std::lround(image.At(x, y) + shift), 0L, 65535L));
    }
}

// The square of `side` pixels from (left, top) with its gain changed by
// `fraction` (-0.05: a patch 5 % dark).
inline void GainPatch(Image& image, std::uint32_t left, std::uint32_t top, std::uint32_t side, double fraction)
{
    for (std::uint32_t y = top; y < top + side; ++y)
        for (std::uint32_t x = left; x < left + side; ++x) image.At(x, y) = Scaled(image.At(x, y), 1.0 + fraction);
}

// Gives the pixels of the box at (left, top) the sample SD `sd` around their
// own mean, keeping the mean: a ROI whose noise is exactly what a test plants.
inline void SetBoxNoise(Image& image, std::uint32_t left, std::uint32_t top, std::uint32_t box, double sd)
{
    double sum = 0.0, squares = 0.0;
    const double n = static_cast<double>(box) * box;
    for (std::uint32_t y = top; y < top + box; ++y)
        for (std::uint32_t x = left; x < left + box; ++x) sum += image.At(x, y);
    const double mean = sum / n;
    for (std::uint32_t y = top; y < top + box; ++y)
        for (std::uint32_t x = left; x < left + box; ++x) squares += (image.At(x, y) - mean) * (image.At(x, y) - mean);
    const double scale = sd / std::sqrt(squares / (n - 1.0));
    for (std::uint32_t y = top; y < top + box; ++y)
        for (std::uint32_t x = left; x < left + box; ++x)
            image.At(x, y) = static_cast<std::uint16_t>(std::lround(mean + (image.At(x, y) - mean) * scale));
}

}  // namespace evenor::test
