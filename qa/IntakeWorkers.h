#pragma once
// A bounded pool of workers for incoming images, and the stop request that
// SIGTERM and SIGINT make: the receivers stop taking new images, the workers
// finish the images in hand, and the command exits 0.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace evenor {

// Installs the SIGTERM/SIGINT handlers (once) and says whether a stop was
// asked for since.
void InstallStopHandlers();
bool StopRequested();
// For tests: asks for a stop as the signal would.
void RequestStop();
void ResetStopRequest();

class IntakeWorkers {
public:
    explicit IntakeWorkers(std::size_t count);
    // Finishes every queued task, then joins.
    ~IntakeWorkers();
    IntakeWorkers(const IntakeWorkers&) = delete;
    IntakeWorkers& operator=(const IntakeWorkers&) = delete;

    void Post(std::function<void()> task);
    // Waits until the queue is empty and no task runs.
    void Drain();
    std::size_t Pending();

private:
    void Work();

    std::mutex lock_;
    std::condition_variable wake_, idle_;
    std::deque<std::function<void()>> queue_;
    std::size_t running_ = 0;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace evenor
