#include "MMRingBf.h"

#include "Application.h"
#include "MainThread.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

namespace vantrel {

namespace {

constexpr std::uint32_t chunkLimit = 65536; // bytes the worker moves per step at most
constexpr std::uint32_t threadStartStopTimeoutMs = 5000;
constexpr std::int32_t minBufferSize = 32;

// Messages of the queue's message window: life-cycle steps that were asked for off the main
// thread and complete there.
constexpr std::uint32_t deferredStop = 1;
constexpr std::uint32_t deferredReset = 2;
constexpr std::uint32_t deferredClose = 3;

EMMBufferError threadError() {
    return EMMBufferError("RingBuffer:\n\r" + LoadEngineString(88));
}

} // namespace

// The header in front of each slot's data, in the same allocator block.
struct TMMRingBuffer::Slot {
    char* data;
    std::uint32_t length; // bytes queued in this slot
    std::uintptr_t user;  // dwUser of the buffer the data came from
    std::uint32_t flags;  // QueueFlagEnd, QueueFlagWrapped
};

// Waits for work requests and runs one read-ahead (qmRead) or write-out (qmWrite) pass for each.
class TMMRingBuffer::TMMQueueThread : public TMMDSPThread {
public:
    explicit TMMQueueThread(TMMRingBuffer& queue) : TMMDSPThread(&queue), queue_(queue) {}

protected:
    void Execute() override {
        struct SignalEnd {
            TMMEvent& ended;
            ~SignalEnd() { ended.Set(); }
        } signalEnd{queue_.startedEnded_};
        queue_.startedEnded_.Set();
        for (;;) {
            queue_.wake_.WaitFor(TMMEvent::Infinite);
            if (Terminated())
                return;
            if (!queue_.workRequested_.load(std::memory_order_acquire))
                continue;
            try {
                queue_.runPass();
            } catch (...) {
                // The application's handler hears of it; flush and close no longer wait for us.
                queue_.workerFailed_.store(true, std::memory_order_release);
                throw;
            }
        }
    }

private:
    TMMRingBuffer& queue_;
};

// ---------------------------------------------------------------------------------------------
// Construction and properties

TMMRingBuffer::TMMRingBuffer()
    : window_(
          [this](std::uint32_t message, std::uintptr_t, std::intptr_t) { windowProc(message); }) {
    publishLinks(true, true);
}

TMMRingBuffer::~TMMRingBuffer() {
    try {
        closeQueue();
    } catch (...) {
        ApplicationHandleException(std::current_exception());
    }
}

bool TMMRingBuffer::isQueueOpen() const {
    std::lock_guard lock(mutex_);
    return opened_;
}

void TMMRingBuffer::SetBufferSize(std::int32_t bytes) {
    if (bytes == GetBufferSize())
        return;
    if (isQueueOpen())
        throw EMMBufferError(LoadEngineString(60));
    allocator_.FreeAll();
    TMMDSPComponent::SetBufferSize(std::max(bytes, minBufferSize));
}

void TMMRingBuffer::SetNumBuffers(std::int32_t count) {
    if (count <= 1 || count == numBuffers_)
        return;
    if (isQueueOpen())
        throw EMMBufferError(LoadEngineString(60));
    numBuffers_ = count;
}

void TMMRingBuffer::SetQueueMode(TMMQueueMode mode) {
    if (mode == GetQueueMode())
        return;
    if (isQueueOpen())
        throw EMMBufferError(LoadEngineString(60));
    queueMode_.store(mode, std::memory_order_release);
}

std::int32_t TMMRingBuffer::GetFilledBuffers() const {
    std::lock_guard lock(mutex_);
    return filled_;
}

std::int64_t TMMRingBuffer::GetBytesQueued() const {
    std::lock_guard lock(mutex_);
    return bytesQueued_;
}

bool TMMRingBuffer::usesWorker() const {
    const TMMQueueMode mode = GetQueueMode();
    return mode == qmRead || mode == qmWrite;
}

void TMMRingBuffer::fire(const TMMComponentEvent& event) {
    if (event)
        event(this);
}

// ---------------------------------------------------------------------------------------------
// Chain notifications

void TMMRingBuffer::NotifyOpened() {
    TMMDSPComponent::NotifyOpened();
    openQueue();
}

void TMMRingBuffer::NotifyClosed() {
    if (deferToMainThread(deferredClose))
        return;
    closeQueue();
    TMMDSPComponent::NotifyClosed();
}

void TMMRingBuffer::NotifyStarted() {
    stopping_.store(false, std::memory_order_release);
    TMMDSPComponent::NotifyStarted();
}

void TMMRingBuffer::NotifyStopped() {
    if (deferToMainThread(deferredStop))
        return;
    endRun();
    TMMDSPComponent::NotifyStopped();
}

void TMMRingBuffer::NotifyReset() {
    if (deferToMainThread(deferredReset))
        return;
    endRun();
    EmptyQueue();
    stopping_.store(false, std::memory_order_release);
    TMMDSPComponent::NotifyReset();
}

// Flushing waits for the worker and runs a write-out of its own: asked for from inside a pass
// (a stop from inside the write-out) it would wait for itself, and off the main thread it
// would race the main thread. Such steps are posted to the main thread instead.
bool TMMRingBuffer::deferToMainThread(std::uint32_t message) {
    const MainThreadSeam* seam = mainThread();
    const bool insidePass =
        passThread_.load(std::memory_order_acquire) == std::this_thread::get_id();
    if (seam == nullptr || (seam->isMainThread() && !insidePass))
        return false;
    window_.Post(message);
    return true;
}

void TMMRingBuffer::windowProc(std::uint32_t message) {
    switch (message) {
    case deferredStop:
        NotifyStopped();
        break;
    case deferredReset:
        NotifyReset();
        break;
    case deferredClose:
        NotifyClosed();
        break;
    default:
        break;
    }
}

void TMMRingBuffer::endRun() {
    {
        std::lock_guard lock(mutex_);
        primed_ = false;
        loop_ = {};
    }
    stopping_.store(true, std::memory_order_release);
    flush();
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

void TMMRingBuffer::openQueue() {
    if (isQueueOpen())
        return;
    const std::uint32_t slotSize = static_cast<std::uint32_t>(GetRealBufferSize());
    slotSize_ = slotSize;
    chunkSize_ = std::max(chunkLimit / slotSize * slotSize, slotSize);
    if (usesWorker())
        startWorker();
    try {
        allocateSlots();
    } catch (...) {
        stopWorker();
        releaseSlots();
        throw;
    }
    const TWaveFormatEx* format = GetWaveFormat();
    std::lock_guard lock(mutex_);
    formatIsPcm_ = format == nullptr || format->wFormatTag == WAVE_FORMAT_PCM;
    silence_ = format != nullptr && format->wBitsPerSample == 8 ? char(0x80) : char(0);
    emptyQueueLocked();
    loop_ = {};
    overflows_.store(0, std::memory_order_release);
    underruns_.store(0, std::memory_order_release);
    opened_ = true;
    stopping_.store(false, std::memory_order_release);
}

void TMMRingBuffer::closeQueue() {
    if (!isQueueOpen())
        return;
    stopping_.store(true, std::memory_order_release);
    flush();
    {
        std::lock_guard lock(mutex_);
        opened_ = false;
    }
    stopWorker();
    releaseSlots();
}

void TMMRingBuffer::allocateSlots() {
    // The data follows the header, aligned as the allocator aligns its blocks.
    constexpr std::size_t slotHeaderBytes = (sizeof(Slot) + 15) / 16 * 16;
    slots_.assign(static_cast<std::size_t>(numBuffers_), nullptr);
    for (Slot*& slot : slots_) {
        void* block = allocator_.Alloc(TMMAllocFlags::ZeroInit, slotHeaderBytes + slotSize_);
        if (block == nullptr)
            throw EMMBufferError(LoadEngineString(64));
        slot = new (block) Slot{static_cast<char*>(block) + slotHeaderBytes, 0, 0, 0};
    }
    if (!usesWorker())
        return;
    const std::uint32_t transferBytes = std::max(chunkLimit, slotSize_);
    void* block = allocator_.Alloc(TMMAllocFlags::ZeroInit, bufferBlockSize(transferBytes));
    if (block == nullptr)
        throw EMMBufferError(LoadEngineString(64));
    transfer_ = placeBuffer(block, transferBytes);
}

void TMMRingBuffer::releaseSlots() {
    for (Slot* slot : slots_)
        if (slot != nullptr)
            allocator_.Release(slot);
    slots_.clear();
    allocator_.Release(transfer_);
}

// ---------------------------------------------------------------------------------------------
// Worker

void TMMRingBuffer::startWorker() {
    workerFailed_.store(false, std::memory_order_release);
    workRequested_.store(false, std::memory_order_release);
    wake_.Reset();
    workDone_.Reset();
    startedEnded_.Reset();
    auto worker = std::make_unique<TMMQueueThread>(*this);
    worker->SetPriority(tpHigher); // refused without the privilege; it then runs at normal
    try {
        worker->Resume();
    } catch (const std::system_error&) {
        throw threadError();
    }
    worker_ = std::move(worker);
    if (!WaitForWorker(startedEnded_, threadStartStopTimeoutMs)) {
        stopWorker();
        throw threadError();
    }
}

void TMMRingBuffer::stopWorker() {
    if (worker_ == nullptr)
        return;
    const bool failed = workerFailed_.load(std::memory_order_acquire);
    if (!failed)
        waitUntilWorkerIdle();
    worker_->Terminate();
    wake_.Set();
    if (!failed)
        WaitForWorker(startedEnded_, threadStartStopTimeoutMs);
    worker_.reset(); // joins the thread, which has left its loop
}

// Caller holds mutex_.
void TMMRingBuffer::requestWorkLocked() {
    if (worker_ == nullptr || workRequested_.load(std::memory_order_acquire) ||
        workerFailed_.load(std::memory_order_acquire))
        return;
    workDone_.Reset();
    workRequested_.store(true, std::memory_order_release);
    wake_.Set();
}

void TMMRingBuffer::waitUntilWorkerIdle() {
    while (workRequested_.load(std::memory_order_acquire) &&
           !workerFailed_.load(std::memory_order_acquire))
        WaitMs(1, true);
    workDone_.Reset();
}

// One pass on the worker, or the final write-out of a flush on the caller's thread.
void TMMRingBuffer::runPass() {
    std::lock_guard pass(passMutex_);
    passThread_.store(std::this_thread::get_id(), std::memory_order_release);
    struct FinishPass {
        TMMRingBuffer& queue;
        ~FinishPass() {
            queue.passThread_.store(std::thread::id(), std::memory_order_release);
            queue.workRequested_.store(false, std::memory_order_release);
            queue.workDone_.Set();
        }
    } finish{*this};
    if (GetQueueMode() == qmRead)
        readAhead();
    else
        writeOut();
}

void TMMRingBuffer::flush() {
    if (isQueueOpen() && usesWorker()) {
        waitUntilWorkerIdle();
        if (GetQueueMode() == qmWrite) {
            runPass();
            workDone_.Reset();
        }
    }
    EmptyQueue();
}

// ---------------------------------------------------------------------------------------------
// Queue

void TMMRingBuffer::EmptyQueue() {
    std::lock_guard lock(mutex_);
    emptyQueueLocked();
}

void TMMRingBuffer::emptyQueueLocked() {
    filled_ = 0;
    bytesQueued_ = 0;
    writeIndex_ = 0;
    readIndex_ = 0;
    lastReadIndex_ = -1;
    primed_ = false;
    sourceEnded_ = false;
}

void TMMRingBuffer::put(const char* data, std::uint32_t length, std::uint32_t flags,
                        std::uintptr_t user) {
    if (data == nullptr || length == 0 || !GetEnabled())
        return;
    const bool writeMode = GetQueueMode() == qmWrite;
    // Only the write queue may hold its pusher up; a duplex pusher is a device that must not
    // block, and a full queue is never overwritten.
    const bool mayWait = writeMode && GetWaitIfFull();
    std::unique_lock lock(mutex_);
    if (!opened_)
        return;
    if (writeMode && filled_ + 1 >= numBuffers_ / 2)
        requestWorkLocked();
    if (filled_ >= numBuffers_ && mayWait) {
        lock.unlock();
        waitForFreeSlot();
        lock.lock();
        if (!opened_)
            return;
    }
    if (filled_ >= numBuffers_) {
        lock.unlock();
        overflows_.fetch_add(1, std::memory_order_acq_rel);
        fire(OnOverlow);
        return;
    }
    Slot& slot = *slots_[static_cast<std::size_t>(writeIndex_)];
    const std::uint32_t stored = std::min(length, slotSize_);
    std::memcpy(slot.data, data, stored);
    slot.length = stored;
    slot.user = user;
    slot.flags = flags;
    writeIndex_ = (writeIndex_ + 1) % numBuffers_;
    ++filled_;
    bytesQueued_ += stored;
}

// Polls until a slot is free, asking the worker again each time: a pass that was ending when
// the queue filled up would otherwise leave it full for good. False when waiting is pointless.
bool TMMRingBuffer::waitForFreeSlot() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (!opened_ || workerFailed_.load(std::memory_order_acquire))
                return false;
            if (filled_ < numBuffers_)
                return true;
            requestWorkLocked();
        }
        WaitMs(1, true);
    }
}

std::uint32_t TMMRingBuffer::get(char* data, std::uint32_t length, std::uint32_t& flags,
                                 std::uintptr_t& user) {
    flags = 0;
    user = 0;
    if (data == nullptr || length == 0 || !isQueueOpen())
        return 0;
    const TMMQueueMode mode = GetQueueMode();
    if (mode == qmRead && GetEnabled() && !primeRead()) {
        reportSourceEnd(flags);
        return 0;
    }
    if (mode == qmDuplex && answerUnprimed(data, length))
        return length;
    if (const std::uint32_t taken = takeQueued(data, length, flags, user); taken > 0)
        return taken;
    if (mode == qmRead && reportSourceEnd(flags))
        return 0;
    return answerEmpty(data, length, flags, user);
}

// A drained queue whose source has ended answers with no data and the end flag.
bool TMMRingBuffer::reportSourceEnd(std::uint32_t& flags) const {
    std::lock_guard lock(mutex_);
    if (!sourceEnded_ || filled_ != 0)
        return false;
    flags = QueueFlagEnd;
    return true;
}

// qmRead: starts a read-ahead when the queue is less than half full and, on the first pull,
// waits for it up to TimeOut. False when no data is there to serve yet.
bool TMMRingBuffer::primeRead() {
    {
        std::lock_guard lock(mutex_);
        if (filled_ < numBuffers_ / 2)
            requestWorkLocked();
        if (primed_)
            return true;
    }
    const std::int64_t started = microsecondClock();
    const std::int64_t timeOutUs = std::int64_t{GetTimeOut()} * 1000;
    while (!workDone_.WaitFor(0)) {
        if (microsecondClock() - started >= timeOutUs)
            return false;
        WaitMs(1, true);
    }
    std::lock_guard lock(mutex_);
    if (filled_ == 0)
        return false;
    primed_ = true;
    return true;
}

// qmDuplex: until more than half of the slots are filled the output gets silence, so that the
// input runs that far ahead of it. True when the pull was answered that way.
bool TMMRingBuffer::answerUnprimed(char* data, std::uint32_t length) {
    std::lock_guard lock(mutex_);
    if (primed_)
        return false;
    if (filled_ > numBuffers_ / 2)
        primed_ = true;
    std::memset(data, silence_, length);
    return true;
}

// Under the lock, so that the writer never touches the slot being read and a close never frees
// it. A pull that takes only part of a slot leaves the rest at the slot's beginning.
std::uint32_t TMMRingBuffer::takeQueued(char* data, std::uint32_t length, std::uint32_t& flags,
                                        std::uintptr_t& user) {
    std::lock_guard lock(mutex_);
    if (!opened_ || filled_ == 0)
        return 0;
    Slot& slot = *slots_[static_cast<std::size_t>(readIndex_)];
    const std::uint32_t taken = std::min(slot.length, length);
    std::memcpy(data, slot.data, taken);
    user = slot.user;
    if (taken < slot.length) {
        // The end belongs to the slot's last byte, a wrap to its first.
        flags = slot.flags & ~QueueFlagEnd;
        slot.flags &= ~QueueFlagWrapped;
        slot.length -= taken;
        std::memmove(slot.data, slot.data + taken, slot.length);
    } else {
        flags = slot.flags;
        lastReadIndex_ = readIndex_;
        readIndex_ = (readIndex_ + 1) % numBuffers_;
        --filled_;
    }
    bytesQueued_ -= taken;
    return taken;
}

// An underrun: the last slot again (LoopIfEmpty, or data that has no silence), else silence of
// the full length, so that the puller never starves.
std::uint32_t TMMRingBuffer::answerEmpty(char* data, std::uint32_t length, std::uint32_t& flags,
                                         std::uintptr_t& user) {
    underruns_.fetch_add(1, std::memory_order_acq_rel);
    fire(OnEmpty);
    std::lock_guard lock(mutex_);
    if (!opened_)
        return 0;
    if ((GetLoopIfEmpty() || !formatIsPcm_) && lastReadIndex_ >= 0) {
        const Slot& slot = *slots_[static_cast<std::size_t>(lastReadIndex_)];
        const std::uint32_t repeated = std::min(slot.length, length);
        std::memcpy(data, slot.data, repeated);
        flags = slot.flags;
        user = slot.user;
        return repeated;
    }
    std::memset(data, silence_, length);
    return length;
}

void TMMRingBuffer::keepLoopFields(const TMMBufferHeader& pull) {
    std::lock_guard lock(mutex_);
    if ((pull.LoopEnabled != 0) == (loop_.enabled != 0))
        return;
    loop_.enabled = pull.LoopEnabled;
    if (pull.LoopEnabled == 0)
        return;
    loop_.count = pull.LoopCount;
    loop_.left = pull.LoopsLeft;
    loop_.restarted = 0;
}

// ---------------------------------------------------------------------------------------------
// Read-ahead and write-out

// The source gave nothing: its end goes with the newest data still queued, and pulls that find
// the queue drained report it as well, so that a puller learns of the end in every case.
void TMMRingBuffer::markSourceEnd() {
    std::lock_guard lock(mutex_);
    sourceEnded_ = true;
    if (filled_ > 0)
        slots_[static_cast<std::size_t>((writeIndex_ + numBuffers_ - 1) % numBuffers_)]->flags |=
            QueueFlagEnd;
}

std::uint32_t TMMRingBuffer::freeSpace() const {
    std::lock_guard lock(mutex_);
    return opened_ ? static_cast<std::uint32_t>(numBuffers_ - filled_) * slotSize_ : 0;
}

void TMMRingBuffer::readAhead() {
    if (freeSpace() == 0)
        return;
    fire(OnFillQueue);
    while (!stopping_.load(std::memory_order_acquire)) {
        const std::uint32_t space = freeSpace();
        if (space == 0)
            break;
        TMMBufferHeader& transfer = *transfer_;
        transfer.wh.dwBufferLength = std::min(space, chunkSize_);
        transfer.wh.dwBytesRecorded = 0;
        {
            std::lock_guard lock(mutex_);
            transfer.LoopEnabled = loop_.enabled;
            transfer.LoopCount = loop_.count;
            transfer.LoopsLeft = loop_.left;
            transfer.LoopRestarted = loop_.restarted;
        }
        bool more = false;
        TMMDSPComponent::BufferLoad(&transfer, more);
        const std::uint32_t got = std::min(transfer.wh.dwBytesRecorded, transfer.wh.dwBufferLength);
        if (got == 0) {
            markSourceEnd();
            break;
        }
        {
            std::lock_guard lock(mutex_);
            loop_ = {transfer.LoopEnabled, transfer.LoopCount, transfer.LoopsLeft,
                     transfer.LoopRestarted};
        }
        putInSlots(transfer.wh.lpData, got,
                   (transfer.LoopRestarted != 0 ? QueueFlagWrapped : 0) |
                       (more ? 0 : QueueFlagEnd));
        {
            std::lock_guard lock(mutex_);
            loop_.restarted = 0;
        }
        if (!more || stopping_.load(std::memory_order_acquire))
            break;
        WaitMs(1, false);
    }
    fire(OnFillQueueEnd);
}

// Slot-sized pieces; only the last one carries the flags.
void TMMRingBuffer::putInSlots(const char* data, std::uint32_t length, std::uint32_t flags) {
    for (std::uint32_t offset = 0; offset < length && freeSpace() > 0; offset += slotSize_) {
        const std::uint32_t piece = std::min(slotSize_, length - offset);
        put(data + offset, piece, offset + piece == length ? flags : 0, 0);
    }
}

void TMMRingBuffer::writeOut() {
    if (!isQueueOpen() || GetBytesQueued() == 0)
        return;
    fire(OnFlushQueue);
    while (GetBytesQueued() > 0) {
        const std::uint32_t amount = gatherForWriteOut();
        if (amount == 0)
            break;
        transfer_->wh.dwBytesRecorded = amount;
        transfer_->wh.dwBufferLength = chunkSize_;
        TMMDSPComponent::BufferReady(transfer_);
        WaitMs(1, false);
    }
    fire(OnFlushQueueEnd);
}

// Up to one chunk of queued bytes into the transfer buffer, slot after slot.
std::uint32_t TMMRingBuffer::gatherForWriteOut() {
    const auto wanted =
        static_cast<std::uint32_t>(std::min<std::int64_t>(GetBytesQueued(), chunkSize_));
    std::uint32_t amount = 0;
    while (amount < wanted) {
        std::uint32_t flags = 0;
        std::uintptr_t user = 0;
        const std::uint32_t taken =
            takeQueued(transfer_->wh.lpData + amount, wanted - amount, flags, user);
        if (taken == 0)
            break;
        amount += taken;
    }
    return amount;
}

// ---------------------------------------------------------------------------------------------
// Buffers

void TMMRingBuffer::BufferReady(PWaveHdr lpWaveHdr) {
    const TMMQueueMode mode = GetQueueMode();
    if (mode != qmWrite && mode != qmDuplex) {
        TMMDSPComponent::BufferReady(lpWaveHdr);
        return;
    }
    put(lpWaveHdr->wh.lpData, lpWaveHdr->wh.dwBytesRecorded, 0, lpWaveHdr->wh.dwUser);
}

void TMMRingBuffer::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
    const TMMQueueMode mode = GetQueueMode();
    if (mode == qmNone || mode == qmWrite) {
        TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
        return;
    }
    if (!isQueueOpen())
        return;
    if (!GetEnabled() && GetBytesQueued() == 0 && mode != qmDuplex) {
        TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
        return;
    }
    keepLoopFields(*lpWaveHdr);
    std::uint32_t flags = 0;
    std::uintptr_t user = 0;
    lpWaveHdr->wh.dwBytesRecorded =
        get(lpWaveHdr->wh.lpData, lpWaveHdr->wh.dwBufferLength, flags, user);
    lpWaveHdr->wh.dwUser = user;
    lpWaveHdr->LoopRestarted = (flags & QueueFlagWrapped) != 0 ? MMTrue : 0;
    MoreBuffers = mode == qmDuplex || (flags & QueueFlagEnd) == 0;
}

} // namespace vantrel
