// The wave output device: plays PCM audio on a sound-card output. It pulls every buffer it plays
// from its Input, keeps NumBuffers buffers queued at the device, and after a buffer has played
// pushes it to its Output, so that displays downstream show what has just been heard. Opening,
// starting, pausing, restarting, stopping, resetting or closing it does the same to its segment;
// a device upstream drives it through the segment's notifications.
#pragma once

#include "MMDSPObj.h"
#include "MMObj.h"
#include "WaveDeviceThread.h"
#include "WaveDevices.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vantrel {

class EMMWaveOutError : public EMMError {
public:
    using EMMError::EMMError;
};

// The message the output's message window answers with Stop (the source ran dry, or a stop was
// asked for while a played buffer was being handled).
inline constexpr std::uint32_t WaveOutStopMessage = 32769;
// The message that carries a played buffer to the main thread in cmWindow mode.
inline constexpr std::uint32_t WaveOutDoneMessage = 957;

inline constexpr std::int32_t MaxWaveOutBuffers = 500;

class TMMCustomWaveOut : public TMMCustomWaveOutComponent {
public:
    // Closes the device and waits until the layer has let go of it.
    ~TMMCustomWaveOut() override;

    // --- Properties (main thread). Those marked "closed only" raise EMMWaveOutError with
    // message 60 while the device is open. ----------------------------------------------------
    // Bytes per buffer, at least 32; closed only.
    void SetBufferSize(std::int32_t bytes) override;
    // 2 to 500 buffers; smaller values are ignored. Closed only.
    void SetNumBuffers(std::int32_t count) override;
    std::int32_t GetNumBuffers() const override { return numBuffers_; }
    // A device number, or MapperId; out-of-range numbers become InvalidId. Closed only.
    void SetDeviceID(TMMDeviceId id) override;
    TMMDeviceId GetDeviceID() const override { return deviceId_; }
    void SetProductName(const std::string&) override {}
    std::string GetProductName() const override { return productName_; }
    std::uint32_t GetDriverVersion() const { return driverVersion_; }
    // cmCallback is refused on this platform with a message box. Closed only.
    void SetCallBackMode(TMMCBMode mode) override;
    TMMCBMode GetCallBackMode() const override { return callBackMode_; }
    // The unit of GetPosition.
    void SetTimeFormat(TMMTimeFormats format) { timeFormat_ = format; }
    TMMTimeFormats GetTimeFormat() const { return timeFormat_; }
    // Ask the source to loop LoopCount times (0: endlessly).
    void SetLooping(bool looping);
    bool GetLooping() const { return looping_; }
    void SetLoopCount(std::uint16_t count);
    std::uint16_t GetLoopCount() const { return loopCount_; }
    // Stored for the program's settings; this platform shows no busy cursor while priming.
    void SetShowHourGlass(bool show) { showHourGlass_ = show; }
    bool GetShowHourGlass() const { return showHourGlass_; }
    // Open a numbered device through the mapper.
    void SetMapped(bool mapped) { mapped_ = mapped; }
    bool GetMapped() const { return mapped_; }
    // Priority of the worker thread in cmThread mode; applied at once to a running worker.
    void SetPriority(TThreadPriority priority);
    TThreadPriority GetPriority() const { return priority_; }
    // Closes the device first.
    void SetWaveFormat(const TWaveFormatEx* format) override;

    // --- State ----------------------------------------------------------------------------
    bool IsDeviceOpen() const;
    bool IsDeviceStarted() const;
    // Buffers written to the device and not yet back (never below 0).
    std::int32_t GetQueuedBuffers() const;
    // Bytes played since the last start.
    std::int64_t GetBytesPlayed() const;

    // --- Events. OnError fires on the thread that raises; OnBufferFilled, OnBufferReady and
    // OnBufferLoad on the thread that handles buffers; the others on the main thread. --------
    TMMComponentEvent OnError, OnOpen, OnStart, OnPause, OnRestart, OnStop, OnClose, OnLooping;
    // A buffer has been filled and is about to be written to the device.
    TMMBufferEvent OnBufferFilled;

    // --- Device operations (main thread). Each one that fails fires OnError, closes the
    // device and raises EMMWaveOutError. --------------------------------------------------
    // Position of what has been played since the start, in TimeFormat units; 0 when closed.
    std::int64_t GetPosition() override;
    void Open() override;
    // Stops first; failures inside are swallowed, apart from a device that never reports its
    // close. While a played buffer is being handled the close completes after the stop.
    void Close() override;
    // Starts the stream again from the beginning: drops what is queued, resets the segment
    // and primes the device anew.
    void Reset() override;
    // Opens when needed, primes NumBuffers buffers from the Input and starts playing. A source
    // that delivers nothing makes it fail with "WaveOutStart:" and message 80.
    void Start() override;
    void Pause() override;
    void Restart() override;
    // Asked for while a played buffer is being handled (from OnBufferReady, say), the stop
    // completes on the main thread once the handling has ended; OnStop fires once it has.
    void Stop() override;

    // --- Chain ----------------------------------------------------------------------------
    // The segment's notifications run the device operations.
    void NotifyOpened() override { Open(); }
    void NotifyClosed() override { Close(); }
    void NotifyStarted() override { Start(); }
    void NotifyPaused() override { Pause(); }
    void NotifyRestarted() override { Restart(); }
    void NotifyStopped() override { Stop(); }
    // Pulls one buffer of RealBufferSize bytes; dwBufferLength ends up as the bytes delivered.
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;
    // Pushed buffers are ignored: the device pulls what it plays.
    void BufferReady(PWaveHdr) override {}

protected:
    // `functions` is the device family's table; it must outlive the component.
    explicit TMMCustomWaveOut(const WaveOutFunctions& functions);

    [[noreturn]] void Error(const std::string& text);

private:
    static void deviceCallback(WaveHandle handle, WaveMessage message, void* user,
                               PWaveHdr buffer) noexcept;
    void bufferReturned(PWaveHdr buffer);
    void windowProc(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    void handleDone(const WaveDoneMessage& message);
    void refill(PWaveHdr buffer, std::uint64_t epoch);
    void finishHandling();
    void workerFailed(std::exception_ptr error);

    void checkClosed();
    WaveHandle handle() const;
    [[noreturn]] void deviceError(const std::string& callName, MMResult code);
    void call(const std::string& callName, MMResult code);
    template <typename Operation> void closeOnFailure(Operation&& operation);
    std::int64_t devicePosition();

    void openSteps();
    void startWorker();
    void stopWorker();
    void startSteps();
    bool prime();
    PWaveHdr bufferAt(std::size_t slot);
    std::uint32_t fill(PWaveHdr buffer, bool& sourceEnded);
    void write(PWaveHdr buffer, std::uint64_t epoch);
    void resetSteps();
    void stopSteps();
    void stoppedHandler();
    void releaseBuffers();
    void closeSteps(bool& notified);

    const WaveOutFunctions& functions_;
    std::unique_ptr<MessageWindow> window_;
    std::unique_ptr<WaveDeviceThread> worker_;
    TMMAllocator allocator_;
    std::vector<PWaveHdr> buffers_; // NumBuffers entries while started, null where none

    // Properties
    TMMDeviceId deviceId_ = 0;
    std::string productName_;
    std::uint32_t driverVersion_ = 0;
    std::uint32_t deviceCount_ = 0; // read once, when the component is created
    TMMCBMode callBackMode_ = cmWindow;
    std::int32_t numBuffers_ = 10;
    TMMTimeFormats timeFormat_ = tfByte;
    bool looping_ = false;
    std::uint16_t loopCount_ = 0;
    bool showHourGlass_ = true;
    bool mapped_ = false;
    TThreadPriority priority_ = tpHigher;

    // Device state, shared with the layer's thread and the worker: guarded by `mutex_`.
    mutable TMMCriticalSection mutex_;
    WaveHandle handle_ = 0;
    bool open_ = false; // between the device's open and close notifications
    bool started_ = false;
    bool paused_ = false;
    int handlers_ = 0; // done handlers running
    std::int32_t queued_ = 0;
    std::int32_t undelivered_ = 0; // played buffers posted to a handler that has not run yet
    bool stopPending_ = false;
    bool closePending_ = false;
    bool stopping_ = false;
    bool closing_ = false;
    bool discarding_ = false;
    bool stopPosted_ = false;
    bool moreBuffers_ = false;
    std::int32_t loopsToGo_ = 0;
    std::size_t buffersInUse_ = 0;
    std::size_t ringIndex_ = 0; // the buffer due to finish next
    std::int64_t bytesPlayed_ = 0;
    std::int64_t pauseOffset_ = 0;        // sample frames played before an upstream-driven pause
    std::int64_t loopBase_ = 0;           // sample frames: the device position at the last wrap
    std::atomic<std::uint64_t> epoch_{0}; // a new run at each open, start and reset
};

// The wave output device over the platform's wave output functions.
class TMMWaveOut : public TMMCustomWaveOut {
public:
    TMMWaveOut();
};

// The name of output device `device` (MapperId: the default device's), or empty when there is
// no such device; for device lists.
std::string waveOutDeviceName(TMMDeviceId device);

} // namespace vantrel
