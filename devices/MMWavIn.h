// The wave input device: records PCM audio from a sound-card input and pushes every recorded
// buffer down its chain. It heads its chain segment: opening, starting, pausing, restarting,
// stopping and closing it does the same to the components below it and to the next device.
//
// TMMCustomWaveIn holds the behaviour and reaches the device only through a table of device
// functions; TMMWaveIn fills that table with the platform's wave input functions.
#pragma once

#include "MMDSPObj.h"
#include "MMObj.h"
#include "WaveDeviceBase.h"
#include "WaveDevices.h"

#include <cstdint>
#include <string>

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

// What sets the input apart in what it shares with the output.
struct WaveInTraits {
    using Functions = WaveInFunctions;
    using Exception = EMMWaveInError;
    static constexpr const char* name = "WaveIn";
    static constexpr const char* caption = "TMMWaveIn";
    static constexpr int productNameMessage = 160;
    static constexpr std::int32_t maxBuffers = MaxWaveInBuffers;
    static constexpr std::uint32_t doneMessage = WaveInDataMessage;
    static constexpr std::uint32_t stopMessage = WaveInStopMessage;
    // Posted by a worker whose done handler failed: the device closes on the main thread.
    static constexpr std::uint32_t closeAfterFailureMessage = WaveInStopMessage + 1;
};

// The properties, state, Close and Stop shared with the output are TMMWaveDevice's.
class TMMCustomWaveIn : public TMMWaveDevice<TMMCustomSoundComponent, WaveInTraits> {
public:
    // Closes the device and waits until the layer has let go of it.
    ~TMMCustomWaveIn() override;

    // --- Properties (main thread). Those marked "closed only" raise EMMWaveInError with
    // message 60 while the device is open. ----------------------------------------------------
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
    // Closes the device first; a valid PCM format sets SampleRate, BitLength and Channels.
    void SetWaveFormat(const TWaveFormatEx* format) override;

    // --- State ----------------------------------------------------------------------------
    // Bytes recorded since the last start.
    std::int64_t GetBytesRecorded() const;

    // --- Device operations (main thread). Each one that fails fires OnError, closes the
    // device and raises EMMWaveInError. ----------------------------------------------------
    void Open() override;
    // Opens when needed, queues every buffer and starts recording and the segment.
    void Start() override;
    void Pause() override;
    void Restart() override;

    // --- Chain ----------------------------------------------------------------------------
    // Counts the recorded bytes, cuts the buffer at MaxRecordTime and pushes it down the chain;
    // the device stops once the limit is reached.
    void BufferReady(PWaveHdr lpWaveHdr) override;

protected:
    // `functions` is the device family's table; it must outlive the component.
    explicit TMMCustomWaveIn(const WaveInFunctions& functions);

private:
    void bufferDone(PWaveHdr buffer) override;
    void handleDone(const WaveDoneMessage& message) override;
    void finishHandling();
    void countOffLocked();

    void rebuildFormat();
    void recomputeRecordLimit();

    void checkFormatRecordable();
    void openSteps() override;
    void allocateBuffers();
    void addBuffer(PWaveHdr buffer);
    void startSteps();
    void stopSteps() override;
    void stoppedHandler();
    void closeSteps(bool& notified) override;
    void releaseClosedBuffers() override;

    // Properties
    std::int32_t channels_ = 1;
    TMMBits bitLength_ = b8Bit;
    std::int32_t sampleRate_ = 11025;
    TMMTimeFormats timeFormat_ = tfByte;
    std::int32_t maxRecordTime_ = -1;

    // Device state, guarded by `mutex_`.
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
