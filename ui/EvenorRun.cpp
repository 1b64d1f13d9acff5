#include "ui/Evenor.h"

#include <atomic>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include <QCheckBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QThread>
#include <QTimer>

#include "analysis/AnalysisRun.h"
#include "dicom/DicomLib.h"
#include "history/Sha256.h"
#include "qa/TestRun.h"
#include "ui/Calculateform.h"
#include "ui/Dialogs.h"
#include "ui/EvenorWindow.h"
#include "ui/HistoryPage.h"
#include "ui/Preferences.h"
#include "ui/ResultsPage.h"
#include "ui/RunProgress.h"

// The calculation: the run of the test in the background, its messages and
// the Calculating notice.

namespace evenor {

namespace {

// The run's messages, shown by the window: from the run's own thread through
// the window's, which shows the box while the run waits for its OK.
class WindowRunHost : public RunHost {
public:
    explicit WindowRunHost(QWidget* window) : window_(window) {}
    void ShowMessage(const std::string& text) override
    {
        const auto show = [this, &text] { Dialogs::Message(window_, QString::fromStdString(text)); };
        if (QThread::currentThread() == window_->thread())
            show();
        else
            QMetaObject::invokeMethod(window_, show, Qt::BlockingQueuedConnection);
    }

private:
    QWidget* window_;
};

// Shows the Calculating notice for its lifetime: hidden again at the end of
// the calculation, also when it ends with an exception (the notice has no
// close button).
class NoticeShown {
public:
    explicit NoticeShown(TFormCalculate* notice) : notice_(notice)
    {
        if (notice_ != nullptr) notice_->ShowNotice();
    }
    ~NoticeShown()
    {
        if (notice_ != nullptr) notice_->HideNotice();
    }
    NoticeShown(const NoticeShown&) = delete;
    NoticeShown& operator=(const NoticeShown&) = delete;

private:
    TFormCalculate* notice_;
};

// Sets a flag for its lifetime, also when it ends with an exception.
class FlagSet {
public:
    explicit FlagSet(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagSet() { flag_ = false; }
    FlagSet(const FlagSet&) = delete;
    FlagSet& operator=(const FlagSet&) = delete;

private:
    bool& flag_;
};

}  // namespace

bool TFormEvenor::RunInBackground(RunProgress& progress, const std::function<void()>& work)
{
    bool cancelled = false;
    std::exception_ptr failure;
    const auto guardedWork = [&] {
        try {
            work();
        } catch (const RunCancelled&) {
            cancelled = true;
        } catch (...) {
            failure = std::current_exception();
        }
    };
    if (formCalculate_ != nullptr) formCalculate_->Follow(&progress);
    running_ = &progress;
    QEventLoop loop;
    std::atomic<bool> done = false;
    std::thread worker;
    try {
        worker = std::thread([&] {
            guardedWork();
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
            // Last: once it is set, this frame (and the loop) may end.
            done = true;
        });
    } catch (const std::system_error&) {
        // No thread to be had: the run takes the window's thread, which then
        // paints nothing until it has ended.
        guardedWork();
    }
    if (worker.joinable()) {
        loop.exec();
        // The loop also ends when the application quits: the run is asked to
        // stop and waited for, as it uses this frame's variables, with the
        // events still handled (a message of the run waits for this thread).
        if (!done) progress.RequestCancel();
        while (!done) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            QThread::msleep(5);
        }
        worker.join();
    }
    running_ = nullptr;
    if (formCalculate_ != nullptr) formCalculate_->Follow(nullptr);
    if (failure) std::rethrow_exception(failure);
    return !cancelled;
}

bool TFormEvenor::RunWithNotice(RunProgress& progress, const std::function<void()>& work)
{
    if (calculating_) return false;
    // What was asked for during the run happens after it, also after a failure.
    const auto afterRun = [this] {
        if (std::exchange(closeAfterRun_, false))
            QTimer::singleShot(0, this, &QWidget::close);
        else if (!deferredOpen_.isEmpty())
            OpenLater(std::exchange(deferredOpen_, QString()));
    };
    bool finished = false;
    try {
        const FlagSet calculating(calculating_);
        // The notice names the run's first step from the moment it shows.
        if (formCalculate_ != nullptr) formCalculate_->Follow(&progress);
        NoticeShown notice(formCalculate_);
        finished = RunInBackground(progress, work);
    } catch (...) {
        afterRun();
        throw;
    }
    afterRun();
    return finished;
}

void TFormEvenor::ButtonCalculateClick()
{
    // The notice and the message boxes run event loops in which drops,
    // timers and queued opens still arrive; the run reads image_ and
    // settings_ until it has ended.
    if (calculating_) return;
    {
        const FlagSet calculating(calculating_);
        Calculate();
    }
    if (std::exchange(closeAfterRun_, false)) {
        QTimer::singleShot(0, this, &QWidget::close);
        return;
    }
    if (!deferredOpen_.isEmpty()) OpenLater(std::exchange(deferredOpen_, QString()));
}

void TFormEvenor::Calculate()
{
    Guarded([this] {
        SettingsFields fields;
        fields.FirstRow = ToStd(editBoven_->text());
        fields.LastRow = ToStd(editOnder_->text());
        fields.FirstColumn = ToStd(editLinks_->text());
        fields.LastColumn = ToStd(editRechts_->text());
        fields.BoxCm = ToStd(editDim_->text());
        fields.RoiDeviation = ToStd(editROIDev_->text());
        fields.PixelDeviation = ToStd(editDevPerc_->text());
        fields.DetectDeviatingPixels = checkBoxDev_->isChecked();
        fields.Logarithmic = logaritm_->isChecked();
        fields.Inverted = inverse_->isChecked();
        WindowRunHost host(this);
        statusNote_.clear();
        ShowFileNames();
        if (!ReadSettings(fields, image_.get(), settings_, host)) return;

        // The Results page's pictures are drawn under the notice, before the
        // report; the page shows them only once the report is written, so a
        // failed or cancelled run leaves the page as it was. The run works on
        // its own copy of the settings and on the image, which nothing else
        // touches until it has ended.
        const AnalysisSettings settings = settings_;
        TDicomBeeld& image = *image_;
        std::optional<RunResults> prepared;
        std::optional<LastRun> run;
        std::optional<TestRun> test;
        RunProgress progress;
        progress.Step(0, "analysing the image");
        // Once the detector is inspected, the report is written while the
        // pictures are drawn. From then on it is written whole: a cancel
        // would leave neither the old report nor a new one. The closing
        // message follows the notice.
        TestSteps steps;
        steps.ShowClosing = false;
        steps.Present = [&](const AnalysisOutcome& outcome, const std::function<void()>& writeReport) {
            std::string sha256;
            const auto writeAll = [&] {
                try {
                    sha256 = Sha256OfFile(settings.DicomFileName);
                } catch (const std::exception&) {
                    // Only a record of this run needs it; Record says so then.
                }
                progress.Commit();
                writeReport();
            };
            prepared = PrepareRunResults(settings, outcome, image, &progress, writeAll);
            prepared->FileSha256 = sha256;
            run = LastRun{image.TagTable(), sha256};
        };
        const auto work = [&] { test = RunTest(settings, image, host, steps); };
        bool finished = false;
        {
            NoticeShown notice(formCalculate_);
            finished = RunInBackground(progress, work);
        }
        if (!finished) {
            statusNote_ = QStringLiteral("Calculation cancelled, nothing written.");
            ShowFileNames();
            return;
        }
        const std::string_view closing = test->Closing();
        Dialogs::Message(this, QString::fromLatin1(closing.data(), qsizetype(closing.size())));
        if (!test->Complete) return;
        resultsPage_->ShowResults(std::move(*prepared));
        resultsPage_->setEnabled(true);
        historyPage_->ForgetLastRecord();
        lastRun_ = std::move(run);
        if (Preferences::RecordEveryTest()) historyPage_->RecordLastTest();
    });
}

}  // namespace evenor
