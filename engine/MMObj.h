// The thread, lock and memory pieces the stream components share: worker thread bases with
// priorities, the process-wide list of stream worker threads and SynchronizeFromWorker, events,
// critical sections, the per-device buffer pool and message windows on the main thread.
#pragma once

#include "MMUtils.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vantrel {

class TMMDSPComponent;

// The framework's exception for an exhausted system resource ("Not enough timers available").
class EOutOfResources : public EMMError {
public:
    using EMMError::EMMError;
};

// ---------------------------------------------------------------------------------------------
// Thread priorities

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The system thread priority a framework priority stands for: -15, -2, -1, 0, 1, 2, 15.
int SystemThreadPriority(TThreadPriority priority);
// The nice value this platform gives a thread of that priority, relative to the process's own
// nice value and kept within -20..19. Raising a thread above the process needs a privilege
// (or a nice limit) that ordinary users may lack; then the change is refused.
int ThreadNiceValue(TThreadPriority priority);

// ---------------------------------------------------------------------------------------------
// Events and locks

// An event in the manner of the system's: set, reset, and waits that a set event releases.
// An auto-reset event releases one waiter and resets itself; a manual-reset one stays set.
class TMMEvent {
public:
    explicit TMMEvent(bool manualReset = false, bool initiallySet = false);
    TMMEvent(const TMMEvent&) = delete;
    TMMEvent& operator=(const TMMEvent&) = delete;

    void Set();
    void Reset();
    // Waits until the event is set or `timeoutMs` milliseconds have passed; true when set.
    bool WaitFor(std::uint32_t timeoutMs);
    static constexpr std::uint32_t Infinite = 0xFFFFFFFF;

private:
    std::mutex mutex_;
    std::condition_variable signalled_;
    bool set_;
    const bool manualReset_;
};

// Waits for `event` like TMMEvent::WaitFor. On the main thread it runs the calls queued for the
// main thread meanwhile, so a worker that is synchronising with the main thread can finish
// instead of both waiting for each other until the time-out.
bool WaitForWorker(TMMEvent& event, std::uint32_t timeoutMs);

// A recursive lock, as the system's critical sections are; usable with std::lock_guard.
class TMMCriticalSection {
public:
    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }
    bool TryEnter() { return mutex_.try_lock(); }
    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return TryEnter(); }

private:
    std::recursive_mutex mutex_;
};

// ---------------------------------------------------------------------------------------------
// Threads

// A worker thread in the manner of the framework's: created suspended, started by Resume, asked
// to end by Terminate, optionally freeing itself when Execute returns. An exception that leaves
// Execute goes to the application's exception handler.
class TMMThreadEx {
public:
    TMMThreadEx();
    // A thread that does not free itself is terminated, released and joined here. The derived
    // class must have waited for its Execute to end before its own members go away.
    virtual ~TMMThreadEx();
    TMMThreadEx(const TMMThreadEx&) = delete;
    TMMThreadEx& operator=(const TMMThreadEx&) = delete;

    // Lowers the suspend count; at 0 the thread starts (the first time) or goes on. Throws
    // std::system_error when the system cannot create the thread.
    void Resume();
    // Raises the suspend count. Suspension is cooperative on this platform: a running thread
    // stops in waitWhileSuspended() until it is resumed.
    void Suspend();
    bool Suspended() const;

    // Asks Execute to end; Execute polls Terminated().
    void Terminate();
    bool Terminated() const { return terminated_.load(std::memory_order_acquire); }

    // When set (before Execute ends), the object deletes itself on its own thread when Execute
    // returns; nobody may touch it after that.
    void SetFreeOnTerminate(bool value);
    bool GetFreeOnTerminate() const;

    // Waits until Execute has returned. Not for threads that free themselves.
    void WaitFor();

    // Stores `priority` and applies it to the running thread, or when it starts. Returns false
    // when the system refused it; the thread then keeps the priority it had.
    bool SetPriority(TThreadPriority priority);
    TThreadPriority GetPriority() const { return priority_.load(std::memory_order_acquire); }
    // Whether the system accepted the priority last applied (at start or by SetPriority).
    bool PriorityAccepted() const { return priorityAccepted_.load(std::memory_order_acquire); }

    // The identifier of the running thread; a default id before it has started.
    std::thread::id ThreadID() const { return threadId_.load(std::memory_order_acquire); }

protected:
    virtual void Execute() = 0;
    // Runs `method` on the main thread and returns once it has run there (rethrowing what it
    // threw). Without an installed main-thread seam, or on the main thread, it runs directly.
    void Synchronize(const std::function<void()>& method);
    // Blocks while the thread is suspended; returns at once when it is terminated.
    void waitWhileSuspended();

private:
    void run();
    bool applyPriority(TThreadPriority priority);

    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable resumed_;
    int suspendCount_ = 1;
    bool started_ = false;
    bool freeOnTerminate_ = false;
    std::atomic<bool> terminated_{false};
    std::atomic<TThreadPriority> priority_{tpNormal};
    std::atomic<bool> priorityAccepted_{true};
    std::atomic<std::thread::id> threadId_{};
    std::atomic<int> kernelThreadId_{0}; // 0 until the thread runs
};

// A stream worker thread: owned by a stream component and listed process-wide, so that
// SynchronizeFromWorker can find it from its own thread.
class TMMDSPThread : public TMMThreadEx {
public:
    // `owner` is not owned; the thread is created suspended and listed at once.
    explicit TMMDSPThread(TMMDSPComponent* owner);
    ~TMMDSPThread() override;

    TMMDSPComponent* Owner() const { return owner_; }

    // The number of living stream worker threads.
    static std::size_t LivingThreads();

private:
    friend void SynchronizeFromWorker(const std::function<void()>& routine);
    TMMDSPComponent* const owner_;
};

// Runs `routine` on the main thread when called on a listed stream worker thread, returning
// once it has run there (rethrowing what it threw); in every other case (the main thread, a
// thread that is not listed, no main-thread seam) it runs `routine` directly.
void SynchronizeFromWorker(const std::function<void()>& routine);

// ---------------------------------------------------------------------------------------------
// Buffer pool

enum class TMMAllocFlags { Fixed, ZeroInit };

// The pool a device keeps its buffer blocks in, so that re-opening with an unchanged buffer size
// allocates nothing. Every operation takes the pool's lock: blocks may be released on a worker
// thread while the main thread allocates. Blocks are aligned for TMMBufferHeader.
class TMMAllocator {
public:
    TMMAllocator() = default;
    ~TMMAllocator();
    TMMAllocator(const TMMAllocator&) = delete;
    TMMAllocator& operator=(const TMMAllocator&) = delete;

    // A block of at least `size` bytes: the first free block of exactly that size, else the
    // first free block that is larger, else a new one. ZeroInit clears the block either way.
    // Null when the system refuses a new block. The block stays the pool's.
    void* Alloc(TMMAllocFlags flags, std::size_t size);
    // A block of exactly `size` bytes: a free one of that size, else a new one after freeing
    // every free block. Null when the system refuses.
    void* AllocExact(TMMAllocFlags flags, std::size_t size);
    // Gives the block at `address` back and sets `address` to null; an address that is not
    // one of the pool's blocks is left as it is.
    void Release(void*& address);
    template <typename T> void Release(T*& address) {
        void* block = address;
        Release(block);
        if (block == nullptr)
            address = nullptr;
    }
    // Frees every block that is not in use.
    void FreeIdle();
    // Frees every block, in use or not (when the buffer size changes, and at destruction).
    void FreeAll();

    std::size_t BlockCount() const;
    // The use count of the block at `address`, or -1 when it is not one of the pool's blocks.
    int UseCount(const void* address) const;

private:
    struct Block {
        void* address;
        std::size_t size; // bytes
        int useCount;     // 0 = free
    };
    void* newBlock(TMMAllocFlags flags, std::size_t size);
    static void* take(Block& block, TMMAllocFlags flags);
    void freeIdleLocked();

    mutable std::mutex mutex_;
    std::vector<Block> blocks_;
};

// ---------------------------------------------------------------------------------------------
// Message windows

// The stand-in for a hidden message window: messages posted to it from any thread reach its
// window procedure on the main thread, in order. Messages still queued when it is released or
// discards its queue are dropped. An exception from the window procedure goes to the
// application's exception handler.
class MessageWindow {
public:
    using WindowProc =
        std::function<void(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)>;

    explicit MessageWindow(WindowProc windowProc);
    // Main thread. Drops the messages still queued.
    ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    // Any thread. False when no main-thread seam is installed, so the message cannot be posted.
    bool Post(std::uint32_t message, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);
    // Main thread: drops the messages posted so far.
    void DiscardMessages();

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace vantrel
