#include "spectrum/NoiseSpectrum.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <fftw3.h>

namespace evenor {

namespace {

// The ROIs are summed in this many fixed slabs (consecutive ROIs), each by
// one thread at a time, and the slabs in order: the result does not depend on
// the number of threads.
constexpr std::size_t kSlabs = 8;

struct FftwFree {
    void operator()(void* p) const { fftw_free(p); }
};
template <typename T> using FftwBuffer = std::unique_ptr<T[], FftwFree>;

template <typename T> FftwBuffer<T> AllocateFftw(std::size_t count)
{
    auto* p = static_cast<T*>(fftw_malloc(sizeof(T) * count));
    if (!p) throw std::bad_alloc();
    return FftwBuffer<T>(p);
}

// One real-to-complex plan per ROI size for the life of the process. FFTW's
// planner is not thread-safe; fftw_execute_dft_r2c with other (equally
// aligned, fftw_malloc'ed) buffers is, so the threads share the plan.
fftw_plan PlanFor(std::uint32_t n)
{
    static std::mutex mutex;
    static std::map<std::uint32_t, fftw_plan> plans;
    const std::lock_guard lock(mutex);
    if (auto it = plans.find(n); it != plans.end()) return it->second;
    auto in = AllocateFftw<double>(std::size_t{n} * n);
    auto out = AllocateFftw<fftw_complex>(std::size_t{n} * (n / 2 + 1));
    const fftw_plan plan =
        fftw_plan_dft_r2c_2d(static_cast<int>(n), static_cast<int>(n), in.get(), out.get(), FFTW_ESTIMATE);
    if (!plan) throw std::runtime_error("FFTW could not plan the transform");
    plans.emplace(n, plan);
    return plan;
}

// Discrete orthogonal polynomials of degree 1 and 2 on 0 .. n-1, and their
// squared norms (degree 0: 1, norm n).
struct Orthogonal {
    std::vector<double> P1, P2;
    double Norm1 = 0.0, Norm2 = 0.0;
};

Orthogonal OrthogonalPolynomials(std::uint32_t n)
{
    Orthogonal o;
    const double centre = (n - 1) / 2.0;
    const double shift = (double(n) * n - 1.0) / 12.0;  // mean of (x - centre)^2
    o.P1.resize(n);
    o.P2.resize(n);
    for (std::uint32_t x = 0; x < n; ++x) {
        const double d = x - centre;
        o.P1[x] = d;
        o.P2[x] = d * d - shift;
        o.Norm1 += o.P1[x] * o.P1[x];
        o.Norm2 += o.P2[x] * o.P2[x];
    }
    return o;
}

// The sums of one slab.
struct Slab {
    std::vector<double> Power;  // sum of |DFT|^2 over the slab's ROIs
    double MeanSum = 0.0;       // sum of the ROI means
};

struct Job {
    std::span<const std::uint16_t> Pixels;
    std::uint32_t Columns = 0;
    std::uint32_t Left = 0, Top = 0, Across = 0;  // first ROI's corner, ROIs per row
    std::uint32_t N = 0;
    const std::vector<double>* Table = nullptr;  // linearised value of each 16-bit value, or null
    const Orthogonal* Poly = nullptr;
    fftw_plan Plan = nullptr;
};

// Copies ROI number roi into in, detrended; returns its mean.
double DetrendedRoi(const Job& job, std::size_t roi, double* in, std::vector<double>& rowSums)
{
    const std::uint32_t n = job.N, half = n / 2;
    const std::size_t x0 = job.Left + (roi % job.Across) * half;
    const std::size_t y0 = job.Top + (roi / job.Across) * half;
    const auto& p1 = job.Poly->P1;
    const auto& p2 = job.Poly->P2;
    // Per row: the sums against 1, P1(x) and P2(x).
    double* s0 = rowSums.data();
    double* s1 = s0 + n;
    double* s2 = s1 + n;
    for (std::uint32_t y = 0; y < n; ++y) {
        const std::uint16_t* src = job.Pixels.data() + (y0 + y) * job.Columns + x0;
        double* dst = in + std::size_t{y} * n;
        if (job.Table) {
            const double* table = job.Table->data();
            for (std::uint32_t x = 0; x < n; ++x) dst[x] = table[src[x]];
        } else {
            for (std::uint32_t x = 0; x < n; ++x) dst[x] = src[x];
        }
        double a = 0.0, b = 0.0, c = 0.0;
        for (std::uint32_t x = 0; x < n; ++x) {
            a += dst[x];
            b += p1[x] * dst[x];
            c += p2[x] * dst[x];
        }
        s0[y] = a;
        s1[y] = b;
        s2[y] = c;
    }
    double f00 = 0.0, fx = 0.0, fxx = 0.0, fy = 0.0, fxy = 0.0, fyy = 0.0;
    for (std::uint32_t y = 0; y < n; ++y) {
        f00 += s0[y];
        fx += s1[y];
        fxx += s2[y];
        fy += p1[y] * s0[y];
        fxy += p1[y] * s1[y];
        fyy += p2[y] * s0[y];
    }
    const double nn = n, n1 = job.Poly->Norm1, n2 = job.Poly->Norm2;
    const double c00 = f00 / (nn * nn), cx = fx / (n1 * nn), cxx = fxx / (n2 * nn);
    const double cy = fy / (nn * n1), cxy = fxy / (n1 * n1), cyy = fyy / (nn * n2);
    for (std::uint32_t y = 0; y < n; ++y) {
        const double base = c00 + cy * p1[y] + cyy * p2[y];
        const double slope = cx + cxy * p1[y];
        double* row = in + std::size_t{y} * n;
        for (std::uint32_t x = 0; x < n; ++x) row[x] -= base + slope * p1[x] + cxx * p2[x];
    }
    return c00;
}

void RunSlabs(const Job& job, std::size_t rois, std::vector<Slab>& slabs, std::atomic<std::size_t>& next)
{
    const std::uint32_t n = job.N;
    const std::size_t complexCount = std::size_t{n} * (n / 2 + 1);
    auto in = AllocateFftw<double>(std::size_t{n} * n);
    auto out = AllocateFftw<fftw_complex>(complexCount);
    std::vector<double> rowSums(3 * std::size_t{n});
    for (std::size_t s = next++; s < slabs.size(); s = next++) {
        Slab& slab = slabs[s];
        slab.Power.assign(complexCount, 0.0);
        const std::size_t first = rois * s / slabs.size(), last = rois * (s + 1) / slabs.size();
        for (std::size_t roi = first; roi < last; ++roi) {
            slab.MeanSum += DetrendedRoi(job, roi, in.get(), rowSums);
            fftw_execute_dft_r2c(job.Plan, in.get(), out.get());
            double* power = slab.Power.data();
            const fftw_complex* f = out.get();
            for (std::size_t i = 0; i < complexCount; ++i) power[i] += f[i][0] * f[i][0] + f[i][1] * f[i][1];
        }
    }
}

// Linear interpolation of values (at frequencies, ascending) at f; f must lie
// within them.
double Interpolate(const std::vector<double>& frequencies, const std::vector<double>& values, double f)
{
    const auto above = std::lower_bound(frequencies.begin(), frequencies.end(), f);
    const std::size_t i = static_cast<std::size_t>(above - frequencies.begin());
    if (i == 0) return values.front();
    if (i >= frequencies.size()) return values.back();
    const double t = (f - frequencies[i - 1]) / (frequencies[i] - frequencies[i - 1]);
    return values[i - 1] + t * (values[i] - values[i - 1]);
}

void FillCuts(NoiseSpectrum& s)
{
    const int n = static_cast<int>(s.RoiSize), half = n / 2;
    const int lines = static_cast<int>(kSpectrumCutLines);
    for (int k = 1; k <= half; ++k) {
        s.Frequencies.push_back(k * s.BinWidth());
        double h = 0.0, v = 0.0;
        for (int l = 1; l <= lines; ++l) {
            h += s.At(k, l) + s.At(k, -l);
            v += s.At(l, k) + s.At(-l, k);
        }
        s.Horizontal.push_back(h / (2 * lines));
        s.Vertical.push_back(v / (2 * lines));
    }
    // Radial: the half plane u > 0 (its mirror image holds the same values),
    // axes left out.
    std::vector<double> sum(half + 1, 0.0);
    std::vector<std::size_t> count(half + 1, 0);
    for (int u = 1; u <= half; ++u) {
        for (int v = -half + 1; v <= half; ++v) {
            if (v == 0) continue;
            const long k = std::lround(std::hypot(u, v));
            if (k > half) continue;
            sum[k] += s.At(u, v);
            ++count[k];
        }
    }
    for (int k = 1; k <= half; ++k) s.Radial.push_back(count[k] ? sum[k] / count[k] : 0.0);

    const double nyquist = s.Frequencies.back();
    for (const double f : kSpectrumMetricFrequencies) {
        if (f > nyquist || f < s.Frequencies.front()) continue;
        s.Metrics.push_back({f, Interpolate(s.Frequencies, s.Horizontal, f), Interpolate(s.Frequencies, s.Vertical, f),
                             Interpolate(s.Frequencies, s.Radial, f)});
    }
}

}  // namespace

double NoiseSpectrum::At(int u, int v) const
{
    const int n = static_cast<int>(RoiSize);
    if (u < 0) {
        u = -u;
        v = -v;
    }
    const int row = ((v % n) + n) % n;
    return Nnps2D[static_cast<std::size_t>(row) * HalfColumns() + static_cast<std::size_t>(u)];
}

struct NoiseSpectrumSum::State {
    double PixelSpacing = 0.0;
    unsigned Workers = 0;
    bool Linearised = false;
    std::vector<double> Table;  // linearised value of each 16-bit value, when Linearised
    Orthogonal Poly;
    std::uint32_t RoisAcross = 0, RoisDown = 0;
    std::size_t Images = 0, Rois = 0;
    std::vector<double> Power;  // sum of |DFT|^2 over every ROI added
    double MeanSum = 0.0;       // sum of the ROI means
    std::string NotComputed;    // set once an image cannot take part
};

NoiseSpectrumSum::NoiseSpectrumSum(double pixelSpacing, const LinearisingTransform& linearise, unsigned workers)
    : state_(std::make_unique<State>())
{
    State& st = *state_;
    st.PixelSpacing = pixelSpacing;
    st.Workers = workers;
    st.Linearised = static_cast<bool>(linearise);
    if (linearise) {
        st.Table.resize(65536);
        for (std::size_t v = 0; v < st.Table.size(); ++v) {
            // A value outside the response's domain (a dead pixel at 0 on a
            // power-law detector) would turn every sum into NaN.
            const double value = linearise(static_cast<double>(v));
            st.Table[v] = std::isfinite(value) ? value : 0.0;
        }
    }
    st.Poly = OrthogonalPolynomials(kSpectrumRoiSize);
    if (!(pixelSpacing > 0.0) || !std::isfinite(pixelSpacing)) st.NotComputed = kSpectrumNeedsSpacing;
}

NoiseSpectrumSum::~NoiseSpectrumSum() = default;

void NoiseSpectrumSum::Add(std::span<const std::uint16_t> pixels, std::uint32_t columns, const SpectrumRegion& region)
{
    if (region.FirstColumn > region.LastColumn || region.FirstRow > region.LastRow || region.LastColumn >= columns ||
        columns == 0 || (std::size_t{region.LastRow} + 1) * columns > pixels.size())
        throw std::invalid_argument("spectrum region outside the pixels");
    State& st = *state_;
    ++st.Images;
    if (!st.NotComputed.empty()) return;
    const std::uint32_t n = kSpectrumRoiSize, half = n / 2;
    const std::uint32_t width = region.LastColumn - region.FirstColumn + 1;
    const std::uint32_t height = region.LastRow - region.FirstRow + 1;
    if (width < n || height < n) {
        st.NotComputed = kSpectrumAreaTooSmall;
        return;
    }
    const std::uint32_t across = (width - n) / half + 1, down = (height - n) / half + 1;
    if (st.Rois == 0) {
        st.RoisAcross = across;
        st.RoisDown = down;
    } else if (across != st.RoisAcross || down != st.RoisDown) {
        throw std::invalid_argument("spectrum region of another size than the images before");
    }
    const std::size_t rois = std::size_t{across} * down;

    Job job;
    job.Pixels = pixels;
    job.Columns = columns;
    job.Left = region.FirstColumn + (width - ((across - 1) * half + n)) / 2;
    job.Top = region.FirstRow + (height - ((down - 1) * half + n)) / 2;
    job.Across = across;
    job.N = n;
    job.Table = st.Linearised ? &st.Table : nullptr;
    job.Poly = &st.Poly;
    job.Plan = PlanFor(n);

    std::vector<Slab> slabs(std::min(kSlabs, rois));
    std::atomic<std::size_t> next{0};
    unsigned threads = st.Workers ? st.Workers : std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, slabs.size()));
    // A worker's failure (memory) is thrown here, after every worker ended.
    std::vector<std::exception_ptr> failures(threads);
    {
        const auto work = [&](unsigned t) {
            try {
                RunSlabs(job, rois, slabs, next);
            } catch (...) {
                failures[t] = std::current_exception();
                next = slabs.size();  // the others stop after their slab
            }
        };
        std::vector<std::jthread> pool;
        for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work, t);
        work(0);
    }
    for (const auto& failure : failures)
        if (failure) std::rethrow_exception(failure);

    // The slabs in order, then the image onto the images before: the same
    // sums whatever the number of threads.
    if (st.Power.empty()) st.Power.assign(slabs.front().Power.size(), 0.0);
    std::vector<double> power(st.Power.size(), 0.0);
    double meanSum = 0.0;
    for (const Slab& slab : slabs) {
        for (std::size_t i = 0; i < power.size(); ++i) power[i] += slab.Power[i];
        meanSum += slab.MeanSum;
    }
    for (std::size_t i = 0; i < power.size(); ++i) st.Power[i] += power[i];
    st.MeanSum += meanSum;
    st.Rois += rois;
}

NoiseSpectrumRun NoiseSpectrumSum::Result() const
{
    const State& st = *state_;
    NoiseSpectrumRun run;
    if (!st.NotComputed.empty()) {
        run.NotComputed = st.NotComputed;
        return run;
    }
    if (st.Rois == 0) throw std::logic_error("a noise power spectrum of no image");
    const std::uint32_t n = kSpectrumRoiSize;
    NoiseSpectrum s;
    s.PixelSpacing = st.PixelSpacing;
    s.RoisAcross = st.RoisAcross;
    s.RoisDown = st.RoisDown;
    s.Images = st.Images;
    s.Rois = st.Rois;
    s.Linearised = st.Linearised;
    s.Mean = st.MeanSum / static_cast<double>(s.Rois);
    if (!(s.Mean > 0.0) || !std::isfinite(s.Mean)) {
        run.NotComputed = kSpectrumNoSignal;
        return run;
    }
    // NPS = dx * dy / (N * N) * mean |DFT|^2; NNPS = NPS / mean^2.
    const double scale =
        s.PixelSpacing * s.PixelSpacing / (double(n) * n * static_cast<double>(s.Rois)) / (s.Mean * s.Mean);
    s.Nnps2D.resize(st.Power.size());
    for (std::size_t i = 0; i < st.Power.size(); ++i) s.Nnps2D[i] = st.Power[i] * scale;
    FillCuts(s);
    run.Spectrum = std::move(s);
    return run;
}

NoiseSpectrumRun ComputeNoiseSpectrum(std::span<const std::uint16_t> pixels, std::uint32_t columns,
                                      const SpectrumRegion& region, double pixelSpacing,
                                      const LinearisingTransform& linearise, unsigned workers)
{
    NoiseSpectrumSum sum(pixelSpacing, linearise, workers);
    sum.Add(pixels, columns, region);
    return sum.Result();
}

}  // namespace evenor
