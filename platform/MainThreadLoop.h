// The built-in main-thread loop for tests and command-line tools: a queue of calls that the
// thread which created the loop runs whenever it pumps. The program uses its GUI event loop
// instead.
#pragma once

#include "MainThread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace vantrel {

class MainThreadLoop : public MainThreadSeam {
public:
    // The creating thread becomes the main thread.
    MainThreadLoop();
    // Drops the calls still queued and releases every worker waiting in runAndWait.
    ~MainThreadLoop() override;
    MainThreadLoop(const MainThreadLoop&) = delete;
    MainThreadLoop& operator=(const MainThreadLoop&) = delete;

    void post(std::function<void()> call) override;
    // From a worker: queues `call` and blocks until the main thread has run it, rethrowing
    // what it threw. When the loop is destroyed first, the call is dropped and the worker
    // released. On the main thread `call` runs directly.
    void runAndWait(std::function<void()> call) override;
    bool isMainThread() const override;
    // Main thread only: waits at most `maxWait` for a call, then runs the calls queued at that
    // moment (calls they queue wait for the next pump). An exception from a posted call goes
    // to the application's exception handler.
    void processPending(std::chrono::milliseconds maxWait) override;

    // Pumps until `done` returns true or `timeout` has passed; returns the last value of `done`.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Calls queued and not run yet.
    std::size_t pendingCount() const;

private:
    struct Waiter;

    const std::thread::id mainThreadId_;
    mutable std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::function<void()>> calls_;
    std::deque<std::shared_ptr<Waiter>> waiters_; // workers blocked in runAndWait
};

} // namespace vantrel
