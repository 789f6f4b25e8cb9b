// The equalizer with buffers on a stream worker while the main thread reports and changes it.
#include "EqualizerHarness.h"
#include "MainThreadFixture.h"
#include "StreamWorker.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace vantrel {
namespace {

using namespace test;

// --- Overflow --------------------------------------------------------------------------------

class EqualizerThreads : public MainThreadFixture {};

// Three loud buffers, then two quiet ones: the first quiet buffer still carries the delayed
// end of the loud audio, so four buffers clip, each reported once.
TEST_F(EqualizerThreads, EachClippedBufferReportsOnceOnTheMainThreadFromAStreamWorker) {
    OpenEqualizer open;
    open.eq.Filters().Add(new TMMEQFilter(0, 22050, 12));
    std::vector<std::thread::id> reports;
    open.eq.OnPcmOverflow = [&](TMMEqualizer* sender) {
        EXPECT_EQ(sender, &open.eq);
        reports.push_back(std::this_thread::get_id());
    };
    const Samples loud =
        spectrum::interleave({spectrum::toPcm16(spectrum::sine(3 * 2048, 1000, Rate, 0.9)),
                              spectrum::toPcm16(spectrum::sine(3 * 2048, 1000, Rate, 0.9))});
    test::StreamWorker worker(&open.eq, [&] {
        const auto bufferBytes = static_cast<std::uint32_t>(loud.size() * 2 / 3);
        open.push(loud, bufferBytes);
        open.push(Samples(loud.size() * 2 / 3, 0), bufferBytes);
    });
    worker.Resume();
    ASSERT_TRUE(pumpUntil([&] { return worker.done.load(); }));
    worker.WaitFor();
    ASSERT_EQ(reports.size(), 4u);
    for (const std::thread::id thread : reports)
        EXPECT_EQ(thread, std::this_thread::get_id());
}

// Whatever the main thread changes while a worker filters, each buffer is filtered whole by one
// filter: a new FFT length replaces the filter between buffers, never under one.
TEST_F(EqualizerThreads, MainThreadChangesWhileAWorkerFilters) {
    OpenEqualizer open;
    open.addLayoutBands(std::vector<float>(31, 3.0f));
    const Samples noise = stereoPinkNoise(Rate / 2);
    std::atomic<bool> stop = false;
    test::StreamWorker worker(&open.eq, [&] {
        while (!stop)
            open.push(noise, 4096);
    });
    worker.Resume();
    for (int round = 0; round < 20; ++round) {
        open.eq.SetFFTLength(round % 2 == 0 ? 1024 : 256);
        open.eq.SetWindow(round % 3 == 0 ? fwBlackman : fwHamming);
        open.eq.Filters().Band(round)->SetValue(2, -6);
        open.eq.SetEnabled(round % 4 != 0);
        open.eq.ResetFilter();
    }
    stop = true;
    ASSERT_TRUE(pumpUntil([&] { return worker.done.load(); }));
    worker.WaitFor();
    open.eq.SetEnabled(true);
    const Samples out = open.push(noise, 4096);
    EXPECT_NE(out, noise);
}

} // namespace
} // namespace vantrel
