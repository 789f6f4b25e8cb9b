#include "MMWavIn.h"

#include <algorithm>
#include <limits>

namespace vantrel {

namespace {

constexpr std::int32_t maxChannels = 8;
constexpr std::int32_t minSampleRate = 8000;
constexpr std::int32_t maxSampleRate = 100000;
constexpr std::int64_t noRecordLimit = std::numeric_limits<std::int32_t>::max();
// Polls for the device's open and close notifications and for the buffers of a stop.
constexpr int notificationTries = 100;
constexpr std::uint32_t notificationStepMs = 10;

// The standard-format bit the capabilities must list for `format`, or 0 when the format query
// alone decides (other channel counts or sample sizes, rates outside 8000 to 48000 Hz).
std::uint32_t standardFormatBit(const TWaveFormatEx& format) {
    const std::uint32_t rate = format.nSamplesPerSec;
    if (rate < 8000 || rate > 48000 || format.nChannels > 2 ||
        (format.wBitsPerSample != 8 && format.wBitsPerSample != 16))
        return 0;
    const int rateClassShift = rate <= 11025 ? 0 : rate <= 22050 ? 4 : 8;
    const int index = (format.nChannels == 2 ? 1 : 0) + (format.wBitsPerSample == 16 ? 2 : 0);
    return 1u << (rateClassShift + index);
}

bool holdsData(PWaveHdr buffer) {
    return buffer->wh.dwBytesRecorded > 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and properties

TMMCustomWaveIn::TMMCustomWaveIn(const WaveInFunctions& functions) : TMMWaveDevice(functions) {
    publishLinks(false, true);
    recordLimit_ = noRecordLimit;
    SetDeviceID(0);
    rebuildFormat();
}

TMMCustomWaveIn::~TMMCustomWaveIn() {
    closeForGood();
}

void TMMCustomWaveIn::SetMode(TMMMode mode) {
    if (mode == mMono)
        SetChannels(1);
    else if (mode == mStereo)
        SetChannels(2);
}

TMMMode TMMCustomWaveIn::GetMode() const {
    return channels_ == 1 ? mMono : channels_ == 2 ? mStereo : mMultiChannel;
}

void TMMCustomWaveIn::SetChannels(std::int32_t channels) {
    checkClosed();
    channels_ = std::clamp(channels, 1, maxChannels);
    rebuildFormat();
}

void TMMCustomWaveIn::SetBitLength(TMMBits bits) {
    checkClosed();
    bitLength_ = bits;
    rebuildFormat();
}

void TMMCustomWaveIn::SetSampleRate(std::int32_t rate) {
    checkClosed();
    sampleRate_ = std::clamp(rate, minSampleRate, maxSampleRate);
    rebuildFormat();
}

void TMMCustomWaveIn::rebuildFormat() {
    TWaveFormatEx format{};
    BuildPCMFormat(format, bitsOf(bitLength_), channels_, static_cast<std::uint32_t>(sampleRate_));
    SetWaveFormat(&format);
}

void TMMCustomWaveIn::SetWaveFormat(const TWaveFormatEx* format) {
    Close();
    if (IsValidPCMFormat(format)) {
        sampleRate_ = static_cast<std::int32_t>(format->nSamplesPerSec);
        bitLength_ = static_cast<TMMBits>(format->wBitsPerSample / 8 - 1);
        channels_ = format->nChannels;
    }
    TMMCustomSoundComponent::SetWaveFormat(format);
    recomputeRecordLimit();
}

void TMMCustomWaveIn::SetTimeFormat(TMMTimeFormats format) {
    std::lock_guard lock(mutex_);
    timeFormat_ = format;
    const TWaveFormatEx* wave = GetWaveFormat();
    if (maxRecordTime_ < 0 || wave == nullptr || wave->nAvgBytesPerSec == 0)
        return;
    const auto limit = static_cast<std::int32_t>(recordLimit_);
    maxRecordTime_ = format == tfMillisecond ? BytesToMs(*wave, limit)
                     : format == tfSample    ? BytesToSamples(*wave, limit)
                                             : limit;
}

void TMMCustomWaveIn::SetMaxRecordTime(std::int32_t time) {
    {
        std::lock_guard lock(mutex_);
        maxRecordTime_ = time;
    }
    recomputeRecordLimit();
}

void TMMCustomWaveIn::recomputeRecordLimit() {
    std::lock_guard lock(mutex_);
    const TWaveFormatEx* wave = GetWaveFormat();
    std::int64_t limit = noRecordLimit;
    if (maxRecordTime_ >= 0 && wave != nullptr && wave->nBlockAlign > 0) {
        const std::int64_t time = maxRecordTime_;
        if (timeFormat_ == tfMillisecond)
            limit = time * wave->nAvgBytesPerSec / 1000;
        else if (timeFormat_ == tfSample)
            limit = time * wave->nBlockAlign;
        else
            limit = time;
        limit = std::min(limit, noRecordLimit);
    }
    if (wave != nullptr && wave->nBlockAlign > 0)
        limit -= limit % wave->nBlockAlign;
    recordLimit_ = limit;
}

std::int64_t TMMCustomWaveIn::GetBytesRecorded() const {
    std::lock_guard lock(mutex_);
    return bytesRecorded_;
}

// ---------------------------------------------------------------------------------------------
// Notifications from the layer and the done handler

void TMMCustomWaveIn::bufferDone(PWaveHdr buffer) {
    const WaveDoneMessage message{buffer, epoch_.load(std::memory_order_acquire)};
    if (callBackMode_ == cmThread)
        worker_->post(message);
    else
        window_->Post(WaveInDataMessage, reinterpret_cast<std::uintptr_t>(buffer),
                      static_cast<std::intptr_t>(message.epoch));
}

// One recorded buffer, on the thread of the callback mode.
void TMMCustomWaveIn::handleDone(const WaveDoneMessage& message) {
    if (message.epoch != epoch_.load(std::memory_order_acquire))
        return; // from an earlier run of the device
    PWaveHdr buffer = message.buffer;
    bool regular = false;
    bool pushAnyway = false;
    {
        std::lock_guard lock(mutex_);
        if (!started_)
            return;
        regular = !discarding_ && !stopping_;
        // The buffer a stop hands back still holds what was recorded before the stop.
        pushAnyway = !regular && !discarding_ && holdsData(buffer);
        countOffLocked();
        if (!regular && !pushAnyway && !stopPending_)
            return;
        ++handlers_;
    }
    try {
        if (regular || pushAnyway)
            BufferReady(buffer);
        bool stopPending = false;
        {
            std::lock_guard lock(mutex_);
            stopPending = stopPending_ || stopping_;
        }
        if (regular && !stopPending)
            addBuffer(buffer);
    } catch (...) {
        finishHandling();
        if (OnError)
            OnError(this);
        throw;
    }
    finishHandling();
}

void TMMCustomWaveIn::countOffLocked() {
    if (queued_ > 0)
        --queued_;
    if (queued_ == 0)
        discarding_ = false;
}

// The last handler to end posts a stop asked for meanwhile, which then completes on the main
// thread.
void TMMCustomWaveIn::finishHandling() {
    bool postStop = false;
    {
        std::lock_guard lock(mutex_);
        --handlers_;
        if (handlers_ == 0 && stopPending_ && !stopPosted_) {
            stopPosted_ = true;
            stopping_ = true;
            postStop = true;
        }
    }
    if (postStop)
        window_->Post(WaveInStopMessage);
}

void TMMCustomWaveIn::BufferReady(PWaveHdr lpWaveHdr) {
    bool limitReached = false;
    {
        std::lock_guard lock(mutex_);
        bytesRecorded_ += lpWaveHdr->wh.dwBytesRecorded;
        if (maxRecordTime_ > 0 && bytesRecorded_ >= recordLimit_) {
            const std::int64_t excess = bytesRecorded_ - recordLimit_;
            lpWaveHdr->wh.dwBytesRecorded -= static_cast<std::uint32_t>(
                std::min<std::int64_t>(excess, lpWaveHdr->wh.dwBytesRecorded));
            bytesRecorded_ = recordLimit_;
            limitReached = true;
        }
    }
    // Nothing beyond the limit goes down the chain, not even an emptied buffer.
    if (holdsData(lpWaveHdr) || !limitReached)
        TMMCustomSoundComponent::BufferReady(lpWaveHdr);
    bool stopping = false;
    {
        std::lock_guard lock(mutex_);
        stopping = stopping_;
    }
    if (limitReached && !stopping)
        Stop();
}

// ---------------------------------------------------------------------------------------------
// Open

void TMMCustomWaveIn::Open() {
    openDevice(LoadEngineString(89));
}

void TMMCustomWaveIn::openSteps() {
    checkFormatRecordable();
    createWindow();
    {
        std::lock_guard lock(mutex_);
        handle_ = 0;
        closePending_ = false;
    }
    epoch_.fetch_add(1, std::memory_order_acq_rel);
    if (callBackMode_ == cmThread)
        startWorker();
    WaveHandle handle = 0;
    call("WaveInOpen", openHandle(&handle, GetWaveFormat(), 0));
    {
        std::lock_guard lock(mutex_);
        handle_ = handle;
    }
    TMMCustomSoundComponent::NotifyOpened();
    if (!pollUntil([this] { return IsDeviceOpen(); }, notificationTries, notificationStepMs, false))
        Error("WaveInOpen:\n\r" + LoadEngineString(162));
    allocateBuffers();
    for (PWaveHdr buffer : buffers_)
        call("WaveInPrepareHeader", functions_.prepareHeader(handle, buffer));
    if (OnOpen)
        OnOpen(this);
}

// The query decides; for the common PCM formats the capabilities must list the format too.
void TMMCustomWaveIn::checkFormatRecordable() {
    const TWaveFormatEx* format = GetWaveFormat();
    const std::string refused = "WaveInOpen:\n\r" + LoadEngineString(87);
    if (functions_.open(nullptr, deviceId_, format, nullptr, nullptr, WAVE_FORMAT_QUERY) !=
        MMSYSERR_NOERROR)
        Error(refused);
    if (format->wFormatTag != WAVE_FORMAT_PCM)
        return;
    WaveDeviceCaps caps;
    if (functions_.getDevCaps(deviceId_, caps) != MMSYSERR_NOERROR)
        Error(refused);
    const std::uint32_t bit = standardFormatBit(*format);
    if (bit != 0 && (caps.formats & bit) == 0)
        Error(refused);
}

void TMMCustomWaveIn::allocateBuffers() {
    buffers_.resize(static_cast<std::size_t>(numBuffers_), nullptr);
    for (PWaveHdr& buffer : buffers_)
        if (buffer == nullptr)
            buffer = allocateBuffer();
}

void TMMCustomWaveIn::releaseClosedBuffers() {
    for (PWaveHdr& buffer : buffers_)
        allocator_.Release(buffer);
    buffers_.clear();
}

// ---------------------------------------------------------------------------------------------
// Start, pause, restart

void TMMCustomWaveIn::Start() {
    if (!IsDeviceOpen())
        Open();
    {
        std::lock_guard lock(mutex_);
        if (!open_ || started_)
            return;
        bytesRecorded_ = 0;
        handlers_ = 0;
        queued_ = 0;
        stopPending_ = false;
        stopping_ = false;
        discarding_ = false;
        stopPosted_ = false;
    }
    epoch_.fetch_add(1, std::memory_order_acq_rel);
    closeOnFailure([this] { startSteps(); });
}

void TMMCustomWaveIn::startSteps() {
    recomputeRecordLimit();
    for (PWaveHdr buffer : buffers_)
        addBuffer(buffer);
    bool paused = false;
    WaveHandle handle = 0;
    {
        std::lock_guard lock(mutex_);
        started_ = true;
        paused = paused_;
        handle = handle_;
    }
    if (!paused)
        call("WaveInStart", functions_.start(handle));
    TMMCustomSoundComponent::NotifyStarted();
    if (OnStart)
        OnStart(this);
}

// Counted before it is handed over: it may come back before the call returns.
void TMMCustomWaveIn::addBuffer(PWaveHdr buffer) {
    WaveHandle handle = 0;
    {
        std::lock_guard lock(mutex_);
        ++queued_;
        handle = handle_;
    }
    buffer->wh.dwFlags = (buffer->wh.dwFlags & ~WHDR_DONE) | WHDR_PREPARED;
    if (const MMResult result = functions_.addBuffer(handle, buffer); result != MMSYSERR_NOERROR) {
        {
            std::lock_guard lock(mutex_);
            --queued_;
        }
        deviceError("WaveInAddBuffer", result);
    }
}

void TMMCustomWaveIn::Pause() {
    if (!IsDeviceOpen())
        Open();
    bool started = false;
    WaveHandle handle = 0;
    {
        std::lock_guard lock(mutex_);
        if (!open_ || paused_)
            return;
        started = started_;
        handle = handle_;
    }
    closeOnFailure([&] {
        if (started)
            call("WaveInPause", functions_.stop(handle));
        {
            std::lock_guard lock(mutex_);
            paused_ = true;
        }
        TMMCustomSoundComponent::NotifyPaused();
        if (OnPause)
            OnPause(this);
    });
}

void TMMCustomWaveIn::Restart() {
    WaveHandle handle = 0;
    {
        std::lock_guard lock(mutex_);
        if (!started_ || !paused_)
            return;
        handle = handle_;
    }
    closeOnFailure([&] {
        call("WaveInRestart", functions_.start(handle));
        {
            std::lock_guard lock(mutex_);
            paused_ = false;
        }
        TMMCustomSoundComponent::NotifyRestarted();
        if (OnRestart)
            OnRestart(this);
    });
}

// ---------------------------------------------------------------------------------------------
// Stop and close

void TMMCustomWaveIn::stopSteps() {
    bool handlerRunning = false;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        call("WaveInStop", functions_.stop(handle_));
        discarding_ = true;
        call("WaveInReset", functions_.reset(handle_));
        handlerRunning = handlers_ > 0;
    }
    if (handlerRunning && !onHandlerThread(callBackMode_, worker_.get())) {
        // A handler on the worker ends soon: the stop completes here and now.
        waitForRunningHandlers();
        std::lock_guard lock(mutex_);
        handlerRunning = handlers_ > 0;
    }
    if (!handlerRunning)
        pollUntil([this] { return GetQueuedBuffers() == 0; }, notificationTries, notificationStepMs,
                  callBackMode_ == cmWindow);
    stoppedHandler();
}

void TMMCustomWaveIn::stoppedHandler() {
    bool closeAfterwards = false;
    {
        std::lock_guard lock(mutex_);
        if (!endRunLocked())
            return;
        stopPending_ = false;
        queued_ = 0;
        closeAfterwards = closePending_;
    }
    TMMCustomSoundComponent::NotifyStopped();
    if (OnStop && !IsDestroying())
        OnStop(this);
    if (closeAfterwards)
        Close();
}

void TMMCustomWaveIn::closeSteps(bool& notified) {
    WaveHandle handle = 0;
    {
        std::lock_guard lock(mutex_);
        handle = handle_;
    }
    if (handle != 0) {
        functions_.stop(handle);
        functions_.reset(handle);
        for (PWaveHdr buffer : buffers_) {
            waitForBufferBack(buffer);
            call("WaveInUnprepareHeader", functions_.unprepareHeader(handle, buffer));
        }
        call("WaveInClose", functions_.close(handle));
        notified = pollUntil([this] { return !IsDeviceOpen(); }, notificationTries,
                             notificationStepMs, false);
    }
}

// ---------------------------------------------------------------------------------------------

TMMWaveIn::TMMWaveIn() : TMMCustomWaveIn(waveInFunctions()) {}

std::string waveInDeviceName(TMMDeviceId device) {
    return waveDeviceName(waveInFunctions(), device);
}

} // namespace vantrel
