// What the wave device tests share: the virtual devices by name on a faster test clock, a source
// of numbered frames, a sink that keeps what is pushed into it, and a check that a stream of
// numbered frames runs on without a gap or a repeat; the fixtures of the device tests.
//
// A numbered frame (16-bit stereo) carries its number k (from 1) as a 32-bit value over its two
// channels, so silence (0) and any skipped or repeated frame stand out.
#pragma once

#include "MMDSPObj.h"
#include "MMWavIn.h"
#include "MMWavOut.h"
#include "MainThreadFixture.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel::test {

inline constexpr std::uint32_t FrameBytes = 4; // 16-bit stereo

inline TWaveFormatEx stereo16(std::uint32_t rate = 48000) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, 16, 2, rate);
    return format;
}

// The number of device `name` of a function table, or InvalidId.
template <typename Functions>
TMMDeviceId deviceNamed(const Functions& functions, const std::string& name) {
    const auto count = static_cast<TMMDeviceId>(functions.getNumDevs());
    for (TMMDeviceId device = 0; device < count; ++device)
        if (WaveDeviceCaps caps;
            functions.getDevCaps(device, caps) == MMSYSERR_NOERROR && caps.productName == name)
            return device;
    return InvalidId;
}
inline TMMDeviceId inputNamed(const std::string& name) {
    return deviceNamed(waveInFunctions(), name);
}
inline TMMDeviceId outputNamed(const std::string& name) {
    return deviceNamed(waveOutFunctions(), name);
}

// Serves pulls with numbered frames from 1 on; a finite source reports its end with its last
// frames. A reset of the segment starts the numbers again.
class NumberedSource : public TMMDSPComponent {
public:
    explicit NumberedSource(std::int64_t frames = -1) : frames_(frames) {
        publishLinks(false, true);
    }

    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override {
        const std::int64_t next = next_.load();
        std::int64_t count = lpWaveHdr->wh.dwBufferLength / FrameBytes;
        if (frames_ >= 0)
            count = std::min(count, frames_ - next);
        for (std::int64_t i = 0; i < count; ++i) {
            const auto number = static_cast<std::uint32_t>(next + i + 1);
            std::memcpy(lpWaveHdr->wh.lpData + i * FrameBytes, &number, FrameBytes);
        }
        next_.store(next + count);
        lpWaveHdr->wh.dwBytesRecorded = static_cast<std::uint32_t>(count * FrameBytes);
        MoreBuffers = frames_ < 0 || next + count < frames_;
    }
    void NotifyReset() override { next_.store(0); }
    std::int64_t delivered() const { return next_.load(); }

private:
    const std::int64_t frames_;
    std::atomic<std::int64_t> next_{0};
};

// Keeps the bytes of every buffer pushed into it (up to `capacity` bytes, reserved up front).
class CaptureSink : public TMMDSPComponent {
public:
    explicit CaptureSink(std::size_t capacity = 0) {
        publishLinks(true, false);
        bytes_.reserve(capacity);
    }

    void BufferReady(PWaveHdr lpWaveHdr) override {
        TMMDSPComponent::BufferReady(lpWaveHdr); // OnBufferReady
        std::lock_guard lock(mutex_);
        const std::size_t room = bytes_.capacity() - bytes_.size();
        const std::size_t count = std::min<std::size_t>(lpWaveHdr->wh.dwBytesRecorded, room);
        bytes_.insert(bytes_.end(), lpWaveHdr->wh.lpData, lpWaveHdr->wh.lpData + count);
        total_ += lpWaveHdr->wh.dwBytesRecorded;
        ++buffers_;
    }
    std::int64_t totalBytes() const {
        std::lock_guard lock(mutex_);
        return total_;
    }
    std::int64_t buffers() const {
        std::lock_guard lock(mutex_);
        return buffers_;
    }
    std::vector<char> bytes() const {
        std::lock_guard lock(mutex_);
        return bytes_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<char> bytes_;
    std::int64_t total_ = 0;
    std::int64_t buffers_ = 0;
};

inline std::uint32_t frameNumber(const std::vector<char>& bytes, std::size_t frame) {
    std::uint32_t number = 0;
    std::memcpy(&number, bytes.data() + frame * FrameBytes, FrameBytes);
    return number;
}

// Where the numbered frames begin in `bytes` (after leading silence) and how many follow on one
// after another from number 1; the first frame that breaks the run is reported in `broken`.
struct NumberedRun {
    std::size_t start = 0;  // frames of silence before frame 1
    std::size_t length = 0; // frames numbered 1, 2, 3, ... without a gap
    bool broken = false;    // a frame after the run is not the next number
};

inline NumberedRun numberedRun(const std::vector<char>& bytes) {
    NumberedRun run;
    const std::size_t frames = bytes.size() / FrameBytes;
    while (run.start < frames && frameNumber(bytes, run.start) == 0)
        ++run.start;
    for (std::size_t frame = run.start; frame < frames; ++frame) {
        if (frameNumber(bytes, frame) != run.length + 1) {
            run.broken = true;
            break;
        }
        ++run.length;
    }
    return run;
}

// The main-thread fixture with the virtual devices' clock running faster than real time.
class VirtualDeviceFixture : public MainThreadFixture {
protected:
    static constexpr double ClockSpeed = 4.0;
    static void SetUpTestSuite() { setVirtualClockSpeed(ClockSpeed); }
    static void TearDownTestSuite() { setVirtualClockSpeed(1.0); }

    void SetUp() override {
        cableIn = inputNamed("Virtual Cable");
        signalIn = inputNamed("Test Signal");
        cableOut = outputNamed("Virtual Cable");
        nullOut = outputNamed("Null Output");
        ASSERT_NE(cableIn, InvalidId);
        ASSERT_NE(signalIn, InvalidId);
        ASSERT_NE(cableOut, InvalidId);
        ASSERT_NE(nullOut, InvalidId);
    }

    TMMDeviceId cableIn = InvalidId;
    TMMDeviceId signalIn = InvalidId;
    TMMDeviceId cableOut = InvalidId;
    TMMDeviceId nullOut = InvalidId;
};

// The fixture of one device's tests: the settings every test starts from and the device's
// starts, stops and errors counted.
class WaveDeviceFixture : public VirtualDeviceFixture {
protected:
    // Device `id` in callback `mode`, four buffers of `bufferBytes` bytes.
    template <typename Device>
    static void applyBufferSettings(Device& device, TMMDeviceId id, TMMCBMode mode,
                                    std::int32_t bufferBytes) {
        device.SetDeviceID(id);
        device.SetCallBackMode(mode);
        device.SetBufferSize(bufferBytes);
        device.SetNumBuffers(4);
    }
    template <typename Device> void countEvents(Device& device) {
        device.OnStart = [this](TMMDSPComponent*) {
            ++starts;
        };
        device.OnStop = [this](TMMDSPComponent*) {
            ++stops;
        };
        device.OnError = [this](TMMDSPComponent*) {
            ++errors;
        };
    }

    int starts = 0;
    int stops = 0;
    int errors = 0;
};

// Names the instances of a test run in both callback modes.
inline std::string callbackModeName(const ::testing::TestParamInfo<TMMCBMode>& info) {
    return info.param == cmWindow ? "Window" : "Thread";
}

} // namespace vantrel::test
