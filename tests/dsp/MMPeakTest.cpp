#include "MMPeak.h"

#include "SampleSource.h"
#include "Spectrum.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <numeric>
#include <vector>

namespace vantrel {
namespace {

using Samples = std::vector<std::int16_t>;

TWaveFormatEx pcm(int bits, int channels, std::uint32_t rate = 44100) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, bits, channels, rate);
    return format;
}

// A detector opened and started on `format`.
struct OpenDetector {
    OpenDetector(const TWaveFormatEx& format, std::int32_t fftLength, TMMFFTWindow window,
                 TMMChannel channel = chBoth) {
        detector.SetFFTLength(fftLength);
        detector.SetWindow(window);
        detector.SetChannel(channel);
        detector.SetWaveFormat(&format);
        detector.NotifyOpened();
        detector.NotifyStarted();
    }

    // Pushes `bytes` bytes of `data` as one buffer; returns what came out.
    std::vector<char> push(const void* data, std::size_t bytes) {
        PWaveHdr buffer = allocateBuffer(static_cast<std::uint32_t>(bytes));
        std::memcpy(buffer->wh.lpData, data, bytes);
        buffer->wh.dwBytesRecorded = static_cast<std::uint32_t>(bytes);
        detector.BufferReady(buffer);
        std::vector<char> out(buffer->wh.lpData, buffer->wh.lpData + bytes);
        freeBuffer(buffer);
        return out;
    }
    std::vector<char> push(const Samples& samples) {
        return push(samples.data(), samples.size() * 2);
    }

    // The bin with the largest peak.
    std::int32_t loudestBin() const {
        std::int32_t best = 0;
        for (std::int32_t k = 1; k < detector.PeakCount(); ++k)
            if (detector.PeakValue(k) > detector.PeakValue(best))
                best = k;
        return best;
    }

    TMMPeakDetect detector;
};

TEST(PeakDetectProperties, FFTLengthIsClampedToAPowerOfTwo) {
    TMMPeakDetect detector;
    EXPECT_EQ(detector.GetFFTLength(), 128);
    struct Case {
        std::int32_t set, expected;
    };
    for (const Case c : {Case{100000, 32768}, Case{100, 64}, Case{5, 8}, Case{8192, 8192}}) {
        detector.SetFFTLength(c.set);
        EXPECT_EQ(detector.GetFFTLength(), c.expected) << c.set;
        EXPECT_EQ(detector.PeakCount(), c.expected / 2);
    }
}

TEST(PeakDetectProperties, FrequencyLookupFollowsTheFormat) {
    TMMPeakDetect detector;
    detector.SetFFTLength(8192);
    EXPECT_EQ(detector.BinWidth(), 0);
    EXPECT_EQ(detector.FrequencyToIndex(1000), 0);
    const TWaveFormatEx format = pcm(16, 2);
    detector.SetWaveFormat(&format);
    EXPECT_NEAR(detector.BinWidth(), 5.3833, 1e-4);
    EXPECT_EQ(detector.FrequencyToIndex(1000), 185);
    EXPECT_EQ(detector.FrequencyToIndex(30000), 4096);
    EXPECT_EQ(detector.PeakValue(4096), 0);
    EXPECT_EQ(detector.FrequencyToIndex(-5), 0);
}

TEST(PeakDetectProperties, RefusesFormatsThatAreNotPcm) {
    TMMPeakDetect detector;
    TWaveFormatEx adpcm = pcm(16, 2);
    adpcm.wFormatTag = 2;
    for (const TWaveFormatEx& format : {adpcm, pcm(24, 2), pcm(16, 3)}) {
        try {
            detector.SetWaveFormat(&format);
            ADD_FAILURE() << "accepted tag " << format.wFormatTag;
        } catch (const EMMPeakError& error) {
            EXPECT_STREQ(error.what(), "Invalid WaveFormat");
        }
    }
    const TWaveFormatEx eightBit = pcm(8, 1);
    EXPECT_NO_THROW(detector.SetWaveFormat(&eightBit));
}

// The detector reads a full-scale sine exactly on bin 64 as its amplitude: 32765 with the
// rectangular window (the table holds 32767, and both steps truncate), and the amplitude times
// the window's mean otherwise, as the main window's two detectors are set up.
TEST(PeakDetectMeasure, SineShowsAtItsBinWithItsLevelInBothWindowSettings) {
    struct Case {
        std::int32_t fftLength;
        TMMFFTWindow window;
    };
    for (const Case c : {Case{8192, fwRectangular}, Case{2048, fwBlackman}}) {
        const TWaveFormatEx format = pcm(16, 2);
        OpenDetector open(format, c.fftLength, c.window);
        const double frequency = 64.0 * 44100 / c.fftLength;
        const Samples tone = spectrum::toPcm16(spectrum::sine(c.fftLength, frequency, 44100, 1.0));
        open.push(spectrum::interleave({tone, tone}));

        EXPECT_EQ(open.loudestBin(), open.detector.FrequencyToIndex(static_cast<float>(frequency)));
        EXPECT_EQ(open.loudestBin(), 64);
        double windowMean = 0;
        for (std::int32_t i = 0; i < c.fftLength; ++i)
            windowMean += FFTWindowValue(c.window, i, c.fftLength);
        windowMean /= c.fftLength;
        if (c.window == fwRectangular)
            EXPECT_EQ(open.detector.PeakValue(64), 32765);
        else
            EXPECT_NEAR(open.detector.PeakValue(64), 32767 * windowMean, 32767 * 0.01);
        EXPECT_EQ(open.detector.LeftPeak(), 32767);
    }
}

TEST(PeakDetectMeasure, ChannelChoiceOfStereoData) {
    const Samples left = spectrum::toPcm16(spectrum::sine(1024, 64 * 44100 / 1024.0, 44100, 0.5));
    Samples opposite(left.size());
    std::transform(left.begin(), left.end(), opposite.begin(),
                   [](std::int16_t s) { return static_cast<std::int16_t>(-s); });
    const Samples silent(left.size(), 0);
    struct Case {
        TMMChannel channel;
        Samples right;
        bool heard;
    };
    for (const Case& c : {Case{chBoth, opposite, false}, Case{chLeft, silent, true},
                          Case{chRight, silent, false}, Case{chBoth, silent, true}}) {
        OpenDetector open(pcm(16, 2), 1024, fwRectangular, c.channel);
        open.push(spectrum::interleave({left, c.right}));
        std::int32_t total = 0;
        for (std::int32_t k = 0; k < open.detector.PeakCount(); ++k)
            total += open.detector.PeakValue(k);
        if (c.heard)
            EXPECT_GT(open.detector.PeakValue(64), 8000) << c.channel;
        else
            EXPECT_EQ(total, 0) << c.channel;
    }
}

// A buffer of 1.5 frames is analysed as two, the second padded with silence; the peaks are the
// larger of both, and the buffer goes on unchanged.
TEST(PeakDetectMeasure, ShortLastFrameIsPaddedWithSilence) {
    const std::int32_t n = 256;
    for (const int bits : {8, 16}) {
        OpenDetector open(pcm(bits, 1), n, fwHanning);
        int frames = 0;
        open.detector.OnPeakReady = [&](TMMPeakDetect* sender, std::int32_t index, std::int32_t) {
            EXPECT_EQ(sender, &open.detector);
            frames += index == 0 ? 1 : 0;
        };
        // Silence, then a tone only in the short last frame.
        const spectrum::Signal tone = spectrum::sine(n / 2, 32 * 44100.0 / n, 44100, 0.5);
        std::vector<char> data;
        for (int i = 0; i < n + n / 2; ++i) {
            const double value = i < n ? 0.0 : tone[static_cast<std::size_t>(i - n)];
            if (bits == 8) {
                data.push_back(static_cast<char>(128 + std::lround(value * 127)));
            } else {
                const auto sample = static_cast<std::int16_t>(std::lround(value * 32767));
                data.resize(data.size() + 2);
                std::memcpy(data.data() + data.size() - 2, &sample, 2);
            }
        }
        EXPECT_EQ(open.push(data.data(), data.size()), data) << bits;
        EXPECT_EQ(frames, 2) << bits;
        EXPECT_EQ(open.loudestBin(), 32) << bits;
        // A silence of 0 in 8-bit data would have shown as a large DC value.
        EXPECT_LT(open.detector.PeakValue(0), 500) << bits;
    }
}

TEST(PeakDetectMeasure, PullPathMeasuresAndLeavesDataUnchanged) {
    const Samples tone = spectrum::toPcm16(spectrum::sine(512, 10 * 44100 / 512.0, 44100, 0.5));
    OpenDetector open(pcm(16, 1), 512, fwHamming);
    test::SampleSource source(tone);
    const TWaveFormatEx mono = pcm(16, 1);
    source.SetWaveFormat(&mono);
    source.SetOutput(&open.detector);
    PWaveHdr buffer = allocateBuffer(1024);
    bool more = false;
    open.detector.BufferLoad(buffer, more);
    EXPECT_EQ(std::memcmp(buffer->wh.lpData, tone.data(), 1024), 0);
    EXPECT_EQ(open.loudestBin(), 10);
    freeBuffer(buffer);

    open.detector.Deactivate();
    open.detector.ResetPeaks();
    open.push(tone);
    EXPECT_EQ(open.detector.PeakValue(10), 0); // inactive: nothing measured
    open.detector.Activate();
    open.push(tone);
    EXPECT_GT(open.detector.PeakValue(10), 0);
}

} // namespace
} // namespace vantrel
