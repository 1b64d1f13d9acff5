#include "ui/RunProgress.h"

#include <utility>

namespace evenor {

void RunProgress::Step(int index, std::string text)
{
    const std::lock_guard lock(mutex_);
    if (state_.Cancelling) throw RunCancelled{};
    state_.Step = index;
    state_.Text = std::move(text);
}

void RunProgress::Commit()
{
    const std::lock_guard lock(mutex_);
    if (state_.Cancelling) throw RunCancelled{};
    state_.Committed = true;
}

bool RunProgress::RequestCancel()
{
    const std::lock_guard lock(mutex_);
    if (state_.Committed) return false;
    state_.Cancelling = true;
    return true;
}

RunProgress::State RunProgress::Current() const
{
    const std::lock_guard lock(mutex_);
    return state_;
}

}  // namespace evenor
