#include "MMConect.h"

#include "MainThread.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace vantrel {

namespace {

// Messages of the connectors' hidden window; wParam carries the connector's id.
constexpr std::uint32_t startMessage = 0xB1F5;
constexpr std::uint32_t triggerMessage = 0xB1F6;
constexpr std::uint32_t loopMessage = 0xB1F7;

// Pausing replays silence at this interval at least (ms); buffers up to this size replay at
// their own duration.
constexpr std::int32_t replayTickMs = TMMTickList::TickMs;
constexpr std::int32_t largestReplayedBuffer = 8191;

// State all connectors share; touched on the main thread only.
struct ConnectorProcessState {
    std::vector<TMMConnector*> connectors;
    std::unique_ptr<MessageWindow> window; // exists while any connector does
    int runningCount = 0;                  // connectors the refresh loop serves
    std::int32_t maxSpeed = 0;             // the largest Speed of all connectors
    int loopRounds = 0;                    // loop ticks since the last refresh round
    bool loopPosted = false;
    bool enterIdle = false;
    std::uint64_t nextId = 1;
};

ConnectorProcessState& processState() {
    static ConnectorProcessState state;
    return state;
}

TMMStagingConverter& stagingConverter() {
    static TMMStagingConverter converter;
    return converter;
}

std::uint8_t silenceOf(const TWaveFormatEx& format) {
    return format.wBitsPerSample == 8 ? 128 : 0;
}

} // namespace

void InstallStagingConverter(TMMStagingConverter converter) {
    stagingConverter() = std::move(converter);
}

// The hidden window's side: finds the connector a message is for (a connector destroyed since
// the message was posted is not found, so its messages are dropped) and runs the refresh loop.
struct ConnectorWindow {
    static TMMConnector* find(std::uintptr_t id) {
        for (TMMConnector* each : processState().connectors)
            if (each->id_ == id)
                return each;
        return nullptr;
    }

    static void windowProc(std::uint32_t message, std::uintptr_t wParam, std::intptr_t) {
        switch (message) {
        case startMessage:
            if (TMMConnector* connector = find(wParam))
                connector->handleStart();
            break;
        case triggerMessage:
            if (TMMConnector* connector = find(wParam))
                connector->handleTriggerMessage();
            break;
        case loopMessage:
            loopTick();
            break;
        default:
            break;
        }
    }

    static void recomputeMaxSpeed() {
        ConnectorProcessState& state = processState();
        state.maxSpeed = 0;
        for (const TMMConnector* each : state.connectors)
            state.maxSpeed = std::max(state.maxSpeed, each->speed_);
    }

    static void postLoopTick() {
        ConnectorProcessState& state = processState();
        if (!state.loopPosted && state.window != nullptr)
            state.loopPosted = state.window->Post(loopMessage);
    }

    // One pass of the refresh loop. Every pass goes through the main thread's queue behind
    // the work posted meanwhile; a refresh round comes every (5001 - MaxSpeed) passes, so lower
    // speeds leave more passes for that work. The loop ends when no connector runs it.
    static void loopTick() {
        ConnectorProcessState& state = processState();
        state.loopPosted = false;
        if (state.runningCount <= 0)
            return;
        if (++state.loopRounds >= TMMConnector::MaxSpeed + 1 - state.maxSpeed) {
            state.loopRounds = 0;
            refreshLoopConnectors();
            WaitMs(1, false);
        }
        if (state.runningCount > 0)
            postLoopTick();
    }

    static void refreshLoopConnectors() {
        // Copy: an OnTrigger handler may create or destroy connectors.
        const std::vector<TMMConnector*> connectors = processState().connectors;
        for (TMMConnector* each : connectors) {
            const std::vector<TMMConnector*>& living = processState().connectors;
            if (std::find(living.begin(), living.end(), each) == living.end())
                continue; // destroyed meanwhile
            if (each->GetAutoTrigger() && each->triggerMethod_ == tmMessage && each->GetEnabled() &&
                each->triggering_)
                each->refreshDisplays();
        }
    }
};

// ---------------------------------------------------------------------------------------------
// Construction

TMMConnector::TMMConnector() {
    publishLinks(true, true);
    ConnectorProcessState& state = processState();
    if (state.connectors.empty())
        state.window = std::make_unique<MessageWindow>(&ConnectorWindow::windowProc);
    id_ = state.nextId++;
    state.connectors.push_back(this);
    ConnectorWindow::recomputeMaxSpeed();
    timer_.SetInterval(TimerInterval);
    timer_.SetOnTimer([this](TMMHiTimer*) { TriggerRefresh(); });
}

TMMConnector::~TMMConnector() {
    NotifyStopped();
    timer_.SetOnTimer({});
    forEachLevel([this](TMMLevel& level) { level.RemoveFreeNotification(this); });
    ConnectorProcessState& state = processState();
    std::erase(state.connectors, this);
    if (state.connectors.empty()) {
        state.window.reset(); // drops the loop tick still queued, if any
        state.loopPosted = false;
        state.loopRounds = 0;
    }
    ConnectorWindow::recomputeMaxSpeed();
}

// ---------------------------------------------------------------------------------------------
// Properties

void TMMConnector::SetEnabled(bool value) {
    enabled_.store(value, std::memory_order_release);
    if (!value) {
        if (triggering_) {
            triggering_ = false;
            leaveRefreshLoop();
        }
        forEachLevel([](TMMLevel& level) { level.ResetLevel(); });
    } else if (running_ && GetRealTime()) {
        postStart();
    }
}

void TMMConnector::SetAutoTrigger(bool value) {
    if (value == GetAutoTrigger())
        return;
    autoTrigger_.store(value, std::memory_order_release);
    if (!value) {
        leaveRefreshLoop();
        timer_.SetEnabled(true); // the timer drives the refreshes now
    } else if (running_ && GetEnabled() && GetRealTime()) {
        postStart();
    }
}

void TMMConnector::SetSpeed(std::int32_t value) {
    speed_ = std::clamp(value, MinSpeed, MaxSpeed);
    ConnectorWindow::recomputeMaxSpeed();
}

// A connector that refreshes by itself moves over to the new method at once.
void TMMConnector::SetTriggerMethod(TMMTriggerMethod value) {
    if (value == triggerMethod_)
        return;
    if (triggering_)
        stopAutomaticRefresh();
    triggerMethod_ = value;
    if (triggering_)
        startAutomaticRefresh();
}

void TMMConnector::SetRealTime(bool value) {
    checkNotOpened<EMMConnectorError>();
    realTime_.store(value, std::memory_order_release);
}

bool TMMConnector::GetEnterIdle() {
    return processState().enterIdle;
}

void TMMConnector::SetEnterIdle(bool value) {
    processState().enterIdle = value;
}

// ---------------------------------------------------------------------------------------------
// Level links

void TMMConnector::setLevel(int slot, TMMLevel* level) {
    TMMLevel* const former = levels_[slot];
    if (level == former || (level != nullptr && level == levels_[1 - slot]))
        return;
    {
        std::lock_guard guard(lock_);
        levels_[slot] = level;
        levelsPending_ = false;
    }
    if (former != nullptr)
        former->RemoveFreeNotification(this);
    if (level == nullptr)
        return;
    level->AddFreeNotification(this,
                               [this, level] { setLevel(levels_[0] == level ? 0 : 1, nullptr); });
    formatToDisplays();
}

void TMMConnector::forEachLevel(const std::function<void(TMMLevel&)>& visit) const {
    for (TMMLevel* level : levels_)
        if (level != nullptr)
            visit(*level);
}

void TMMConnector::formatToDisplays() {
    TMMWaveFormatPtr suggested;
    const TWaveFormatEx* format = nullptr;
    if (running_) {
        format = stagingFormat_.get();
    } else if (const TWaveFormatEx* stream = GetWaveFormat()) {
        if (stream->wFormatTag == WAVE_FORMAT_PCM) {
            format = stream;
        } else if (autoConvert_ && stagingConverter().suggest) {
            suggested = stagingConverter().suggest(*stream);
            format = suggested.get();
        }
    }
    if (format == nullptr)
        return;
    {
        std::lock_guard guard(lock_);
        silence_ = silenceOf(*format);
    }
    forEachLevel([format](TMMLevel& level) { level.SetPCMFormat(format); });
}

// ---------------------------------------------------------------------------------------------
// Chain

void TMMConnector::SetWaveFormat(const TWaveFormatEx* format) {
    TMMDSPComponent::SetWaveFormat(format);
    formatToDisplays();
}

void TMMConnector::NotifyStarted() {
    TMMDSPComponent::NotifyStarted();
    if (GetWaveFormat() == nullptr || running_ || !setUpStaging())
        return;
    running_ = true;
    ConnectorWindow::recomputeMaxSpeed();
    formatToDisplays();
    if (GetEnabled() && GetRealTime())
        postStart();
}

void TMMConnector::NotifyPaused() {
    if (running_ && !paused_) {
        paused_ = true;
        fillStagingWithSilence();
        if (GetRealTime())
            startPauseReplay();
    }
    TMMDSPComponent::NotifyPaused();
}

void TMMConnector::NotifyRestarted() {
    if (paused_) {
        paused_ = false;
        stopPauseReplay();
    }
    TMMDSPComponent::NotifyRestarted();
}

void TMMConnector::NotifyStopped() {
    if (running_) {
        running_ = false;
        if (triggering_) {
            triggering_ = false;
            stopAutomaticRefresh();
        }
        paused_ = false;
        stopPauseReplay();
        freeStaging();
        if (refreshOnStop_)
            forEachLevel([](TMMLevel& level) { level.ResetLevel(); });
    }
    TMMDSPComponent::NotifyStopped();
}

void TMMConnector::NotifyReset() {
    if (running_)
        fillStagingWithSilence();
    TMMDSPComponent::NotifyReset();
}

// The buffer that plays next is what is audible while this one's done notification travels.
void TMMConnector::BufferReady(PWaveHdr lpWaveHdr) {
    PWaveHdr staged = lpWaveHdr;
    if (GetSynchronize() && lpWaveHdr->NextHeader != nullptr &&
        lpWaveHdr->NextHeader->wh.dwBytesRecorded > 0)
        staged = lpWaveHdr->NextHeader;
    stageData(staged->wh.lpData, static_cast<std::int32_t>(staged->wh.dwBytesRecorded));
    TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMConnector::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
    TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
    stageData(lpWaveHdr->wh.lpData, static_cast<std::int32_t>(lpWaveHdr->wh.dwBytesRecorded));
}

// ---------------------------------------------------------------------------------------------
// Staging

// PCM is staged as it comes; a compressed stream through a conversion into the PCM format the
// converter suggests. False when the stream cannot be shown.
bool TMMConnector::setUpStaging() {
    const TWaveFormatEx& format = *GetWaveFormat();
    const std::int32_t bufferBytes = GetBufferSize();
    if (bufferBytes <= 0)
        return false;
    std::unique_ptr<TMMStagingConversion> conversion;
    if (format.wFormatTag != WAVE_FORMAT_PCM) {
        const TMMStagingConverter& converter = stagingConverter();
        if (!autoConvert_ || !converter.suggest || !converter.open)
            return false;
        const TMMWaveFormatPtr target = converter.suggest(format);
        if (target == nullptr)
            return false;
        conversion = converter.open(format, *target, bufferBytes);
        if (conversion == nullptr)
            return false;
    }
    std::lock_guard guard(lock_);
    raw_.assign(static_cast<std::size_t>(bufferBytes), 0);
    conversion_ = std::move(conversion);
    if (conversion_ != nullptr) {
        stagingFormat_ = CopyWaveFormat(&conversion_->Format());
        stagingData_ = conversion_->Data();
        stagingCapacity_ = conversion_->Capacity();
    } else {
        stagingFormat_ = CopyWaveFormat(&format);
        stagingData_ = raw_.data();
        stagingCapacity_ = bufferBytes;
    }
    silence_ = silenceOf(*stagingFormat_);
    stagedBytes_ = 0;
    levelsPending_ = false;
    levelsPosition_ = 0;
    staging_ = true;
    fillStagingWithSilence();
    return true;
}

void TMMConnector::freeStaging() {
    std::lock_guard guard(lock_);
    staging_ = false;
    conversion_.reset();
    stagingFormat_.reset();
    std::vector<char>().swap(raw_);
    stagingData_ = nullptr;
    stagingCapacity_ = 0;
    stagedBytes_ = 0;
    levelsPending_ = false;
}

void TMMConnector::fillStagingWithSilence() {
    std::lock_guard guard(lock_);
    if (staging_)
        std::memset(stagingData_, silence_, static_cast<std::size_t>(stagingCapacity_));
}

void TMMConnector::markPending() {
    if (hasLevels()) {
        levelsPending_ = true;
        levelsPosition_ = 0;
    }
}

void TMMConnector::stageData(const char* data, std::int32_t bytes) {
    if (!GetEnabled() || paused_ || bytes <= 0)
        return;
    {
        std::lock_guard guard(lock_);
        if (!staging_)
            return;
        stamp_ = microsecondClock();
        const std::int32_t n = std::min(bytes, static_cast<std::int32_t>(raw_.size()));
        std::memcpy(raw_.data(), data, static_cast<std::size_t>(n));
        stagedBytes_ = n;
        if (conversion_ != nullptr)
            stagedBytes_ = std::min(conversion_->Convert(raw_.data(), n), stagingCapacity_);
        if (stagedBytes_ <= 0)
            return;
        markPending();
    }
    if (!GetRealTime() && GetAutoTrigger())
        refreshDisplays();
}

// ---------------------------------------------------------------------------------------------
// Refreshing

void TMMConnector::refreshDisplays() {
    if (!GetEnabled() || !(triggering_ || (!GetRealTime() && running_)))
        return;
    {
        std::lock_guard guard(lock_);
        if (!staging_)
            return;
        feedLevels();
    }
    if (OnTrigger)
        OnTrigger(this);
}

// With Synchronize, the step at byte p of the staged data is due p / nAvgBytesPerSec seconds
// after staging; a late refresh shows the step that is due, not every step it missed.
void TMMConnector::feedLevels() {
    if (!levelsPending_)
        return;
    std::int32_t step = 0;
    forEachLevel([&step](TMMLevel& level) { step = std::max(step, level.Step()); });
    if (step <= 0) {
        levelsPending_ = false;
        return;
    }
    const std::int64_t bytesPerSecond = stagingFormat_->nAvgBytesPerSec;
    if (GetSynchronize() && bytesPerSecond > 0) {
        const std::int64_t dueAt = std::int64_t{levelsPosition_} * 1000000 / bytesPerSecond;
        if (microsecondClock() - stamp_ < dueAt)
            return;
    }
    const std::int32_t position = levelsPosition_;
    levelsPosition_ = position + step;
    if (position + step > stagedBytes_) {
        levelsPending_ = false; // the rest is shorter than a step and is not shown
        return;
    }
    forEachLevel(
        [this, position](TMMLevel& level) { level.ProcessPCMBlock(stagingData_ + position); });
}

void TMMConnector::TriggerRefresh() {
    if (!GetEnabled() || !(triggering_ || (!GetRealTime() && running_)))
        return;
    if (GetAutoTrigger() && triggerMethod_ == tmMessage)
        return;
    MainThreadSeam* seam = mainThread();
    if (seam == nullptr || seam->isMainThread()) {
        if (pendingTriggers_ == 0)
            refreshDisplays();
        return;
    }
    int none = 0;
    if (!pendingTriggers_.compare_exchange_strong(none, 1))
        return; // one is on its way already
    const ConnectorProcessState& state = processState();
    if (state.window == nullptr || !state.window->Post(triggerMessage, id_))
        pendingTriggers_ = 0;
}

void TMMConnector::handleTriggerMessage() {
    refreshDisplays();
    pendingTriggers_ = 0;
}

void TMMConnector::postStart() {
    if (processState().window != nullptr)
        processState().window->Post(startMessage, id_);
}

void TMMConnector::handleStart() {
    if (!running_)
        return;
    pendingTriggers_ = 0;
    triggering_ = true;
    startAutomaticRefresh();
}

// Without AutoTrigger, and with tmTimer, the 20 ms timer drives the refreshes; with tmMessage
// the shared refresh loop does.
void TMMConnector::startAutomaticRefresh() {
    if (!GetAutoTrigger() || triggerMethod_ == tmTimer) {
        timer_.SetEnabled(true);
        return;
    }
    if (inRefreshLoop_)
        return;
    inRefreshLoop_ = true;
    ++processState().runningCount;
    ConnectorWindow::postLoopTick();
}

void TMMConnector::stopAutomaticRefresh() {
    if (GetAutoTrigger() && triggerMethod_ == tmTimer)
        timer_.SetEnabled(false);
    leaveRefreshLoop();
}

void TMMConnector::leaveRefreshLoop() {
    if (!inRefreshLoop_)
        return;
    inRefreshLoop_ = false;
    --processState().runningCount;
}

// ---------------------------------------------------------------------------------------------
// Pause replay: while paused the staged data is silence, shown again and again, so the meters
// fall back to zero.

void TMMConnector::startPauseReplay() {
    if (replay_ != nullptr)
        return;
    std::int32_t period = replayTickMs;
    const std::int32_t bufferBytes = GetBufferSize();
    if (bufferBytes <= largestReplayedBuffer && GetWaveFormat() != nullptr)
        period = std::max(replayTickMs, BytesToMs(*GetWaveFormat(), bufferBytes));
    replay_ = TMMTickList::Shared().Add(
        period, false,
        [this](TMMTickEntry*, void*) {
            std::lock_guard guard(lock_);
            stamp_ = microsecondClock();
            markPending();
        },
        this);
    if (replay_ == nullptr)
        throw EOutOfResources("Not enough timers available");
}

void TMMConnector::stopPauseReplay() {
    if (replay_ == nullptr)
        return;
    TMMTickList::Shared().Remove(replay_);
    replay_ = nullptr;
}

} // namespace vantrel
