// Writes JSON results of several synthetic analyses into the folder given as
// the first argument, for the schema check (validate_result_schema.py).
#include <cstdio>
#include <exception>
#include <limits>
#include <string>

#include "insight/DetectorInsight.h"
#include "insight/ResultExport.h"
#include "spectrum/SpectrumPeaks.h"
#include "tests/support/DetectorPhantoms.h"
#include "tests/support/Phantom.h"

using namespace evenor;
using namespace evenor::test;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    try {
        // A blotch and a dead-pixel cluster, judged against each preset.
        auto phantom = BlotchPhantom();
        Paint(phantom, 70, 20, 3, [](int) { return 0; });
        AnalysisSettings settings = WholeArea(phantom, 10.0, 20.0, true);
        const AnalysisResult result = Analyse(phantom, settings, 20);
        const DetectorInsight insight = InspectDetector(settings, result, phantom.Pixels, phantom.Width);
        for (const auto& preset : AllPresets()) {
            ResultContext context;
            context.Preset = &preset;
            context.Insight = &insight;
            context.PixelSpacing = 0.1;
            context.Image.Manufacturer = "Acme Imaging";
            context.Image.Exposure = "2500";
            context.Image.ExposureUnit = "uAs";
            WriteResultJson(folder + "/blotch-" + std::string(preset.Name) + ".json", settings, result, context);
        }

        // A detector with a collimated rim, an offset row, hot pixels in a
        // cluster and two single ones, and a border.
        Field field = FlatSignal(256, 256, 2000.0);
        for (std::uint32_t y = 0; y < 256; ++y)
            for (std::uint32_t x = 0; x < 256; ++x) {
                if (x < 12) field.At(x, y) = 300.0;
                if (y == 140) field.At(x, y) *= 1.04;
            }
        Image image = PoissonImage(field, 5);
        for (std::uint32_t y = 60; y < 63; ++y)
            for (std::uint32_t x = 100; x < 102; ++x) image.At(x, y) = 16000;
        image.At(30, 200) = 0;
        image.At(220, 20) = 16000;
        const Inspection run = Inspect(image);
        ResultContext faults;
        faults.Preset = &DefaultPreset();
        faults.Insight = &run.Insight;
        faults.PixelSpacing = SpacingFor(image);
        faults.BorderMm = 0.5;
        faults.BorderPixels = 2;
        AnalysisSettings faultSettings = run.Settings;
        faultSettings.DicomFileName = "/data/faults.dcm";
        WriteResultJson(folder + "/faults.json", faultSettings, run.Result, faults);

        // The same with its noise power spectrum (one ROI), and without one.
        const SpectrumAnalysis spectrum = AnalyseNoiseSpectrum(image.Pixels, image.Width, {0, 0, 255, 255}, 0.1);
        faults.Spectrum = &spectrum;
        WriteResultJson(folder + "/faults-nps.json", faultSettings, run.Result, faults);
        const SpectrumAnalysis noSpacing = AnalyseNoiseSpectrum(image.Pixels, image.Width, {0, 0, 255, 255}, 0.0);
        faults.Spectrum = &noSpacing;
        WriteResultJson(folder + "/faults-no-nps.json", faultSettings, run.Result, faults);

        // Processed image, inverted with an offset, no preset.
        AnalysisSettings prepared = settings;
        prepared.Inverted = true;
        prepared.PixelOffset = 100;
        ResultContext processed;
        processed.Preparation = {true, 4095, true};
        processed.Image.PresentationIntentType = "FOR PRESENTATION";
        WriteResultJson(folder + "/processed.json", prepared, result, processed);

        // Nothing available: a dark image, with values that are not finite
        // and bytes that are not UTF-8.
        AnalysisResult dark = result;
        dark.AreaMean = 0.0;
        dark.MeanRoiSNR = 0.0;
        dark.AreaSNR = std::numeric_limits<double>::quiet_NaN();
        dark.Rois[0].SD = std::numeric_limits<double>::infinity();
        AnalysisSettings odd = settings;
        odd.DicomFileName = "/data/r\xf6ntgen.dcm";
        odd.DetectDeviatingPixels = false;
        const DetectorInsight notSearched = InspectDetector(odd, dark, phantom.Pixels, phantom.Width);
        ResultContext none;
        none.Preset = &DefaultPreset();
        none.Insight = &notSearched;
        WriteResultJson(folder + "/unavailable.json", odd, dark, none);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
