// The high-resolution timer component TMMHiTimer and the shared 25 ms tick list that several
// components hang periodic work on.
#pragma once

#include "MMDSPObj.h"
#include "MMObj.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace vantrel {

class PeriodicTimer;

class EMMHiTimerError : public EMMError {
public:
    using EMMError::EMMError;
};

// The message a cmWindow timer posts to its message window; wParam is the timer's identifier.
inline constexpr std::uint32_t HiTimerMessage = 32778;
// Timer messages that may wait in the queue before further ticks are dropped.
inline constexpr int MaxPendingTimerMessages = 10;

class TMMHiTimer;
using TMMTimerEvent = std::function<void(TMMHiTimer* sender)>;

// A periodic timer whose OnTimer runs on the main thread (cmWindow, or cmThread with
// Synchronize), on a timer thread of its own (cmThread without Synchronize) or on the periodic
// timer's thread (cmCallback). Every change of Enabled, Interval, CallBackMode or OnTimer
// rebuilds it; it runs only with Enabled true, Interval above 0 and OnTimer assigned. Properties
// are set on the main thread.
class TMMHiTimer : public TMMComponent {
public:
    TMMHiTimer();
    // Clears OnTimer, disables and tears the timer down.
    ~TMMHiTimer() override;

    TMMCBMode GetCallBackMode() const { return callBackMode_; }
    // cmCallback is refused on this platform (as on every system but Windows 95): a message box
    // says so and the mode stays.
    void SetCallBackMode(TMMCBMode mode);
    bool GetEnabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    // Period in milliseconds; 0 stops the timer. Throws EMMHiTimerError for a negative value.
    std::int32_t GetInterval() const { return interval_; }
    void SetInterval(std::int32_t ms);
    const TMMTimerEvent& GetOnTimer() const { return onTimer_; }
    void SetOnTimer(TMMTimerEvent handler);
    TThreadPriority GetPriority() const { return priority_; }
    // The timer thread's priority in cmThread mode; applies from the next (re)start.
    void SetPriority(TThreadPriority priority) { priority_ = priority; }
    bool GetSynchronize() const { return synchronize_.load(std::memory_order_acquire); }
    void SetSynchronize(bool value) { synchronize_.store(value, std::memory_order_release); }
    bool GetWaitForTerminate() const { return waitForTerminate_; }
    void SetWaitForTerminate(bool value) { waitForTerminate_ = value; }

    void Loaded() override;

    // True while a periodic timer runs behind the component.
    bool IsRunning() const;

private:
    struct ThreadLink;
    class TMMTimerThread;

    // Tears the timer down, applies `change` and starts it again when it is wanted.
    void rebuild(const std::function<void()>& change);
    void tearDown();
    void startTimerThread();
    void timerCallback(std::uint32_t timerId);
    void windowProc(std::uint32_t message, std::uintptr_t wParam);
    void dispatch();
    void dispatchSynchronized();

    TMMCBMode callBackMode_ = cmWindow;
    bool enabled_ = true;
    std::int32_t interval_ = 1000;
    TMMTimerEvent onTimer_;
    TThreadPriority priority_ = tpNormal;
    std::atomic<bool> synchronize_{true}; // read by the timer thread at every tick
    bool waitForTerminate_ = false;

    std::unique_ptr<PeriodicTimer> timer_;
    std::atomic<std::uint32_t> timerId_{0};
    std::unique_ptr<MessageWindow> window_;
    std::atomic<int> pendingMessages_{0};
    std::shared_ptr<ThreadLink> thread_;
    bool inSynchronizedTimer_ = false; // OnTimer runs through the synchronising call right now
};

// ---------------------------------------------------------------------------------------------
// Tick list

struct TMMTickEntry;
// Called on the tick thread with the entry and the user data given to Add.
using TMMTickRoutine = std::function<void(TMMTickEntry* entry, void* userData)>;

// Periodic work in steps of 25 ms. The process shares one list (Shared()), whose timer runs
// while it has entries; routines run on that timer's thread, one tick at a time, under the
// list's lock, which Add, Hold, Resume and Remove take as well.
class TMMTickList {
public:
    static constexpr int TickMs = 25;

    // `ownTimer` false makes a list that only moves when its owner calls Tick().
    explicit TMMTickList(bool ownTimer);
    // Frees the entries left.
    ~TMMTickList();
    TMMTickList(const TMMTickList&) = delete;
    TMMTickList& operator=(const TMMTickList&) = delete;

    static TMMTickList& Shared();

    // Appends an entry that calls `routine` every Max(periodMs, 25) ms, held from the start
    // when `held`. The first entry starts the timer; null when it cannot be started. The entry
    // belongs to the list until Remove.
    TMMTickEntry* Add(int periodMs, bool held, TMMTickRoutine routine, void* userData);
    // Holds the entry (it does not fire) and restarts its period.
    void Hold(TMMTickEntry* entry);
    // Undoes one Hold; at a hold count of 0 the entry fires again, a full period later.
    void Resume(TMMTickEntry* entry);
    // Unlinks and frees the entry; the last one stops the timer. Once it returns, the routine
    // no longer runs (unless Remove is called from within the routine itself).
    void Remove(TMMTickEntry* entry);

    // One step of 25 ms: every entry that is not held and whose period has passed fires.
    void Tick();

    std::size_t EntryCount() const;

private:
    void unlinkAndFree(TMMTickEntry* entry);

    const bool ownTimer_;
    // Recursive, so that a routine may Hold, Resume or Remove entries of its own list.
    mutable std::recursive_mutex mutex_;
    TMMTickEntry* first_ = nullptr;
    std::size_t count_ = 0;
    bool ticking_ = false; // entries removed meanwhile are freed when the tick ends
    std::unique_ptr<PeriodicTimer> timer_;
};

} // namespace vantrel
