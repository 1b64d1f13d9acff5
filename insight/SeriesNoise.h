#pragma once
// Several flat fields of one detector at one dose: what repeats in every image
// (the fixed pattern: gain-map errors, structure) told apart from what changes
// from one exposure to the next (quantum and electronic noise), and deviating
// pixels found in every image (persistent: defects of the detector) told apart
// from those found in one (transient: noise, a passing disturbance).
//
// All figures are in stored pixel values as read (no offset subtracted, no
// inversion), over one rectangle of the image (the evaluated area).
//
// Method for a dose of n images A_1..A_n, pairs (A_1, A_2), (A_3, A_4), ...:
//  - quantum variance: the difference of a pair holds no fixed pattern, and
//    twice the random variance, so q = var(A_1 - A_2) / 2, pooled over the
//    pairs (sums of squares added, divisor the pixels less one per pair);
//  - the mean image M = (A_1 + ... + A_n) / n holds the whole fixed pattern and
//    1/n of the random variance: structured variance = var(M) - q / n, never
//    below 0;
//  - total variance = q + structured variance: the variance of one image,
//    estimated with the noise of n images instead of one;
//  - structured fraction = structured variance / total variance.
// Without a pair only the image variance is known (total), averaged over the
// images. Every sum is exact (integers); divisor n - 1 for every variance.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace evenor {

// An inclusive rectangle of pixels of an image, 0-based, as the area fields
// give it (LineProfiles.h has the left/top/width/height form).
struct AreaRect {
    std::uint32_t FirstColumn = 0, FirstRow = 0, LastColumn = 0, LastRow = 0;
    std::uint32_t Width() const { return LastColumn - FirstColumn + 1; }
    std::uint32_t Height() const { return LastRow - FirstRow + 1; }
    std::size_t Count() const { return static_cast<std::size_t>(Width()) * Height(); }
};

// Exact sums of integer values and their squares.
struct Moments {
    std::uint64_t Count = 0;
    __int128 Sum = 0;
    unsigned __int128 SumSquares = 0;

    void Add(std::int64_t value)
    {
        ++Count;
        Sum += value;
        SumSquares += static_cast<unsigned __int128>(static_cast<__int128>(value) * value);
    }
    void Merge(const Moments& other);
    double Mean() const;      // NaN when empty
    double Variance() const;  // divisor Count - 1; NaN for fewer than two values
};

// Sums of the pixel values of rect in an image of `columns` columns, row-major.
Moments RectMoments(std::span<const std::uint16_t> pixels, std::uint32_t columns, const AreaRect& rect);

// The area cut into square boxes of side `side` pixels from its first pixel;
// the rest of a row or column of boxes (less than a box) joins the last box,
// so every pixel of the area is in exactly one box. An area smaller than a
// box is one box.
struct BoxGrid {
    AreaRect Area;
    std::uint32_t Side = 1;
    std::uint32_t Columns = 1, Rows = 1;  // boxes across and down

    std::size_t Count() const { return static_cast<std::size_t>(Columns) * Rows; }
    std::uint32_t BoxColumn(std::uint32_t column) const;  // column of the image
    std::uint32_t BoxRow(std::uint32_t row) const;        // row of the image
};
BoxGrid MakeBoxGrid(const AreaRect& area, std::uint32_t side);

// The largest difference between a box's value and the mean of its up to four
// neighbours' values (left, right, above, below), in % of the mean of all
// boxes; empty with fewer than two boxes or a mean of 0.
std::optional<double> LocalUniformityPercent(const BoxGrid& grid, std::span<const double> values);

// What the images of one dose say about the noise. Variances in stored
// values squared.
struct DoseNoise {
    std::size_t Images = 0;
    std::size_t Pairs = 0;
    double Mean = 0.0;           // of the area, over the images
    double ImageVariance = 0.0;  // the area's variance, averaged over the images
    // With at least one pair (else empty):
    std::optional<double> QuantumVariance;
    std::optional<double> StructuredVariance;
    double TotalVariance = 0.0;  // QuantumVariance + StructuredVariance, else ImageVariance
    std::optional<double> StructuredFraction;
    // The fixed pattern per box of the grid: the mean image's box mean less
    // its area mean, in % of the area mean, rows of boxes top to bottom.
    std::vector<double> FixedPatternPercent;
    // The quantum SD per box (from the pair differences), same order; empty
    // without a pair.
    std::vector<double> QuantumSdPerBox;
    // LocalUniformityPercent of QuantumSdPerBox: the noise uniformity of the
    // random noise alone, which a fixed pattern cannot spoil.
    std::optional<double> QuantumNoiseUniformity;
};

// Takes the images of one dose one after the other and keeps no more than one
// image besides a sum image, so that a series of large images needs memory
// for two or three of them, not for all.
class DoseNoiseAccumulator {
public:
    explicit DoseNoiseAccumulator(const BoxGrid& grid);

    // One image of `columns` columns holding the grid's area.
    void Add(std::span<const std::uint16_t> pixels, std::uint32_t columns);
    DoseNoise Result() const;

private:
    BoxGrid grid_;
    std::size_t images_ = 0;
    double meanSum_ = 0.0, varianceSum_ = 0.0;
    std::vector<std::uint32_t> sumImage_;  // the area, row-major
    std::vector<std::uint16_t> unpaired_;  // the area of an image waiting for its partner
    std::size_t pairs_ = 0;
    // Each pair's difference about its own mean (a pair's two doses may
    // differ a little), pooled: sums of (pixels - 1) var(difference), and
    // the degrees of freedom, over the area and per box.
    double differenceSquares_ = 0.0;
    std::uint64_t differenceDegrees_ = 0;
    std::vector<double> boxDifferenceSquares_;
    std::vector<std::uint64_t> boxDegrees_;
};

// Deviating pixels over several images. A pixel deviates in an image when it
// differs more than `percent` % from the mean of its box in that image.
// Persistent: deviating in every image; transient: in exactly one image (of
// at least two); intermittent: the others.
struct SeriesDefects {
    std::size_t Images = 0;
    std::size_t Persistent = 0, Transient = 0, Intermittent = 0;
    struct Pixel {
        std::uint32_t Column = 0, Row = 0;
    };
    std::vector<Pixel> PersistentPixels;  // the first ones in row order, at most ListLimit
    static constexpr std::size_t ListLimit = 100;
};

class SeriesDefectCounter {
public:
    SeriesDefectCounter(const BoxGrid& grid, double percent);
    void Add(std::span<const std::uint16_t> pixels, std::uint32_t columns);
    SeriesDefects Result() const;

private:
    BoxGrid grid_;
    double percent_;
    std::size_t images_ = 0;
    std::vector<std::uint16_t> counts_;  // per pixel of the area: images it deviated in (saturating)
};

}  // namespace evenor
