#include "MMWavIn.h"

#include "Application.h"

#include <algorithm>
#include <limits>

namespace vantrel {

namespace {

constexpr std::int32_t minBufferSize = 32;
constexpr std::int32_t maxChannels = 8;
constexpr std::int32_t minSampleRate = 8000;
constexpr std::int32_t maxSampleRate = 100000;
constexpr std::int64_t noRecordLimit = std::numeric_limits<std::int32_t>::max();
// Posted by a worker whose done handler failed: the device closes on the main thread.
constexpr std::uint32_t closeAfterFailureMessage = WaveInStopMessage + 1;
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

TMMCustomWaveIn::TMMCustomWaveIn(const WaveInFunctions& functions) : functions_(functions) {
    publishLinks(false, true);
    deviceCount_ = functions_.getNumDevs();
    recordLimit_ = noRecordLimit;
    SetDeviceID(0);
    rebuildFormat();
}

TMMCustomWaveIn::~TMMCustomWaveIn() {
    markDestroying();
    Close();
    if (IsDeviceOpen()) {
        // A buffer was being handled on the worker: let it finish, then close for good.
        stopWorker();
        {
            std::lock_guard lock(mutex_);
            handlers_ = 0;
            stopPending_ = false;
        }
        Stop();
        Close();
    }
    window_.reset();
}

void TMMCustomWaveIn::checkClosed() {
    if (IsDeviceOpen())
        Error(LoadEngineString(60));
}

void TMMCustomWaveIn::SetBufferSize(std::int32_t bytes) {
    if (bytes == GetBufferSize())
        return;
    checkClosed();
    allocator_.FreeAll();
    TMMCustomSoundComponent::SetBufferSize(std::max(bytes, minBufferSize));
}

void TMMCustomWaveIn::SetNumBuffers(std::int32_t count) {
    if (count == numBuffers_ || count <= 1)
        return;
    checkClosed();
    numBuffers_ = std::min(count, MaxWaveInBuffers);
}

void TMMCustomWaveIn::SetDeviceID(TMMDeviceId id) {
    checkClosed();
    productName_ = LoadEngineString(160);
    driverVersion_ = 0;
    const auto count = static_cast<TMMDeviceId>(deviceCount_);
    if (id < MapperId || id >= count) {
        deviceId_ = InvalidId;
        return;
    }
    if (WaveDeviceCaps caps; functions_.getDevCaps(id, caps) == MMSYSERR_NOERROR) {
        productName_ = caps.productName;
        driverVersion_ = caps.driverVersion;
    }
    deviceId_ = id;
}

void TMMCustomWaveIn::SetCallBackMode(TMMCBMode mode) {
    checkClosed();
    if (mode == cmCallback && !callbackModeAllowed("TMMWaveIn"))
        return;
    callBackMode_ = mode;
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

void TMMCustomWaveIn::SetPriority(TThreadPriority priority) {
    priority_ = priority;
    if (worker_ != nullptr)
        worker_->SetPriority(priority);
}

bool TMMCustomWaveIn::IsDeviceOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

bool TMMCustomWaveIn::IsDeviceStarted() const {
    std::lock_guard lock(mutex_);
    return started_;
}

std::int32_t TMMCustomWaveIn::GetQueuedBuffers() const {
    std::lock_guard lock(mutex_);
    return queued_;
}

std::int64_t TMMCustomWaveIn::GetBytesRecorded() const {
    std::lock_guard lock(mutex_);
    return bytesRecorded_;
}

// ---------------------------------------------------------------------------------------------
// Errors

void TMMCustomWaveIn::Error(const std::string& text) {
    if (OnError)
        OnError(this);
    throw EMMWaveInError(text);
}

void TMMCustomWaveIn::deviceError(const std::string& callName, MMResult code) {
    Error(waveCallErrorText(functions_, callName, code));
}

void TMMCustomWaveIn::call(const std::string& callName, MMResult code) {
    if (code != MMSYSERR_NOERROR)
        deviceError(callName, code);
}

template <typename Operation> void TMMCustomWaveIn::closeOnFailure(Operation&& operation) {
    try {
        operation();
    } catch (...) {
        if (OnError)
            OnError(this);
        Close();
        throw;
    }
}

// ---------------------------------------------------------------------------------------------
// Notifications from the layer and the done handler

void TMMCustomWaveIn::deviceCallback(WaveHandle, WaveMessage message, void* user,
                                     PWaveHdr buffer) noexcept {
    auto* self = static_cast<TMMCustomWaveIn*>(user);
    if (message == WaveMessage::Done) {
        self->dispatchDone(buffer);
        return;
    }
    std::lock_guard lock(self->mutex_);
    self->open_ = message == WaveMessage::Opened;
}

void TMMCustomWaveIn::dispatchDone(PWaveHdr buffer) {
    const WaveDoneMessage message{buffer, epoch_.load(std::memory_order_acquire)};
    if (callBackMode_ == cmThread)
        worker_->post(message);
    else
        window_->Post(WaveInDataMessage, reinterpret_cast<std::uintptr_t>(buffer),
                      static_cast<std::intptr_t>(message.epoch));
}

void TMMCustomWaveIn::windowProc(std::uint32_t message, std::uintptr_t wParam,
                                 std::intptr_t lParam) {
    if (message == WaveInDataMessage) {
        try {
            handleDone({reinterpret_cast<PWaveHdr>(wParam), static_cast<std::uint64_t>(lParam)});
        } catch (...) {
            Close();
            throw;
        }
    } else if (message == WaveInStopMessage) {
        {
            std::lock_guard lock(mutex_);
            stopPosted_ = false;
        }
        Stop();
    } else if (message == closeAfterFailureMessage) {
        Close();
    }
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

void TMMCustomWaveIn::workerFailed(std::exception_ptr error) {
    window_->Post(closeAfterFailureMessage);
    ApplicationHandleException(error);
}

// ---------------------------------------------------------------------------------------------
// Open

void TMMCustomWaveIn::Open() {
    if (deviceCount_ == 0)
        Error(LoadEngineString(160));
    if (deviceId_ == InvalidId)
        Error(LoadEngineString(61));
    if (GetWaveFormat() == nullptr)
        Error(LoadEngineString(89));
    if (IsDeviceOpen())
        Close();
    {
        std::lock_guard lock(mutex_);
        if (open_ || closing_)
            return; // a close still waits for a stop that is pending
        discarding_ = false;
        stopping_ = false;
        stopPosted_ = false;
    }
    try {
        openSteps();
    } catch (...) {
        if (OnError)
            OnError(this);
        {
            std::lock_guard lock(mutex_);
            open_ = true; // so that Close undoes what the failed open did
        }
        Close();
        {
            std::lock_guard lock(mutex_);
            open_ = false;
        }
        throw;
    }
}

void TMMCustomWaveIn::openSteps() {
    checkFormatRecordable();
    if (window_ == nullptr)
        window_ = std::make_unique<MessageWindow>(
            [this](std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
                windowProc(message, wParam, lParam);
            });
    {
        std::lock_guard lock(mutex_);
        handle_ = 0;
        closePending_ = false;
    }
    epoch_.fetch_add(1, std::memory_order_acq_rel);
    if (callBackMode_ == cmThread)
        startWorker();
    WaveHandle handle = 0;
    call("WaveInOpen",
         functions_.open(&handle, deviceId_, GetWaveFormat(), &deviceCallback, this, 0));
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

void TMMCustomWaveIn::startWorker() {
    worker_ = std::make_unique<WaveDeviceThread>(
        this, static_cast<std::size_t>(numBuffers_),
        [this](const WaveDoneMessage& message) { handleDone(message); },
        [this](std::exception_ptr error) { workerFailed(error); });
    if (!worker_->start(priority_))
        Error("WaveIn:\n\r" + LoadEngineString(88));
}

void TMMCustomWaveIn::stopWorker() {
    if (worker_ != nullptr)
        worker_->stop();
}

void TMMCustomWaveIn::allocateBuffers() {
    buffers_.resize(static_cast<std::size_t>(numBuffers_), nullptr);
    const auto bytes = static_cast<std::uint32_t>(GetRealBufferSize());
    for (PWaveHdr& buffer : buffers_) {
        if (buffer != nullptr)
            continue;
        void* block = allocator_.Alloc(TMMAllocFlags::ZeroInit, bufferBlockSize(bytes));
        if (block == nullptr)
            Error(LoadEngineString(64));
        buffer = placeBuffer(block, bytes);
    }
}

void TMMCustomWaveIn::releaseBuffers() {
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

void TMMCustomWaveIn::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (!started_ && !paused_)
            return;
    }
    closeOnFailure([this] { stopSteps(); });
}

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
        waitForHandlers([this] {
            std::lock_guard lock(mutex_);
            return handlers_ > 0;
        });
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
        if (!started_ && !paused_)
            return; // a stop run meanwhile has finished the job
        if (handlers_ > 0) {
            stopPending_ = true; // the last handler posts the stop when it ends
            return;
        }
        started_ = false;
        paused_ = false;
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

void TMMCustomWaveIn::Close() {
    {
        std::lock_guard lock(mutex_);
        if (!open_ || (closing_ && !closePending_))
            return;
        closing_ = true;
    }
    bool notified = true;
    try {
        bool running = false;
        {
            std::lock_guard lock(mutex_);
            running = started_ || paused_;
        }
        if (running)
            Stop();
        {
            std::lock_guard lock(mutex_);
            if (stopPending_) {
                closePending_ = true; // the stop closes once the handling has ended
                return;
            }
            closePending_ = false;
        }
        closeSteps(notified);
    } catch (...) {
        std::lock_guard lock(mutex_);
        closing_ = false;
        return;
    }
    if (!notified)
        Error("WaveInClose:\n\r" + LoadEngineString(163));
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
    {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    epoch_.fetch_add(1, std::memory_order_acq_rel);
    TMMCustomSoundComponent::NotifyClosed();
    stopWorker();
    worker_.reset();
    {
        std::lock_guard lock(mutex_);
        handle_ = 0;
    }
    releaseBuffers();
    {
        std::lock_guard lock(mutex_);
        closing_ = false;
    }
    if (OnClose && !IsDestroying())
        OnClose(this);
}

// ---------------------------------------------------------------------------------------------

TMMWaveIn::TMMWaveIn() : TMMCustomWaveIn(waveInFunctions()) {}

std::string waveInDeviceName(TMMDeviceId device) {
    return waveDeviceName(waveInFunctions(), device);
}

} // namespace vantrel
