// The connector: a stream component that lets level meters watch the audio going through it.
// Every buffer is copied into a staging buffer on the thread that carries it; the linked level
// meters are then fed from the staged data on the main thread, one step of 63 frames per
// refresh, in step with the playback clock when Synchronize is set. After each refresh it fires
// OnTrigger. Buffers pass unchanged.
//
// Refreshes are driven, while the chain runs, by the connector's 20 ms timer (AutoTrigger false,
// or TriggerMethod tmTimer) or by a refresh loop on the main thread that all connectors with
// AutoTrigger and tmMessage share. With RealTime false an AutoTrigger connector feeds its meters
// on the audio thread as each buffer is staged.
//
// Compressed streams reach the meters through a staging conversion (the format conversion
// installs one with InstallStagingConverter); without one they are handed on and not shown.
//
// Threads: properties, links and the life cycle on the main thread; staging on the audio thread;
// both hold the connector's lock while they touch the staging buffer.
#pragma once

#include "MMDSPObj.h"
#include "MMHTimer.h"
#include "MMLevel.h"
#include "MMObj.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace vantrel {

class EMMConnectorError : public EMMError {
public:
    using EMMError::EMMError;
};

enum TMMTriggerMethod { tmMessage, tmTimer };
enum TMMTriggerMode { tmNone, tmUpFlank, tmDownFlank };

// An open conversion of a compressed stream into PCM for the meters, owned by the connector.
class TMMStagingConversion {
public:
    virtual ~TMMStagingConversion() = default;
    // The PCM format the conversion produces.
    virtual const TWaveFormatEx& Format() const = 0;
    // The converted data of the last Convert and the bytes it can hold at most.
    virtual char* Data() = 0;
    virtual std::int32_t Capacity() const = 0;
    // Converts `bytes` bytes of the stream; returns the PCM bytes now in Data(), 0 or less when
    // nothing came out or the conversion failed. Runs on the audio thread; allocates nothing.
    virtual std::int32_t Convert(const char* data, std::int32_t bytes) = 0;
};

// The hooks of the format conversion: a PCM format it suggests for a compressed stream, and a
// conversion into it for buffers of up to `maxBytes` bytes. Either returns nothing when the
// stream cannot be converted.
struct TMMStagingConverter {
    std::function<TMMWaveFormatPtr(const TWaveFormatEx& source)> suggest;
    std::function<std::unique_ptr<TMMStagingConversion>(
        const TWaveFormatEx& source, const TWaveFormatEx& target, std::int32_t maxBytes)>
        open;
};

// Installs the process-wide converter (empty hooks uninstall it). At start-up, main thread.
void InstallStagingConverter(TMMStagingConverter converter);

class TMMConnector;
using TMMConnectorEvent = std::function<void(TMMConnector* sender)>;

class TMMConnector : public TMMDSPComponent {
public:
    static constexpr std::int32_t TimerInterval = 20; // ms
    static constexpr std::int32_t MinSpeed = 1;
    static constexpr std::int32_t MaxSpeed = 5000;

    TMMConnector();
    ~TMMConnector() override;

    // --- Properties (main thread) --------------------------------------------------------
    bool GetEnabled() const { return enabled_.load(std::memory_order_acquire); }
    // Switching off stops the refreshes and resets the meters; switching on resumes them.
    void SetEnabled(bool value);
    // Whether compressed streams are converted for the meters.
    bool GetAutoConvert() const { return autoConvert_; }
    void SetAutoConvert(bool value) { autoConvert_ = value; }
    // Whether the connector refreshes by itself (see the header comment).
    bool GetAutoTrigger() const { return autoTrigger_.load(std::memory_order_acquire); }
    void SetAutoTrigger(bool value);
    // Whether steps are shown at the pace of the audio (and the buffer that plays next is
    // staged on the push path).
    bool GetSynchronize() const { return synchronize_.load(std::memory_order_acquire); }
    void SetSynchronize(bool value) { synchronize_.store(value, std::memory_order_release); }
    // 1 ... 5000: lower values give other main-thread work more room in the refresh loop.
    std::int32_t GetSpeed() const { return speed_; }
    void SetSpeed(std::int32_t value);
    TMMTriggerMethod GetTriggerMethod() const { return triggerMethod_; }
    void SetTriggerMethod(TMMTriggerMethod value);
    // Trigger settings of oscilloscope displays; kept for them, levels do not use them.
    TMMTriggerMode GetTriggerMode() const { return triggerMode_; }
    void SetTriggerMode(TMMTriggerMode value) { triggerMode_ = value; }
    std::int32_t GetTriggerLevel() const { return triggerLevel_; }
    void SetTriggerLevel(std::int32_t value) { triggerLevel_ = value; }
    // Whether the meters are reset when the stream stops.
    bool GetRefreshOnStop() const { return refreshOnStop_; }
    void SetRefreshOnStop(bool value) { refreshOnStop_ = value; }
    // Whether the meters are fed on the main thread. Raises EMMConnectorError (message 60)
    // while the component is opened.
    bool GetRealTime() const { return realTime_.load(std::memory_order_acquire); }
    void SetRealTime(bool value);
    // One switch for all connectors. Our main-thread loop never waits for work while the
    // refresh loop runs, so it needs no idle hook; the switch is kept for stored settings.
    static bool GetEnterIdle();
    static void SetEnterIdle(bool value);

    // The two level meters fed (not owned; null for none). A meter cannot take both slots.
    TMMLevel* GetLevel1() const { return levels_[0]; }
    void SetLevel1(TMMLevel* level) { setLevel(0, level); }
    TMMLevel* GetLevel2() const { return levels_[1]; }
    void SetLevel2(TMMLevel* level) { setLevel(1, level); }

    // Asks for one refresh: on the main thread it refreshes at once, elsewhere it posts one
    // (at most one waits at any time). Ignored while disabled, not triggering, or driven by
    // the refresh loop.
    virtual void TriggerRefresh();

    // Fired on the main thread (with RealTime false on the refreshing thread) after every
    // refresh of a running connector, whether or not a step was shown.
    TMMConnectorEvent OnTrigger;

    // --- Chain ---------------------------------------------------------------------------
    void SetWaveFormat(const TWaveFormatEx* format) override;
    void NotifyStarted() override;
    void NotifyPaused() override;
    void NotifyRestarted() override;
    void NotifyStopped() override;
    void NotifyReset() override;
    // Push: stages the buffer (with Synchronize the one that plays next), then hands it on.
    void BufferReady(PWaveHdr lpWaveHdr) override;
    // Pull: fills the buffer from upstream, then stages it.
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

    bool IsRunning() const { return running_; }
    bool IsTriggering() const { return triggering_; }

private:
    friend struct ConnectorWindow;

    void setLevel(int slot, TMMLevel* level);
    void forEachLevel(const std::function<void(TMMLevel&)>& visit) const;
    bool hasLevels() const { return levels_[0] != nullptr || levels_[1] != nullptr; }
    // Hands the format of the staged data to the linked meters.
    void formatToDisplays();
    bool setUpStaging();
    void freeStaging();
    void fillStagingWithSilence();
    void stageData(const char* data, std::int32_t bytes);
    void refreshDisplays();
    // Shows the next level step when it is due; called under the lock.
    void feedLevels();
    void markPending();

    void postStart();
    void handleStart();
    void startAutomaticRefresh();
    void stopAutomaticRefresh();
    void leaveRefreshLoop();
    void handleTriggerMessage();
    void startPauseReplay();
    void stopPauseReplay();

    std::uint64_t id_; // identifies the connector in messages that may outlive it

    std::atomic<bool> enabled_ = true;
    bool autoConvert_ = true;
    std::atomic<bool> autoTrigger_ = true;
    std::atomic<bool> synchronize_ = true;
    std::int32_t speed_ = MaxSpeed;
    std::atomic<TMMTriggerMethod> triggerMethod_ = tmMessage;
    TMMTriggerMode triggerMode_ = tmNone;
    std::int32_t triggerLevel_ = 0;
    bool refreshOnStop_ = true;
    std::atomic<bool> realTime_ = true;
    TMMLevel* levels_[2] = {nullptr, nullptr};

    std::atomic<bool> running_ = false;
    std::atomic<bool> triggering_ = false;
    bool inRefreshLoop_ = false; // counted among the connectors the refresh loop serves
    std::atomic<bool> paused_ = false;
    std::atomic<int> pendingTriggers_ = 0;

    // Staging; everything below is guarded by lock_ while running.
    TMMCriticalSection lock_;
    bool staging_ = false; // a staging buffer exists
    std::unique_ptr<TMMStagingConversion> conversion_;
    TMMWaveFormatPtr stagingFormat_;
    std::vector<char> raw_;            // copy of the last buffer
    char* stagingData_ = nullptr;      // raw_ or the conversion's output
    std::int32_t stagingCapacity_ = 0; // bytes
    std::int32_t stagedBytes_ = 0;
    std::uint8_t silence_ = 0;
    std::int64_t stamp_ = 0; // microsecond clock at the last staging
    bool levelsPending_ = false;
    std::int32_t levelsPosition_ = 0; // bytes of the staged data already shown

    TMMHiTimer timer_;
    TMMTickEntry* replay_ = nullptr;
};

} // namespace vantrel
