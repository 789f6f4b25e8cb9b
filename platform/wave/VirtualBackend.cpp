#include "VirtualBackend.h"

#include "TestSignal.h"
#include "VirtualClock.h"
#include "WaveStream.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace vantrel {

namespace {

constexpr std::int64_t TickMicroseconds = 5000; // virtual time between two steps
// Longest virtual time moved in one step after a stall; well inside the cable's ring.
constexpr std::int64_t MaxStepMicroseconds = 100000;
constexpr auto MinRealTick = std::chrono::microseconds(200);
constexpr std::uint32_t VirtualDriverVersion = 0x0100; // 1.0
constexpr std::uint16_t VirtualChannels = 2;
constexpr std::size_t SignalChunkFrames = 1024;

std::int64_t frameAt(std::int64_t microseconds, std::uint32_t rate) {
    return microseconds * rate / 1'000'000;
}

bool sameFormat(const TWaveFormatEx& a, const TWaveFormatEx& b) {
    return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels &&
           a.nSamplesPerSec == b.nSamplesPerSec && a.wBitsPerSample == b.wBitsPerSample;
}

// ---------------------------------------------------------------------------------------------
// The four kinds of virtual stream

class CableOutput final : public WaveOutputStream, public VirtualStream {
public:
    CableOutput(VirtualBackend& backend, WaveNotifier& notifier, const TWaveFormatEx& format,
                std::int64_t now)
        : WaveOutputStream(notifier, format), VirtualStream(format.nSamplesPerSec, now),
          backend_(backend) {}

private:
    void process(std::int64_t firstFrame, std::size_t frames) override {
        backend_.cable().play(*this, firstFrame, frames);
    }
    void deviceClosing() override { backend_.detach(*this, WaveDirection::Output, true); }

    VirtualBackend& backend_;
};

class NullOutput final : public WaveOutputStream, public VirtualStream {
public:
    NullOutput(VirtualBackend& backend, WaveNotifier& notifier, const TWaveFormatEx& format,
               std::int64_t now)
        : WaveOutputStream(notifier, format), VirtualStream(format.nSamplesPerSec, now),
          backend_(backend) {}

private:
    void process(std::int64_t, std::size_t frames) override { play(nullptr, frames); }
    void deviceClosing() override { backend_.detach(*this, WaveDirection::Output, false); }

    VirtualBackend& backend_;
};

class CableInput final : public WaveInputStream, public VirtualStream {
public:
    CableInput(VirtualBackend& backend, WaveNotifier& notifier, const TWaveFormatEx& format,
               std::int64_t now)
        : WaveInputStream(notifier, format), VirtualStream(format.nSamplesPerSec, now),
          backend_(backend) {}

private:
    void process(std::int64_t firstFrame, std::size_t frames) override {
        backend_.cable().record(*this, firstFrame, frames);
    }
    void deviceClosing() override { backend_.detach(*this, WaveDirection::Input, true); }

    VirtualBackend& backend_;
};

class TestSignalInput final : public WaveInputStream, public VirtualStream {
public:
    TestSignalInput(VirtualBackend& backend, WaveNotifier& notifier, const TWaveFormatEx& format,
                    std::int64_t now)
        : WaveInputStream(notifier, format), VirtualStream(format.nSamplesPerSec, now),
          backend_(backend), signal_(format), chunk_(SignalChunkFrames * format.nBlockAlign) {}

private:
    // The signal runs on while nothing records, as a generator would.
    void process(std::int64_t, std::size_t frames) override {
        if (!recording()) {
            signal_.skip(frames);
            return;
        }
        while (frames > 0) {
            const std::size_t count = std::min(frames, SignalChunkFrames);
            signal_.render(chunk_.data(), count);
            record(chunk_.data(), count);
            frames -= count;
        }
    }
    void deviceClosing() override { backend_.detach(*this, WaveDirection::Input, false); }

    VirtualBackend& backend_;
    TestSignal signal_;
    std::vector<char> chunk_;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// VirtualStream

VirtualStream::VirtualStream(std::uint32_t rate, std::int64_t startMicroseconds)
    : rate_(rate), nextFrame_(frameAt(startMicroseconds, rate)) {}

void VirtualStream::advanceTo(std::int64_t microseconds) {
    const std::int64_t target = frameAt(microseconds, rate_);
    if (target <= nextFrame_)
        return;
    process(nextFrame_, static_cast<std::size_t>(target - nextFrame_));
    nextFrame_ = target;
}

// ---------------------------------------------------------------------------------------------
// VirtualCableLine

MMResult VirtualCableLine::check(const TWaveFormatEx& format) const {
    if ((inputOpen_ || outputOpen_) && !sameFormat(format, format_))
        return WAVERR_FORMATMISMATCH;
    return MMSYSERR_NOERROR;
}

bool VirtualCableLine::endOpen(WaveDirection direction) const {
    return direction == WaveDirection::Input ? inputOpen_ : outputOpen_;
}

void VirtualCableLine::attach(WaveDirection direction, const TWaveFormatEx& format,
                              std::int64_t firstFrame) {
    if (!inputOpen_ && !outputOpen_) {
        format_ = format;
        ringFrames_ = format.nSamplesPerSec; // one second
        ring_.assign(ringFrames_ * format.nBlockAlign, static_cast<char>(silenceByte(format)));
    }
    if (direction == WaveDirection::Input) {
        inputOpen_ = true;
    } else {
        outputOpen_ = true;
        outputFirstFrame_ = firstFrame;
    }
}

void VirtualCableLine::detach(WaveDirection direction) {
    (direction == WaveDirection::Input ? inputOpen_ : outputOpen_) = false;
    if (!inputOpen_ && !outputOpen_) {
        ring_.clear();
        ring_.shrink_to_fit();
    }
}

template <typename Visit>
void VirtualCableLine::forEachPart(std::int64_t firstFrame, std::size_t frames, Visit&& visit) {
    const std::size_t frameBytes = format_.nBlockAlign;
    auto position = static_cast<std::size_t>(firstFrame % static_cast<std::int64_t>(ringFrames_));
    while (frames > 0) {
        const std::size_t count = std::min(frames, ringFrames_ - position);
        visit(ring_.data() + position * frameBytes, count);
        frames -= count;
        position = 0;
    }
}

void VirtualCableLine::play(WaveOutputStream& output, std::int64_t firstFrame, std::size_t frames) {
    const std::size_t frameBytes = format_.nBlockAlign;
    forEachPart(firstFrame, frames, [&](char* part, std::size_t count) {
        const std::size_t played = output.play(part, count);
        std::memset(part + played * frameBytes, silenceByte(format_),
                    (count - played) * frameBytes);
    });
}

void VirtualCableLine::record(WaveInputStream& input, std::int64_t firstFrame, std::size_t frames) {
    std::size_t silent = frames;
    if (outputOpen_)
        silent = static_cast<std::size_t>(std::clamp<std::int64_t>(
            outputFirstFrame_ - firstFrame, 0, static_cast<std::int64_t>(frames)));
    if (silent > 0)
        input.record(nullptr, silent);
    forEachPart(firstFrame + static_cast<std::int64_t>(silent), frames - silent,
                [&](const char* part, std::size_t count) { input.record(part, count); });
}

// ---------------------------------------------------------------------------------------------
// VirtualBackend

VirtualBackend::VirtualBackend(WaveNotifier& notifier)
    : notifier_(notifier), thread_([this] { run(); }) {
    // Made now so that it outlives the backend's thread.
    VirtualClock::instance();
}

VirtualBackend::~VirtualBackend() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::vector<WaveDeviceInfo> VirtualBackend::devices(WaveDirection direction) const {
    if (direction == WaveDirection::Input)
        return {{"Virtual Cable", VirtualChannels}, {"Test Signal", VirtualChannels}};
    return {{"Virtual Cable", VirtualChannels}, {"Null Output", VirtualChannels}};
}

WaveDeviceInfo VirtualBackend::defaultDevice(WaveDirection direction) const {
    return devices(direction)[static_cast<std::size_t>(resolve(direction, DefaultDevice))];
}

std::uint32_t VirtualBackend::driverVersion() const {
    return VirtualDriverVersion;
}

// The default input is the cable and the default output the null output, so that a program
// using both defaults does not hear itself.
int VirtualBackend::resolve(WaveDirection direction, int device) {
    if (device != DefaultDevice)
        return device;
    return direction == WaveDirection::Input ? CableDevice : NullOutputDevice;
}

MMResult VirtualBackend::checkLocked(WaveDirection direction, int device,
                                     const TWaveFormatEx& format) const {
    if (!isSupportedWaveFormat(format))
        return WAVERR_BADFORMAT;
    if (resolve(direction, device) == CableDevice)
        return cable_.check(format);
    return MMSYSERR_NOERROR;
}

MMResult VirtualBackend::query(WaveDirection direction, int device, const TWaveFormatEx& format) {
    std::lock_guard lock(mutex_);
    return checkLocked(direction, device, format);
}

MMResult VirtualBackend::open(WaveDirection direction, int device, const TWaveFormatEx& format,
                              std::shared_ptr<WaveStream>& stream) {
    device = resolve(direction, device);
    std::lock_guard lock(mutex_);
    if (MMResult result = checkLocked(direction, device, format); result != MMSYSERR_NOERROR)
        return result;
    const bool cableEnd = device == CableDevice;
    if (cableEnd && cable_.endOpen(direction))
        return MMSYSERR_ALLOCATED;
    const std::int64_t now = VirtualClock::instance().now();
    stream = create(direction, device, format, now);
    auto* moved = dynamic_cast<VirtualStream*>(stream.get());
    if (inputs_.empty() && outputs_.empty())
        advancedTo_ = now;
    (direction == WaveDirection::Input ? inputs_ : outputs_).push_back(moved);
    if (cableEnd)
        cable_.attach(direction, format, moved->nextFrame());
    wake_.notify_all();
    return MMSYSERR_NOERROR;
}

std::shared_ptr<WaveStream> VirtualBackend::create(WaveDirection direction, int device,
                                                   const TWaveFormatEx& format, std::int64_t now) {
    if (direction == WaveDirection::Input) {
        if (device == CableDevice)
            return std::make_shared<CableInput>(*this, notifier_, format, now);
        return std::make_shared<TestSignalInput>(*this, notifier_, format, now);
    }
    if (device == CableDevice)
        return std::make_shared<CableOutput>(*this, notifier_, format, now);
    return std::make_shared<NullOutput>(*this, notifier_, format, now);
}

void VirtualBackend::detach(VirtualStream& stream, WaveDirection direction, bool cableEnd) {
    std::lock_guard lock(mutex_);
    std::erase(direction == WaveDirection::Input ? inputs_ : outputs_, &stream);
    if (cableEnd)
        cable_.detach(direction);
}

void VirtualBackend::run() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        if (inputs_.empty() && outputs_.empty()) {
            wake_.wait(lock);
            continue;
        }
        advanceAll(VirtualClock::instance().now());
        const auto tick = std::chrono::microseconds(
            static_cast<std::int64_t>(TickMicroseconds / VirtualClock::instance().speed()));
        wake_.wait_for(lock, std::max<std::chrono::microseconds>(tick, MinRealTick));
    }
}

// Outputs move before inputs in every step, so the cable's input finds what its output played
// at the same frames.
void VirtualBackend::advanceAll(std::int64_t now) {
    while (advancedTo_ < now) {
        advancedTo_ = std::min(now, advancedTo_ + MaxStepMicroseconds);
        for (VirtualStream* stream : outputs_)
            stream->advanceTo(advancedTo_);
        for (VirtualStream* stream : inputs_)
            stream->advanceTo(advancedTo_);
    }
}

} // namespace vantrel
