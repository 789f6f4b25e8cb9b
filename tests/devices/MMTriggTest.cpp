#include "MMTrigg.h"

#include "DeviceFakes.h"
#include "MMRingBf.h"
#include "MainThreadFixture.h"

#include <atomic>
#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <thread>

namespace vantrel {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using namespace std::chrono_literals;

constexpr std::uint32_t bufferBytes = 1024;
constexpr std::uint32_t endless = std::numeric_limits<std::uint32_t>::max();

std::vector<std::int64_t> oneTo(std::int64_t last) {
    std::vector<std::int64_t> numbers(static_cast<std::size_t>(last));
    std::iota(numbers.begin(), numbers.end(), 1);
    return numbers;
}

// source -> trigger -> sink, with the trigger's events counted.
class TriggerTest : public MainThreadFixture {
protected:
    // A source of `count` buffers linked in place of the last one (the trigger must be
    // closed); the counts start afresh. The fixture owns it, so that it outlives a running
    // trigger.
    NumberedSource& linkSource(std::uint32_t count) {
        source_ = std::make_unique<NumberedSource>(count, bufferBytes);
        NumberedSource& source = *source_;
        sink.clear();
        stops = 0;
        closes = 0;
        errors = 0;
        filled = 0;
        const TWaveFormatEx format = pcmFormat();
        source.SetWaveFormat(&format);
        source.SetOutput(&trigger);
        trigger.SetOutput(&sink);
        trigger.SetBufferSize(bufferBytes);
        trigger.OnStop = [this](TMMDSPComponent*) {
            ++stops;
            stoppedOnMainThread = loop.isMainThread();
        };
        trigger.OnClose = [this](TMMDSPComponent*) {
            ++closes;
        };
        trigger.OnError = [this](TMMDSPComponent*) {
            ++errors;
        };
        trigger.OnBufferFilled = [this](TMMDSPComponent*, PWaveHdr) {
            ++filled;
        };
        return source;
    }
    ~TriggerTest() override { trigger.Close(); }

    std::atomic<int> stops{0};
    std::atomic<int> closes{0};
    std::atomic<int> errors{0};
    std::atomic<int> filled{0};
    std::atomic<bool> stoppedOnMainThread{false};
    // The trigger goes first: its close may have waited for a buffer still being handled.
    std::unique_ptr<NumberedSource> source_;
    RecordingSink sink;
    TMMTrigger trigger;
};

TEST_F(TriggerTest, DrivesAChainFromAFiniteSourceToItsEndAndReportsTheEndOnce) {
    for (const bool synchronize : {false, true}) {
        SCOPED_TRACE(synchronize ? "Synchronize" : "on the worker");
        linkSource(20);
        trigger.SetSynchronize(synchronize);
        std::atomic<bool> pushedOnMainThread{true};
        sink.onBuffer = [&](PWaveHdr) {
            if (!loop.isMainThread())
                pushedOnMainThread = false;
        };
        trigger.Start(); // opens first
        EXPECT_TRUE(sink.IsOpened());
        EXPECT_EQ(sink.GetRealBufferSize(), static_cast<std::int32_t>(bufferBytes));
        ASSERT_TRUE(pumpUntil([&] { return stops > 0; }));
        loop.pumpUntil([] { return false; }, 20ms); // a second end would show up now
        EXPECT_EQ(stops, 1);
        EXPECT_TRUE(stoppedOnMainThread);
        EXPECT_THAT(sink.numbers(), ElementsAreArray(oneTo(20)));
        EXPECT_EQ(filled, 20);
        EXPECT_EQ(pushedOnMainThread, synchronize);
        EXPECT_TRUE(trigger.IsOpened());
        EXPECT_FALSE(trigger.IsStarted());
        EXPECT_FALSE(sink.IsStarted());
        trigger.Close();
        sink.onBuffer = nullptr;
    }
}

TEST_F(TriggerTest, DrivesASourceThroughAReadQueueToItsEnd) {
    NumberedSource source(30, bufferBytes);
    source.endsWithEmptyPull = true; // the queue must still pass the end on
    TMMRingBuffer queue;
    queue.SetQueueMode(qmRead);
    queue.SetNumBuffers(6);
    source.SetOutput(&queue);
    const TWaveFormatEx format = pcmFormat();
    source.SetWaveFormat(&format);
    queue.SetOutput(&trigger);
    trigger.SetOutput(&sink);
    trigger.SetBufferSize(bufferBytes);
    trigger.OnStop = [this](TMMDSPComponent*) {
        ++stops;
    };
    trigger.Start();
    EXPECT_TRUE(queue.IsOpened());
    ASSERT_TRUE(pumpUntil([&] { return stops > 0; }));
    trigger.Close();
    EXPECT_FALSE(queue.IsOpened());
    std::vector<std::int64_t> numbers = sink.numbers();
    std::erase(numbers, 0); // the queue may have run dry for a moment
    EXPECT_THAT(numbers, ElementsAreArray(oneTo(30)));
}

TEST_F(TriggerTest, PausesAtLeastIntervalAndOneMillisecondBetweenBuffers) {
    const struct {
        std::int32_t interval;
        std::chrono::microseconds atLeast;
    } cases[] = {{0, 1ms}, {-5, 1ms}, {12, 12ms}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.interval);
        linkSource(6);
        trigger.SetInterval(c.interval);
        EXPECT_GE(trigger.GetInterval(), 0);
        std::vector<std::chrono::steady_clock::time_point> times;
        sink.onBuffer = [&](PWaveHdr) {
            times.push_back(std::chrono::steady_clock::now());
        };
        trigger.Start();
        ASSERT_TRUE(pumpUntil([&] { return stops > 0; }));
        ASSERT_EQ(times.size(), 6u);
        // The source's last buffer follows its predecessor at once.
        for (std::size_t i = 1; i + 1 < times.size(); ++i)
            EXPECT_GE(times[i] - times[i - 1], c.atLeast);
        trigger.Close();
        sink.onBuffer = nullptr;
    }
}

TEST_F(TriggerTest, ASourceThatDeliversNothingMakesStartFailAndCloses) {
    linkSource(0);
    try {
        trigger.Start();
        ADD_FAILURE() << "no error";
    } catch (const EMMTriggerError& e) {
        EXPECT_STREQ(e.what(), "TriggerStart:\n\rUnable to start device");
    }
    EXPECT_FALSE(trigger.IsOpened());
    EXPECT_FALSE(sink.IsOpened());
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(TMMDSPThread::LivingThreads(), 0u);
}

TEST_F(TriggerTest, OpeningWithoutAFormatFails) {
    try {
        trigger.Open();
        ADD_FAILURE() << "no error";
    } catch (const EMMTriggerError& e) {
        EXPECT_STREQ(e.what(), "TriggerOpen:\n\rInvalid wave format");
    }
}

TEST_F(TriggerTest, BufferSizeCannotChangeWhileOpen) {
    linkSource(1);
    trigger.Open();
    try {
        trigger.SetBufferSize(4096);
        ADD_FAILURE() << "no error";
    } catch (const EMMTriggerError& e) {
        EXPECT_STREQ(e.what(), "Change to property while device was open");
    }
    EXPECT_EQ(errors, 1);
    trigger.Close();
    trigger.SetBufferSize(10);
    EXPECT_EQ(trigger.GetBufferSize(), 32);
}

TEST_F(TriggerTest, AnErrorDownstreamIsSwallowedByOnErrorExOrEndsTheRun) {
    for (const bool handled : {true, false}) {
        SCOPED_TRACE(handled ? "handled" : "not handled");
        linkSource(10);
        trigger.OnErrorEx = [handled](TMMDSPComponent*, bool& Handled) {
            Handled = handled;
        };
        sink.onBuffer = [](PWaveHdr buffer) {
            if (numberOf(buffer->wh.lpData, buffer->wh.dwBytesRecorded) == 4)
                throw std::runtime_error("processing failed");
        };
        trigger.Start();
        if (handled) {
            ASSERT_TRUE(pumpUntil([&] { return stops > 0; }));
            EXPECT_EQ(sink.count(), 10u);
            EXPECT_TRUE(trigger.IsOpened());
            EXPECT_TRUE(handledErrors().empty());
        } else {
            ASSERT_TRUE(pumpUntil([&] { return closes > 0; }));
            EXPECT_EQ(sink.count(), 4u);
            EXPECT_THAT(handledErrors(), ElementsAre("processing failed"));
            EXPECT_EQ(TMMDSPThread::LivingThreads(), 0u);
        }
        EXPECT_EQ(errors, 1);
        trigger.Close();
        sink.onBuffer = nullptr;
    }
}

TEST_F(TriggerTest, APullThatBringsNothingBeforeTheEndIsAnError) {
    linkSource(3).endsWithEmptyPull = true;
    trigger.Start();
    ASSERT_TRUE(pumpUntil([&] { return closes > 0; }));
    EXPECT_THAT(handledErrors(), ElementsAre("Error filling wave buffer"));
    EXPECT_EQ(errors, 1);
    EXPECT_THAT(sink.numbers(), ElementsAre(1, 2, 3));
}

TEST_F(TriggerTest, StoppingOrClosingFromInsideBufferHandlingCompletesLaterOnTheMainThread) {
    for (const bool synchronize : {false, true}) {
        for (const bool close : {false, true}) {
            SCOPED_TRACE(std::string(synchronize ? "Synchronize, " : "worker, ") +
                         (close ? "Close" : "Stop"));
            linkSource(endless);
            trigger.SetSynchronize(synchronize);
            sink.onBuffer = [&](PWaveHdr buffer) {
                if (numberOf(buffer->wh.lpData, buffer->wh.dwBytesRecorded) != 3)
                    return;
                if (close)
                    trigger.Close();
                else
                    trigger.Stop();
                EXPECT_TRUE(trigger.IsOpened()); // not yet: the buffer is still being handled
            };
            trigger.Start();
            ASSERT_TRUE(pumpUntil([&] { return stops > 0 && (!close || closes > 0); }));
            EXPECT_EQ(stops, 1);
            EXPECT_TRUE(stoppedOnMainThread);
            EXPECT_EQ(trigger.IsOpened(), !close);
            EXPECT_EQ(sink.count(), 3u);
            trigger.Close();
            sink.onBuffer = nullptr;
        }
    }
}

TEST_F(TriggerTest, PauseHoldsTheWorkerAndRestartLetsItGoOn) {
    linkSource(endless);
    trigger.Start();
    ASSERT_TRUE(pumpUntil([&] { return sink.count() >= 3; }));
    trigger.Pause();
    EXPECT_TRUE(sink.IsPaused());
    const std::size_t atPause = sink.count();
    loop.pumpUntil([] { return false; }, 30ms);
    EXPECT_LE(sink.count(), atPause + 1); // at most the buffer that was being handled
    trigger.Restart();
    EXPECT_FALSE(sink.IsPaused());
    ASSERT_TRUE(pumpUntil([&] { return sink.count() >= atPause + 5; }));
}

TEST_F(TriggerTest, ATriggerPausedBeforeItStartsRunsOnceRestarted) {
    linkSource(endless);
    trigger.Pause(); // opens first
    trigger.Start();
    loop.pumpUntil([] { return false; }, 30ms);
    EXPECT_EQ(sink.count(), 0u);
    trigger.Restart();
    ASSERT_TRUE(pumpUntil([&] { return sink.count() >= 3; }));
}

TEST_F(TriggerTest, StoppedWhilePausedItStartsAgain) {
    linkSource(endless);
    trigger.Start();
    ASSERT_TRUE(pumpUntil([&] { return sink.count() >= 2; }));
    trigger.Pause();
    trigger.Stop(); // completes at once, or once the buffer being handled is through
    ASSERT_TRUE(pumpUntil([&] { return stops > 0; }));
    EXPECT_FALSE(trigger.IsStarted());
    const std::size_t atStop = sink.count();
    trigger.Start();
    ASSERT_TRUE(pumpUntil([&] { return sink.count() >= atStop + 3; }));
}

TEST_F(TriggerTest, DestroyingARunningTriggerEndsItsWorker) {
    NumberedSource source(endless, bufferBytes);
    {
        TMMTrigger running;
        const TWaveFormatEx format = pcmFormat();
        source.SetWaveFormat(&format);
        source.SetOutput(&running);
        running.SetOutput(&sink);
        running.Start();
        ASSERT_TRUE(pumpUntil([&] { return sink.count() >= 2; }));
    }
    EXPECT_EQ(TMMDSPThread::LivingThreads(), 0u);
    EXPECT_FALSE(sink.IsOpened());
}

} // namespace
} // namespace vantrel
