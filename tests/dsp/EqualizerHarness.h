// An equalizer opened and started as the main window runs it, and signals to push through it.
#pragma once

#include "MMEQ.h"
#include "Spectrum.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vantrel::test {

using Samples = std::vector<std::int16_t>;

inline constexpr std::uint32_t Rate = 44100;

inline TWaveFormatEx pcm(int bits, int channels, std::uint32_t rate = Rate) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, bits, channels, rate);
    return format;
}

// An equalizer set up as the main window sets it up, opened and started on a stereo stream.
struct OpenEqualizer {
    explicit OpenEqualizer(int channels = 2, std::int32_t fftLength = 512) {
        eq.SetSampleRate(44100);
        eq.SetFFTLength(fftLength);
        eq.SetWindow(fwHanning);
        const TWaveFormatEx format = pcm(16, channels);
        eq.SetWaveFormat(&format);
        eq.SetBufferSize(8192);
        eq.NotifyOpened();
        eq.NotifyStarted();
    }
    ~OpenEqualizer() {
        eq.NotifyStopped();
        eq.NotifyClosed();
    }

    // Pushes `frameData` (interleaved 16-bit) through in buffers of `bufferBytes`; returns what
    // came out.
    Samples push(const Samples& frameData, std::uint32_t bufferBytes = 8192) {
        Samples out = frameData;
        PWaveHdr buffer = allocateBuffer(bufferBytes);
        const std::size_t total = out.size() * sizeof(std::int16_t);
        for (std::size_t at = 0; at < total; at += bufferBytes) {
            const auto bytes =
                static_cast<std::uint32_t>(std::min<std::size_t>(bufferBytes, total - at));
            std::memcpy(buffer->wh.lpData, reinterpret_cast<char*>(out.data()) + at, bytes);
            buffer->wh.dwBytesRecorded = bytes;
            eq.BufferReady(buffer);
            std::memcpy(reinterpret_cast<char*>(out.data()) + at, buffer->wh.lpData, bytes);
        }
        freeBuffer(buffer);
        return out;
    }

    void addLayoutBands(const std::vector<float>& gains) {
        const auto& layout = spectrum::defaultEqualizerLayout();
        for (std::size_t i = 0; i < layout.size(); ++i)
            eq.Filters().Add(new TMMEQFilter(static_cast<float>(layout[i].lower),
                                             static_cast<float>(layout[i].upper), gains[i]));
    }

    TMMEqualizer eq;
};

inline Samples stereoPinkNoise(std::size_t frames) {
    return spectrum::interleave({spectrum::toPcm16(spectrum::pinkNoise(frames, 0.1, 11)),
                                 spectrum::toPcm16(spectrum::pinkNoise(frames, 0.1, 12))});
}

} // namespace vantrel::test
