// The state, properties and life-cycle steps the wave input and output devices share. The input
// derives from TMMCustomSoundComponent and the output from TMMCustomWaveOutComponent, so the
// shared part is a template over that base; `Traits` tells the device family apart (its function
// table, exception class, message numbers and names).
#pragma once

#include "Application.h"
#include "MMDSPObj.h"
#include "MMObj.h"
#include "MMUtils.h"
#include "WaveDeviceThread.h"
#include "WaveDevices.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel {

// No member here is marked `override`: whether one overrides depends on the base.
template <class Base, class Traits> class TMMWaveDevice : public Base {
public:
    using Functions = typename Traits::Functions;

    // --- Properties (main thread). Those marked "closed only" raise the device's error with
    // message 60 while the device is open. ----------------------------------------------------
    // Bytes per buffer, at least 32; closed only.
    void SetBufferSize(std::int32_t bytes) {
        if (bytes == this->GetBufferSize())
            return;
        checkClosed();
        allocator_.FreeAll();
        Base::SetBufferSize(std::max(bytes, minBufferSize));
    }
    // 2 to Traits::maxBuffers buffers; smaller values are ignored. Closed only.
    void SetNumBuffers(std::int32_t count) {
        if (count == numBuffers_ || count <= 1)
            return;
        checkClosed();
        numBuffers_ = std::min(count, Traits::maxBuffers);
    }
    std::int32_t GetNumBuffers() const { return numBuffers_; }
    // A device number, or MapperId; out-of-range numbers become InvalidId. Closed only.
    void SetDeviceID(TMMDeviceId id) {
        checkClosed();
        productName_ = LoadEngineString(Traits::productNameMessage);
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
    TMMDeviceId GetDeviceID() const { return deviceId_; }
    // The selected device's name; writing it does nothing.
    void SetProductName(const std::string&) {}
    std::string GetProductName() const { return productName_; }
    std::uint32_t GetDriverVersion() const { return driverVersion_; }
    // cmCallback is refused on this platform with a message box. Closed only.
    void SetCallBackMode(TMMCBMode mode) {
        checkClosed();
        if (mode == cmCallback && !callbackModeAllowed(Traits::caption))
            return;
        callBackMode_ = mode;
    }
    TMMCBMode GetCallBackMode() const { return callBackMode_; }
    // Priority of the worker thread in cmThread mode; applied at once to a running worker.
    void SetPriority(TThreadPriority priority) {
        priority_ = priority;
        if (worker_ != nullptr)
            worker_->SetPriority(priority);
    }
    TThreadPriority GetPriority() const { return priority_; }

    // --- State ----------------------------------------------------------------------------
    bool IsDeviceOpen() const {
        std::lock_guard lock(mutex_);
        return open_;
    }
    bool IsDeviceStarted() const {
        std::lock_guard lock(mutex_);
        return started_;
    }
    // Buffers handed to the device and not yet back (never below 0).
    std::int32_t GetQueuedBuffers() const {
        std::lock_guard lock(mutex_);
        return queued_;
    }

    // --- Events. OnError fires on the thread that raises; the others on the main thread. ---
    TMMComponentEvent OnError, OnOpen, OnStart, OnPause, OnRestart, OnStop, OnClose;

    // --- Device operations (main thread) --------------------------------------------------
    virtual void Open() = 0;
    virtual void Start() = 0;
    virtual void Pause() = 0;
    virtual void Restart() = 0;
    // Stops first; failures inside are swallowed, apart from a device that never reports its
    // close. While a buffer is being handled the close completes once the stop has.
    virtual void Close() {
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
            closedSteps();
        } catch (...) {
            std::lock_guard lock(mutex_);
            closing_ = false;
            return;
        }
        if (!notified)
            Error(std::string(Traits::name) + "Close:\n\r" + LoadEngineString(163));
    }
    // Asked for while a buffer is being handled (from OnBufferReady, say), the stop completes
    // on the main thread once the handling has ended; OnStop fires once it has.
    virtual void Stop() {
        {
            std::lock_guard lock(mutex_);
            if (!started_ && !paused_)
                return;
        }
        closeOnFailure([this] { stopSteps(); });
    }

    // --- Chain ----------------------------------------------------------------------------
    // The segment's notifications run the device operations.
    void NotifyOpened() { Open(); }
    void NotifyClosed() { Close(); }
    void NotifyStarted() { Start(); }
    void NotifyPaused() { Pause(); }
    void NotifyRestarted() { Restart(); }
    void NotifyStopped() { Stop(); }

protected:
    // `functions` is the device family's table; it must outlive the component.
    explicit TMMWaveDevice(const Functions& functions) : functions_(functions) {
        deviceCount_ = functions_.getNumDevs();
    }

    // The destructor's sequence; the derived class runs it while its own steps still exist.
    void closeForGood() {
        this->markDestroying();
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

    [[noreturn]] void Error(const std::string& text) {
        if (OnError)
            OnError(this);
        throw typename Traits::Exception(text);
    }
    [[noreturn]] void deviceError(const std::string& callName, MMResult code) {
        Error(waveCallErrorText(functions_, callName, code));
    }
    void call(const std::string& callName, MMResult code) {
        if (code != MMSYSERR_NOERROR)
            deviceError(callName, code);
    }
    void checkClosed() {
        if (IsDeviceOpen())
            Error(LoadEngineString(60));
    }
    // Runs `operation`; when it fails, fires OnError, closes the device and raises again.
    template <typename Operation> void closeOnFailure(Operation&& operation) {
        try {
            operation();
        } catch (...) {
            if (OnError)
                OnError(this);
            Close();
            throw;
        }
    }

    // The checks and the failure handling of an open; `noFormatText` is raised when there is
    // no wave format. The work itself is openSteps'.
    void openDevice(const std::string& noFormatText) {
        if (deviceCount_ == 0)
            Error(LoadEngineString(Traits::productNameMessage));
        if (deviceId_ == InvalidId)
            Error(LoadEngineString(61));
        if (this->GetWaveFormat() == nullptr)
            Error(noFormatText);
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
    // Opens the device with this component's callback; the handle comes back in `handle`.
    MMResult openHandle(WaveHandle* handle, const TWaveFormatEx* format, std::uint32_t flags) {
        return functions_.open(handle, deviceId_, format, &deviceCallback, this, flags);
    }

    void createWindow() {
        if (window_ == nullptr)
            window_ = std::make_unique<MessageWindow>(
                [this](std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
                    windowProc(message, wParam, lParam);
                });
    }
    void startWorker() {
        worker_ = std::make_unique<WaveDeviceThread>(
            this, static_cast<std::size_t>(numBuffers_),
            [this](const WaveDoneMessage& message) { handleDone(message); },
            [this](std::exception_ptr error) { workerFailed(error); });
        if (!worker_->start(priority_))
            Error(std::string(Traits::name) + ":\n\r" + LoadEngineString(88));
    }
    void stopWorker() {
        if (worker_ != nullptr)
            worker_->stop();
    }
    // Waits until no done handler runs; for a caller that is not on the handlers' thread.
    void waitForRunningHandlers() {
        waitForHandlers([this] {
            std::lock_guard lock(mutex_);
            return handlers_ > 0;
        });
    }
    // A zeroed buffer of RealBufferSize bytes from the allocator.
    PWaveHdr allocateBuffer() {
        const auto bytes = static_cast<std::uint32_t>(this->GetRealBufferSize());
        void* block = allocator_.Alloc(TMMAllocFlags::ZeroInit, bufferBlockSize(bytes));
        if (block == nullptr)
            Error(LoadEngineString(64));
        return placeBuffer(block, bytes);
    }
    // Under `mutex_`: ends the run unless a stop run meanwhile has already ended it (false) or a
    // handler still runs (false; the last handler posts the stop when it ends).
    bool endRunLocked() {
        if (!started_ && !paused_)
            return false;
        if (handlers_ > 0) {
            stopPending_ = true;
            return false;
        }
        started_ = false;
        paused_ = false;
        return true;
    }
    WaveHandle handle() const {
        std::lock_guard lock(mutex_);
        return handle_;
    }

    // The device's own steps.
    virtual void openSteps() = 0;
    virtual void stopSteps() = 0;
    // Closes the device's handle; `notified` tells whether the layer reported the close.
    virtual void closeSteps(bool& notified) = 0;
    // Between the handle's end and the end of the close.
    virtual void releaseClosedBuffers() {}
    // A buffer the layer has handed back, on the layer's thread.
    virtual void bufferDone(PWaveHdr buffer) = 0;
    // A returned buffer, on the thread of the callback mode.
    virtual void handleDone(const WaveDoneMessage& message) = 0;

    const Functions& functions_;
    std::unique_ptr<MessageWindow> window_;
    std::unique_ptr<WaveDeviceThread> worker_;
    TMMAllocator allocator_;
    std::vector<PWaveHdr> buffers_;

    // Properties
    TMMDeviceId deviceId_ = 0;
    std::string productName_;
    std::uint32_t driverVersion_ = 0;
    std::uint32_t deviceCount_ = 0; // read once, when the component is created
    TMMCBMode callBackMode_ = cmWindow;
    std::int32_t numBuffers_ = 10;
    TThreadPriority priority_ = tpHigher;

    // Device state, shared with the layer's thread and the worker: guarded by `mutex_`.
    mutable TMMCriticalSection mutex_;
    WaveHandle handle_ = 0;
    bool open_ = false; // between the device's open and close notifications
    bool started_ = false;
    bool paused_ = false;
    int handlers_ = 0; // done handlers running
    std::int32_t queued_ = 0;
    bool stopPending_ = false;
    bool closePending_ = false;
    bool stopping_ = false;
    bool closing_ = false;
    bool discarding_ = false;
    bool stopPosted_ = false;
    std::atomic<std::uint64_t> epoch_{0}; // a new run of the device at each open and start

private:
    static constexpr std::int32_t minBufferSize = 32;

    // What follows the handle's close: the segment closes, the worker ends, the handle goes.
    void closedSteps() {
        {
            std::lock_guard lock(mutex_);
            open_ = false;
        }
        epoch_.fetch_add(1, std::memory_order_acq_rel);
        Base::NotifyClosed();
        stopWorker();
        worker_.reset();
        {
            std::lock_guard lock(mutex_);
            handle_ = 0;
        }
        releaseClosedBuffers();
        {
            std::lock_guard lock(mutex_);
            closing_ = false;
        }
        if (OnClose && !this->IsDestroying())
            OnClose(this);
    }

    static void deviceCallback(WaveHandle, WaveMessage message, void* user,
                               PWaveHdr buffer) noexcept {
        auto* self = static_cast<TMMWaveDevice*>(user);
        if (message == WaveMessage::Done) {
            self->bufferDone(buffer);
            return;
        }
        std::lock_guard lock(self->mutex_);
        self->open_ = message == WaveMessage::Opened;
    }

    void windowProc(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
        if (message == Traits::doneMessage) {
            try {
                handleDone(
                    {reinterpret_cast<PWaveHdr>(wParam), static_cast<std::uint64_t>(lParam)});
            } catch (...) {
                Close();
                throw;
            }
        } else if (message == Traits::stopMessage) {
            {
                std::lock_guard lock(mutex_);
                stopPosted_ = false;
            }
            Stop();
        } else if (message == Traits::closeAfterFailureMessage) {
            Close();
        }
    }

    // The device closes on the main thread.
    void workerFailed(std::exception_ptr error) {
        window_->Post(Traits::closeAfterFailureMessage);
        ApplicationHandleException(error);
    }
};

} // namespace vantrel
