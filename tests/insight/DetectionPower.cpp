// Measures the smallest defect of each class the default preset flags on a
// 2048 x 2048 Poisson field (0.15 mm, signal 2000, 1 cm boxes): plants
// defects of decreasing size with several seeds and prints, per class and
// size, on how many fields it was flagged and how far the defect stands out
// of the noise. Not a test: run it by hand when a rule changes
// (`insight_detection_power [seeds [class]]`, about 5 minutes with 4 seeds;
// class: a part of the names of the classes to measure, all by default) and
// update the table of the README.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/DetectorPhantoms.h"

namespace evenor::test {
namespace {

using test::Image;
using test::Inspection;

constexpr std::uint32_t kSide = 2048;
constexpr double kSignal = 2000.0;
constexpr double kSpacingMm = 0.15;
constexpr double kBoxCm = 1.0;

struct Outcome {
    bool Flagged = false;
    double Clarity = 0.0;  // the class's measure of how far the defect stands out
    std::string Why;       // the check (or finding) that flagged it
};

// The first check of the verdict that does not pass, "" when all pass.
std::string FirstFlag(const GuidelineVerdict& verdict)
{
    for (const auto& check : verdict.Checks)
        if (check.Result == Verdict::Warning || check.Result == Verdict::Fail) return std::string(check.Key);
    return "";
}

struct Class {
    std::string Name;
    std::string Unit;
    std::vector<double> Sizes;
    std::function<Outcome(double size, unsigned seed)> Run;
};

Outcome Verdicted(const Image& image, const std::function<double(const Inspection&)>& clarity,
                  std::string_view key = {})
{
    const Inspection run = test::Inspect(image, kBoxCm, kSpacingMm);
    const GuidelineVerdict verdict = Judge(run.Insight, run.Settings, DefaultPreset());
    Outcome outcome;
    outcome.Clarity = clarity(run);
    if (key.empty()) {
        outcome.Why = FirstFlag(verdict);
        outcome.Flagged = !outcome.Why.empty();
    } else {
        const CheckVerdict* check = test::FindCheck(verdict, key);
        outcome.Flagged = check && (check->Result == Verdict::Warning || check->Result == Verdict::Fail);
        if (outcome.Flagged) outcome.Why = std::string(key);
    }
    return outcome;
}

double LineSigmas(const Inspection& run, LineOrientation orientation, std::uint32_t index)
{
    for (const auto& line : run.Insight.Lines)
        if (line.Orientation == orientation && line.Index == index) return line.Sigmas;
    return run.Insight.LargestOtherLineSigmas;  // the planted line, when it stands out of the noise at all
}

// The largest ROI mean deviation in standard errors of a ROI mean.
double RoiMeanErrors(const Inspection& run)
{
    const auto& value = run.Insight.Metrics.Robust[MetricId::RoiMeanDeviation].Value;
    const double box = run.Result.BoxPixels;
    return value ? std::fabs(*value) / 100.0 * kSignal / (std::sqrt(kSignal) / box) : 0.0;
}

std::vector<double> Steps(double from, double to, double step)
{
    std::vector<double> sizes;
    for (double v = from; v <= to + 1e-9; v += step) sizes.push_back(v);
    return sizes;
}

}  // namespace
}  // namespace evenor::test

int main(int argc, char** argv)
{
    using namespace evenor;
    using namespace evenor::test;
    const unsigned seeds = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 4u;
    const double pixelNoise = std::sqrt(kSignal);
    std::vector<Class> classes;
    for (const auto orientation : {LineOrientation::Column, LineOrientation::Row}) {
        classes.push_back({std::string(OrientationName(orientation)) + " offset (dimmer)", "%", Steps(0.2, 0.8, 0.05),
                           [orientation](double size, unsigned seed) {
                               Image image = test::FlatPoisson(kSide, kSignal, seed);
                               if (orientation == LineOrientation::Column)
                                   test::OffsetColumn(image, 1000, -size / 100.0);
                               else
                                   test::OffsetRow(image, 1000, -size / 100.0);
                               return Verdicted(
                                   image, [&](const Inspection& run) { return LineSigmas(run, orientation, 1000); },
                                   LineDefectsCheckKey);
                           }});
    }
    classes.push_back({"single pixel, dimmer", "%", Steps(14.0, 24.0, 2.0), [](double size, unsigned seed) {
                           Image image = test::FlatPoisson(kSide, kSignal, seed);
                           image.At(1001, 1003) = test::Scaled(image.At(1001, 1003), 1.0 - size / 100.0);
                           return Verdicted(
                               image, [&](const Inspection&) { return size / 100.0 * kSignal / std::sqrt(kSignal); },
                               DeviatingPixelsCheckKey);
                       }});
    classes.push_back({"dead cluster", "px", Steps(1.0, 11.0, 1.0), [](double size, unsigned seed) {
                           Image image = test::FlatPoisson(kSide, kSignal, seed);
                           test::DeadCluster(image, 1001, 1003, static_cast<std::uint32_t>(size));
                           return Verdicted(
                               image, [&](const Inspection& run) { return run.Insight.DefectPixels.LargestCluster; },
                               LargestClusterCheckKey);
                       }});
    for (double sigma : {20.0, 50.0, 100.0}) {
        classes.push_back({"soft dip, sigma " + std::to_string(static_cast<int>(sigma)) + " px", "%",
                           Steps(1.0, sigma < 30 ? 12.0 : 6.0, 0.5), [sigma](double size, unsigned seed) {
                               Image image = test::FlatPoisson(kSide, kSignal, seed);
                               test::SoftDip(image, 1100.0, 900.0, sigma, size / 100.0);
                               return Verdicted(image, RoiMeanErrors);
                           }});
    }
    std::vector<double> rimLevels = Steps(0.5, 1.5, 0.5);
    for (double level : Steps(2.0, 14.0, 1.0)) rimLevels.push_back(level);
    classes.push_back({"dark rim, 20 columns (3 mm)", "%", rimLevels, [](double size, unsigned seed) {
                           Image image = test::FlatPoisson(kSide, kSignal, seed);
                           test::LeftRim(image, 20, -size / 100.0);
                           Outcome outcome = Verdicted(image, RoiMeanErrors);
                           const Inspection run = test::Inspect(image, kBoxCm, kSpacingMm);
                           if (run.Insight.Rims.Found()) {
                               outcome.Flagged = true;
                               outcome.Why = "rim found" + (outcome.Why.empty() ? "" : ", " + outcome.Why);
                           }
                           return outcome;
                       }});
    classes.push_back(
        {"row-correlated noise", "% of pixel noise", Steps(0.0, 14.0, 1.0), [pixelNoise](double size, unsigned seed) {
             Image image = test::FlatPoisson(kSide, kSignal, seed);
             if (size > 0.0) test::RowCorrelatedNoise(image, size, pixelNoise, seed + 17);
             return Verdicted(
                 image, [](const Inspection& run) { return run.Insight.Noise.Rows.CorrelatedPercent.value_or(-1.0); },
                 RowNoiseCheckKey);
         }});

    const std::string only = argc > 2 ? argv[2] : "";
    for (const Class& c : classes) {
        if (c.Name.find(only) == std::string::npos) continue;
        std::printf("== %s\n", c.Name.c_str());
        for (double size : c.Sizes) {
            unsigned flagged = 0;
            double clarity = 0.0, least = 1e300, most = -1e300;
            std::string why;
            for (unsigned seed = 1; seed <= seeds; ++seed) {
                const Outcome outcome = c.Run(size, 7919u * seed + 11u);
                flagged += outcome.Flagged;
                clarity += outcome.Clarity;
                least = std::min(least, outcome.Clarity);
                most = std::max(most, outcome.Clarity);
                if (why.empty()) why = outcome.Why;
            }
            std::printf("%7.2f %s: flagged %u/%u, clarity mean %.2f (%.2f-%.2f) %s\n", size, c.Unit.c_str(), flagged,
                        seeds, clarity / seeds, least, most, why.c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}
