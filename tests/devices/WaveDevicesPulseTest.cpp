#include "MMWavIn.h"
#include "MMWavOut.h"
#include "SoundServerTest.h"
#include "WaveDeviceHarness.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numbers>

namespace vantrel {
namespace {

constexpr double ToneHz = 1000;
constexpr double ToneAmplitude = 0.5; // of full scale
constexpr std::uint32_t Rate = 48000;

// A steady sine on both channels, 16-bit stereo.
class ToneSource : public TMMDSPComponent {
public:
    ToneSource() { publishLinks(false, true); }
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override {
        const std::uint32_t frames = lpWaveHdr->wh.dwBufferLength / test::FrameBytes;
        auto* samples = reinterpret_cast<std::int16_t*>(lpWaveHdr->wh.lpData);
        for (std::uint32_t i = 0; i < frames; ++i, ++frame_) {
            const double phase = 2 * std::numbers::pi * ToneHz * double(frame_) / Rate;
            const auto value =
                static_cast<std::int16_t>(std::lround(ToneAmplitude * 32767 * std::sin(phase)));
            samples[2 * i] = samples[2 * i + 1] = value;
        }
        lpWaveHdr->wh.dwBytesRecorded = frames * test::FrameBytes;
        MoreBuffers = true;
    }

private:
    std::int64_t frame_ = 0;
};

// Runs against the server of scripts/pulse-test-server, whose null sink "Test Cable" stands for
// the virtual cable.
class PulseDeviceComponents : public MainThreadFixture {
protected:
    void SetUp() override { SKIP_WITHOUT_SOUND_SERVER(); }
};

TEST_F(PulseDeviceComponents, ToneIntoANullSinkComesBackFromItsMonitor) {
    const TMMDeviceId sink = test::outputNamed("Test Cable");
    const TMMDeviceId monitor = test::inputNamed("Monitor of Test Cable");
    ASSERT_NE(sink, InvalidId);
    ASSERT_NE(monitor, InvalidId);
    const TWaveFormatEx format = test::stereo16(Rate);

    ToneSource tone;
    TMMWaveOut output;
    output.SetDeviceID(sink);
    output.SetBufferSize(8192);
    output.SetNumBuffers(4);
    output.SetInput(&tone);
    tone.SetWaveFormat(&format);

    // Two seconds from the start of recording; the tone has long arrived in the second one.
    test::CaptureSink recorded(2 * Rate * test::FrameBytes);
    TMMWaveIn input;
    input.SetDeviceID(monitor);
    input.SetBufferSize(8192);
    input.SetWaveFormat(&format);
    input.SetOutput(&recorded);

    output.Start();
    input.Start();
    ASSERT_TRUE(pumpUntil([&] { return recorded.totalBytes() >= 2 * Rate * test::FrameBytes; }));
    input.Close();
    output.Close();

    // The second second, left channel: frequency from the rising zero crossings, level from
    // the RMS.
    const std::vector<char> bytes = recorded.bytes();
    ASSERT_EQ(bytes.size(), 2 * Rate * test::FrameBytes);
    std::vector<double> left(Rate);
    for (std::size_t i = 0; i < Rate; ++i) {
        std::int16_t sample = 0;
        std::memcpy(&sample, &bytes[(Rate + i) * test::FrameBytes], 2);
        left[i] = sample / 32767.0;
    }
    double sum = 0;
    int risingCrossings = 0;
    for (std::size_t i = 0; i < left.size(); ++i) {
        sum += left[i] * left[i];
        if (i > 0 && left[i - 1] < 0 && left[i] >= 0)
            ++risingCrossings;
    }
    EXPECT_NEAR(std::sqrt(sum / Rate), ToneAmplitude / std::numbers::sqrt2, 0.02);
    EXPECT_NEAR(risingCrossings, ToneHz, 2);
}

} // namespace
} // namespace vantrel
