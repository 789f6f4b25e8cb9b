#include "MMWavOut.h"

#include <algorithm>

namespace vantrel {

namespace {

// Polls for the device's open and close notifications and for the buffers of a stop.
constexpr int notificationTries = 500;
constexpr int discardTries = 100;
constexpr std::uint32_t notificationStepMs = 10;

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and properties

TMMCustomWaveOut::TMMCustomWaveOut(const WaveOutFunctions& functions) : TMMWaveDevice(functions) {
    publishLinks(true, true);
    SetDeviceID(0);
}

TMMCustomWaveOut::~TMMCustomWaveOut() {
    closeForGood();
}

void TMMCustomWaveOut::SetLooping(bool looping) {
    std::lock_guard lock(mutex_);
    if (looping == looping_)
        return;
    looping_ = looping;
    loopsToGo_ = loopCount_;
}

void TMMCustomWaveOut::SetLoopCount(std::uint16_t count) {
    std::lock_guard lock(mutex_);
    if (count == loopCount_)
        return;
    loopCount_ = count;
    loopsToGo_ = loopCount_;
}

void TMMCustomWaveOut::SetWaveFormat(const TWaveFormatEx* format) {
    Close();
    TMMCustomWaveOutComponent::SetWaveFormat(format);
}

std::int64_t TMMCustomWaveOut::GetBytesPlayed() const {
    std::lock_guard lock(mutex_);
    return bytesPlayed_;
}

// ---------------------------------------------------------------------------------------------
// Position

std::int64_t TMMCustomWaveOut::devicePosition() {
    WavePosition position;
    call("WaveOutGetPosition", functions_.getPosition(handle(), position));
    return position.samples;
}

std::int64_t TMMCustomWaveOut::GetPosition() {
    std::int64_t offset = 0;
    {
        std::lock_guard lock(mutex_);
        if (!open_ || handle_ == 0 || closePending_)
            return 0;
        offset = pauseOffset_ - loopBase_;
    }
    const TWaveFormatEx* format = GetWaveFormat();
    if (format == nullptr)
        return 0;
    const std::int64_t samples = devicePosition() + offset;
    switch (timeFormat_) {
    case tfMillisecond:
        return SamplesToMs64(*format, samples);
    case tfByte:
        return SamplesToBytes64(*format, samples);
    case tfSample:
        break;
    }
    return samples;
}

// ---------------------------------------------------------------------------------------------
// Notifications from the layer and the done handler

// Counts the buffer off at once, so that a stop or reset waiting for the queue to drain needs
// no handler to run; buffers handed back by a stop or reset go no further.
void TMMCustomWaveOut::bufferDone(PWaveHdr buffer) {
    WaveDoneMessage message{buffer, 0};
    {
        std::lock_guard lock(mutex_);
        if (queued_ > 0)
            --queued_;
        if (discarding_) {
            if (queued_ == 0)
                discarding_ = false;
            return;
        }
        if (stopping_)
            return;
        message.epoch = epoch_.load(std::memory_order_acquire);
        ++undelivered_;
    }
    if (callBackMode_ == cmThread)
        worker_->post(message);
    else
        window_->Post(WaveOutDoneMessage, reinterpret_cast<std::uintptr_t>(buffer),
                      static_cast<std::intptr_t>(message.epoch));
}

// A buffer has played: it goes down the chain and is filled and written again. Buffers finish
// in the order they were written, so the one handled is the one due at the ring index.
void TMMCustomWaveOut::handleDone(const WaveDoneMessage& message) {
    PWaveHdr buffer = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (undelivered_ > 0)
            --undelivered_;
        if (message.epoch != epoch_.load(std::memory_order_acquire) || !started_ || discarding_ ||
            stopping_ || buffersInUse_ == 0)
            return;
        ++handlers_;
        buffer = buffers_[ringIndex_];
        bytesPlayed_ += buffer->wh.dwBufferLength;
        ringIndex_ = (ringIndex_ + 1) % buffersInUse_;
        buffer->NextHeader = buffers_[ringIndex_];
    }
    try {
        buffer->wh.dwBytesRecorded = buffer->SavedBytes;
        TMMCustomWaveOutComponent::BufferReady(buffer);
        refill(buffer, message.epoch);
    } catch (...) {
        finishHandling();
        if (OnError)
            OnError(this);
        throw;
    }
    finishHandling();
}

void TMMCustomWaveOut::refill(PWaveHdr buffer, std::uint64_t epoch) {
    bool looped = false;
    {
        std::lock_guard lock(mutex_);
        if (!moreBuffers_ || stopPending_ || epoch != epoch_.load(std::memory_order_acquire))
            return;
        looped = looping_ && buffer->LoopRestarted != 0;
    }
    if (looped) {
        const std::int64_t position = devicePosition();
        {
            std::lock_guard lock(mutex_);
            loopBase_ = position + pauseOffset_;
            buffer->LoopRestarted = 0;
        }
        TMMCustomWaveOutComponent::NotifyLooped();
        if (OnLooping)
            OnLooping(this);
    }
    waitForBufferBack(buffer);
    bool sourceEnded = false;
    if (fill(buffer, sourceEnded) == 0) {
        // A source that reports its end with an empty buffer has simply ended.
        bool stopPending = false;
        {
            std::lock_guard lock(mutex_);
            stopPending = stopPending_;
        }
        if (!sourceEnded && !stopPending)
            Error(LoadEngineString(81));
        return;
    }
    write(buffer, epoch);
}

// The last handler to end posts a stop asked for meanwhile, or the stop of a stream whose
// source has run dry; the stop then completes on the main thread.
void TMMCustomWaveOut::finishHandling() {
    bool postStop = false;
    WaveHandle handle = 0;
    {
        std::lock_guard lock(mutex_);
        --handlers_;
        // Run dry: nothing queued, and no played buffer still on its way to a handler.
        const bool ranDry = queued_ == 0 && undelivered_ == 0;
        if (handlers_ == 0 && (stopPending_ || ranDry) && !stopPosted_) {
            stopPosted_ = true;
            stopping_ = true;
            postStop = true;
            handle = handle_;
        }
    }
    if (!postStop)
        return;
    functions_.pause(handle);
    window_->Post(WaveOutStopMessage);
}

// ---------------------------------------------------------------------------------------------
// Buffers

void TMMCustomWaveOut::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
    const auto capacity = static_cast<std::uint32_t>(GetRealBufferSize());
    lpWaveHdr->wh.dwBufferLength = capacity;
    lpWaveHdr->wh.dwBytesRecorded = 0;
    bool looping = false;
    {
        std::lock_guard lock(mutex_);
        looping = looping_;
        lpWaveHdr->LoopEnabled = looping ? MMTrue : 0;
        if (looping) {
            lpWaveHdr->LoopCount = loopCount_;
            lpWaveHdr->LoopsLeft = loopsToGo_;
            lpWaveHdr->LoopRestarted = 0;
        }
    }
    TMMCustomWaveOutComponent::BufferLoad(lpWaveHdr, MoreBuffers);
    // Whatever a source claims, the device plays no more than the buffer holds.
    lpWaveHdr->wh.dwBytesRecorded = std::min(lpWaveHdr->wh.dwBytesRecorded, capacity);
    lpWaveHdr->wh.dwBufferLength = lpWaveHdr->wh.dwBytesRecorded;
    if (looping) {
        std::lock_guard lock(mutex_);
        loopsToGo_ = lpWaveHdr->LoopsLeft;
    }
}

// Pulls `buffer` full from the Input; the bytes delivered. `sourceEnded` tells that the source
// has no more buffers.
std::uint32_t TMMCustomWaveOut::fill(PWaveHdr buffer, bool& sourceEnded) {
    bool more = false;
    BufferLoad(buffer, more);
    const std::uint32_t bytes = buffer->wh.dwBytesRecorded;
    sourceEnded = !more;
    std::lock_guard lock(mutex_);
    moreBuffers_ = more && bytes > 0;
    return bytes;
}

// Counted before it is handed over: it may come back before the call returns. Skipped once the
// run it was filled for has been stopped or reset.
void TMMCustomWaveOut::write(PWaveHdr buffer, std::uint64_t epoch) {
    if (OnBufferFilled)
        OnBufferFilled(this, buffer);
    WaveHandle handle = 0;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || discarding_ || epoch != epoch_.load(std::memory_order_acquire))
            return;
        ++queued_;
        handle = handle_;
    }
    buffer->wh.dwFlags = (buffer->wh.dwFlags & ~WHDR_DONE) | WHDR_PREPARED;
    buffer->SavedBytes = buffer->wh.dwBytesRecorded;
    if (const MMResult result = functions_.write(handle, buffer); result != MMSYSERR_NOERROR) {
        {
            std::lock_guard lock(mutex_);
            --queued_;
        }
        deviceError("WaveOutWrite", result);
    }
}

PWaveHdr TMMCustomWaveOut::bufferAt(std::size_t slot) {
    PWaveHdr& buffer = buffers_[slot];
    if (buffer != nullptr)
        return buffer;
    buffer = allocateBuffer();
    call("WaveOut", functions_.prepareHeader(handle(), buffer));
    return buffer;
}

// Fills and writes buffers from slot 0 on while the source delivers; true when one was written.
// The device is paused meanwhile, so nothing comes back before the count of buffers in use is
// known.
bool TMMCustomWaveOut::prime() {
    const std::uint64_t epoch = epoch_.load(std::memory_order_acquire);
    {
        std::lock_guard lock(mutex_);
        moreBuffers_ = true;
        ringIndex_ = 0;
    }
    buffers_.resize(static_cast<std::size_t>(numBuffers_), nullptr);
    std::size_t written = 0;
    for (std::size_t slot = 0; slot < buffers_.size(); ++slot) {
        {
            std::lock_guard lock(mutex_);
            if (!moreBuffers_)
                break;
        }
        PWaveHdr buffer = bufferAt(slot);
        bool sourceEnded = false;
        if (fill(buffer, sourceEnded) == 0)
            break;
        write(buffer, epoch);
        ++written;
    }
    std::lock_guard lock(mutex_);
    buffersInUse_ = written;
    return written > 0;
}

void TMMCustomWaveOut::releaseBuffers() {
    const WaveHandle device = handle();
    for (PWaveHdr& buffer : buffers_) {
        if (buffer == nullptr)
            continue;
        waitForBufferBack(buffer);
        functions_.unprepareHeader(device, buffer);
        allocator_.Release(buffer);
    }
    buffers_.clear();
    std::lock_guard lock(mutex_);
    buffersInUse_ = 0;
    ringIndex_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Open

void TMMCustomWaveOut::Open() {
    openDevice("WaveOutOpen:\n\r" + LoadEngineString(89));
}

void TMMCustomWaveOut::openSteps() {
    const TWaveFormatEx* format = GetWaveFormat();
    if (functions_.open(nullptr, deviceId_, format, nullptr, nullptr, WAVE_FORMAT_QUERY) !=
        MMSYSERR_NOERROR)
        Error("WaveOutOpen:\n\r" + LoadEngineString(70));
    createWindow();
    {
        std::lock_guard lock(mutex_);
        handle_ = 0;
        closePending_ = false;
    }
    // The components downstream open before the device itself.
    TMMCustomWaveOutComponent::NotifyOpened();
    epoch_.fetch_add(1, std::memory_order_acq_rel);
    if (callBackMode_ == cmThread)
        startWorker();
    const std::uint32_t flags = mapped_ && deviceId_ >= 0 ? WAVE_MAPPED : 0;
    WaveHandle handle = 0;
    call("WaveOutOpen", openHandle(&handle, format, flags));
    {
        std::lock_guard lock(mutex_);
        handle_ = handle;
    }
    if (!pollUntil([this] { return IsDeviceOpen(); }, notificationTries, notificationStepMs, false))
        Error("WaveOutOpen:\n\r" + LoadEngineString(162));
    if (OnOpen)
        OnOpen(this);
}

// ---------------------------------------------------------------------------------------------
// Start, pause, restart, reset

void TMMCustomWaveOut::Start() {
    if (!IsDeviceOpen())
        Open();
    {
        std::lock_guard lock(mutex_);
        if (!open_ || started_)
            return;
        bytesPlayed_ = 0;
        pauseOffset_ = 0;
        loopBase_ = 0;
        loopsToGo_ = loopCount_;
        handlers_ = 0;
        ringIndex_ = 0;
        queued_ = 0;
        undelivered_ = 0;
        stopPending_ = false;
        discarding_ = false;
        stopping_ = false;
        stopPosted_ = false;
    }
    epoch_.fetch_add(1, std::memory_order_acq_rel);
    try {
        startSteps();
    } catch (...) {
        if (OnError)
            OnError(this);
        {
            std::lock_guard lock(mutex_);
            started_ = IsDeviceOpen(); // so that Close stops what the failed start began
        }
        Close();
        throw;
    }
}

void TMMCustomWaveOut::startSteps() {
    // Nothing plays before every buffer is queued.
    call("WaveOutPause", functions_.pause(handle()));
    TMMCustomWaveOutComponent::NotifyStarted();
    if (!prime()) {
        TMMCustomWaveOutComponent::NotifyStopped();
        Close();
        throw EMMWaveOutError("WaveOutStart:\n\r" + LoadEngineString(80));
    }
    bool paused = false;
    {
        std::lock_guard lock(mutex_);
        started_ = true;
        paused = paused_;
    }
    if (!paused)
        call("WaveOutRestart", functions_.restart(handle()));
    if (OnStart)
        OnStart(this);
}

void TMMCustomWaveOut::Pause() {
    if (!IsDeviceOpen())
        Open();
    {
        std::lock_guard lock(mutex_);
        if (!open_ || paused_)
            return;
    }
    closeOnFailure([this] {
        const bool discard = GetUpstreamDriven();
        // Read first: the reset below sets the device position back to 0.
        const std::int64_t position = discard && IsDeviceStarted() ? devicePosition() : 0;
        {
            std::lock_guard lock(mutex_);
            if (started_) {
                call("WaveOutPause", functions_.pause(handle_));
                paused_ = true;
                // Driven from upstream, the device must not play stale audio after a restart:
                // what it holds is dropped.
                if (discard) {
                    pauseOffset_ += position;
                    discarding_ = queued_ > 0;
                    epoch_.fetch_add(1, std::memory_order_acq_rel);
                    call("WaveOutReset", functions_.reset(handle_));
                    ringIndex_ = 0;
                    buffersInUse_ = 0;
                }
            }
            paused_ = true;
        }
        TMMCustomWaveOutComponent::NotifyPaused();
        if (OnPause)
            OnPause(this);
    });
}

void TMMCustomWaveOut::Restart() {
    bool refill = false;
    {
        std::lock_guard lock(mutex_);
        if (!started_ || !paused_)
            return;
        refill = buffersInUse_ == 0;
    }
    closeOnFailure([&] {
        // After a discarding pause the queue is empty: prime it again once the dropped buffers
        // are all back.
        if (refill)
            pollUntil([this] { return GetQueuedBuffers() == 0; }, discardTries, notificationStepMs,
                      false);
        {
            std::lock_guard lock(mutex_);
            discarding_ = false;
        }
        TMMCustomWaveOutComponent::NotifyRestarted();
        if (refill)
            prime();
        call("WaveOutRestart", functions_.restart(handle()));
        {
            std::lock_guard lock(mutex_);
            paused_ = false;
        }
        if (OnRestart)
            OnRestart(this);
    });
}

void TMMCustomWaveOut::Reset() {
    {
        std::lock_guard lock(mutex_);
        if ((!started_ && !paused_) || discarding_ || stopping_)
            return;
    }
    closeOnFailure([this] { resetSteps(); });
}

void TMMCustomWaveOut::resetSteps() {
    {
        std::lock_guard lock(mutex_);
        discarding_ = queued_ > 0;
        call("WaveOutPause", functions_.pause(handle_));
    }
    // Done notifications already on their way belong to the run being dropped.
    epoch_.fetch_add(1, std::memory_order_acq_rel);
    // A handler on the worker must not write into the run being dropped.
    if (!onHandlerThread(callBackMode_, worker_.get()))
        waitForRunningHandlers();
    call("WaveOutReset", functions_.reset(handle()));
    pollUntil(
        [this] {
            std::lock_guard lock(mutex_);
            return !discarding_;
        },
        discardTries, notificationStepMs, false);
    call("WaveOutRestart", functions_.restart(handle()));
    call("WaveOutPause", functions_.pause(handle()));
    bool paused = false;
    {
        std::lock_guard lock(mutex_);
        discarding_ = false;
        ringIndex_ = 0;
        queued_ = 0;
        pauseOffset_ = 0;
        loopBase_ = 0;
        paused = paused_;
    }
    TMMCustomWaveOutComponent::NotifyReset();
    if (!prime()) {
        Stop();
        return;
    }
    if (!paused)
        call("WaveOutRestart", functions_.restart(handle()));
}

// ---------------------------------------------------------------------------------------------
// Stop and close

void TMMCustomWaveOut::stopSteps() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        discarding_ = queued_ > 0;
        call("WaveOutReset", functions_.reset(handle_));
    }
    if (!onHandlerThread(callBackMode_, worker_.get())) {
        // A handler on the worker ends soon: the stop completes here and now.
        waitForRunningHandlers();
    }
    stoppedHandler();
}

void TMMCustomWaveOut::stoppedHandler() {
    {
        std::lock_guard lock(mutex_);
        if (!endRunLocked())
            return;
    }
    pollUntil([this] { return GetQueuedBuffers() == 0; }, notificationTries, notificationStepMs,
              false);
    TMMCustomWaveOutComponent::NotifyStopped();
    releaseBuffers();
    bool closeAfterwards = false;
    {
        std::lock_guard lock(mutex_);
        queued_ = 0;
        stopPending_ = false;
        closeAfterwards = closePending_;
    }
    if (OnStop && !IsDestroying())
        OnStop(this);
    if (closeAfterwards)
        Close();
}

void TMMCustomWaveOut::closeSteps(bool& notified) {
    const WaveHandle device = handle();
    if (device != 0) {
        functions_.reset(device);
        releaseBuffers(); // a start that failed may have left some
        call("WaveOutClose", functions_.close(device));
        notified = pollUntil([this] { return !IsDeviceOpen(); }, notificationTries,
                             notificationStepMs, false);
    }
}

// ---------------------------------------------------------------------------------------------

TMMWaveOut::TMMWaveOut() : TMMCustomWaveOut(waveOutFunctions()) {}

std::string waveOutDeviceName(TMMDeviceId device) {
    return waveDeviceName(waveOutFunctions(), device);
}

} // namespace vantrel
