#include "qa/IntakeWorkers.h"

#include <atomic>
#include <csignal>
#include <exception>

namespace evenor {

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void OnStopSignal(int) { stopRequested.store(true); }

}  // namespace

void InstallStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

bool StopRequested() { return stopRequested.load(); }
void RequestStop() { stopRequested.store(true); }
void ResetStopRequest() { stopRequested.store(false); }

IntakeWorkers::IntakeWorkers(std::size_t count)
{
    for (std::size_t i = 0; i < (count == 0 ? 1 : count); ++i) threads_.emplace_back([this] { Work(); });
}

IntakeWorkers::~IntakeWorkers()
{
    {
        std::lock_guard guard(lock_);
        closing_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
}

void IntakeWorkers::Post(std::function<void()> task)
{
    {
        std::lock_guard guard(lock_);
        queue_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void IntakeWorkers::Drain()
{
    std::unique_lock guard(lock_);
    idle_.wait(guard, [&] { return queue_.empty() && running_ == 0; });
}

std::size_t IntakeWorkers::Pending()
{
    std::lock_guard guard(lock_);
    return queue_.size() + running_;
}

void IntakeWorkers::Work()
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock guard(lock_);
            wake_.wait(guard, [&] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) return;  // closing, nothing left
            task = std::move(queue_.front());
            queue_.pop_front();
            ++running_;
        }
        try {
            task();
        } catch (...) {
            // A task reports its own failures; one that escapes must not end the service.
        }
        {
            std::lock_guard guard(lock_);
            --running_;
        }
        idle_.notify_all();
    }
}

}  // namespace evenor
