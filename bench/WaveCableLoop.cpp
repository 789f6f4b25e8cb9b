// A timed loop through the virtual cable with the live chain's buffer sizes (input 4 x 16384
// bytes, output 4 x 16384 bytes, as the output runs with the input's buffer size) at 48 kHz,
// 16-bit stereo: every buffer that comes back is refilled and queued again at once, as a device
// in callback mode would. It prints how long a frame takes from being written to the output
// until the recorded buffer holding it comes back (the output's queue, as the cable itself adds
// no delay), and the underruns the input saw.
//
//   wave_cable_loop [seconds]     (default 60; VANTREL_VIRTUAL_CLOCK_SPEED runs it faster)
#include "VirtualClock.h"
#include "WaveDevices.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace vantrel {
namespace {

constexpr std::uint32_t Rate = 48000;
constexpr std::uint32_t BufferBytes = 16384;
constexpr int BufferCount = 4;
constexpr std::uint32_t FrameBytes = 4;
constexpr std::uint32_t FramesPerBuffer = BufferBytes / FrameBytes;

// Frame k carries k + 1 as a 32-bit number over its two channels, so silence (0) stands out.
void encode(char* frame, std::uint32_t value) {
    std::memcpy(frame, &value, FrameBytes);
}
std::uint32_t decode(const char* frame) {
    std::uint32_t value;
    std::memcpy(&value, frame, FrameBytes);
    return value;
}

struct Statistics {
    double sum = 0;
    double max = 0;
    std::int64_t count = 0;
    void add(double value) {
        sum += value;
        max = std::max(max, value);
        ++count;
    }
    double mean() const { return count == 0 ? 0 : sum / static_cast<double>(count); }
};

class CableLoop {
public:
    explicit CableLoop(double seconds)
        : framesWanted_(static_cast<std::int64_t>(seconds * Rate)),
          writeTimes_(static_cast<std::size_t>(framesWanted_ / FramesPerBuffer) + 4 * BufferCount) {
    }

    int run();

private:
    static void onOutput(WaveHandle handle, WaveMessage message, void* user,
                         PWaveHdr buffer) noexcept {
        auto* loop = static_cast<CableLoop*>(user);
        if (message == WaveMessage::Done)
            loop->refill(handle, buffer);
        else if (message == WaveMessage::Closed)
            loop->closed();
    }
    static void onInput(WaveHandle handle, WaveMessage message, void* user,
                        PWaveHdr buffer) noexcept {
        auto* loop = static_cast<CableLoop*>(user);
        if (message == WaveMessage::Done)
            loop->examine(handle, buffer);
        else if (message == WaveMessage::Closed)
            loop->closed();
    }

    void refill(WaveHandle handle, PWaveHdr buffer);
    void examine(WaveHandle handle, PWaveHdr buffer);
    void closed() {
        std::lock_guard lock(mutex_);
        ++closedDevices_;
        done_.notify_all();
    }
    double millisecondsSince(std::uint64_t frame) const {
        const std::size_t block = frame / FramesPerBuffer;
        return static_cast<double>(VirtualClock::instance().now() - writeTimes_[block]) / 1000.0;
    }

    const std::int64_t framesWanted_;
    std::vector<std::int64_t> writeTimes_; // virtual microseconds, per output buffer written
    std::uint64_t framesWritten_ = 0;      // on the delivery thread only
    std::atomic<bool> finishing_{false};
    std::uint64_t expected_ = 1; // next value the input should see
    bool inGap_ = false;
    std::int64_t underruns_ = 0;
    std::int64_t silentFrames_ = 0;
    std::int64_t discontinuities_ = 0;
    Statistics latency_; // milliseconds from writing a frame until it came back recorded
    std::int64_t framesRecorded_ = 0; // guarded by mutex_, as are the two below
    int closedDevices_ = 0;
    std::mutex mutex_;
    std::condition_variable done_;
};

void CableLoop::refill(WaveHandle handle, PWaveHdr buffer) {
    if (finishing_)
        return;
    const std::size_t block = framesWritten_ / FramesPerBuffer;
    if (block >= writeTimes_.size())
        return;
    for (std::uint32_t i = 0; i < FramesPerBuffer; ++i)
        encode(buffer->wh.lpData + i * FrameBytes,
               static_cast<std::uint32_t>(framesWritten_ + i + 1));
    framesWritten_ += FramesPerBuffer;
    writeTimes_[block] = VirtualClock::instance().now();
    waveOutFunctions().write(handle, buffer);
}

void CableLoop::examine(WaveHandle handle, PWaveHdr buffer) {
    if (finishing_)
        return;
    const std::uint32_t frames = buffer->wh.dwBytesRecorded / FrameBytes;
    std::uint32_t newest = 0;
    for (std::uint32_t i = 0; i < frames; ++i) {
        const std::uint32_t value = decode(buffer->wh.lpData + i * FrameBytes);
        if (value == 0) {
            // Silence before the first frame is the start, not an underrun.
            if (expected_ > 1) {
                underruns_ += inGap_ ? 0 : 1;
                ++silentFrames_;
                inGap_ = true;
            }
            continue;
        }
        inGap_ = false;
        discontinuities_ += value == expected_ ? 0 : 1;
        expected_ = value + 1ull;
        newest = value;
    }
    if (newest != 0)
        latency_.add(millisecondsSince(newest - 1));
    std::lock_guard lock(mutex_);
    framesRecorded_ += frames;
    if (framesRecorded_ >= framesWanted_)
        done_.notify_all();
    else
        waveInFunctions().addBuffer(handle, buffer);
}

int CableLoop::run() {
    const WaveInFunctions& in = waveInFunctions();
    const WaveOutFunctions& out = waveOutFunctions();
    const auto find = [](auto& functions) {
        const auto count = static_cast<TMMDeviceId>(functions.getNumDevs());
        for (TMMDeviceId device = 0; device < count; ++device) {
            WaveDeviceCaps caps;
            if (functions.getDevCaps(device, caps) == MMSYSERR_NOERROR &&
                caps.productName == "Virtual Cable")
                return device;
        }
        return InvalidId;
    };
    TWaveFormatEx format{};
    BuildPCMFormat(format, 16, 2, Rate);
    WaveHandle input = 0;
    WaveHandle output = 0;
    if (in.open(&input, find(in), &format, &CableLoop::onInput, this, 0) != MMSYSERR_NOERROR ||
        out.open(&output, find(out), &format, &CableLoop::onOutput, this, 0) != MMSYSERR_NOERROR) {
        std::fprintf(stderr, "wave_cable_loop: the virtual cable does not open\n");
        return 1;
    }
    std::vector<PWaveHdr> buffers;
    for (int i = 0; i < 2 * BufferCount; ++i)
        buffers.push_back(allocateBuffer(BufferBytes));
    for (int i = 0; i < BufferCount; ++i) {
        in.prepareHeader(input, buffers[i]);
        in.addBuffer(input, buffers[i]);
    }
    in.start(input);
    // Prime the output while paused, as the output device does, then let it play.
    out.pause(output);
    for (int i = BufferCount; i < 2 * BufferCount; ++i) {
        out.prepareHeader(output, buffers[i]);
        refill(output, buffers[i]);
    }
    out.restart(output);
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return framesRecorded_ >= framesWanted_; });
    }
    finishing_ = true;
    in.reset(input);
    out.reset(output);
    in.close(input);
    out.close(output);
    // The Closed notifications come after every buffer is back and after the last examine().
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return closedDevices_ == 2; });
    }
    for (PWaveHdr buffer : buffers)
        freeBuffer(buffer);

    std::printf("virtual cable loop: %u Hz 16-bit stereo, input and output %d x %u bytes, "
                "%.0f s of audio at clock speed %.2f\n",
                Rate, BufferCount, BufferBytes, static_cast<double>(framesWanted_) / Rate,
                VirtualClock::instance().speed());
    std::printf("write-to-record latency: %.1f ms mean, %.1f ms max\n", latency_.mean(),
                latency_.max);
    std::printf("underruns: %lld (%lld frames of silence); lost or repeated frames: %lld\n",
                static_cast<long long>(underruns_), static_cast<long long>(silentFrames_),
                static_cast<long long>(discontinuities_));
    return 0;
}

} // namespace
} // namespace vantrel

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: wave_cable_loop [seconds]\n");
        return 2;
    }
    vantrel::CableLoop loop(seconds);
    return loop.run();
}
