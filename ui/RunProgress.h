#pragma once
// The progress of one Calculate run and its cancellation, shared by the
// thread that runs the analysis (it reports its steps and stops where it is
// told to) and the Calculating notice (it shows the steps and offers Cancel).
// Every member may be called from either thread.
#include <mutex>
#include <string>

namespace evenor {

// Thrown by RunProgress::Step and Commit once Cancel was pressed; the
// window catches it, writes nothing and keeps what it showed before the run.
struct RunCancelled {};

class RunProgress {
public:
    // The steps of Calculate: the analysis, the inspection, the pictures
    // and the report.
    static constexpr int CalculateSteps = 3;

    explicit RunProgress(int steps = CalculateSteps) : steps_(steps) {}
    // How many steps the run has; Step takes their index.
    int Steps() const { return steps_; }

    // The run: step index (0-based) begins, described by text. Throws
    // RunCancelled when Cancel was pressed.
    void Step(int index, std::string text);
    // The run: the report is about to be written. Throws RunCancelled when
    // Cancel was pressed first; afterwards Cancel is refused, so that a
    // cancel never leaves a report half written.
    void Commit();

    // The notice: asks the run to stop at its next check. False once the run
    // has committed to writing the report (it then ends normally).
    bool RequestCancel();

    struct State {
        int Step = 0;  // the step under way, 0-based
        std::string Text;
        bool Cancelling = false;  // Cancel was pressed, the run stops at its next check
        bool Committed = false;   // the report is being written; Cancel is refused
    };
    State Current() const;

private:
    const int steps_;
    mutable std::mutex mutex_;
    State state_;
};

}  // namespace evenor
