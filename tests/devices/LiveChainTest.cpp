// The main window's live chain on the virtual cable: input device -> duplex ring buffer ->
// a pass-through component -> output device -> a component behind the output, with the main
// window's settings. A second output device plays numbered frames into the cable; what the live
// output has played must be those frames, whole and in order, for at least 20 s of audio.
#include "MMRingBf.h"
#include "MMWavIn.h"
#include "MMWavOut.h"
#include "WaveDeviceHarness.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using test::FrameBytes;

constexpr std::uint32_t Rate = 48000;
constexpr std::int64_t SignalFrames = 20 * Rate;             // what must pass unbroken
constexpr std::int64_t CaptureFrames = SignalFrames * 5 / 4; // room for the start and the delay

// Stands for the processing components between the queue and the output (meters, equalizer,
// plug-in host), which work on each pulled buffer in place.
class PassThrough : public TMMDSPComponent {
public:
    PassThrough() { publishLinks(true, true); }
};

class LiveChain : public test::VirtualDeviceFixture {
protected:
    // With the main window's shallow queues the chain keeps in step only while the main thread
    // and the virtual devices' thread keep up with the clock; ThreadSanitizer slows both down.
#if defined(__SANITIZE_THREAD__)
    static constexpr double LiveClockSpeed = 2.0;
#else
    static constexpr double LiveClockSpeed = 4.0;
#endif
    static void SetUpTestSuite() {
        setVirtualClockSpeed(LiveClockSpeed);
    }

    // The main window's components with its settings, linked as its duplex chain is.
    void assemble() {
        input.SetBufferSize(16384);
        input.SetNumBuffers(4);
        input.SetDeviceID(cableIn);
        input.SetMode(mStereo);
        input.SetChannels(2);
        input.SetBitLength(b16Bit);
        input.SetSampleRate(static_cast<std::int32_t>(Rate));
        input.SetTimeFormat(tfSample);
        input.SetPriority(tpNormal);
        queue.SetBufferSize(8192);
        queue.SetNumBuffers(2);
        queue.SetTimeOut(-1);
        output.SetBufferSize(8192);
        output.SetNumBuffers(4);
        output.SetDeviceID(nullOut);
        output.SetTimeFormat(tfSample);
        output.SetPriority(tpNormal);

        queue.SetInput(&input);
        queue.SetQueueMode(qmDuplex);
        queue.SetOutput(&pass);
        pass.SetOutput(&output);
        output.SetOutput(&behind);
    }

    // Plays numbered frames into the cable, with a deep queue so that it never runs short.
    void startSignal() {
        const TWaveFormatEx format = test::stereo16(Rate);
        player.SetDeviceID(cableOut);
        player.SetBufferSize(16384);
        player.SetNumBuffers(16);
        player.SetInput(&signal);
        signal.SetWaveFormat(&format);
        player.Start();
    }

    TMMWaveIn input;
    TMMRingBuffer queue;
    PassThrough pass;
    TMMWaveOut output;
    test::CaptureSink behind{CaptureFrames * FrameBytes};
    test::NumberedSource signal;
    TMMWaveOut player;
};

TEST_F(LiveChain, TheSignalLeavesWholeAndInOrderBehindAConstantDelay) {
    assemble();
    input.Start(); // opens and starts the whole chain, the output device included
    ASSERT_TRUE(output.IsDeviceStarted());
    EXPECT_EQ(output.GetBufferSize(), 16384) << "the output runs with the input's buffer size";

    // Once the queue has primed and settled, the signal enters.
    ASSERT_TRUE(pumpUntil([&] { return behind.buffers() >= 8; }));
    const std::int64_t overflowsBefore = queue.GetOverflowCount();
    const std::int64_t underrunsBefore = queue.GetUnderrunCount();
    startSignal();
    // The capture takes 25 s of audio on the test clock: the fixture's patience is not enough.
    ASSERT_TRUE(loop.pumpUntil([&] { return behind.totalBytes() >= CaptureFrames * FrameBytes; },
                               std::chrono::seconds(120)));
    const std::int64_t overflows = queue.GetOverflowCount() - overflowsBefore;
    const std::int64_t underruns = queue.GetUnderrunCount() - underrunsBefore;
    input.Close(); // closes the segment, the output device included
    player.Close();
    EXPECT_FALSE(output.IsDeviceOpen());

    const test::NumberedRun run = test::numberedRun(behind.bytes());
    EXPECT_GE(run.length, static_cast<std::size_t>(SignalFrames))
        << "the signal broke after " << run.length << " frames";
    EXPECT_EQ(overflows, 0);
    EXPECT_EQ(underruns, 0);
    EXPECT_TRUE(handledErrors().empty());
}

TEST_F(LiveChain, PausingTheInputDropsTheOutputsQueueAndRestartPlaysOn) {
    assemble();
    input.Start();
    ASSERT_TRUE(pumpUntil([&] { return behind.buffers() >= 4; }));
    input.Pause();
    EXPECT_TRUE(output.IsPaused());
    // Driven from upstream, the output drops what it holds instead of playing it late.
    EXPECT_TRUE(pumpUntil([&] { return output.GetQueuedBuffers() == 0; }));
    const std::int64_t playedBeforeRestart = behind.buffers();
    input.Restart();
    EXPECT_FALSE(output.IsPaused());
    EXPECT_TRUE(pumpUntil([&] { return behind.buffers() >= playedBeforeRestart + 4; }));
    input.Close();
    EXPECT_TRUE(handledErrors().empty());
}

} // namespace
} // namespace vantrel
