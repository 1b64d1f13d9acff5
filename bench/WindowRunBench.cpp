// The window's Calculate against evenor-cli on the same image and settings:
// a 4096 x 4096 flat field at 0.1 mm with a 0.1 cm box (670,761 ROIs, many of
// them deviating by their SNR). The window's time runs from the click to the
// Results page ready (pictures drawn, report written); the command line's is
// a whole "evenor-cli analyse" process. After the runs the ratio of the
// medians is printed; the window is to take at most 1.5 times the command
// line's time. The processor time of each (all threads; the command line's
// from its finished processes) is printed too: on a machine shared with
// other work it varies far less than the wall-clock time.
//
//   build/bench/evenor_window_bench [--benchmark_repetitions=N] [IMAGE]
//
// Without IMAGE the flat field is written to a temporary folder first. Runs
// on Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <QProcess>

#include "bench/FlatField.h"
#include "dicom/DicomDictionary.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/EvenorWindows.h"
#include "ui/ResultsPage.h"

namespace {

using namespace evenor;
namespace fs = std::filesystem;

constexpr std::size_t kRois = 819 * 819;
constexpr double kLimit = 1.5;

fs::path image;
fs::path outputFolder;
std::vector<double> windowSeconds, cliSeconds;
std::vector<double> windowCpu, cliCpu;

// User and system time of this process or of its finished children, seconds.
double CpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

void BM_CommandLine(benchmark::State& state)
{
    const QString report = QString::fromStdString((outputFolder / "cli.txt").string());
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu = CpuSeconds(RUSAGE_CHILDREN);
        QProcess cli;
        cli.start(QStringLiteral(EVENOR_CLI_PATH),
                  {QStringLiteral("analyse"), QString::fromStdString(image.string()), QStringLiteral("-o"), report,
                   QStringLiteral("--box-cm"), QStringLiteral("0.1"), QStringLiteral("-q")});
        if (!cli.waitForFinished(600000) || cli.exitCode() != 0) {
            state.SkipWithError("evenor-cli failed");
            return;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        cliSeconds.push_back(seconds);
        cliCpu.push_back(CpuSeconds(RUSAGE_CHILDREN) - cpu);
    }
}

void BM_Window(benchmark::State& state)
{
    test::TemporaryPreferences preferences;
    EvenorWindows windows;
    TFormEvenor& form = windows.FormEvenor;
    form.show();
    Dialogs::SetMessagesAnswered(true);
    Dialogs::SetNextFileAnswer(QString::fromStdString(image.string()));
    form.ButtonOpenClick();
    Dialogs::SetNextFileAnswer(QString::fromStdString((outputFolder / "window.txt").string()));
    form.ButtonExportClick();
    test::Child<QLineEdit>(form, "EditDim")->setText(QStringLiteral("0.1"));
    Dialogs::TakeMessages();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu = CpuSeconds(RUSAGE_SELF);
        form.ButtonCalculateClick();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        windowSeconds.push_back(seconds);
        windowCpu.push_back(CpuSeconds(RUSAGE_SELF) - cpu);
        const auto messages = Dialogs::TakeMessages();
        const auto& results = test::Child<TResultsPage>(form, "Results")->Results();
        if (messages.size() != 1 || messages.back().Text != QLatin1String(kResultsWritten) || !results ||
            results->Rois.size() != kRois) {
            state.SkipWithError("the window's run did not give the Results page of 670,761 ROIs");
            return;
        }
    }
    state.counters["ROIs"] = static_cast<double>(kRois);
}

BENCHMARK(BM_CommandLine)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_Window)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    benchmark::Initialize(&argc, argv);
    QApplication application(argc, argv);
    LoadDicomDictionary();
    const test::TempFolder folder;
    outputFolder = folder.Path();
    if (argc > 1) {
        image = argv[1];
    } else {
        image = folder / "flat-4096.dcm";
        test::TestImage flat;
        flat.Rows = 4096;
        flat.Columns = 4096;
        flat.PixelSpacing = "0.1\\0.1";
        flat.Pixels = bench::FlatField(4096, 4096, 20.0);
        test::WriteDicomFile(image, flat);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double window = Median(windowSeconds), cli = Median(cliSeconds);
    if (window > 0.0 && cli > 0.0)
        std::printf("Results page ready in %.2f s, evenor-cli %.2f s (medians): ratio %.2f, limit %.1f\n", window, cli,
                    window / cli, kLimit);
    const double windowProcessor = Median(windowCpu), cliProcessor = Median(cliCpu);
    if (windowProcessor > 0.0 && cliProcessor > 0.0)
        std::printf("processor time: window %.2f s, evenor-cli %.2f s (medians): ratio %.2f\n", windowProcessor,
                    cliProcessor, windowProcessor / cliProcessor);
    return 0;
}
