#include "MMTrigg.h"

#include "Application.h"

#include <algorithm>
#include <system_error>

namespace vantrel {

namespace {

constexpr std::uint32_t threadStartStopTimeoutMs = 5000;
constexpr std::int32_t minBufferSize = 32;
// Posted by a worker that failed: the trigger closes on the main thread.
constexpr std::uint32_t closeAfterFailureMessage = TriggerStopMessage + 1;

} // namespace

// One buffer per run signal: push it, pull the next, pause Interval ms (at least 1) and signal
// itself again, until the trigger stops. Pause holds it at the top of the loop.
class TMMTrigger::TMMTriggerThread : public TMMDSPThread {
public:
    explicit TMMTriggerThread(TMMTrigger& trigger) : TMMDSPThread(&trigger), trigger_(trigger) {}

protected:
    void Execute() override {
        trigger_.startedEnded_.Set();
        try {
            runLoop();
        } catch (...) {
            trigger_.workerFailed_.store(true, std::memory_order_release);
            ApplicationHandleException(std::current_exception());
            // Posted, not synchronised: the close joins this thread.
            trigger_.window_->Post(closeAfterFailureMessage);
            return;
        }
        trigger_.startedEnded_.Set();
    }

private:
    void runLoop() {
        for (;;) {
            trigger_.run_.WaitFor(TMMEvent::Infinite);
            waitWhileSuspended();
            if (Terminated())
                return;
            if (!trigger_.isStopping())
                trigger_.handleBuffer();
            if (trigger_.isStopping())
                continue;
            const auto pauseMs = static_cast<std::uint32_t>(std::max(trigger_.GetInterval(), 1));
            if (trigger_.stop_.WaitFor(pauseMs) || Terminated())
                return;
            if (!trigger_.isStopping())
                trigger_.run_.Set();
        }
    }

    TMMTrigger& trigger_;
};

// ---------------------------------------------------------------------------------------------
// Construction and properties

TMMTrigger::TMMTrigger() {
    publishLinks(true, true);
}

TMMTrigger::~TMMTrigger() {
    Close();
    if (isOpen()) {
        // A buffer was being handled: let the worker finish it, then close for good.
        stopWorker();
        {
            std::lock_guard lock(mutex_);
            handlings_ = 0;
            stopPending_ = false;
        }
        Close();
    }
    window_.reset();
}

void TMMTrigger::SetBufferSize(std::int32_t bytes) {
    if (bytes == GetBufferSize())
        return;
    if (isOpen())
        Error(LoadEngineString(60));
    allocator_.FreeAll();
    TMMCustomSoundComponent::SetBufferSize(std::max(bytes, minBufferSize));
}

void TMMTrigger::SetInterval(std::int32_t ms) {
    interval_.store(std::max(ms, 0), std::memory_order_release);
}

void TMMTrigger::SetWaveFormat(const TWaveFormatEx* format) {
    Close();
    TMMCustomSoundComponent::SetWaveFormat(format);
}

bool TMMTrigger::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

bool TMMTrigger::isStopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

bool TMMTrigger::isStopPending() const {
    std::lock_guard lock(mutex_);
    return stopPending_;
}

void TMMTrigger::Error(const std::string& text) {
    fire(OnError);
    throw EMMTriggerError(text);
}

void TMMTrigger::fire(const TMMComponentEvent& event) {
    if (event)
        event(this);
}

void TMMTrigger::fireBufferFilled() {
    if (OnBufferFilled)
        OnBufferFilled(this, buffer_);
}

// ---------------------------------------------------------------------------------------------
// Chain

void TMMTrigger::NotifyOpened() {
    Open();
}

void TMMTrigger::NotifyClosed() {
    Close();
}

void TMMTrigger::NotifyStarted() {
    Start();
}

void TMMTrigger::NotifyPaused() {
    Pause();
}

void TMMTrigger::NotifyRestarted() {
    Restart();
}

void TMMTrigger::NotifyStopped() {
    Stop();
}

void TMMTrigger::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
    const auto capacity = static_cast<std::uint32_t>(GetRealBufferSize());
    lpWaveHdr->wh.dwBufferLength = capacity;
    lpWaveHdr->wh.dwBytesRecorded = 0;
    lpWaveHdr->LoopEnabled = 0;
    TMMCustomSoundComponent::BufferLoad(lpWaveHdr, MoreBuffers);
    // Whatever a source claims, no more than the buffer holds goes on down the chain.
    lpWaveHdr->wh.dwBytesRecorded = std::min(lpWaveHdr->wh.dwBytesRecorded, capacity);
    lpWaveHdr->wh.dwBufferLength = lpWaveHdr->wh.dwBytesRecorded;
}

void TMMTrigger::BufferReady(PWaveHdr) {}

void TMMTrigger::windowProc(std::uint32_t message) {
    if (message == TriggerStopMessage)
        Stop();
    else if (message == closeAfterFailureMessage)
        Close();
}

// ---------------------------------------------------------------------------------------------
// Device operations

void TMMTrigger::Open() {
    if (GetWaveFormat() == nullptr)
        Error("TriggerOpen:\n\r" + LoadEngineString(89));
    if (isOpen())
        Close();
    {
        std::lock_guard lock(mutex_);
        if (open_ || closing_)
            return; // a close is still waiting for a buffer being handled
        stopping_ = false;
        closePending_ = false;
    }
    if (window_ == nullptr)
        window_ = std::make_unique<MessageWindow>(
            [this](std::uint32_t message, std::uintptr_t, std::intptr_t) { windowProc(message); });
    try {
        openSteps();
    } catch (...) {
        fire(OnError);
        {
            std::lock_guard lock(mutex_);
            open_ = true; // so that Close undoes what the failed open did
        }
        Close();
        throw;
    }
}

void TMMTrigger::openSteps() {
    TMMCustomSoundComponent::NotifyOpened();
    startWorker();
    allocateBuffer();
    {
        std::lock_guard lock(mutex_);
        open_ = true;
    }
    fire(OnOpen);
}

void TMMTrigger::allocateBuffer() {
    const auto bytes = static_cast<std::uint32_t>(GetRealBufferSize());
    void* block = allocator_.Alloc(TMMAllocFlags::ZeroInit, bufferBlockSize(bytes));
    if (block == nullptr)
        throw EMMTriggerError(LoadEngineString(64));
    buffer_ = placeBuffer(block, bytes);
}

void TMMTrigger::Start() {
    if (!isOpen())
        Open();
    {
        std::lock_guard lock(mutex_);
        if (!open_ || started_)
            return;
        handlings_ = 0;
        stopPending_ = false;
        // Held until the first buffer is in, so that a worker still pausing from the last run
        // cannot take the buffer meanwhile.
        stopping_ = true;
    }
    try {
        startSteps();
    } catch (...) {
        fire(OnError);
        Close();
        throw;
    }
}

void TMMTrigger::startSteps() {
    TMMCustomSoundComponent::NotifyStarted();
    moreBuffers_.store(true, std::memory_order_release);
    if (!pull()) {
        TMMCustomSoundComponent::NotifyStopped();
        Close();
        throw EMMTriggerError("TriggerStart:\n\r" + LoadEngineString(80));
    }
    fireBufferFilled();
    bool paused = false;
    {
        std::lock_guard lock(mutex_);
        started_ = true;
        stopping_ = false;
        paused = paused_;
    }
    if (!paused)
        run_.Set();
    fire(OnStart);
}

void TMMTrigger::Pause() {
    if (!isOpen())
        Open();
    {
        std::lock_guard lock(mutex_);
        if (!open_ || paused_)
            return;
        if (started_)
            worker_->Suspend(); // takes hold before the next buffer
        paused_ = true;
    }
    try {
        TMMCustomSoundComponent::NotifyPaused();
        fire(OnPause);
    } catch (...) {
        fire(OnError);
        Close();
        throw;
    }
}

void TMMTrigger::Restart() {
    {
        std::lock_guard lock(mutex_);
        if (!started_ || !paused_)
            return;
        paused_ = false;
    }
    try {
        resumeWorker();
        // A trigger started while paused has not run yet: this is its first run signal.
        run_.Set();
        TMMCustomSoundComponent::NotifyRestarted();
        fire(OnRestart);
    } catch (...) {
        fire(OnError);
        Close();
        throw;
    }
}

void TMMTrigger::Stop() {
    bool closeAfterwards = false;
    {
        std::lock_guard lock(mutex_);
        if (!started_ && !paused_)
            return;
        stopping_ = true;
        if (handlings_ > 0) {
            stopPending_ = true; // the handling posts the stop when it ends
            return;
        }
        started_ = false;
        paused_ = false;
        stopPending_ = false;
        closeAfterwards = closePending_;
    }
    try {
        resumeWorker(); // a worker held by a pause must be free for the next start
        TMMCustomSoundComponent::NotifyStopped();
        fire(OnStop);
        if (closeAfterwards)
            Close();
    } catch (...) {
        fire(OnError);
        Close();
        throw;
    }
}

void TMMTrigger::Close() {
    bool running = false;
    {
        std::lock_guard lock(mutex_);
        if (!open_ || (closing_ && !closePending_))
            return;
        closing_ = true;
        closePending_ = false; // so that the Stop below does not close a second time
        running = started_ || paused_;
    }
    try {
        if (running)
            Stop();
        {
            std::lock_guard lock(mutex_);
            if (stopPending_) {
                closePending_ = true; // Stop closes once the handling has ended
                return;
            }
            open_ = false;
        }
        closeSteps();
    } catch (...) {
        std::lock_guard lock(mutex_);
        closing_ = false;
    }
}

void TMMTrigger::closeSteps() {
    try {
        TMMCustomSoundComponent::NotifyClosed();
    } catch (...) {
        // The trigger closes all the same; its worker and buffer must not outlive it.
        stopWorker();
        allocator_.Release(buffer_);
        throw;
    }
    stopWorker();
    allocator_.Release(buffer_);
    {
        std::lock_guard lock(mutex_);
        closing_ = false;
    }
    fire(OnClose);
}

// ---------------------------------------------------------------------------------------------
// Worker

void TMMTrigger::startWorker() {
    workerFailed_.store(false, std::memory_order_release);
    startedEnded_.Reset();
    run_.Reset();
    stop_.Reset();
    auto worker = std::make_unique<TMMTriggerThread>(*this);
    worker->SetPriority(tpNormal);
    const EMMTriggerError threadError("Trigger:\n\r" + LoadEngineString(88));
    try {
        worker->Resume();
    } catch (const std::system_error&) {
        throw threadError;
    }
    worker_ = std::move(worker);
    if (!WaitForWorker(startedEnded_, threadStartStopTimeoutMs))
        throw threadError;
}

void TMMTrigger::stopWorker() {
    if (worker_ == nullptr)
        return;
    if (!workerFailed_.load(std::memory_order_acquire)) {
        resumeWorker();
        worker_->Terminate();
        run_.Set();
        stop_.Set();
        WaitForWorker(startedEnded_, threadStartStopTimeoutMs);
    }
    worker_.reset(); // joins the thread, which has left its loop
}

void TMMTrigger::resumeWorker() {
    while (worker_ != nullptr && worker_->Suspended())
        worker_->Resume();
}

// Runs on the worker, only while started and not stopping.
void TMMTrigger::handleBuffer() {
    {
        std::lock_guard lock(mutex_);
        if (!started_ || stopping_)
            return;
        ++handlings_;
    }
    try {
        // A push that failed and was swallowed still counts as done: pushing the same buffer
        // again would repeat its data downstream.
        runStep([this] { push(); });
        if (moreBuffers_.load(std::memory_order_acquire) && !isStopPending())
            runStep([this] { pullNext(); });
    } catch (...) {
        countHandlingOff(false); // the close that follows the failure stops the trigger
        throw;
    }
    countHandlingOff(true);
}

void TMMTrigger::pullNext() {
    // Raised without OnError: runStep reports it, once.
    if (!pull())
        throw EMMTriggerError(LoadEngineString(81));
    if (isStopPending())
        return;
    fireBufferFilled();
    if (!moreBuffers_.load(std::memory_order_acquire))
        push(); // the source's last buffer goes at once
}

// Reports an error of `step` (OnError, then OnErrorEx), which may swallow it.
void TMMTrigger::runStep(const std::function<void()>& step) {
    try {
        step();
    } catch (...) {
        bool handled = false;
        fire(OnError);
        if (OnErrorEx)
            OnErrorEx(this, handled);
        if (!handled)
            throw;
    }
}

void TMMTrigger::countHandlingOff(bool mayPostStop) {
    bool postStop = false;
    {
        std::lock_guard lock(mutex_);
        --handlings_;
        if (mayPostStop && handlings_ == 0 &&
            (stopPending_ || !moreBuffers_.load(std::memory_order_acquire))) {
            stopping_ = true;
            postStop = true;
        }
    }
    if (postStop)
        window_->Post(TriggerStopMessage);
}

// Pulls the next buffer; false when no data came. The source's end clears MoreBuffers.
bool TMMTrigger::pull() {
    bool more = false;
    BufferLoad(buffer_, more);
    const bool gotData = buffer_->wh.dwBytesRecorded > 0;
    moreBuffers_.store(more && gotData, std::memory_order_release);
    return gotData;
}

void TMMTrigger::push() {
    if (GetSynchronize())
        SynchronizeFromWorker([this] { TMMDSPComponent::BufferReady(buffer_); });
    else
        TMMDSPComponent::BufferReady(buffer_);
}

} // namespace vantrel
