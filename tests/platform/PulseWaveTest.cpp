#include "SoundServerTest.h"
#include "WaveDevices.h"
#include "WaveTestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <numbers>
#include <thread>

namespace vantrel {
namespace {

using test::Buffer;
using test::makeBuffer;
using test::Notifications;
using test::pcm;
using InputDevice = test::OpenDevice<WaveInFunctions>;
using OutputDevice = test::OpenDevice<WaveOutFunctions>;

// Runs against the server of scripts/pulse-test-server, whose null sinks are "Test Cable" and
// "Test Card".
class PulseWaveDevices : public ::testing::Test {
protected:
    void SetUp() override { SKIP_WITHOUT_SOUND_SERVER(); }

    const WaveInFunctions& in = waveInFunctions();
    const WaveOutFunctions& out = waveOutFunctions();
};

TEST_F(PulseWaveDevices, DeviceListsShowTheNullSinksAndTheirMonitors) {
    const std::vector<std::string> inputs = test::deviceNames(in);
    const std::vector<std::string> outputs = test::deviceNames(out);
    const auto has = [](const std::vector<std::string>& names, const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    EXPECT_TRUE(has(outputs, "Test Cable"));
    EXPECT_TRUE(has(outputs, "Test Card"));
    EXPECT_TRUE(has(inputs, "Monitor of Test Cable"));
    EXPECT_TRUE(has(inputs, "Monitor of Test Card"));
    // The server's devices come first; the virtual ones stay at the end.
    EXPECT_EQ(outputs.back(), "Null Output");
    EXPECT_EQ(inputs.back(), "Test Signal");

    WaveDeviceCaps caps;
    ASSERT_EQ(out.getDevCaps(MapperId, caps), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.productName, "Default Device (Test Card)");
    EXPECT_GT(caps.driverVersion, 0u);
    ASSERT_EQ(in.getDevCaps(MapperId, caps), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.productName, "Default Device (Monitor of Test Cable)");
}

TEST_F(PulseWaveDevices, FormatQueryGoesThroughTheServersSampleSpecs) {
    const TMMDeviceId card = test::findDevice(out, "Test Card");
    ASSERT_NE(card, InvalidId);
    const TWaveFormatEx good[] = {pcm(16, 2, 48000), pcm(8, 1, 8000), pcm(16, 1, 100000)};
    for (const TWaveFormatEx& format : good) {
        EXPECT_EQ(out.open(nullptr, card, &format, nullptr, nullptr, WAVE_FORMAT_QUERY),
                  MMSYSERR_NOERROR);
        EXPECT_EQ(in.open(nullptr, MapperId, &format, nullptr, nullptr, WAVE_FORMAT_QUERY),
                  MMSYSERR_NOERROR);
    }
    const TWaveFormatEx bad = pcm(24, 2, 48000);
    EXPECT_EQ(out.open(nullptr, card, &bad, nullptr, nullptr, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
}

TEST_F(PulseWaveDevices, PausedOutputHoldsItsBuffersAndResetHandsThemBack) {
    const TWaveFormatEx format = pcm(16, 2, 44100);
    const TMMDeviceId cable = test::findDevice(out, "Test Cable");
    ASSERT_NE(cable, InvalidId);
    std::vector<Buffer> buffers;
    for (int i = 0; i < 3; ++i)
        buffers.push_back(makeBuffer(format.nAvgBytesPerSec)); // 1 s each
    Buffer shortOne = makeBuffer(format.nAvgBytesPerSec / 20);
    Notifications notes;
    OutputDevice device(out, cable, format, notes);
    ASSERT_EQ(device.result(), MMSYSERR_NOERROR);
    ASSERT_EQ(out.pause(device.handle()), MMSYSERR_NOERROR);
    for (Buffer& buffer : buffers)
        ASSERT_EQ(device.queue(buffer), MMSYSERR_NOERROR);
    EXPECT_EQ(device.position().samples, 0);

    ASSERT_EQ(out.reset(device.handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(notes.waitForDone(buffers.size()));
    const std::vector<PWaveHdr> done = notes.done();
    for (std::size_t i = 0; i < buffers.size(); ++i)
        EXPECT_EQ(done[i], buffers[i].get()) << "buffer " << i;
    EXPECT_EQ(device.position().samples, 0);

    ASSERT_EQ(out.restart(device.handle()), MMSYSERR_NOERROR);
    ASSERT_EQ(device.queue(shortOne), MMSYSERR_NOERROR);
    ASSERT_TRUE(notes.waitForDone(buffers.size() + 1));
    // The position reaches the end of what was played once the server has played it.
    const auto frames = static_cast<std::int64_t>(shortOne->wh.dwBufferLength / 4);
    EXPECT_EQ(device.waitForPosition(frames), frames);
}

TEST_F(PulseWaveDevices, StoppedInputReturnsThePartBuffer) {
    const TWaveFormatEx format = pcm(8, 1, 22050);
    const TMMDeviceId monitor = test::findDevice(in, "Monitor of Test Cable");
    ASSERT_NE(monitor, InvalidId);
    std::vector<Buffer> buffers;
    for (int i = 0; i < 2; ++i)
        buffers.push_back(makeBuffer(format.nAvgBytesPerSec * 10)); // 10 s each
    Notifications notes;
    InputDevice device(in, monitor, format, notes);
    ASSERT_EQ(device.result(), MMSYSERR_NOERROR);
    for (Buffer& buffer : buffers)
        ASSERT_EQ(device.queue(buffer), MMSYSERR_NOERROR);
    ASSERT_EQ(in.start(device.handle()), MMSYSERR_NOERROR);
    ASSERT_GT(device.waitForPosition(1), 0);

    ASSERT_EQ(in.stop(device.handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(notes.waitForDone(1));
    EXPECT_EQ(notes.done().front(), buffers[0].get());
    EXPECT_GT(buffers[0]->wh.dwBytesRecorded, 0u);
    EXPECT_EQ(device.position().bytes, buffers[0]->wh.dwBytesRecorded);
    EXPECT_EQ(in.unprepareHeader(device.handle(), buffers[1].get()), WAVERR_STILLPLAYING);
}

constexpr double ToneFrequency = 1000;    // Hz
constexpr double ToneAmplitude = 0.5;     // of full scale
constexpr std::size_t ToneBuffers = 10;   // 100 ms each
constexpr std::size_t RecordBuffers = 25; // 100 ms each

void fillTone(TMMBufferHeader& buffer, std::size_t firstFrame, const TWaveFormatEx& format) {
    auto* samples = reinterpret_cast<std::int16_t*>(buffer.wh.lpData);
    const std::size_t frames = buffer.wh.dwBufferLength / format.nBlockAlign;
    for (std::size_t i = 0; i < frames; ++i) {
        const double phase = 2 * std::numbers::pi * ToneFrequency *
                             static_cast<double>(firstFrame + i) / format.nSamplesPerSec;
        const auto value =
            static_cast<std::int16_t>(std::lround(ToneAmplitude * 32767 * std::sin(phase)));
        samples[2 * i] = samples[2 * i + 1] = value;
    }
}

TEST_F(PulseWaveDevices, ToneOnASinkComesBackFromItsMonitor) {
    const TWaveFormatEx format = pcm(16, 2, 48000);
    const std::uint32_t bufferBytes = format.nAvgBytesPerSec / 10;
    const TMMDeviceId card = test::findDevice(out, "Test Card");
    const TMMDeviceId monitor = test::findDevice(in, "Monitor of Test Card");
    ASSERT_NE(card, InvalidId);
    ASSERT_NE(monitor, InvalidId);

    std::vector<Buffer> tone;
    for (std::size_t b = 0; b < ToneBuffers; ++b) {
        tone.push_back(makeBuffer(bufferBytes));
        fillTone(*tone.back(), b * bufferBytes / format.nBlockAlign, format);
    }
    std::vector<Buffer> recording;
    for (int b = 0; b < 8; ++b)
        recording.push_back(makeBuffer(bufferBytes));

    Notifications inputNotes, outputNotes;
    InputDevice input(in, monitor, format, inputNotes);
    ASSERT_EQ(input.result(), MMSYSERR_NOERROR);
    for (Buffer& buffer : recording)
        ASSERT_EQ(input.queue(buffer), MMSYSERR_NOERROR);
    ASSERT_EQ(in.start(input.handle()), MMSYSERR_NOERROR);
    OutputDevice output(out, card, format, outputNotes);
    ASSERT_EQ(output.result(), MMSYSERR_NOERROR);
    ASSERT_EQ(out.pause(output.handle()), MMSYSERR_NOERROR);
    for (Buffer& buffer : tone)
        ASSERT_EQ(output.queue(buffer), MMSYSERR_NOERROR);
    ASSERT_EQ(out.restart(output.handle()), MMSYSERR_NOERROR);

    std::vector<std::int16_t> left;
    for (std::size_t count = 1; count <= RecordBuffers; ++count) {
        ASSERT_TRUE(inputNotes.waitForDone(count));
        PWaveHdr buffer = inputNotes.done()[count - 1];
        const std::vector<std::int16_t> part = test::samples16(*buffer, buffer->wh.dwBytesRecorded);
        for (std::size_t i = 0; i < part.size(); i += 2)
            left.push_back(part[i]);
        ASSERT_EQ(in.addBuffer(input.handle(), buffer), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(outputNotes.waitForDone(ToneBuffers));
    const std::vector<PWaveHdr> played = outputNotes.done();
    for (std::size_t b = 0; b < ToneBuffers; ++b)
        EXPECT_EQ(played[b], tone[b].get());
    const auto toneFrames = static_cast<std::int64_t>(ToneBuffers * bufferBytes / 4);
    EXPECT_EQ(output.waitForPosition(toneFrames), toneFrames);

    // Measure 0.5 s from the middle of the tone: its level, and its frequency from the median
    // time between rising zero crossings (so that a glitch of a loaded machine does not count).
    const auto threshold = static_cast<std::int16_t>(0.1 * 32767);
    const auto onset = std::find_if(left.begin(), left.end(), [&](std::int16_t sample) {
        return std::abs(sample) > threshold;
    });
    ASSERT_NE(onset, left.end()) << "the tone did not come back";
    const auto start = static_cast<std::size_t>(onset - left.begin()) + format.nSamplesPerSec / 5;
    const std::size_t length = format.nSamplesPerSec / 2;
    ASSERT_LE(start + length, left.size());
    double power = 0;
    std::vector<double> crossings;
    for (std::size_t i = start; i < start + length; ++i) {
        power += (left[i] / 32767.0) * (left[i] / 32767.0);
        if (left[i - 1] < 0 && left[i] >= 0)
            crossings.push_back(static_cast<double>(i - 1) +
                                left[i - 1] / static_cast<double>(left[i - 1] - left[i]));
    }
    const double levelDb = 20 * std::log10(std::sqrt(power / static_cast<double>(length)) /
                                           (ToneAmplitude / std::sqrt(2.0)));
    EXPECT_NEAR(levelDb, 0.0, 1.0);
    ASSERT_GT(crossings.size(), 100u);
    std::vector<double> periods;
    for (std::size_t i = 1; i < crossings.size(); ++i)
        periods.push_back(crossings[i] - crossings[i - 1]);
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    const double frequency = format.nSamplesPerSec / periods[periods.size() / 2];
    EXPECT_NEAR(frequency, ToneFrequency, 0.01 * ToneFrequency);
}

} // namespace
} // namespace vantrel
