#include "TestSignal.h"
#include "WaveDevices.h"
#include "WaveTestSupport.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
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

class VirtualWaveDevices : public ::testing::Test {
protected:
    // The virtual devices run four times faster than real time in these tests.
    static void SetUpTestSuite() { setVirtualClockSpeed(4.0); }
    static void TearDownTestSuite() { setVirtualClockSpeed(1.0); }

    void SetUp() override {
        cableIn = test::findDevice(in, "Virtual Cable");
        signalIn = test::findDevice(in, "Test Signal");
        cableOut = test::findDevice(out, "Virtual Cable");
        nullOut = test::findDevice(out, "Null Output");
        ASSERT_NE(cableIn, InvalidId);
        ASSERT_NE(signalIn, InvalidId);
        ASSERT_NE(cableOut, InvalidId);
        ASSERT_NE(nullOut, InvalidId);
    }

    const WaveInFunctions& in = waveInFunctions();
    const WaveOutFunctions& out = waveOutFunctions();
    TMMDeviceId cableIn = InvalidId;
    TMMDeviceId signalIn = InvalidId;
    TMMDeviceId cableOut = InvalidId;
    TMMDeviceId nullOut = InvalidId;
};

std::uint32_t flagsOf(const Buffer& buffer) {
    return buffer->wh.dwFlags;
}

TEST_F(VirtualWaveDevices, VirtualDevicesComeLastAndDefaultsAreNamed) {
    const std::vector<std::string> inputs = test::deviceNames(in);
    const std::vector<std::string> outputs = test::deviceNames(out);
    ASSERT_GE(inputs.size(), 2u);
    ASSERT_GE(outputs.size(), 2u);
    EXPECT_EQ(inputs[inputs.size() - 2], "Virtual Cable");
    EXPECT_EQ(inputs.back(), "Test Signal");
    EXPECT_EQ(outputs[outputs.size() - 2], "Virtual Cable");
    EXPECT_EQ(outputs.back(), "Null Output");

    WaveDeviceCaps caps;
    ASSERT_EQ(in.getDevCaps(MapperId, caps), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.productName.rfind("Default Device (", 0), 0u) << caps.productName;
    ASSERT_EQ(out.getDevCaps(nullOut, caps), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.formats & (WAVE_FORMAT_1M08 | WAVE_FORMAT_4S16),
              WAVE_FORMAT_1M08 | WAVE_FORMAT_4S16);
    EXPECT_EQ(caps.channels, 2);
    EXPECT_EQ(out.getDevCaps(static_cast<TMMDeviceId>(outputs.size()), caps), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(in.getDevCaps(InvalidId, caps), MMSYSERR_BADDEVICEID);
}

TEST_F(VirtualWaveDevices, FormatQueryAcceptsTheProgramsFormatsOnly) {
    struct Case {
        TWaveFormatEx format;
        MMResult expected;
    };
    TWaveFormatEx adpcm = pcm(16, 2, 44100);
    adpcm.wFormatTag = 2;
    TWaveFormatEx badAlign = pcm(16, 2, 44100);
    badAlign.nBlockAlign = 2;
    const Case cases[] = {
        {pcm(16, 2, 48000), MMSYSERR_NOERROR},
        {pcm(8, 1, 8000), MMSYSERR_NOERROR},
        {pcm(16, 1, 100000), MMSYSERR_NOERROR},
        {pcm(8, 8, 22050), MMSYSERR_NOERROR},
        {pcm(24, 2, 48000), WAVERR_BADFORMAT},
        {pcm(16, 2, 7999), WAVERR_BADFORMAT},
        {pcm(16, 2, 100001), WAVERR_BADFORMAT},
        {pcm(16, 9, 48000), WAVERR_BADFORMAT},
        {adpcm, WAVERR_BADFORMAT},
        {badAlign, WAVERR_BADFORMAT},
    };
    for (const Case& c : cases) {
        for (TMMDeviceId device : {signalIn, cableIn})
            EXPECT_EQ(in.open(nullptr, device, &c.format, nullptr, nullptr, WAVE_FORMAT_QUERY),
                      c.expected)
                << c.format.wBitsPerSample << " bits " << c.format.nChannels << " channels "
                << c.format.nSamplesPerSec << " Hz, input " << device;
        EXPECT_EQ(out.open(nullptr, nullOut, &c.format, nullptr, nullptr,
                           WAVE_FORMAT_QUERY | WAVE_MAPPED),
                  c.expected);
    }

    const TWaveFormatEx good = pcm(16, 2, 44100);
    WaveHandle handle = 0;
    EXPECT_EQ(out.open(&handle, 99999, &good, nullptr, nullptr, 0), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(out.open(&handle, InvalidId, &good, nullptr, nullptr, 0), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(out.open(&handle, nullOut, nullptr, nullptr, nullptr, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(out.open(nullptr, nullOut, &good, nullptr, nullptr, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(out.open(&handle, nullOut, &good, nullptr, nullptr, 0x100), MMSYSERR_INVALFLAG);
    EXPECT_EQ(handle, 0u);
}

TEST_F(VirtualWaveDevices, CableRefusesAnotherFormatAndASecondUser) {
    Notifications outputNotes, inputNotes, secondNotes;
    OutputDevice output(out, cableOut, pcm(16, 2, 48000), outputNotes);
    ASSERT_EQ(output.result(), MMSYSERR_NOERROR);

    const TWaveFormatEx other = pcm(16, 2, 44100);
    EXPECT_EQ(in.open(nullptr, cableIn, &other, nullptr, nullptr, WAVE_FORMAT_QUERY),
              WAVERR_FORMATMISMATCH);
    InputDevice mismatched(in, cableIn, other, inputNotes);
    EXPECT_EQ(mismatched.result(), WAVERR_FORMATMISMATCH);
    EXPECT_NE(in.getErrorText(WAVERR_FORMATMISMATCH).find("virtual cable"), std::string::npos);

    OutputDevice second(out, cableOut, pcm(16, 2, 48000), secondNotes);
    EXPECT_EQ(second.result(), MMSYSERR_ALLOCATED);
    EXPECT_FALSE(out.getErrorText(MMSYSERR_ALLOCATED).empty());
    EXPECT_TRUE(out.getErrorText(12345).empty());

    output.close();
    InputDevice matchedAfterClose(in, cableIn, other, inputNotes);
    EXPECT_EQ(matchedAfterClose.result(), MMSYSERR_NOERROR);
}

TEST_F(VirtualWaveDevices, OutputHandsBuffersBackInOrderAndCountsWhatPlayed) {
    const TWaveFormatEx format = pcm(16, 2, 8000);
    // Lengths in bytes; 806 plays 201 frames and skips the part frame behind them.
    const std::uint32_t lengths[] = {400, 806, 0, 1600, 4};
    std::vector<Buffer> buffers;
    for (std::uint32_t length : lengths)
        buffers.push_back(makeBuffer(length));
    Notifications notes;
    OutputDevice device(out, nullOut, format, notes);
    ASSERT_EQ(device.result(), MMSYSERR_NOERROR);
    for (Buffer& buffer : buffers)
        ASSERT_EQ(device.queue(buffer), MMSYSERR_NOERROR);

    ASSERT_TRUE(notes.waitForDone(buffers.size()));
    const std::vector<PWaveHdr> done = notes.done();
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        EXPECT_EQ(done[i], buffers[i].get()) << "buffer " << i;
        EXPECT_EQ(flagsOf(buffers[i]), WHDR_DONE | WHDR_PREPARED);
    }
    const WavePosition position = device.position();
    EXPECT_EQ(position.samples, (400 + 804 + 1600 + 4) / 4);
    EXPECT_EQ(position.bytes, position.samples * 4);

    TMMDeviceId id = InvalidId;
    EXPECT_EQ(out.getId(device.handle(), id), MMSYSERR_NOERROR);
    EXPECT_EQ(id, nullOut);
    device.close();
    const std::vector<Notifications::Event> events = notes.events();
    EXPECT_EQ(events.front().message, WaveMessage::Opened);
    EXPECT_EQ(events.back().message, WaveMessage::Closed);
    EXPECT_EQ(events.size(), buffers.size() + 2);
}

TEST_F(VirtualWaveDevices, PausedOutputHoldsItsBuffersUntilResetOrRestart) {
    const TWaveFormatEx format = pcm(16, 1, 8000);
    std::vector<Buffer> buffers;
    for (int i = 0; i < 6; ++i)
        buffers.push_back(makeBuffer(800));
    Buffer later = makeBuffer(800);
    Notifications notes;
    OutputDevice device(out, cableOut, format, notes);
    ASSERT_EQ(device.result(), MMSYSERR_NOERROR);
    ASSERT_EQ(out.pause(device.handle()), MMSYSERR_NOERROR);
    for (Buffer& buffer : buffers)
        ASSERT_EQ(device.queue(buffer), MMSYSERR_NOERROR);

    EXPECT_EQ(flagsOf(buffers[0]), WHDR_PREPARED | WHDR_INQUEUE);
    EXPECT_EQ(out.unprepareHeader(device.handle(), buffers[0].get()), WAVERR_STILLPLAYING);
    EXPECT_EQ(out.write(device.handle(), buffers[0].get()), WAVERR_STILLPLAYING);
    EXPECT_EQ(out.close(device.handle()), WAVERR_STILLPLAYING);

    ASSERT_EQ(out.reset(device.handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(notes.waitForDone(buffers.size()));
    const std::vector<PWaveHdr> done = notes.done();
    for (std::size_t i = 0; i < buffers.size(); ++i)
        EXPECT_EQ(done[i], buffers[i].get()) << "buffer " << i;
    EXPECT_EQ(device.position().samples, 0);
    EXPECT_EQ(out.unprepareHeader(device.handle(), buffers[0].get()), MMSYSERR_NOERROR);

    // Reset leaves the device paused: nothing plays until restart.
    ASSERT_EQ(device.queue(later), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(notes.done().size(), buffers.size());
    EXPECT_EQ(device.position().samples, 0);
    ASSERT_EQ(out.restart(device.handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(notes.waitForDone(buffers.size() + 1));
    EXPECT_EQ(device.position().samples, 800 / 2);
}

TEST_F(VirtualWaveDevices, CallsOnClosedOrForeignHandlesAreRefused) {
    const TWaveFormatEx format = pcm(16, 2, 8000);
    Buffer buffer = makeBuffer(400);
    Buffer tiny = makeBuffer(3);
    Notifications notes;
    InputDevice device(in, signalIn, format, notes);
    ASSERT_EQ(device.result(), MMSYSERR_NOERROR);

    EXPECT_EQ(in.addBuffer(device.handle(), buffer.get()), WAVERR_UNPREPARED);
    ASSERT_EQ(in.prepareHeader(device.handle(), tiny.get()), MMSYSERR_NOERROR);
    EXPECT_EQ(in.addBuffer(device.handle(), tiny.get()), MMSYSERR_INVALPARAM);
    EXPECT_EQ(out.pause(device.handle()), MMSYSERR_INVALHANDLE);
    WavePosition position;
    EXPECT_EQ(out.getPosition(device.handle(), position), MMSYSERR_INVALHANDLE);

    const WaveHandle closed = device.handle();
    device.close();
    EXPECT_EQ(in.start(closed), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(in.close(closed), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(in.prepareHeader(closed, buffer.get()), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(in.getPosition(0, position), MMSYSERR_INVALHANDLE);
}

// A device holds its own lock around stop and reset while its callback waits for that lock: the
// layer must not wait for the callback.
TEST_F(VirtualWaveDevices, StopAndResetDoNotWaitForABlockedCallback) {
    struct Client {
        std::mutex deviceLock;
        Notifications notes;
        static void callback(WaveHandle handle, WaveMessage message, void* user,
                             PWaveHdr buffer) noexcept {
            auto* self = static_cast<Client*>(user);
            // Wait for the device to let go of its lock, as a device's callback does; then
            // report, last of all, because the test may end as soon as it sees Closed.
            { std::lock_guard lock(self->deviceLock); }
            Notifications::callback(handle, message, &self->notes, buffer);
        }
    } client;
    const TWaveFormatEx format = pcm(16, 1, 8000);
    std::vector<Buffer> buffers;
    for (int i = 0; i < 4; ++i)
        buffers.push_back(makeBuffer(160)); // 10 ms
    WaveHandle handle = 0;
    ASSERT_EQ(in.open(&handle, signalIn, &format, &Client::callback, &client, 0), MMSYSERR_NOERROR);
    for (Buffer& buffer : buffers) {
        ASSERT_EQ(in.prepareHeader(handle, buffer.get()), MMSYSERR_NOERROR);
        ASSERT_EQ(in.addBuffer(handle, buffer.get()), MMSYSERR_NOERROR);
    }
    {
        std::lock_guard hold(client.deviceLock);
        ASSERT_EQ(in.start(handle), MMSYSERR_NOERROR);
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a buffer fills meanwhile
        EXPECT_EQ(in.stop(handle), MMSYSERR_NOERROR);
        EXPECT_EQ(in.reset(handle), MMSYSERR_NOERROR);
        EXPECT_EQ(in.close(handle), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(client.notes.waitFor(WaveMessage::Closed));
    EXPECT_EQ(client.notes.done().size(), buffers.size());
}

// Buffers may be queued again from inside the callback.
TEST_F(VirtualWaveDevices, CallbackMayQueueTheReturnedBufferAgain) {
    struct Client {
        WaveHandle handle = 0;
        std::atomic<int> rounds{0};
        Notifications notes;
        static void callback(WaveHandle handle, WaveMessage message, void* user,
                             PWaveHdr buffer) noexcept {
            auto* self = static_cast<Client*>(user);
            if (message == WaveMessage::Done && ++self->rounds < 20)
                waveInFunctions().addBuffer(handle, buffer);
            Notifications::callback(handle, message, &self->notes, buffer);
        }
    } client;
    const TWaveFormatEx format = pcm(8, 1, 8000);
    Buffer buffer = makeBuffer(80); // 10 ms
    ASSERT_EQ(in.open(&client.handle, signalIn, &format, &Client::callback, &client, 0),
              MMSYSERR_NOERROR);
    ASSERT_EQ(in.prepareHeader(client.handle, buffer.get()), MMSYSERR_NOERROR);
    ASSERT_EQ(in.addBuffer(client.handle, buffer.get()), MMSYSERR_NOERROR);
    ASSERT_EQ(in.start(client.handle), MMSYSERR_NOERROR);
    EXPECT_TRUE(client.notes.waitForDone(20));
    WavePosition position;
    ASSERT_EQ(in.getPosition(client.handle, position), MMSYSERR_NOERROR);
    EXPECT_GE(position.samples, 20 * 80);
    ASSERT_EQ(in.reset(client.handle), MMSYSERR_NOERROR);
    ASSERT_EQ(in.close(client.handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(client.notes.waitFor(WaveMessage::Closed));
}

// Root mean square and the amplitude of the tone at `frequency`, of one channel, in full-scale
// units.
struct ChannelAnalysis {
    double rms;
    double amplitudeAt(double frequency) const {
        std::complex<double> sum;
        for (std::size_t n = 0; n < values.size(); ++n)
            sum += values[n] * std::polar(1.0, -2 * std::numbers::pi * frequency *
                                                   static_cast<double>(n) / rate);
        return 2 * std::abs(sum) / static_cast<double>(values.size());
    }
    std::vector<double> values;
    double rate;
};

ChannelAnalysis analyse(const std::vector<char>& bytes, const TWaveFormatEx& format, int channel) {
    ChannelAnalysis analysis{0, {}, static_cast<double>(format.nSamplesPerSec)};
    const std::size_t frames = bytes.size() / format.nBlockAlign;
    double power = 0;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const char* sample =
            bytes.data() + frame * format.nBlockAlign + channel * format.wBitsPerSample / 8;
        double value = 0;
        if (format.wBitsPerSample == 8) {
            value = (static_cast<unsigned char>(*sample) - 128) / 127.0;
        } else {
            std::int16_t word;
            std::memcpy(&word, sample, 2);
            value = word / 32767.0;
        }
        analysis.values.push_back(value);
        power += value * value;
    }
    analysis.rms = std::sqrt(power / static_cast<double>(frames));
    return analysis;
}

// Names a format parameter as in "16bit2ch48000Hz".
std::string formatName(const ::testing::TestParamInfo<TWaveFormatEx>& info) {
    return std::to_string(info.param.wBitsPerSample) + "bit" +
           std::to_string(info.param.nChannels) + "ch" + std::to_string(info.param.nSamplesPerSec) +
           "Hz";
}

class TestSignalFormats : public VirtualWaveDevices,
                          public ::testing::WithParamInterface<TWaveFormatEx> {};

TEST_P(TestSignalFormats, TestSignalHasItsDocumentedLevelAndSpectrum) {
    const TWaveFormatEx format = GetParam();
    const std::uint32_t bufferBytes = format.nAvgBytesPerSec / 10; // 100 ms
    std::vector<Buffer> buffers;
    for (int i = 0; i < 5; ++i)
        buffers.push_back(makeBuffer(bufferBytes));
    Notifications notes;
    InputDevice device(in, signalIn, format, notes);
    ASSERT_EQ(device.result(), MMSYSERR_NOERROR);
    for (Buffer& buffer : buffers)
        ASSERT_EQ(device.queue(buffer), MMSYSERR_NOERROR);
    ASSERT_EQ(in.start(device.handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(notes.waitForDone(buffers.size()));
    ASSERT_EQ(in.stop(device.handle()), MMSYSERR_NOERROR);

    std::vector<char> recorded;
    for (const Buffer& buffer : buffers) {
        ASSERT_EQ(buffer->wh.dwBytesRecorded, bufferBytes);
        recorded.insert(recorded.end(), buffer->wh.lpData, buffer->wh.lpData + bufferBytes);
    }
    EXPECT_EQ(device.position().bytes, static_cast<std::int64_t>(recorded.size()));

    const ChannelAnalysis left = analyse(recorded, format, 0);
    EXPECT_NEAR(left.rms, TestSignalRms, 0.002);
    std::size_t tones = 0;
    for (double frequency : TestSignalFrequencies)
        tones += frequency < TestSignalHighestFraction * format.nSamplesPerSec ? 1 : 0;
    const double toneAmplitude = TestSignalRms * std::sqrt(2.0 / static_cast<double>(tones));
    EXPECT_NEAR(left.amplitudeAt(1000), toneAmplitude, 0.03 * toneAmplitude);
    EXPECT_NEAR(left.amplitudeAt(250), toneAmplitude, 0.03 * toneAmplitude);
    EXPECT_LT(left.amplitudeAt(1414), 0.05 * toneAmplitude);
    for (int channel = 1; channel < format.nChannels; ++channel)
        EXPECT_EQ(analyse(recorded, format, channel).values, left.values) << "channel " << channel;
}

INSTANTIATE_TEST_SUITE_P(Formats, TestSignalFormats,
                         ::testing::Values(pcm(16, 2, 48000), pcm(8, 1, 8000), pcm(16, 1, 44100)),
                         formatName);

TEST_F(VirtualWaveDevices, StopReturnsThePartBufferAndResetTheRest) {
    const TWaveFormatEx format = pcm(16, 2, 8000);
    std::vector<Buffer> buffers;
    for (int i = 0; i < 3; ++i)
        buffers.push_back(makeBuffer(format.nAvgBytesPerSec * 10)); // 10 s each
    Notifications notes;
    InputDevice device(in, signalIn, format, notes);
    ASSERT_EQ(device.result(), MMSYSERR_NOERROR);
    for (Buffer& buffer : buffers)
        ASSERT_EQ(device.queue(buffer), MMSYSERR_NOERROR);
    ASSERT_EQ(in.start(device.handle()), MMSYSERR_NOERROR);
    ASSERT_GT(device.waitForPosition(1), 0);

    ASSERT_EQ(in.stop(device.handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(notes.waitForDone(1));
    EXPECT_EQ(notes.done().front(), buffers[0].get());
    const std::uint32_t recorded = buffers[0]->wh.dwBytesRecorded;
    EXPECT_GT(recorded, 0u);
    EXPECT_LT(recorded, buffers[0]->wh.dwBufferLength);
    EXPECT_EQ(recorded % format.nBlockAlign, 0u);
    EXPECT_EQ(device.position().bytes, recorded);
    EXPECT_EQ(in.unprepareHeader(device.handle(), buffers[1].get()), WAVERR_STILLPLAYING);

    ASSERT_EQ(in.reset(device.handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(notes.waitForDone(3));
    const std::vector<PWaveHdr> done = notes.done();
    EXPECT_EQ(done[1], buffers[1].get());
    EXPECT_EQ(done[2], buffers[2].get());
    EXPECT_EQ(buffers[1]->wh.dwBytesRecorded, 0u);
    EXPECT_EQ(device.position().samples, 0);
}

class CableSilence : public VirtualWaveDevices,
                     public ::testing::WithParamInterface<TWaveFormatEx> {};

TEST_P(CableSilence, CableWithoutPlayerRecordsSilence) {
    const TWaveFormatEx format = GetParam();
    Buffer buffer = makeBuffer(format.nAvgBytesPerSec / 20);
    Notifications notes;
    InputDevice device(in, cableIn, format, notes);
    ASSERT_EQ(device.result(), MMSYSERR_NOERROR);
    ASSERT_EQ(device.queue(buffer), MMSYSERR_NOERROR);
    ASSERT_EQ(in.start(device.handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(notes.waitForDone(1));
    const char silence = format.wBitsPerSample == 8 ? static_cast<char>(0x80) : 0;
    const char* data = buffer->wh.lpData;
    EXPECT_TRUE(std::all_of(data, data + buffer->wh.dwBytesRecorded,
                            [silence](char byte) { return byte == silence; }));
}

INSTANTIATE_TEST_SUITE_P(Formats, CableSilence,
                         ::testing::Values(pcm(8, 1, 11025), pcm(16, 2, 22050)), formatName);

// A ramp that never repeats within the test and is never silent.
std::int16_t rampValue(std::size_t frame) {
    return static_cast<std::int16_t>(1 + frame % 30000);
}

TEST_F(VirtualWaveDevices, CableDeliversExactlyWhatWasPlayedAfterAConstantDelay) {
    const TWaveFormatEx format = pcm(16, 2, 8000);
    constexpr std::size_t FramesPerBuffer = 800;
    constexpr std::size_t PlayedBuffers = 10;   // 1 s
    constexpr std::size_t RecordedBuffers = 30; // 3 s
    constexpr std::size_t InputBuffers = 6;
    const std::uint32_t bufferBytes = FramesPerBuffer * format.nBlockAlign;

    std::vector<Buffer> played;
    for (std::size_t b = 0; b < PlayedBuffers; ++b) {
        played.push_back(makeBuffer(bufferBytes));
        auto* samples = reinterpret_cast<std::int16_t*>(played.back()->wh.lpData);
        for (std::size_t i = 0; i < FramesPerBuffer; ++i) {
            samples[2 * i] = rampValue(b * FramesPerBuffer + i);
            samples[2 * i + 1] = static_cast<std::int16_t>(-samples[2 * i]);
        }
    }
    std::vector<Buffer> recording;
    for (std::size_t b = 0; b < InputBuffers; ++b)
        recording.push_back(makeBuffer(bufferBytes));

    Notifications inputNotes, outputNotes;
    InputDevice input(in, cableIn, format, inputNotes);
    ASSERT_EQ(input.result(), MMSYSERR_NOERROR);
    for (Buffer& buffer : recording)
        ASSERT_EQ(input.queue(buffer), MMSYSERR_NOERROR);
    ASSERT_EQ(in.start(input.handle()), MMSYSERR_NOERROR);
    OutputDevice output(out, cableOut, format, outputNotes);
    ASSERT_EQ(output.result(), MMSYSERR_NOERROR);
    for (Buffer& buffer : played)
        ASSERT_EQ(output.queue(buffer), MMSYSERR_NOERROR);

    // Copy each recorded buffer as it comes back and queue it again.
    std::vector<std::int16_t> samples;
    for (std::size_t count = 1; count <= RecordedBuffers; ++count) {
        ASSERT_TRUE(inputNotes.waitForDone(count));
        PWaveHdr buffer = inputNotes.done()[count - 1];
        const std::vector<std::int16_t> part = test::samples16(*buffer, buffer->wh.dwBytesRecorded);
        samples.insert(samples.end(), part.begin(), part.end());
        ASSERT_EQ(in.addBuffer(input.handle(), buffer), MMSYSERR_NOERROR);
    }

    const auto first = std::find_if(samples.begin(), samples.end(),
                                    [](std::int16_t sample) { return sample != 0; });
    ASSERT_NE(first, samples.end()) << "nothing came through the cable";
    const auto delay = static_cast<std::size_t>(first - samples.begin());
    const std::size_t playedFrames = PlayedBuffers * FramesPerBuffer;
    ASSERT_LE(delay + 2 * playedFrames, samples.size()) << "the recording ended too early";
    for (std::size_t i = 0; i < playedFrames; ++i) {
        ASSERT_EQ(samples[delay + 2 * i], rampValue(i)) << "frame " << i;
        ASSERT_EQ(samples[delay + 2 * i + 1], -rampValue(i)) << "frame " << i;
    }
    EXPECT_TRUE(std::all_of(first + 2 * playedFrames, samples.end(),
                            [](std::int16_t sample) { return sample == 0; }));
    EXPECT_EQ(output.position().samples, static_cast<std::int64_t>(playedFrames));
}

} // namespace
} // namespace vantrel
