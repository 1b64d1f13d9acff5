#include "FlatField.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace evenor::bench {

std::vector<std::uint16_t> FlatField(std::uint32_t columns, std::uint32_t rows, double noise, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> value(2000.0, noise);
    std::vector<std::uint16_t> pixels(static_cast<std::size_t>(columns) * rows);
    for (auto& p : pixels) p = static_cast<std::uint16_t>(std::clamp(std::round(value(rng)), 0.0, 65535.0));
    return pixels;
}

AnalysisSettings WholeImage(std::uint32_t columns, std::uint32_t rows, double pixelPercent) {
    AnalysisSettings s;
    s.LastColumn = columns - 1;
    s.LastRow = rows - 1;
    s.BoxDimension = 1.0;
    s.RoiDeviationPercent = 5.0;
    s.PixelDeviationPercent = pixelPercent;
    s.DetectDeviatingPixels = true;
    return s;
}

namespace {

void PlainMeanSD(const std::vector<std::uint16_t>& v, double& mean, double& sd) {
    std::uint64_t sum = 0;
    for (auto x : v) sum += x;
    mean = static_cast<double>(sum) / static_cast<double>(v.size());
    double acc = 0.0;
    for (auto x : v) acc = acc + (mean - x) * (mean - x);
    sd = std::sqrt(acc / static_cast<double>(v.size() - 1));
}

void Copy(const std::vector<std::uint16_t>& pixels, std::uint32_t columns, std::uint32_t x, std::uint32_t y,
          std::uint32_t w, std::uint32_t h, std::vector<std::uint16_t>& out) {
    out.clear();
    for (std::uint32_t r = 0; r < h; ++r)
        out.insert(out.end(), pixels.begin() + (y + r) * columns + x, pixels.begin() + (y + r) * columns + x + w);
}

bool Same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

AnalysisResult PlainAnalysis(const std::vector<std::uint16_t>& pixels, std::uint32_t columns, std::uint32_t rows,
                             double spacing, const AnalysisSettings& s) {
    AnalysisResult r;
    std::vector<std::uint16_t> buffer;
    const std::uint32_t width = s.LastColumn - s.FirstColumn + 1, height = s.LastRow - s.FirstRow + 1;
    Copy(pixels, columns, s.FirstColumn, s.FirstRow, width, height, buffer);
    PlainMeanSD(buffer, r.AreaMean, r.AreaSD);
    r.AreaSNR = r.AreaSD != 0 ? r.AreaMean / r.AreaSD : 0;
    const std::uint32_t box = BoxPixelsFor(s.BoxDimension, spacing);
    r.BoxPixels = box;
    const GridAxis cx = GridAxisFor(s.FirstColumn, s.LastColumn, box);
    const GridAxis cy = GridAxisFor(s.FirstRow, s.LastRow, box);
    auto add = [&r](std::uint32_t x, std::uint32_t y) { r.Rois.push_back(RoiResult{x, y}); };
    for (std::uint32_t i = 0; i < cx.Positions; ++i)
        for (std::uint32_t k = 0; k < cy.Positions; ++k) add(s.FirstColumn + i * cx.Step, s.FirstRow + k * cy.Step);
    if (cx.FarEdge)
        for (std::uint32_t k = 0; k < cy.Positions; ++k) add(s.LastColumn - box, s.FirstRow + k * cy.Step);
    if (cy.FarEdge)
        for (std::uint32_t i = 0; i < cx.Positions; ++i) add(s.FirstColumn + i * cx.Step, s.LastRow - box);
    if (cx.FarEdge && cy.FarEdge) add(s.LastColumn - box, s.LastRow - box);

    std::vector<bool> seen(static_cast<std::size_t>(columns) * rows);
    r.BadPixelMap.SetExtent(0, 0, columns, rows);  // storage only: seen decides
    std::vector<BadPixel> bad;
    for (RoiResult& roi : r.Rois) {
        Copy(pixels, columns, roi.X, roi.Y, box, box, buffer);
        roi.Maximum = *std::max_element(buffer.begin(), buffer.end());
        roi.Minimum = *std::min_element(buffer.begin(), buffer.end());
        PlainMeanSD(buffer, roi.Mean, roi.SD);
        roi.SNR = roi.SD != 0 ? roi.Mean / roi.SD : 0;
        if (!s.DetectDeviatingPixels) continue;
        const double tolerance = s.PixelDeviationPercent / 100 * roi.Mean;
        for (std::size_t k = 0; k < buffer.size(); ++k) {
            const double v = buffer[k];
            if (!(v > roi.Mean + tolerance || v < roi.Mean - tolerance)) continue;
            const std::uint32_t x = roi.X + static_cast<std::uint32_t>(k % box);
            const std::uint32_t y = roi.Y + static_cast<std::uint32_t>(k / box);
            if (seen[static_cast<std::size_t>(y) * columns + x]) continue;
            seen[static_cast<std::size_t>(y) * columns + x] = true;
            r.BadPixelMap.Add(BadPixel{x, y, buffer[k], roi.Mean});
        }
    }
    std::vector<double> snrs;
    for (const auto& roi : r.Rois) snrs.push_back(roi.SNR);
    double sum = 0.0;
    for (double v : snrs) sum = sum + v;
    r.MeanRoiSNR = sum / static_cast<double>(snrs.size());
    double acc = 0.0;
    for (double v : snrs) acc = acc + (r.MeanRoiSNR - v) * (r.MeanRoiSNR - v);
    r.RoiSNRSD = std::sqrt(acc / static_cast<double>(snrs.size() - 1));
    MakeBadROIMap(r.Rois, r.BadROIMap, r.AreaMean, r.MeanRoiSNR, s.RoiDeviationPercent);
    return r;
}

bool Identical(const AnalysisResult& a, const AnalysisResult& b) {
    if (!Same(a.AreaMean, b.AreaMean) || !Same(a.AreaSD, b.AreaSD) || !Same(a.AreaSNR, b.AreaSNR) ||
        !Same(a.MeanRoiSNR, b.MeanRoiSNR) || !Same(a.RoiSNRSD, b.RoiSNRSD) || a.BoxPixels != b.BoxPixels)
        return false;
    if (a.Rois.size() != b.Rois.size() || a.BadROIMap.size() != b.BadROIMap.size() ||
        a.BadPixelMap.size() != b.BadPixelMap.size())
        return false;
    for (std::size_t i = 0; i < a.Rois.size(); ++i) {
        const RoiResult &p = a.Rois[i], &q = b.Rois[i];
        if (p.X != q.X || p.Y != q.Y || p.Maximum != q.Maximum || p.Minimum != q.Minimum || !Same(p.Mean, q.Mean) ||
            !Same(p.SD, q.SD) || !Same(p.SNR, q.SNR))
            return false;
    }
    for (std::size_t i = 0; i < a.BadROIMap.size(); ++i)
        if (a.BadROIMap[i].X != b.BadROIMap[i].X || a.BadROIMap[i].Y != b.BadROIMap[i].Y) return false;
    for (std::size_t i = 0; i < a.BadPixelMap.size(); ++i) {
        const BadPixel &p = a.BadPixelMap[i], &q = b.BadPixelMap[i];
        if (p.X != q.X || p.Y != q.Y || p.Value != q.Value || !Same(p.RoiMean, q.RoiMean)) return false;
    }
    return true;
}

}  // namespace evenor::bench
