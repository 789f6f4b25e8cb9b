// The trigger: a device without a sound card that drives its chain segment from a worker thread.
// It pulls a buffer from its Input, pushes it to its Output, pauses Interval milliseconds and
// repeats until the source reports its end or the trigger is stopped. It lets a queue or a file
// feed components that only take pushed buffers, as fast as they can work.
#pragma once

#include "MMDSPObj.h"
#include "MMObj.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vantrel {

class EMMTriggerError : public EMMError {
public:
    using EMMError::EMMError;
};

// May set Handled to swallow an error raised while a buffer was handled.
using TMMErrorEvent = std::function<void(TMMDSPComponent* sender, bool& Handled)>;

// The message the trigger's message window answers with Stop.
inline constexpr std::uint32_t TriggerStopMessage = 32769;

class TMMTrigger : public TMMCustomSoundComponent {
public:
    TMMTrigger();
    // Closes the trigger and ends its worker.
    ~TMMTrigger() override;

    // --- Properties (main thread) ---------------------------------------------------------
    // Bytes per buffer, at least 32. Raises EMMTriggerError (message 60) while open.
    void SetBufferSize(std::int32_t bytes) override;
    // Pause between two buffers in milliseconds, at least 0; the worker waits 1 ms at least.
    std::int32_t GetInterval() const { return interval_.load(std::memory_order_acquire); }
    void SetInterval(std::int32_t ms);
    // Stored only; the trigger works the same in every unit.
    TMMTimeFormats GetTimeFormat() const { return timeFormat_; }
    void SetTimeFormat(TMMTimeFormats format) { timeFormat_ = format; }
    // Push each buffer on the main thread (the worker waits meanwhile).
    bool GetSynchronize() const { return synchronize_.load(std::memory_order_acquire); }
    void SetSynchronize(bool value) { synchronize_.store(value, std::memory_order_release); }
    // Closes the trigger first.
    void SetWaveFormat(const TWaveFormatEx* format) override;

    // --- Events ---------------------------------------------------------------------------
    // OnError fires before every error is raised, on the thread that raises it. OnErrorEx
    // follows it for errors while a buffer is handled and may swallow them.
    TMMComponentEvent OnError;
    TMMErrorEvent OnErrorEx;
    // Main thread.
    TMMComponentEvent OnOpen, OnStart, OnPause, OnRestart, OnStop, OnClose;
    // A buffer has been pulled and holds data (worker thread; the first one in Start).
    TMMBufferEvent OnBufferFilled;

    // --- Device operations (main thread) --------------------------------------------------
    // Each one that fails fires OnError, closes the trigger and raises EMMTriggerError.
    void Open();
    // Stops first. While a buffer is being handled (also when asked for from inside the chain)
    // the close completes on the main thread once the handling has ended. Failures inside are
    // swallowed.
    void Close();
    // Pulls the first buffer and sets the worker going. A source that delivers nothing makes
    // it fail with "TriggerStart:" and message 80.
    void Start();
    void Pause();
    void Restart();
    // While a buffer is being handled (also when asked for from inside the chain, on any
    // thread) the stop completes later on the main thread; OnStop fires once it has.
    void Stop();

    // --- Chain ----------------------------------------------------------------------------
    // The segment's notifications run the device operations.
    void NotifyOpened() override;
    void NotifyClosed() override;
    void NotifyStarted() override;
    void NotifyPaused() override;
    void NotifyRestarted() override;
    void NotifyStopped() override;
    // Pulls one buffer of RealBufferSize bytes from the Input; dwBufferLength ends up as the
    // bytes delivered.
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;
    // Pushed buffers are ignored: the trigger is the one that pushes.
    void BufferReady(PWaveHdr lpWaveHdr) override;

    // A trigger has no sound card: these device properties have no effect.
    void SetNumBuffers(std::int32_t) override {}
    std::int32_t GetNumBuffers() const override { return 1; }
    void SetDeviceID(TMMDeviceId) override {}
    TMMDeviceId GetDeviceID() const override { return InvalidId; }
    void SetProductName(const std::string&) override {}
    std::string GetProductName() const override { return {}; }
    void SetCallBackMode(TMMCBMode) override {}
    TMMCBMode GetCallBackMode() const override { return cmThread; }

private:
    class TMMTriggerThread;

    [[noreturn]] void Error(const std::string& text);
    void fire(const TMMComponentEvent& event);
    void fireBufferFilled();
    void windowProc(std::uint32_t message);
    bool isOpen() const;
    bool isStopping() const;
    bool isStopPending() const;

    void openSteps();
    void startSteps();
    void closeSteps();
    void allocateBuffer();
    void startWorker();
    void stopWorker();
    void resumeWorker();

    // Worker side
    void handleBuffer();
    void runStep(const std::function<void()>& step);
    void pullNext();
    void countHandlingOff(bool mayPostStop);
    bool pull();
    void push();

    // Device state; changed on the main thread, read by the worker under the lock.
    mutable TMMCriticalSection mutex_;
    bool open_ = false;
    bool started_ = false;
    bool paused_ = false;
    int handlings_ = 0; // buffer handlings running
    bool stopPending_ = false;
    bool closePending_ = false;
    bool closing_ = false;
    bool stopping_ = false;
    std::atomic<bool> moreBuffers_{false};
    std::atomic<bool> workerFailed_{false};

    std::atomic<std::int32_t> interval_{0};
    TMMTimeFormats timeFormat_ = tfByte;
    std::atomic<bool> synchronize_{false};

    PWaveHdr buffer_ = nullptr; // the one buffer the trigger circulates
    TMMAllocator allocator_;
    std::unique_ptr<TMMTriggerThread> worker_;
    TMMEvent startedEnded_;
    TMMEvent run_;
    TMMEvent stop_; // cuts the pause between buffers short
    std::unique_ptr<MessageWindow> window_;
};

} // namespace vantrel
