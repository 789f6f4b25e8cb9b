#include "MMHTimer.h"

#include "Application.h"
#include "PeriodicTimer.h"

#include <mutex>
#include <thread>
#include <utility>

namespace vantrel {

namespace {

constexpr std::uint32_t threadStartStopTimeoutMs = 5000;

EMMHiTimerError threadError() {
    return EMMHiTimerError("HiTimer:\n\r" + LoadEngineString(88));
}

} // namespace

// What the timer and its thread share. The thread may outlive its attachment to the timer (it
// ends and frees itself on its own time), so the events live here rather than in either.
struct TMMHiTimer::ThreadLink {
    // Recursive: OnTimer, running under it, may rebuild the timer, which detaches the thread.
    std::recursive_mutex mutex;
    TMMHiTimer* timer = nullptr; // null once detached
    bool stopping = false;
    TMMEvent wakeUp;       // one tick
    TMMEvent startedEnded; // set once the thread runs and again when it leaves
    std::thread::id threadId;

    // The timer to dispatch to, or null when the thread is to leave; the caller holds `mutex`.
    TMMHiTimer* attachedTimer() const { return stopping ? nullptr : timer; }
};

// The cmThread worker: one dispatch per wake-up, on this thread or, with Synchronize, on the
// main thread while this one waits.
class TMMHiTimer::TMMTimerThread : public TMMThreadEx {
public:
    explicit TMMTimerThread(std::shared_ptr<ThreadLink> link) : link_(std::move(link)) {}

protected:
    void Execute() override {
        {
            std::lock_guard lock(link_->mutex);
            link_->threadId = std::this_thread::get_id();
        }
        link_->startedEnded.Set();
        for (bool attached = true; attached && !Terminated();) {
            link_->wakeUp.WaitFor(TMMEvent::Infinite);
            try {
                attached = dispatchOnce();
            } catch (...) {
                // A failing OnTimer is reported; the timer goes on, as in the other modes.
                ApplicationHandleException(std::current_exception());
            }
        }
        {
            std::lock_guard lock(link_->mutex);
            link_->timer = nullptr;
        }
        link_->startedEnded.Set();
    }

private:
    // False when the thread has been told to stop or detached.
    bool dispatchOnce() {
        std::unique_lock lock(link_->mutex);
        TMMHiTimer* timer = link_->attachedTimer();
        if (timer == nullptr)
            return false;
        if (!timer->synchronize_.load(std::memory_order_acquire)) {
            timer->dispatch(); // under the lock, so that a teardown waits for it
            return true;
        }
        lock.unlock();
        Synchronize([link = link_] {
            std::lock_guard mainLock(link->mutex);
            if (TMMHiTimer* mainTimer = link->attachedTimer())
                mainTimer->dispatchSynchronized();
        });
        return true;
    }

    const std::shared_ptr<ThreadLink> link_;
};

// ---------------------------------------------------------------------------------------------
// Properties

TMMHiTimer::TMMHiTimer() = default;

TMMHiTimer::~TMMHiTimer() {
    markDestroying();
    tearDown();
    onTimer_ = nullptr;
    enabled_ = false;
}

void TMMHiTimer::SetCallBackMode(TMMCBMode mode) {
    if (mode == callBackMode_)
        return;
    if (mode == cmCallback && !OSFlags.Win95) {
        ApplicationMessageBox("\"CallBacks\" are called at interrupt time !\n\rThis is currently "
                              "only supported under Windows 95",
                              "TMMHiTimer");
        return;
    }
    rebuild([&] { callBackMode_ = mode; });
}

void TMMHiTimer::SetEnabled(bool enabled) {
    if (enabled != enabled_)
        rebuild([&] { enabled_ = enabled; });
}

void TMMHiTimer::SetInterval(std::int32_t ms) {
    if (ms < 0)
        throw EMMHiTimerError("HiTimer:\n\rInvalid interval " + std::to_string(ms) + " ms");
    if (ms != interval_)
        rebuild([&] { interval_ = ms; });
}

void TMMHiTimer::SetOnTimer(TMMTimerEvent handler) {
    rebuild([&] { onTimer_ = std::move(handler); });
}

void TMMHiTimer::Loaded() {
    TMMComponent::Loaded();
    rebuild([] {});
}

bool TMMHiTimer::IsRunning() const {
    return timer_ != nullptr;
}

// ---------------------------------------------------------------------------------------------
// Building and tearing down

// The old timer goes before the property changes, so that no tick sees a half-changed timer.
void TMMHiTimer::rebuild(const std::function<void()>& change) {
    tearDown();
    change();
    if (IsLoading() || IsDestroying() || interval_ == 0 || !enabled_ || !onTimer_)
        return;
    try {
        if (callBackMode_ == cmWindow)
            window_ = std::make_unique<MessageWindow>(
                [this](std::uint32_t message, std::uintptr_t wParam, std::intptr_t) {
                    windowProc(message, wParam);
                });
        else if (callBackMode_ == cmThread)
            startTimerThread();
        timer_ = std::make_unique<PeriodicTimer>(
            static_cast<std::uint32_t>(interval_),
            [this](std::uint32_t timerId) { timerCallback(timerId); });
        timerId_.store(timer_->id(), std::memory_order_release);
    } catch (...) {
        tearDown();
        throw;
    }
}

void TMMHiTimer::startTimerThread() {
    auto link = std::make_shared<ThreadLink>();
    link->timer = this;
    auto thread = std::make_unique<TMMTimerThread>(link);
    thread->SetPriority(priority_);
    thread->SetFreeOnTerminate(true);
    try {
        thread->Resume();
    } catch (const std::system_error&) {
        throw threadError();
    }
    thread.release(); // it frees itself when it ends
    thread_ = link;
    if (!link->startedEnded.WaitFor(threadStartStopTimeoutMs))
        throw threadError(); // the caller's teardown tells the thread to leave
}

void TMMHiTimer::tearDown() {
    // The periodic timer first: once it has stopped no tick reaches the parts below.
    if (timer_ != nullptr) {
        timer_->stop();
        timer_.reset();
    }
    timerId_.store(0, std::memory_order_release);
    if (thread_ != nullptr) {
        const std::shared_ptr<ThreadLink> link = std::move(thread_);
        bool onTimerThread = false;
        {
            // Waits for a dispatch running on the timer thread, which holds this lock.
            std::lock_guard lock(link->mutex);
            link->stopping = true;
            link->timer = nullptr;
            onTimerThread = link->threadId == std::this_thread::get_id();
        }
        link->wakeUp.Set();
        // Waiting from inside a synchronised OnTimer would wait for the very thread that
        // waits for us.
        if (waitForTerminate_ && !inSynchronizedTimer_ && !onTimerThread)
            WaitForWorker(link->startedEnded, threadStartStopTimeoutMs);
    }
    if (window_ != nullptr) {
        window_->DiscardMessages();
        window_.reset();
        pendingMessages_.store(0, std::memory_order_release);
    }
}

// ---------------------------------------------------------------------------------------------
// Ticks

// On the periodic timer's thread.
void TMMHiTimer::timerCallback(std::uint32_t timerId) {
    switch (callBackMode_) {
    case cmWindow:
        // A busy main thread skips ticks instead of building up a backlog.
        if (pendingMessages_.load(std::memory_order_acquire) >= MaxPendingTimerMessages)
            return;
        pendingMessages_.fetch_add(1, std::memory_order_acq_rel);
        if (!window_->Post(HiTimerMessage, timerId))
            pendingMessages_.fetch_sub(1, std::memory_order_acq_rel);
        break;
    case cmCallback:
        try {
            dispatch();
        } catch (...) {
            ApplicationHandleException(std::current_exception());
        }
        break;
    case cmThread:
        thread_->wakeUp.Set();
        break;
    }
}

// On the main thread. The message counts as handled even when OnTimer fails, unless OnTimer
// rebuilt the timer, which has reset the count already.
void TMMHiTimer::windowProc(std::uint32_t message, std::uintptr_t wParam) {
    if (message != HiTimerMessage || wParam != timerId_.load(std::memory_order_acquire))
        return;
    const auto countHandled = [this, wParam] {
        if (wParam == timerId_.load(std::memory_order_acquire))
            pendingMessages_.fetch_sub(1, std::memory_order_acq_rel);
    };
    try {
        dispatch();
    } catch (...) {
        countHandled();
        throw; // to the application's exception handler, through the message window
    }
    countHandled();
}

void TMMHiTimer::dispatch() {
    if (onTimer_ && enabled_)
        onTimer_(this);
}

// On the main thread, for the cmThread worker with Synchronize.
void TMMHiTimer::dispatchSynchronized() {
    inSynchronizedTimer_ = true;
    try {
        dispatch();
    } catch (...) {
        inSynchronizedTimer_ = false;
        throw;
    }
    inSynchronizedTimer_ = false;
}

// ---------------------------------------------------------------------------------------------
// Tick list

struct TMMTickEntry {
    int periodMs;
    void* userData;
    TMMTickRoutine routine;
    int holdCount;
    int elapsedMs; // since the entry last fired
    TMMTickEntry* next;
    bool removed; // removed during a tick; freed when the tick ends
};

TMMTickList::TMMTickList(bool ownTimer) : ownTimer_(ownTimer) {}

TMMTickList::~TMMTickList() {
    timer_.reset();
    while (first_ != nullptr)
        delete std::exchange(first_, first_->next);
}

TMMTickList& TMMTickList::Shared() {
    static TMMTickList list(true);
    return list;
}

TMMTickEntry* TMMTickList::Add(int periodMs, bool held, TMMTickRoutine routine, void* userData) {
    std::lock_guard lock(mutex_);
    if (ownTimer_ && timer_ == nullptr) {
        try {
            timer_ = std::make_unique<PeriodicTimer>(TickMs, [this](std::uint32_t) { Tick(); });
        } catch (const EOutOfResources&) {
            return nullptr;
        }
    }
    auto* entry = new TMMTickEntry{
        std::max(periodMs, TickMs), userData, std::move(routine), held ? 1 : 0, 0, nullptr, false};
    TMMTickEntry** last = &first_;
    while (*last != nullptr)
        last = &(*last)->next;
    *last = entry;
    ++count_;
    return entry;
}

void TMMTickList::Hold(TMMTickEntry* entry) {
    std::lock_guard lock(mutex_);
    ++entry->holdCount;
    entry->elapsedMs = 0;
}

void TMMTickList::Resume(TMMTickEntry* entry) {
    std::lock_guard lock(mutex_);
    if (entry->holdCount > 0)
        --entry->holdCount;
}

void TMMTickList::Remove(TMMTickEntry* entry) {
    std::unique_ptr<PeriodicTimer> lastTimer;
    {
        std::lock_guard lock(mutex_);
        if (ticking_)
            entry->removed = true;
        else
            unlinkAndFree(entry);
        if (--count_ == 0)
            lastTimer = std::move(timer_);
    }
    // Stopped outside the lock: the tick it may be waiting to run takes the lock too.
    lastTimer.reset();
}

void TMMTickList::unlinkAndFree(TMMTickEntry* entry) {
    for (TMMTickEntry** link = &first_; *link != nullptr; link = &(*link)->next) {
        if (*link == entry) {
            *link = entry->next;
            delete entry;
            return;
        }
    }
}

void TMMTickList::Tick() {
    std::lock_guard lock(mutex_);
    ticking_ = true;
    for (TMMTickEntry* entry = first_; entry != nullptr; entry = entry->next) {
        if (entry->removed || entry->holdCount != 0)
            continue;
        entry->elapsedMs += TickMs;
        if (entry->elapsedMs < entry->periodMs)
            continue;
        try {
            entry->routine(entry, entry->userData);
        } catch (...) {
            ApplicationHandleException(std::current_exception());
        }
        entry->elapsedMs = 0;
    }
    ticking_ = false;
    for (TMMTickEntry** link = &first_; *link != nullptr;) {
        if ((*link)->removed)
            delete std::exchange(*link, (*link)->next);
        else
            link = &(*link)->next;
    }
}

std::size_t TMMTickList::EntryCount() const {
    std::lock_guard lock(mutex_);
    return count_;
}

} // namespace vantrel
