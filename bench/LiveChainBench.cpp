// The main window's live duplex chain through the virtual cable, in real time: input device
// (4 x 16384 bytes) -> duplex ring buffer (2 slots) -> pass-through -> output device (4 buffers,
// running with the input's buffer size) -> a component behind the output, at 48 kHz 16-bit
// stereo, window callback mode. A second output device plays numbered frames into the cable, so
// each frame that leaves the live output tells when it entered.
//
// Prints the measured input-to-output latency of the last frame of each played buffer, the range
// the buffer arithmetic predicts for it, the ring buffer's underruns and overruns, breaks in the
// numbered signal, and the CPU time the process used per second of audio.
//
//   live_chain_bench [seconds]     (default 60)
#include "MMRingBf.h"
#include "MMWavIn.h"
#include "MMWavOut.h"
#include "MainThreadLoop.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>

namespace vantrel {
namespace {

constexpr std::uint32_t Rate = 48000;
constexpr std::uint32_t FrameBytes = 4;
constexpr std::int32_t InputBufferBytes = 16384;
constexpr std::int32_t InputBuffers = 4;
constexpr std::int32_t OutputBuffers = 4;
constexpr std::int32_t QueueSlots = 2;
constexpr std::chrono::milliseconds SettleTime{1000};
constexpr double BufferMs = 1000.0 * InputBufferBytes / FrameBytes / Rate;

template <typename Functions>
TMMDeviceId deviceNamed(const Functions& functions, const std::string& name) {
    const auto count = static_cast<TMMDeviceId>(functions.getNumDevs());
    for (TMMDeviceId device = 0; device < count; ++device)
        if (WaveDeviceCaps caps;
            functions.getDevCaps(device, caps) == MMSYSERR_NOERROR && caps.productName == name)
            return device;
    return InvalidId;
}

std::uint32_t numberAt(const char* data) {
    std::uint32_t number = 0;
    std::memcpy(&number, data, FrameBytes);
    return number;
}

// Numbered frames from 1 on: frame k of the signal carries k + 1 over its two channels.
class NumberedSignal : public TMMDSPComponent {
public:
    NumberedSignal() { publishLinks(false, true); }
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override {
        const std::uint32_t frames = lpWaveHdr->wh.dwBufferLength / FrameBytes;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const auto number = static_cast<std::uint32_t>(++next_);
            std::memcpy(lpWaveHdr->wh.lpData + i * FrameBytes, &number, FrameBytes);
        }
        lpWaveHdr->wh.dwBytesRecorded = frames * FrameBytes;
        MoreBuffers = true;
    }

private:
    std::int64_t next_ = 0;
};

class PassThrough : public TMMDSPComponent {
public:
    PassThrough() { publishLinks(true, true); }
};

// Behind the live output: for each played buffer, how long ago its last frame entered the cable.
class LatencyProbe : public TMMDSPComponent {
public:
    LatencyProbe(TMMWaveOut& live, TMMWaveOut& player) : live_(live), player_(player) {
        publishLinks(true, false);
    }

    void BufferReady(PWaveHdr lpWaveHdr) override {
        const std::uint32_t frames = lpWaveHdr->wh.dwBytesRecorded / FrameBytes;
        if (frames == 0)
            return;
        livePlayed_ += frames;
        const std::uint32_t last = numberAt(lpWaveHdr->wh.lpData + (frames - 1) * FrameBytes);
        const std::uint32_t first = numberAt(lpWaveHdr->wh.lpData);
        if (first == 0 || last == 0 || !player_.IsDeviceStarted())
            return; // silence before the signal
        if (expected_ != 0 && first != expected_)
            ++breaks_;
        expected_ = last + 1;
        // Both positions are read now, on one clock: the player has gone on past the last frame
        // by (player - last) frames, the live output past the end of this buffer by
        // (live - played) frames.
        const std::int64_t player = player_.GetPosition();
        const std::int64_t live = live_.GetPosition();
        const std::int64_t latencyFrames = (player - last) - (live - livePlayed_);
        const double ms = 1000.0 * static_cast<double>(latencyFrames) / Rate;
        sumMs_ += ms;
        minMs_ = std::min(minMs_, ms);
        maxMs_ = std::max(maxMs_, ms);
        ++measured_;
    }

    void print() const {
        if (measured_ == 0) {
            std::printf("latency:                no signal measured\n");
            return;
        }
        std::printf("latency (measured):     mean %.1f ms, min %.1f ms, max %.1f ms over %lld "
                    "buffers\n",
                    sumMs_ / double(measured_), minMs_, maxMs_, static_cast<long long>(measured_));
        std::printf("signal breaks:          %lld\n", static_cast<long long>(breaks_));
    }

private:
    TMMWaveOut& live_;
    TMMWaveOut& player_;
    std::int64_t livePlayed_ = 0; // frames the live output has played
    std::uint32_t expected_ = 0;
    std::int64_t breaks_ = 0;
    double sumMs_ = 0;
    double minMs_ = 1e9;
    double maxMs_ = 0;
    std::int64_t measured_ = 0;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return double(t.tv_sec) + t.tv_usec / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int run(double seconds) {
    MainThreadLoop loop;
    installMainThread(&loop);
    const TMMDeviceId cableIn = deviceNamed(waveInFunctions(), "Virtual Cable");
    const TMMDeviceId cableOut = deviceNamed(waveOutFunctions(), "Virtual Cable");
    const TMMDeviceId nullOut = deviceNamed(waveOutFunctions(), "Null Output");
    if (cableIn == InvalidId || cableOut == InvalidId || nullOut == InvalidId) {
        std::fprintf(stderr, "the virtual devices are missing\n");
        return 1;
    }

    TMMWaveIn input;
    TMMRingBuffer queue;
    PassThrough pass;
    TMMWaveOut output;
    TMMWaveOut player;
    NumberedSignal signal;
    LatencyProbe probe(output, player);

    input.SetBufferSize(InputBufferBytes);
    input.SetNumBuffers(InputBuffers);
    input.SetDeviceID(cableIn);
    input.SetChannels(2);
    input.SetBitLength(b16Bit);
    input.SetSampleRate(Rate);
    input.SetPriority(tpNormal);
    queue.SetBufferSize(8192);
    queue.SetNumBuffers(QueueSlots);
    queue.SetTimeOut(-1);
    output.SetBufferSize(8192);
    output.SetNumBuffers(OutputBuffers);
    output.SetDeviceID(nullOut);
    output.SetTimeFormat(tfSample);
    output.SetPriority(tpNormal);
    queue.SetInput(&input);
    queue.SetQueueMode(qmDuplex);
    queue.SetOutput(&pass);
    pass.SetOutput(&output);
    output.SetOutput(&probe);

    const TWaveFormatEx* format = input.GetWaveFormat();
    player.SetDeviceID(cableOut);
    player.SetBufferSize(InputBufferBytes);
    player.SetNumBuffers(16);
    player.SetTimeFormat(tfSample);
    player.SetInput(&signal);
    signal.SetWaveFormat(format);

    const double cpuBefore = cpuSeconds();
    // The signal enters once the queue has primed and settled.
    input.Start();
    loop.pumpUntil([] { return false; }, SettleTime);
    player.Start();
    const auto length = std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
    loop.pumpUntil([] { return false; }, length);
    const double audioSeconds = static_cast<double>(output.GetPosition()) / Rate;
    const std::int64_t underruns = queue.GetUnderrunCount();
    const std::int64_t overruns = queue.GetOverflowCount();
    player.Close();
    input.Close();
    const double cpu = cpuSeconds() - cpuBefore;
    installMainThread(nullptr);

    std::printf("live duplex chain through the virtual cable, %.1f s of audio at %u Hz\n",
                audioSeconds, Rate);
    probe.print();
    // The last frame of a recorded buffer goes into the queue at once; it waits there between
    // one and two slots (the queue primes full and then holds one or two), then behind the
    // output's queue of four buffers.
    std::printf("latency (predicted):    %.1f to %.1f ms (ring 1-%d slots + output %d buffers, "
                "%.1f ms each)\n",
                (1 + OutputBuffers) * BufferMs, (QueueSlots + OutputBuffers) * BufferMs, QueueSlots,
                OutputBuffers, BufferMs);
    std::printf("underruns (ring empty): %lld\n", static_cast<long long>(underruns));
    std::printf("overruns (ring full):   %lld\n", static_cast<long long>(overruns));
    std::printf("CPU time:               %.2f ms per second of audio\n",
                audioSeconds > 0 ? 1000.0 * cpu / audioSeconds : 0.0);
    return 0;
}

} // namespace
} // namespace vantrel

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: %s [seconds]\n", argv[0]);
        return 2;
    }
    return vantrel::run(seconds);
}
