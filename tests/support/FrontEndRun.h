#pragma once
// One whole uniformity test as the front ends run it, for tests and fuzzers
// that need the complete sequence without a window: the settings from the
// fields, the analysis, the report, then the closing message (or the message
// of an incomplete file). Errors throw EvenorError as in the front ends.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/AnalysisRun.h"
#include "qa/TestRun.h"

namespace evenor::test {

// Records the messages a run shows, in order.
class MessageLog : public RunHost {
public:
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }
    std::vector<std::string> Messages;
};

// True when the report was written; outcome, when given, receives what the
// analysis produced. The detector is not inspected.
inline bool RunLikeAFrontEnd(const SettingsFields& fields, TDicomBeeld* image, AnalysisSettings& settings,
                             RunHost& host, std::optional<AnalysisOutcome>* outcome = nullptr)
{
    TestSteps steps;
    steps.Inspect = false;
    std::optional<TestRun> run = RunTestOfFields(fields, image, settings, host, steps);
    if (!run || !run->Complete) return false;
    if (outcome != nullptr) *outcome = std::move(run->Analysis);
    return true;
}

}  // namespace evenor::test
