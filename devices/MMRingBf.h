// The ring buffer queue: a stream component with a queue of fixed-size slots that decouples the
// two sides of a chain. It stores pushed buffers and serves pulls from them (qmDuplex, which
// absorbs the drift between two device clocks), reads ahead from upstream on a worker thread
// (qmRead), or writes queued data downstream on a worker thread (qmWrite).
#pragma once

#include "MMDSPObj.h"
#include "MMObj.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vantrel {

class EMMBufferError : public EMMError {
public:
    using EMMError::EMMError;
};

enum TMMQueueMode { qmNone, qmRead, qmWrite, qmDuplex };

// Slot flags: what the source reported together with the data of a slot.
inline constexpr std::uint32_t QueueFlagEnd = 0x1;     // the source reported its end
inline constexpr std::uint32_t QueueFlagWrapped = 0x2; // the source wrapped to its beginning

class TMMRingBuffer : public TMMDSPComponent {
public:
    TMMRingBuffer();
    // Closes the queue (writing out what qmWrite still holds) and ends the worker.
    ~TMMRingBuffer() override;

    // --- Properties (main thread) ---------------------------------------------------------
    // Slot size in bytes, at least 32. Throws EMMBufferError (message 60) while the queue is open.
    void SetBufferSize(std::int32_t bytes) override;
    // Number of slots; values of 1 or less are ignored. Throws EMMBufferError while open.
    std::int32_t GetNumBuffers() const { return numBuffers_; }
    void SetNumBuffers(std::int32_t count);
    // Throws EMMBufferError while open.
    TMMQueueMode GetQueueMode() const { return queueMode_.load(std::memory_order_acquire); }
    void SetQueueMode(TMMQueueMode mode);
    // Disabled, pushes are dropped unnoticed and pulls pass through to the Input (qmRead).
    bool GetEnabled() const { return enabled_.load(std::memory_order_acquire); }
    void SetEnabled(bool value) { enabled_.store(value, std::memory_order_release); }
    // qmWrite: a push into a full queue waits for a free slot instead of being dropped.
    bool GetWaitIfFull() const { return waitIfFull_.load(std::memory_order_acquire); }
    void SetWaitIfFull(bool value) { waitIfFull_.store(value, std::memory_order_release); }
    // An empty queue answers a pull with its last slot again instead of silence.
    bool GetLoopIfEmpty() const { return loopIfEmpty_.load(std::memory_order_acquire); }
    void SetLoopIfEmpty(bool value) { loopIfEmpty_.store(value, std::memory_order_release); }
    // Milliseconds a first pull in qmRead waits for the read-ahead; negative: no wait at all.
    std::int32_t GetTimeOut() const { return timeOut_.load(std::memory_order_acquire); }
    void SetTimeOut(std::int32_t ms) { timeOut_.store(ms, std::memory_order_release); }

    // --- Events (fired on the thread that pushes, pulls or runs the worker) -------------------
    TMMComponentEvent OnOverlow;       // a pushed buffer was dropped: the queue was full
    TMMComponentEvent OnEmpty;         // a pull found the queue empty
    TMMComponentEvent OnFillQueue;     // a read-ahead pass begins (qmRead)
    TMMComponentEvent OnFillQueueEnd;  // and ends
    TMMComponentEvent OnFlushQueue;    // a write-out pass begins (qmWrite)
    TMMComponentEvent OnFlushQueueEnd; // and ends

    // --- Queue (any thread) ---------------------------------------------------------------
    // Forgets everything queued: counts and indexes to 0, not primed. The main window uses it
    // after the output device has stopped.
    void EmptyQueue();
    std::int32_t GetFilledBuffers() const;
    std::int64_t GetBytesQueued() const;
    // Whole buffers dropped by a full queue and pulls answered from an empty one since the queue
    // last opened (what OnOverlow and OnEmpty reported).
    std::int64_t GetOverflowCount() const { return overflows_.load(std::memory_order_acquire); }
    std::int64_t GetUnderrunCount() const { return underruns_.load(std::memory_order_acquire); }

    // --- Chain ----------------------------------------------------------------------------
    // Stopped, reset and closed wait for the worker; asked for on any thread but the main one,
    // or from inside a write-out or read-ahead, they complete later on the main thread.
    void NotifyOpened() override;
    void NotifyClosed() override;
    void NotifyStarted() override;
    void NotifyStopped() override;
    void NotifyReset() override;
    // qmWrite and qmDuplex keep the buffer in the queue; the other modes pass it on.
    void BufferReady(PWaveHdr lpWaveHdr) override;
    // qmRead and qmDuplex answer from the queue; the other modes pass the pull to the Input.
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

private:
    struct Slot;
    class TMMQueueThread;
    struct LoopFields {
        std::int32_t enabled = 0;
        std::int32_t count = 0;
        std::int32_t left = 0;
        std::int32_t restarted = 0;
    };

    bool isQueueOpen() const;
    bool usesWorker() const;
    bool deferToMainThread(std::uint32_t message);
    void windowProc(std::uint32_t message);
    void fire(const TMMComponentEvent& event);

    void openQueue();
    void closeQueue();
    void allocateSlots();
    void releaseSlots();
    void endRun();
    void flush();
    void emptyQueueLocked();

    void startWorker();
    void stopWorker();
    void requestWorkLocked();
    void waitUntilWorkerIdle();
    void runPass();
    void readAhead();
    void putInSlots(const char* data, std::uint32_t length, std::uint32_t flags);
    void markSourceEnd();
    std::uint32_t freeSpace() const;
    void writeOut();
    std::uint32_t gatherForWriteOut();

    void put(const char* data, std::uint32_t length, std::uint32_t flags, std::uintptr_t user);
    bool waitForFreeSlot();
    std::uint32_t get(char* data, std::uint32_t length, std::uint32_t& flags, std::uintptr_t& user);
    bool primeRead();
    bool answerUnprimed(char* data, std::uint32_t length);
    std::uint32_t takeQueued(char* data, std::uint32_t length, std::uint32_t& flags,
                             std::uintptr_t& user);
    bool reportSourceEnd(std::uint32_t& flags) const;
    std::uint32_t answerEmpty(char* data, std::uint32_t length, std::uint32_t& flags,
                              std::uintptr_t& user);
    void keepLoopFields(const TMMBufferHeader& pull);

    // Properties
    std::int32_t numBuffers_ = 20;
    std::atomic<TMMQueueMode> queueMode_{qmNone};
    std::atomic<bool> enabled_{true};
    std::atomic<bool> waitIfFull_{false};
    std::atomic<bool> loopIfEmpty_{false};
    std::atomic<std::int32_t> timeOut_{10000};

    // Queue state. `mutex_` guards the counters, indexes, flags, loop fields and slot contents;
    // copies into and out of slots happen under it, so a close never frees a slot in use.
    mutable std::mutex mutex_;
    std::vector<Slot*> slots_;
    std::uint32_t slotSize_ = 0; // bytes of data per slot
    std::int32_t filled_ = 0;
    std::int64_t bytesQueued_ = 0;
    std::int32_t writeIndex_ = 0;
    std::int32_t readIndex_ = 0;
    std::int32_t lastReadIndex_ = -1; // -1: nothing read since the queue was emptied
    bool opened_ = false;
    bool primed_ = false;
    bool sourceEnded_ = false; // qmRead: the read-ahead got nothing from its source
    bool formatIsPcm_ = true;  // else an empty queue repeats its last slot
    char silence_ = 0;         // 0x80 for 8-bit samples
    LoopFields loop_;
    std::atomic<bool> stopping_{false};
    std::uint32_t chunkSize_ = 0; // bytes the worker moves at most per read or write
    std::atomic<std::int64_t> overflows_{0};
    std::atomic<std::int64_t> underruns_{0};

    // Worker (qmRead and qmWrite)
    PWaveHdr transfer_ = nullptr; // the worker's buffer, Max(65536, slot size) bytes of data
    std::mutex passMutex_;        // one read-ahead or write-out pass at a time
    std::atomic<std::thread::id> passThread_{}; // the thread running a pass, if any
    std::unique_ptr<TMMQueueThread> worker_;
    std::atomic<bool> workRequested_{false};
    std::atomic<bool> workerFailed_{false};
    TMMEvent workDone_;
    TMMEvent wake_; // a work request or the end of the worker
    TMMEvent startedEnded_;

    TMMAllocator allocator_;
    MessageWindow window_;
};

} // namespace vantrel
