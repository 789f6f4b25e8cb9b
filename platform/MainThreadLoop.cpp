#include "MainThreadLoop.h"

#include "Application.h"

#include <stdexcept>

namespace vantrel {

// A worker blocked in runAndWait. It has its own lock, so that releasing it never needs the
// loop, which may be gone by then.
struct MainThreadLoop::Waiter {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr error;

    void finish(std::exception_ptr thrown) {
        {
            std::lock_guard lock(mutex);
            done = true;
            error = std::move(thrown);
        }
        finished.notify_all();
    }
};

MainThreadLoop::MainThreadLoop() : mainThreadId_(std::this_thread::get_id()) {}

MainThreadLoop::~MainThreadLoop() {
    std::deque<std::shared_ptr<Waiter>> waiters;
    {
        std::lock_guard lock(mutex_);
        calls_.clear();
        waiters.swap(waiters_);
    }
    for (const auto& waiter : waiters)
        waiter->finish(nullptr);
}

// Notifying under the lock: once a worker has let go of the lock it never touches the loop
// again, so the loop may end right after.
void MainThreadLoop::post(std::function<void()> call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    queued_.notify_all();
}

void MainThreadLoop::runAndWait(std::function<void()> call) {
    if (isMainThread()) {
        call();
        return;
    }
    auto waiter = std::make_shared<Waiter>();
    {
        std::lock_guard lock(mutex_);
        waiters_.push_back(waiter);
        calls_.push_back([this, waiter, call = std::move(call)] {
            std::exception_ptr thrown;
            try {
                call();
            } catch (...) {
                thrown = std::current_exception();
            }
            {
                std::lock_guard loopLock(mutex_);
                std::erase(waiters_, waiter);
            }
            waiter->finish(std::move(thrown));
        });
        queued_.notify_all();
    }
    std::exception_ptr error;
    {
        std::unique_lock lock(waiter->mutex);
        waiter->finished.wait(lock, [&] { return waiter->done; });
        // Taken over here, so that the exception ends its life on the thread that handles it.
        error = std::move(waiter->error);
    }
    if (error)
        std::rethrow_exception(error);
}

bool MainThreadLoop::isMainThread() const {
    return std::this_thread::get_id() == mainThreadId_;
}

void MainThreadLoop::processPending(std::chrono::milliseconds maxWait) {
    if (!isMainThread())
        throw std::logic_error("MainThreadLoop::processPending called off the main thread");
    std::deque<std::function<void()>> due;
    {
        std::unique_lock lock(mutex_);
        queued_.wait_for(lock, maxWait, [this] { return !calls_.empty(); });
        due.swap(calls_);
    }
    for (auto& call : due) {
        try {
            call();
        } catch (...) {
            ApplicationHandleException(std::current_exception());
        }
    }
}

bool MainThreadLoop::pumpUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining <= std::chrono::milliseconds(0))
            return done();
        // Short slices: `done` may turn true without a call being queued.
        processPending(std::min(remaining, std::chrono::milliseconds(5)));
    }
    return true;
}

std::size_t MainThreadLoop::pendingCount() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
}

} // namespace vantrel
