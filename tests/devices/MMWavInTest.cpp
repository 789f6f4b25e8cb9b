#include "MMWavIn.h"

#include "TestSignal.h"
#include "WaveDeviceHarness.h"

#include <cmath>
#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::CaptureSink;
using test::FrameBytes;

class WaveInDevice : public test::WaveDeviceFixture {
protected:
    // 16-bit stereo 48 kHz, buffers of 2048 frames.
    void configure(TMMWaveIn& device, TMMDeviceId id, TMMCBMode mode = cmWindow) {
        applyBufferSettings(device, id, mode, 8192);
        device.SetWaveFormat(&format);
        device.SetOutput(&sink);
        countEvents(device);
    }
    bool captured(std::int64_t bytes) {
        return pumpUntil([&] { return sink.totalBytes() >= bytes; });
    }

    const TWaveFormatEx format = test::stereo16();
    CaptureSink sink{2 << 20};
};

// RMS of 16-bit samples relative to full scale.
double rmsOf(const std::vector<char>& bytes, std::size_t first, std::size_t count) {
    double sum = 0;
    for (std::size_t i = first; i < first + count; ++i) {
        std::int16_t sample = 0;
        std::memcpy(&sample, bytes.data() + i * 2, 2);
        sum += double(sample) * sample;
    }
    return std::sqrt(sum / double(count)) / 32767.0;
}

class WaveInCallbackModes : public WaveInDevice, public ::testing::WithParamInterface<TMMCBMode> {};

TEST_P(WaveInCallbackModes, CapturesTheTestSignalAndStopsWithEveryBufferBack) {
    TMMWaveIn device;
    configure(device, signalIn, GetParam());
    device.Start();
    EXPECT_TRUE(device.IsDeviceStarted());
    ASSERT_TRUE(captured(1 << 20));
    device.Stop();
    EXPECT_EQ(device.GetQueuedBuffers(), 0);
    EXPECT_FALSE(device.IsDeviceStarted());
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(stops, 1);

    // Every buffer of the signal is there, at its known level, the same on both channels.
    const std::vector<char> bytes = sink.bytes();
    const std::size_t samplesPerBuffer = 8192 / 2;
    for (std::size_t buffer = 0; buffer + 1 < bytes.size() / 8192; ++buffer) {
        const double rms = rmsOf(bytes, buffer * samplesPerBuffer, samplesPerBuffer);
        ASSERT_NEAR(rms, TestSignalRms, 0.3 * TestSignalRms) << "buffer " << buffer;
    }
    for (std::size_t frame = 0; frame < bytes.size() / FrameBytes; frame += 97)
        ASSERT_EQ(std::memcmp(&bytes[frame * 4], &bytes[frame * 4 + 2], 2), 0) << frame;

    device.Close();
    EXPECT_FALSE(device.IsDeviceOpen());
    EXPECT_EQ(errors, 0);
    EXPECT_TRUE(handledErrors().empty());
}

TEST_P(WaveInCallbackModes, StopAskedForInsideOnBufferReadyCompletesAfterTheHandler) {
    TMMWaveIn device;
    configure(device, signalIn, GetParam());
    bool handlerReturned = false;
    bool stoppedInsideHandler = false;
    int buffersSeen = 0;
    sink.OnBufferReady = [&](TMMDSPComponent*, PWaveHdr) {
        if (++buffersSeen != 3)
            return;
        device.Stop();
        stoppedInsideHandler = stops > 0;
        handlerReturned = true;
    };
    device.Start();
    ASSERT_TRUE(pumpUntil([&] { return stops > 0; }));
    EXPECT_TRUE(handlerReturned);
    EXPECT_FALSE(stoppedInsideHandler);
    EXPECT_FALSE(device.IsDeviceStarted());
    EXPECT_EQ(device.GetQueuedBuffers(), 0);
    device.Close();
    EXPECT_FALSE(device.IsDeviceOpen());
    EXPECT_EQ(stops, 1);
}

INSTANTIATE_TEST_SUITE_P(, WaveInCallbackModes, ::testing::Values(cmWindow, cmThread),
                         test::callbackModeName);

TEST_F(WaveInDevice, MaxRecordTimeCutsTheLastBufferAndStops) {
    TMMWaveIn device;
    configure(device, signalIn);
    device.SetTimeFormat(tfMillisecond);
    device.SetMaxRecordTime(1000);
    std::vector<std::uint32_t> lengths;
    sink.OnBufferReady = [&](TMMDSPComponent*, PWaveHdr buffer) {
        lengths.push_back(buffer->wh.dwBytesRecorded);
    };
    device.Start();
    ASSERT_TRUE(pumpUntil([&] { return stops > 0; }));
    EXPECT_EQ(device.GetBytesRecorded(), 192000);
    EXPECT_EQ(sink.totalBytes(), 192000);
    ASSERT_EQ(lengths.size(), 24u); // 23 whole buffers of 8192 bytes and the rest
    EXPECT_EQ(lengths.back(), 192000u - 23 * 8192);
    EXPECT_EQ(stops, 1);
}

TEST_F(WaveInDevice, OpenFailuresRaiseTheDevicesErrorAndLeaveItClosed) {
    // The cable's input cannot record at another rate than its output end plays.
    TMMWaveOut otherEnd;
    const TWaveFormatEx otherRate = test::stereo16(44100);
    otherEnd.SetDeviceID(cableOut);
    otherEnd.SetWaveFormat(&otherRate);
    otherEnd.Open();
    struct Case {
        TMMDeviceId device;
        std::string text;
    };
    const Case cases[] = {
        {99, "Invalid DeviceID"},
        {cableIn, "WaveInOpen:\n\rThe actual device can't record this format"},
    };
    for (const Case& each : cases) {
        TMMWaveIn device;
        configure(device, each.device);
        EXPECT_EQ(device.GetDeviceID(), each.device == 99 ? InvalidId : each.device);
        try {
            device.Start();
            ADD_FAILURE() << "no error for " << each.text;
        } catch (const EMMWaveInError& error) {
            EXPECT_EQ(error.what(), each.text);
        }
        EXPECT_FALSE(device.IsDeviceOpen());
        EXPECT_GE(errors, 1);
        errors = 0;
    }
    otherEnd.Close();
}

TEST_F(WaveInDevice, PropertiesKeepTheirRangesAndRefuseChangesWhileOpen) {
    TMMWaveIn device;
    device.SetNumBuffers(1);
    EXPECT_EQ(device.GetNumBuffers(), 10);
    device.SetNumBuffers(5000);
    EXPECT_EQ(device.GetNumBuffers(), 4096);
    device.SetChannels(12);
    EXPECT_EQ(device.GetChannels(), 8);
    EXPECT_EQ(device.GetMode(), mMultiChannel);
    const TWaveFormatEx cd = test::stereo16(44100);
    device.SetWaveFormat(&cd);
    EXPECT_EQ(device.GetSampleRate(), 44100);
    EXPECT_EQ(device.GetBitLength(), b16Bit);
    EXPECT_EQ(device.GetChannels(), 2);
    EXPECT_EQ(device.GetMode(), mStereo);

    std::vector<std::pair<std::string, std::string>> boxes;
    installMessageBoxHandler([&](const std::string& text, const std::string& caption) {
        boxes.emplace_back(text, caption);
    });
    device.SetCallBackMode(cmCallback);
    installMessageBoxHandler({});
    EXPECT_EQ(device.GetCallBackMode(), cmWindow);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].first, "\"CallBacks\" are called at interrupt time !\n\rThis is currently "
                              "only supported under Windows 95");
    EXPECT_EQ(boxes[0].second, "TMMWaveIn");

    device.SetDeviceID(signalIn);
    EXPECT_EQ(device.GetProductName(), "Test Signal");
    device.Open();
    EXPECT_THROW(device.SetSampleRate(22050), EMMWaveInError);
    EXPECT_EQ(device.GetSampleRate(), 44100);
    device.Close();
}

} // namespace
} // namespace vantrel
