#include "PeriodicTimer.h"

#include "MMObj.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace vantrel {

struct PeriodicTimer::State {
    std::mutex mutex;
    std::condition_variable stopRequested;
    bool stopping = false;
    std::thread thread;
};

namespace {

std::uint32_t nextTimerId() {
    static std::atomic<std::uint32_t> lastId{0};
    std::uint32_t id = ++lastId;
    while (id == 0)
        id = ++lastId;
    return id;
}

} // namespace

PeriodicTimer::PeriodicTimer(std::uint32_t periodMs, std::function<void(std::uint32_t id)> callback)
    : state_(std::make_shared<State>()), id_(nextTimerId()) {
    const auto period = std::chrono::milliseconds(std::max<std::uint32_t>(periodMs, 1));
    auto run = [state = state_, period, callback = std::move(callback), id = id_] {
        auto due = std::chrono::steady_clock::now() + period;
        std::unique_lock lock(state->mutex);
        while (!state->stopRequested.wait_until(lock, due, [&] { return state->stopping; })) {
            lock.unlock();
            callback(id);
            lock.lock();
            // Ticks stay on their grid; after a stall the missed ones are not made up in a burst.
            due = std::max(due + period, std::chrono::steady_clock::now());
        }
    };
    try {
        std::lock_guard lock(state_->mutex);
        state_->thread = std::thread(std::move(run));
    } catch (const std::system_error&) {
        throw EOutOfResources("Not enough timers available");
    }
}

PeriodicTimer::~PeriodicTimer() {
    stop();
}

void PeriodicTimer::stop() noexcept {
    std::thread thread;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        thread = std::move(state_->thread);
    }
    state_->stopRequested.notify_all();
    if (!thread.joinable())
        return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach(); // stopped from its own callback: it ends when the callback returns
    else
        thread.join();
}

} // namespace vantrel
