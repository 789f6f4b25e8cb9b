#include "MMWavOut.h"

#include "WaveDeviceHarness.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::CaptureSink;
using test::FrameBytes;
using test::NumberedSource;

constexpr std::int32_t BufferBytes = 8192;
constexpr std::int64_t FramesPerBuffer = BufferBytes / FrameBytes;

class WaveOutDevice : public test::WaveDeviceFixture {
protected:
    void configure(TMMWaveOut& device, TMMDeviceId id, TMMDSPComponent& input,
                   TMMCBMode mode = cmWindow) {
        applyBufferSettings(device, id, mode, BufferBytes);
        device.SetTimeFormat(tfSample);
        device.SetInput(&input);
        input.SetWaveFormat(&format);
        countEvents(device);
    }

    const TWaveFormatEx format = test::stereo16();
};

class WaveOutCallbackModes : public WaveOutDevice,
                             public ::testing::WithParamInterface<TMMCBMode> {};

TEST_P(WaveOutCallbackModes, PlaysIntoTheCableAndTheSameSamplesComeBack) {
    NumberedSource source;
    TMMWaveOut output;
    configure(output, cableOut, source, GetParam());
    // Deep queues: a gap here must come from the devices, not from a busy machine.
    output.SetNumBuffers(16);
    CaptureSink recorded(1 << 20);
    TMMWaveIn input;
    input.SetDeviceID(cableIn);
    input.SetCallBackMode(GetParam());
    input.SetBufferSize(BufferBytes);
    input.SetNumBuffers(16);
    input.SetWaveFormat(&format);
    input.SetOutput(&recorded);

    input.Start();
    output.Start();
    ASSERT_TRUE(pumpUntil([&] { return recorded.totalBytes() >= (1 << 20); }));
    input.Stop();
    output.Stop();

    const test::NumberedRun run = test::numberedRun(recorded.bytes());
    EXPECT_FALSE(run.broken) << "after frame " << run.length;
    EXPECT_GT(run.length, 100000u);
    EXPECT_EQ(output.GetQueuedBuffers(), 0);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(errors, 0);
}

TEST_P(WaveOutCallbackModes, StopAskedForInsideOnBufferReadyCompletesAfterTheHandler) {
    NumberedSource source;
    TMMWaveOut output;
    configure(output, nullOut, source, GetParam());
    bool handlerReturned = false;
    bool stoppedInsideHandler = false;
    int played = 0;
    output.OnBufferReady = [&](TMMDSPComponent*, PWaveHdr) {
        if (++played != 3)
            return;
        output.Stop();
        stoppedInsideHandler = stops > 0;
        handlerReturned = true;
    };
    output.Start();
    ASSERT_TRUE(pumpUntil([&] { return stops > 0; }));
    EXPECT_TRUE(handlerReturned);
    EXPECT_FALSE(stoppedInsideHandler);
    EXPECT_FALSE(output.IsDeviceStarted());
    EXPECT_EQ(output.GetQueuedBuffers(), 0);
    output.Close();
    EXPECT_EQ(stops, 1);
}

INSTANTIATE_TEST_SUITE_P(, WaveOutCallbackModes, ::testing::Values(cmWindow, cmThread),
                         test::callbackModeName);

TEST_F(WaveOutDevice, PositionFollowsWhatWasPlayedAndAFiniteSourceStopsByItself) {
    constexpr std::int64_t Frames = 20 * FramesPerBuffer + 100;
    NumberedSource source(Frames);
    TMMWaveOut output;
    configure(output, nullOut, source);
    CaptureSink played(Frames * FrameBytes);
    output.SetOutput(&played);
    std::int64_t framesPlayed = 0;
    std::vector<std::pair<std::int64_t, std::int64_t>> positions; // frames played, position
    output.OnBufferReady = [&](TMMDSPComponent*, PWaveHdr buffer) {
        framesPlayed += buffer->wh.dwBytesRecorded / FrameBytes;
        positions.emplace_back(framesPlayed, output.GetPosition());
    };
    output.Start();
    ASSERT_TRUE(pumpUntil([&] { return stops > 0; }));

    EXPECT_EQ(played.totalBytes(), Frames * FrameBytes);
    const test::NumberedRun run = test::numberedRun(played.bytes());
    EXPECT_EQ(run.start, 0u);
    EXPECT_EQ(run.length, static_cast<std::size_t>(Frames));
    ASSERT_FALSE(positions.empty());
    for (const auto& [frames, position] : positions) {
        EXPECT_GE(position, frames);
        EXPECT_LE(position, frames + 4 * FramesPerBuffer);
    }
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(output.GetQueuedBuffers(), 0);
    output.Close();
    EXPECT_EQ(output.GetPosition(), 0);
}

TEST_F(WaveOutDevice, ResetStartsTheStreamAgainAndStopHandsEveryBufferBack) {
    NumberedSource source;
    TMMWaveOut output;
    configure(output, nullOut, source);
    std::vector<std::uint32_t> firstNumbers;
    std::int32_t leastQueued = 4;
    output.OnBufferReady = [&](TMMDSPComponent*, PWaveHdr buffer) {
        std::uint32_t number = 0;
        std::memcpy(&number, buffer->wh.lpData, 4);
        firstNumbers.push_back(number);
        leastQueued = std::min(leastQueued, output.GetQueuedBuffers());
    };
    output.Start();
    ASSERT_TRUE(pumpUntil([&] { return firstNumbers.size() >= 6; }));
    output.Reset();
    const std::size_t atReset = firstNumbers.size();
    EXPECT_EQ(output.GetQueuedBuffers(), 4);
    ASSERT_TRUE(pumpUntil([&] { return firstNumbers.size() >= atReset + 3; }));
    EXPECT_EQ(firstNumbers[atReset], 1u) << "the stream starts again from its beginning";
    EXPECT_EQ(firstNumbers[atReset + 1], 1u + FramesPerBuffer);
    output.Stop();
    EXPECT_EQ(output.GetQueuedBuffers(), 0);
    EXPECT_GE(leastQueued, 0);
    EXPECT_EQ(stops, 1);
    output.Close();
    EXPECT_EQ(errors, 0);
}

TEST_F(WaveOutDevice, FailuresRaiseTheDevicesErrorAndLeaveItClosed) {
    TMMWaveOut cableUser; // holds the cable's output end
    NumberedSource busySource;
    configure(cableUser, cableOut, busySource);
    cableUser.Open();
    struct Case {
        const char* name;
        TMMDeviceId device;
        std::int64_t sourceFrames;
        std::string text;
    };
    const Case cases[] = {
        {"invalid device", 99, -1, "Invalid DeviceID"},
        {"end in use", cableOut, -1,
         "WaveOutOpen:\n\r" + waveOutFunctions().getErrorText(MMSYSERR_ALLOCATED)},
        {"empty source", nullOut, 0, "WaveOutStart:\n\rUnable to start device"},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.name);
        NumberedSource source(each.sourceFrames);
        TMMWaveOut output;
        configure(output, each.device, source);
        try {
            output.Start();
            ADD_FAILURE() << "no error";
        } catch (const EMMWaveOutError& error) {
            EXPECT_EQ(error.what(), each.text);
        }
        EXPECT_FALSE(output.IsDeviceOpen());
        EXPECT_GE(errors, 1);
        EXPECT_EQ(starts, 0);
        errors = 0;
    }
    cableUser.Close();

    // A format the device cannot play.
    TWaveFormatEx wide = format;
    wide.wBitsPerSample = 24;
    wide.nBlockAlign = 6;
    wide.nAvgBytesPerSec = 6 * 48000;
    NumberedSource source;
    TMMWaveOut output;
    configure(output, nullOut, source);
    source.SetWaveFormat(&wide);
    try {
        output.Open();
        ADD_FAILURE() << "no error";
    } catch (const EMMWaveOutError& error) {
        EXPECT_STREQ(error.what(), "WaveOutOpen:\n\rThe actual device can't play this format");
    }
    EXPECT_FALSE(output.IsDeviceOpen());
}

} // namespace
} // namespace vantrel
