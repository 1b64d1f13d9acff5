#pragma once
// A piece of the inspection that runs on a second thread while the calling
// thread goes on with another. Each side writes only its own results, so
// what comes out does not depend on whether the second thread ran: Join
// waits for it (or, when no thread was started or could be had, does the
// work on the calling thread) and rethrows whatever the work threw.
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

namespace evenor {

template <typename Work> class SideTask {
public:
    // Starts work on a second thread when parallel is true.
    SideTask(Work work, bool parallel) : work_(std::move(work))
    {
        if (!parallel) return;
        try {
            thread_ = std::jthread([this] { Run(); });
        } catch (const std::system_error&) {
            // No thread to be had: Join does the work.
        }
    }
    SideTask(const SideTask&) = delete;
    SideTask& operator=(const SideTask&) = delete;
    // An unjoined task's thread is joined (its result dropped) before the
    // work it uses goes away.
    ~SideTask() = default;

    void Join()
    {
        if (thread_.joinable())
            thread_.join();
        else if (!done_)
            Run();
        if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    }

private:
    void Run()
    {
        try {
            work_();
        } catch (...) {
            failure_ = std::current_exception();
        }
        done_ = true;
    }

    Work work_;
    std::exception_ptr failure_;
    bool done_ = false;
    std::jthread thread_;  // last: joined first on destruction
};

}  // namespace evenor
