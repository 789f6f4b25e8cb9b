#include "MMObj.h"

#include "Application.h"
#include "MainThread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <sys/resource.h>
#include <unistd.h>

namespace vantrel {

// ---------------------------------------------------------------------------------------------
// Thread priorities

int SystemThreadPriority(TThreadPriority priority) {
    static constexpr int systemPriorities[] = {-15, -2, -1, 0, 1, 2, 15};
    return systemPriorities[priority];
}

int ThreadNiceValue(TThreadPriority priority) {
    // Nice steps are much finer than the system's priority levels, so the neighbours of
    // tpNormal get clearly distinct values.
    static constexpr int niceOffsets[] = {39, 10, 5, 0, -5, -10, -39};
    errno = 0;
    int processNice = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    if (errno != 0)
        processNice = 0;
    return std::clamp(processNice + niceOffsets[priority], -20, 19);
}

// ---------------------------------------------------------------------------------------------
// Events

TMMEvent::TMMEvent(bool manualReset, bool initiallySet)
    : set_(initiallySet), manualReset_(manualReset) {}

void TMMEvent::Set() {
    {
        std::lock_guard lock(mutex_);
        set_ = true;
    }
    if (manualReset_)
        signalled_.notify_all();
    else
        signalled_.notify_one();
}

void TMMEvent::Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
}

bool TMMEvent::WaitFor(std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    const auto isSet = [this] {
        return set_;
    };
    if (timeoutMs == Infinite)
        signalled_.wait(lock, isSet);
    else if (!signalled_.wait_for(lock, std::chrono::milliseconds(timeoutMs), isSet))
        return false;
    if (!manualReset_)
        set_ = false;
    return true;
}

bool WaitForWorker(TMMEvent& event, std::uint32_t timeoutMs) {
    MainThreadSeam* seam = mainThread();
    if (seam == nullptr || !seam->isMainThread())
        return event.WaitFor(timeoutMs);
    // Short slices: the seam wakes for queued calls, not for the event.
    constexpr auto slice = std::chrono::milliseconds(2);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!event.WaitFor(0)) {
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (timeoutMs != TMMEvent::Infinite && remaining <= std::chrono::milliseconds(0))
            return false;
        seam->processPending(timeoutMs == TMMEvent::Infinite ? slice : std::min(slice, remaining));
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Threads

TMMThreadEx::TMMThreadEx() = default;

TMMThreadEx::~TMMThreadEx() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        thread = std::move(thread_);
        suspendCount_ = 0;
        terminated_.store(true, std::memory_order_release);
    }
    resumed_.notify_all();
    if (thread.joinable())
        thread.join();
}

void TMMThreadEx::Resume() {
    std::lock_guard lock(mutex_);
    if (suspendCount_ > 0)
        --suspendCount_;
    if (suspendCount_ > 0)
        return;
    if (!started_) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            suspendCount_ = 1;
            throw;
        }
        started_ = true;
    }
    resumed_.notify_all();
}

void TMMThreadEx::Suspend() {
    std::lock_guard lock(mutex_);
    ++suspendCount_;
}

bool TMMThreadEx::Suspended() const {
    std::lock_guard lock(mutex_);
    return suspendCount_ > 0;
}

void TMMThreadEx::Terminate() {
    {
        std::lock_guard lock(mutex_);
        terminated_.store(true, std::memory_order_release);
    }
    resumed_.notify_all();
}

void TMMThreadEx::SetFreeOnTerminate(bool value) {
    std::lock_guard lock(mutex_);
    freeOnTerminate_ = value;
}

bool TMMThreadEx::GetFreeOnTerminate() const {
    std::lock_guard lock(mutex_);
    return freeOnTerminate_;
}

void TMMThreadEx::WaitFor() {
    if (thread_.joinable())
        thread_.join();
}

bool TMMThreadEx::SetPriority(TThreadPriority priority) {
    priority_.store(priority, std::memory_order_release);
    return applyPriority(priority);
}

bool TMMThreadEx::applyPriority(TThreadPriority priority) {
    const int tid = kernelThreadId_.load(std::memory_order_acquire);
    if (tid == 0)
        return true; // applied when the thread starts
    const bool accepted =
        setpriority(PRIO_PROCESS, static_cast<id_t>(tid), ThreadNiceValue(priority)) == 0;
    priorityAccepted_.store(accepted, std::memory_order_release);
    return accepted;
}

void TMMThreadEx::Synchronize(const std::function<void()>& method) {
    MainThreadSeam* seam = mainThread();
    if (seam == nullptr || seam->isMainThread())
        method();
    else
        seam->runAndWait(method);
}

void TMMThreadEx::waitWhileSuspended() {
    std::unique_lock lock(mutex_);
    resumed_.wait(lock, [this] { return suspendCount_ == 0 || Terminated(); });
}

void TMMThreadEx::run() {
    threadId_.store(std::this_thread::get_id(), std::memory_order_release);
    kernelThreadId_.store(static_cast<int>(gettid()), std::memory_order_release);
    // A refused priority is not fatal: the thread runs on at the priority it has, and
    // PriorityAccepted() tells.
    applyPriority(GetPriority());
    try {
        Execute();
    } catch (...) {
        ApplicationHandleException(std::current_exception());
    }
    kernelThreadId_.store(0, std::memory_order_release);
    bool freeSelf = false;
    {
        std::lock_guard lock(mutex_);
        freeSelf = freeOnTerminate_;
        if (freeSelf)
            thread_.detach();
    }
    if (freeSelf)
        delete this;
}

// ---------------------------------------------------------------------------------------------
// Stream worker threads

namespace {

// Written when a worker object is made (main thread) and destroyed (often on the worker itself).
struct WorkerList {
    std::mutex mutex;
    std::vector<TMMDSPThread*> threads;
};

WorkerList& workerList() {
    static WorkerList list;
    return list;
}

} // namespace

TMMDSPThread::TMMDSPThread(TMMDSPComponent* owner) : owner_(owner) {
    WorkerList& list = workerList();
    std::lock_guard lock(list.mutex);
    list.threads.push_back(this);
}

TMMDSPThread::~TMMDSPThread() {
    WorkerList& list = workerList();
    std::lock_guard lock(list.mutex);
    std::erase(list.threads, this);
    if (list.threads.empty())
        list.threads.shrink_to_fit();
}

std::size_t TMMDSPThread::LivingThreads() {
    WorkerList& list = workerList();
    std::lock_guard lock(list.mutex);
    return list.threads.size();
}

void SynchronizeFromWorker(const std::function<void()>& routine) {
    MainThreadSeam* seam = mainThread();
    TMMDSPThread* worker = nullptr;
    if (seam != nullptr && !seam->isMainThread()) {
        WorkerList& list = workerList();
        const auto self = std::this_thread::get_id();
        std::lock_guard lock(list.mutex);
        const auto found = std::find_if(list.threads.begin(), list.threads.end(),
                                        [self](TMMDSPThread* t) { return t->ThreadID() == self; });
        if (found != list.threads.end())
            worker = *found;
    }
    // The worker found is the calling thread itself, so it cannot go away meanwhile.
    if (worker != nullptr)
        worker->Synchronize(routine);
    else
        routine();
}

// ---------------------------------------------------------------------------------------------
// Buffer pool

namespace {

constexpr std::align_val_t blockAlignment{alignof(TMMBufferHeader)};

void freeBlock(void* address) noexcept {
    ::operator delete(address, blockAlignment);
}

} // namespace

TMMAllocator::~TMMAllocator() {
    FreeAll();
}

void* TMMAllocator::take(Block& block, TMMAllocFlags flags) {
    ++block.useCount;
    if (flags == TMMAllocFlags::ZeroInit)
        std::memset(block.address, 0, block.size);
    return block.address;
}

void* TMMAllocator::newBlock(TMMAllocFlags flags, std::size_t size) {
    void* address = ::operator new(std::max<std::size_t>(size, 1), blockAlignment, std::nothrow);
    if (address == nullptr)
        return nullptr;
    try {
        blocks_.push_back({address, size, 0});
    } catch (...) {
        freeBlock(address);
        return nullptr;
    }
    return take(blocks_.back(), flags);
}

void* TMMAllocator::Alloc(TMMAllocFlags flags, std::size_t size) {
    std::lock_guard lock(mutex_);
    for (const bool exact : {true, false}) {
        for (Block& block : blocks_)
            if (block.useCount == 0 && (exact ? block.size == size : block.size >= size))
                return take(block, flags);
    }
    return newBlock(flags, size);
}

void* TMMAllocator::AllocExact(TMMAllocFlags flags, std::size_t size) {
    std::lock_guard lock(mutex_);
    for (Block& block : blocks_)
        if (block.useCount == 0 && block.size == size)
            return take(block, flags);
    freeIdleLocked();
    return newBlock(flags, size);
}

void TMMAllocator::Release(void*& address) {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(blocks_.begin(), blocks_.end(),
                                    [address](const Block& b) { return b.address == address; });
    if (found == blocks_.end())
        return;
    if (found->useCount > 0)
        --found->useCount;
    address = nullptr;
}

void TMMAllocator::freeIdleLocked() {
    std::erase_if(blocks_, [](const Block& block) {
        if (block.useCount != 0)
            return false;
        freeBlock(block.address);
        return true;
    });
}

void TMMAllocator::FreeIdle() {
    std::lock_guard lock(mutex_);
    freeIdleLocked();
}

void TMMAllocator::FreeAll() {
    std::lock_guard lock(mutex_);
    for (const Block& block : blocks_)
        freeBlock(block.address);
    blocks_.clear();
}

std::size_t TMMAllocator::BlockCount() const {
    std::lock_guard lock(mutex_);
    return blocks_.size();
}

int TMMAllocator::UseCount(const void* address) const {
    std::lock_guard lock(mutex_);
    for (const Block& block : blocks_)
        if (block.address == address)
            return block.useCount;
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Message windows

struct MessageWindow::State {
    explicit State(WindowProc proc) : windowProc(std::move(proc)) {}
    const WindowProc windowProc;
    // A message is delivered only when the window's generation is still the one it was posted in.
    std::atomic<std::uint64_t> generation{0};
    std::atomic<bool> released{false};
};

MessageWindow::MessageWindow(WindowProc windowProc)
    : state_(std::make_shared<State>(std::move(windowProc))) {}

MessageWindow::~MessageWindow() {
    state_->released.store(true, std::memory_order_release);
}

bool MessageWindow::Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    MainThreadSeam* seam = mainThread();
    if (seam == nullptr)
        return false;
    const std::uint64_t generation = state_->generation.load(std::memory_order_acquire);
    seam->post([state = state_, generation, message, wParam, lParam] {
        if (state->released.load(std::memory_order_acquire) ||
            state->generation.load(std::memory_order_acquire) != generation)
            return;
        try {
            state->windowProc(message, wParam, lParam);
        } catch (...) {
            ApplicationHandleException(std::current_exception());
        }
    });
    return true;
}

void MessageWindow::DiscardMessages() {
    state_->generation.fetch_add(1, std::memory_order_acq_rel);
}

} // namespace vantrel
