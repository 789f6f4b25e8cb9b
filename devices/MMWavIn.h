// The wave input device: records PCM audio from a sound-card input and pushes every recorded
// buffer down its chain. It heads its chain segment: opening, starting, pausing, restarting,
// stopping and closing it does the same to the components below it and to the next device.
//
// TMMCustomWaveIn holds the behaviour and reaches the device only through a table of device
// functions; TMMWaveIn fills that table with the platform's wave input functions.
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

class EMMWaveInError : public EMMError {
public:
    using EMMError::EMMError;
};

// The message the input's message window answers with Stop (a stop asked for while a recorded
// buffer was being handled).
inline constexpr std::uint32_t WaveInStopMessage = 32770;
// The message that carries a recorded buffer to the main thread in cmWindow mode.
inline constexpr std::uint32_t WaveInDataMessage = 960;

inline constexpr std::int32_t MaxWaveInBuffers = 4096;

class TMMCustomWaveIn : public TMMCustomSoundComponent {
public:
    // Closes the device and waits until the layer has let go of it.
    ~TMMCustomWaveIn() override;

    // --- Properties (main thread). Those marked "closed only" raise EMMWaveInError with
    // message 60 while the device is open. ----------------------------------------------------
    // Bytes per buffer, at least 32; closed only.
    void SetBufferSize(std::int32_t bytes) override;
    // 2 to 4096 buffers; smaller values are ignored. Closed only.
    void SetNumBuffers(std::int32_t count) override;
    std::int32_t GetNumBuffers() const override { return numBuffers_; }
    // A device number, or MapperId; out-of-range numbers become InvalidId. Closed only.
    void SetDeviceID(TMMDeviceId id) override;
    TMMDeviceId GetDeviceID() const override { return deviceId_; }
    // The selected device's name; writing it does nothing.
    void SetProductName(const std::string&) override {}
    std::string GetProductName() const override { return productName_; }
    std::uint32_t GetDriverVersion() const { return driverVersion_; }
    // cmCallback is refused on this platform with a message box. Closed only.
    void SetCallBackMode(TMMCBMode mode) override;
    TMMCBMode GetCallBackMode() const override { return callBackMode_; }
    // mMono and mStereo set 1 and 2 channels; mMultiChannel is ignored.
    void SetMode(TMMMode mode);
    TMMMode GetMode() const;
    // 1 to 8; closed only.
    void SetChannels(std::int32_t channels);
    std::int32_t GetChannels() const { return channels_; }
    // Closed only.
    void SetBitLength(TMMBits bits);
    TMMBits GetBitLength() const { return bitLength_; }
    // 8000 to 100000 Hz; closed only.
    void SetSampleRate(std::int32_t rate);
    std::int32_t GetSampleRate() const { return sampleRate_; }
    // The unit of MaxRecordTime; MaxRecordTime is re-expressed in the new unit.
    void SetTimeFormat(TMMTimeFormats format);
    TMMTimeFormats GetTimeFormat() const { return timeFormat_; }
    // Recording stops by itself after this much (in TimeFormat units); 0 or less: no limit.
    void SetMaxRecordTime(std::int32_t time);
    std::int32_t GetMaxRecordTime() const { return maxRecordTime_; }
    // Priority of the worker thread in cmThread mode; applied at once to a running worker.
    void SetPriority(TThreadPriority priority);
    TThreadPriority GetPriority() const { return priority_; }
    // Closes the device first; a valid PCM format sets SampleRate, BitLength and Channels.
    void SetWaveFormat(const TWaveFormatEx* format) override;

    // --- State ----------------------------------------------------------------------------
    bool IsDeviceOpen() const;
    bool IsDeviceStarted() const;
    // Buffers handed to the device and not yet back (never below 0).
    std::int32_t GetQueuedBuffers() const;
    // Bytes recorded since the last start.
    std::int64_t GetBytesRecorded() const;

    // --- Events. OnError fires on the thread that raises; the others on the main thread. ---
    TMMComponentEvent OnError, OnOpen, OnStart, OnPause, OnRestart, OnStop, OnClose;

    // --- Device operations (main thread). Each one that fails fires OnError, closes the
    // device and raises EMMWaveInError. ----------------------------------------------------
    virtual void Open();
    // Stops first. While a recorded buffer is being handled the close completes once the stop
    // has. Failures inside are swallowed, apart from a device that never reports its close.
    virtual void Close();
    // Opens when needed, queues every buffer and starts recording and the segment.
    virtual void Start();
    virtual void Pause();
    virtual void Restart();
    // Asked for while a recorded buffer is being handled (from OnBufferReady, say), the stop
    // completes on the main thread once the handling has ended; OnStop fires once it has.
    virtual void Stop();

    // --- Chain ----------------------------------------------------------------------------
    // The segment's notifications run the device operations.
    void NotifyOpened() override { Open(); }
    void NotifyClosed() override { Close(); }
    void NotifyStarted() override { Start(); }
    void NotifyPaused() override { Pause(); }
    void NotifyRestarted() override { Restart(); }
    void NotifyStopped() override { Stop(); }
    // Counts the recorded bytes, cuts the buffer at MaxRecordTime and pushes it down the chain;
    // the device stops once the limit is reached.
    void BufferReady(PWaveHdr lpWaveHdr) override;

protected:
    // `functions` is the device family's table; it must outlive the component.
    explicit TMMCustomWaveIn(const WaveInFunctions& functions);

    [[noreturn]] void Error(const std::string& text);

private:
    static void deviceCallback(WaveHandle handle, WaveMessage message, void* user,
                               PWaveHdr buffer) noexcept;
    void dispatchDone(PWaveHdr buffer);
    void windowProc(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    void handleDone(const WaveDoneMessage& message);
    void finishHandling();
    void countOffLocked();
    void workerFailed(std::exception_ptr error);

    void checkClosed();
    void rebuildFormat();
    void recomputeRecordLimit();
    [[noreturn]] void deviceError(const std::string& callName, MMResult code);
    void call(const std::string& callName, MMResult code);
    template <typename Operation> void closeOnFailure(Operation&& operation);

    void checkFormatRecordable();
    void openSteps();
    void startWorker();
    void stopWorker();
    void allocateBuffers();
    void addBuffer(PWaveHdr buffer);
    void startSteps();
    void stopSteps();
    void stoppedHandler();
    void closeSteps(bool& notified);
    void releaseBuffers();

    const WaveInFunctions& functions_;
    std::unique_ptr<MessageWindow> window_;
    std::unique_ptr<WaveDeviceThread> worker_;
    TMMAllocator allocator_;
    std::vector<PWaveHdr> buffers_; // NumBuffers entries while open, null where none

    // Properties
    TMMDeviceId deviceId_ = 0;
    std::string productName_;
    std::uint32_t driverVersion_ = 0;
    std::uint32_t deviceCount_ = 0; // read once, when the component is created
    TMMCBMode callBackMode_ = cmWindow;
    std::int32_t numBuffers_ = 10;
    std::int32_t channels_ = 1;
    TMMBits bitLength_ = b8Bit;
    std::int32_t sampleRate_ = 11025;
    TMMTimeFormats timeFormat_ = tfByte;
    std::int32_t maxRecordTime_ = -1;
    TThreadPriority priority_ = tpHigher;

    // Device state, shared with the layer's thread and the worker: guarded by `mutex_`.
    mutable TMMCriticalSection mutex_;
    WaveHandle handle_ = 0;
    bool open_ = false;    // between the device's open and close notifications
    bool started_ = false; // the started and paused parts of the state set
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
    std::int64_t bytesRecorded_ = 0;
    std::int64_t recordLimit_ = 0; // bytes
};

// The wave input device over the platform's wave input functions.
class TMMWaveIn : public TMMCustomWaveIn {
public:
    TMMWaveIn();
};

// The name of input device `device` (MapperId: the default device's), or empty when there is no
// such device; for device lists.
std::string waveInDeviceName(TMMDeviceId device);

} // namespace vantrel
