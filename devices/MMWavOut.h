// The wave output device: plays PCM audio on a sound-card output. It pulls every buffer it plays
// from its Input, keeps NumBuffers buffers queued at the device, and after a buffer has played
// pushes it to its Output, so that displays downstream show what has just been heard. Opening,
// starting, pausing, restarting, stopping, resetting or closing it does the same to its segment;
// a device upstream drives it through the segment's notifications.
#pragma once

#include "MMDSPObj.h"
#include "MMObj.h"
#include "WaveDeviceBase.h"
#include "WaveDevices.h"

#include <cstdint>
#include <string>

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

// What sets the output apart in what it shares with the input.
struct WaveOutTraits {
    using Functions = WaveOutFunctions;
    using Exception = EMMWaveOutError;
    static constexpr const char* name = "WaveOut";
    static constexpr const char* caption = "TMMWaveOut";
    static constexpr int productNameMessage = 161;
    static constexpr std::int32_t maxBuffers = MaxWaveOutBuffers;
    static constexpr std::uint32_t doneMessage = WaveOutDoneMessage;
    static constexpr std::uint32_t stopMessage = WaveOutStopMessage;
    // Posted by a worker whose done handler failed: the device closes on the main thread.
    static constexpr std::uint32_t closeAfterFailureMessage = WaveOutStopMessage + 2;
};

// The properties, state, Close and Stop shared with the input are TMMWaveDevice's.
class TMMCustomWaveOut : public TMMWaveDevice<TMMCustomWaveOutComponent, WaveOutTraits> {
public:
    // Closes the device and waits until the layer has let go of it.
    ~TMMCustomWaveOut() override;

    // --- Properties (main thread). Those marked "closed only" raise EMMWaveOutError with
    // message 60 while the device is open. ----------------------------------------------------
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
    // Closes the device first.
    void SetWaveFormat(const TWaveFormatEx* format) override;

    // --- State ----------------------------------------------------------------------------
    // Bytes played since the last start.
    std::int64_t GetBytesPlayed() const;

    // --- Events. OnBufferFilled, OnBufferReady and OnBufferLoad fire on the thread that
    // handles buffers. -----------------------------------------------------------------------
    TMMComponentEvent OnLooping;
    // A buffer has been filled and is about to be written to the device.
    TMMBufferEvent OnBufferFilled;

    // --- Device operations (main thread). Each one that fails fires OnError, closes the
    // device and raises EMMWaveOutError. --------------------------------------------------
    // Position of what has been played since the start, in TimeFormat units; 0 when closed.
    std::int64_t GetPosition() override;
    void Open() override;
    // Starts the stream again from the beginning: drops what is queued, resets the segment
    // and primes the device anew.
    void Reset() override;
    // Opens when needed, primes NumBuffers buffers from the Input and starts playing. A source
    // that delivers nothing makes it fail with "WaveOutStart:" and message 80.
    void Start() override;
    void Pause() override;
    void Restart() override;

    // --- Chain ----------------------------------------------------------------------------
    // Pulls one buffer of RealBufferSize bytes; dwBufferLength ends up as the bytes delivered.
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;
    // Pushed buffers are ignored: the device pulls what it plays.
    void BufferReady(PWaveHdr) override {}

protected:
    // `functions` is the device family's table; it must outlive the component.
    explicit TMMCustomWaveOut(const WaveOutFunctions& functions);

private:
    void bufferDone(PWaveHdr buffer) override;
    void handleDone(const WaveDoneMessage& message) override;
    void refill(PWaveHdr buffer, std::uint64_t epoch);
    void finishHandling();

    std::int64_t devicePosition();

    void openSteps() override;
    void startSteps();
    bool prime();
    PWaveHdr bufferAt(std::size_t slot);
    std::uint32_t fill(PWaveHdr buffer, bool& sourceEnded);
    void write(PWaveHdr buffer, std::uint64_t epoch);
    void resetSteps();
    void stopSteps() override;
    void stoppedHandler();
    void releaseBuffers();
    void closeSteps(bool& notified) override;

    // Properties
    TMMTimeFormats timeFormat_ = tfByte;
    bool looping_ = false;
    std::uint16_t loopCount_ = 0;
    bool showHourGlass_ = true;
    bool mapped_ = false;

    // Device state, guarded by `mutex_`. buffers_ holds NumBuffers entries while started.
    std::int32_t undelivered_ = 0; // played buffers posted to a handler that has not run yet
    bool moreBuffers_ = false;
    std::int32_t loopsToGo_ = 0;
    std::size_t buffersInUse_ = 0;
    std::size_t ringIndex_ = 0; // the buffer due to finish next
    std::int64_t bytesPlayed_ = 0;
    std::int64_t pauseOffset_ = 0; // sample frames played before an upstream-driven pause
    std::int64_t loopBase_ = 0;    // sample frames: the device position at the last wrap
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
