#include "MMRingBf.h"

#include "DeviceFakes.h"
#include "MainThreadFixture.h"

#include <atomic>
#include <condition_variable>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <thread>

namespace vantrel {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using namespace std::chrono_literals;

constexpr std::uint32_t slotBytes = 1024;

std::vector<std::int64_t> oneTo(std::int64_t last) {
    std::vector<std::int64_t> numbers(static_cast<std::size_t>(last));
    std::iota(numbers.begin(), numbers.end(), 1);
    return numbers;
}

// ---------------------------------------------------------------------------------------------
// Duplex: an input device pushes into the queue, an output device pulls from it.

class DuplexQueueTest : public MainThreadFixture {
protected:
    DuplexQueueTest() {
        const TWaveFormatEx format = pcmFormat();
        input.SetBufferSize(slotBytes);
        input.SetWaveFormat(&format);
        input.SetOutput(&queue);
        queue.SetOutput(&output);
        queue.OnOverlow = [this](TMMDSPComponent*) {
            ++overflows;
        };
        queue.OnEmpty = [this](TMMDSPComponent*) {
            ++empties;
        };
    }
    ~DuplexQueueTest() override { input.close(); }

    void openAndStart(std::int32_t numBuffers = 2) {
        queue.SetQueueMode(qmDuplex);
        queue.SetNumBuffers(numBuffers);
        input.open();
        input.start();
    }
    // The number of the buffer a full-size pull brought (0: silence); -1 for a torn or short one.
    std::int64_t pulled() {
        const PWaveHdr buffer = output.pull();
        if (buffer->wh.dwBytesRecorded != slotBytes || !output.lastMoreBuffers)
            return -1;
        return numberOf(buffer->wh.lpData, slotBytes);
    }

    FakeDevice input{FakeDevice::input};
    TMMRingBuffer queue;
    FakeDevice output{FakeDevice::output};
    std::atomic<int> overflows{0};
    std::atomic<int> empties{0};
};

TEST_F(DuplexQueueTest, ServesSilenceUntilBothSlotsAreFilledThenTheOldestSlot) {
    openAndStart();
    EXPECT_EQ(pulled(), 0);
    input.push(1);
    EXPECT_EQ(pulled(), 0);
    input.push(2);
    EXPECT_EQ(pulled(), 0); // finds both slots filled: the queue is primed from now on
    EXPECT_EQ(pulled(), 1);
    input.push(3);
    EXPECT_EQ(pulled(), 2);
    EXPECT_EQ(pulled(), 3);
    EXPECT_EQ(overflows, 0);
    EXPECT_EQ(empties, 0);
}

TEST_F(DuplexQueueTest, DropsWholePushedBuffersWhileFullAndCountsThem) {
    queue.SetWaitIfFull(true); // no waiting on a device thread: a full duplex queue drops
    openAndStart();
    for (std::uint32_t number = 1; number <= 5; ++number)
        input.push(number);
    EXPECT_EQ(overflows, 3);
    EXPECT_EQ(queue.GetOverflowCount(), 3);
    EXPECT_EQ(queue.GetFilledBuffers(), 2);
    EXPECT_EQ(pulled(), 0);
    EXPECT_EQ(pulled(), 1);
    EXPECT_EQ(pulled(), 2);
}

TEST_F(DuplexQueueTest, AnEmptyQueueAnswersAWholeBufferOfSilenceOrTheLastSlotAgain) {
    const struct {
        bool loopIfEmpty;
        std::int64_t expected;
    } cases[] = {{false, 0}, {true, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.loopIfEmpty ? "LoopIfEmpty" : "silence");
        input.close();
        empties = 0;
        queue.SetLoopIfEmpty(c.loopIfEmpty);
        openAndStart();
        input.push(1);
        input.push(2);
        EXPECT_EQ(pulled(), 0);
        EXPECT_EQ(pulled(), 1);
        EXPECT_EQ(pulled(), 2);
        EXPECT_EQ(pulled(), c.expected);
        EXPECT_EQ(pulled(), c.expected);
        EXPECT_EQ(empties, 2);
        EXPECT_EQ(queue.GetUnderrunCount(), 2);
    }
}

TEST_F(DuplexQueueTest, SilenceOfEightBitSamplesIsTheMidValue) {
    const TWaveFormatEx format = pcmFormat(8, 1, 8000);
    input.SetWaveFormat(&format);
    openAndStart();
    for (int pull = 0; pull < 2; ++pull) { // while priming, then from the empty queue
        const PWaveHdr buffer = output.pull();
        ASSERT_EQ(buffer->wh.dwBytesRecorded, slotBytes);
        EXPECT_EQ(std::count(buffer->wh.lpData, buffer->wh.lpData + slotBytes, char(0x80)),
                  slotBytes);
        input.push(1);
        input.push(2);
        output.pull();
        output.pull();
        output.pull();
    }
}

TEST_F(DuplexQueueTest, APullForLessThanASlotLeavesTheRestForTheNextPull) {
    openAndStart();
    input.push(1);
    input.push(2);
    EXPECT_EQ(pulled(), 0);
    PWaveHdr buffer = output.pull(256);
    ASSERT_EQ(buffer->wh.dwBytesRecorded, 256u);
    EXPECT_EQ(numberOf(buffer->wh.lpData, 256), 1);
    buffer = output.pull();
    ASSERT_EQ(buffer->wh.dwBytesRecorded, slotBytes - 256);
    EXPECT_EQ(numberOf(buffer->wh.lpData, slotBytes - 256), 1);
    EXPECT_EQ(pulled(), 2);
    EXPECT_EQ(queue.GetBytesQueued(), 0);
}

TEST_F(DuplexQueueTest, StoppingOrEmptyingForgetsTheQueueAndItPrimesAgain) {
    const struct {
        const char* name;
        std::function<void()> forget;
    } cases[] = {
        {"stop and start",
         [this] {
             input.stop();
             input.start();
         }},
        {"EmptyQueue",
         [this] {
             queue.EmptyQueue();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        input.close();
        openAndStart();
        input.push(1);
        input.push(2);
        EXPECT_EQ(pulled(), 0);
        c.forget();
        EXPECT_EQ(queue.GetFilledBuffers(), 0);
        EXPECT_EQ(queue.GetBytesQueued(), 0);
        input.push(3);
        EXPECT_EQ(pulled(), 0);
        input.push(4);
        EXPECT_EQ(pulled(), 0);
        EXPECT_EQ(pulled(), 3);
    }
}

TEST_F(DuplexQueueTest, TheQueueShapeCannotChangeWhileOpen) {
    const struct {
        const char* name;
        std::function<void(TMMRingBuffer&)> change;
    } cases[] = {
        {"QueueMode",
         [](TMMRingBuffer& q) {
             q.SetQueueMode(qmWrite);
         }},
        {"NumBuffers",
         [](TMMRingBuffer& q) {
             q.SetNumBuffers(8);
         }},
        {"BufferSize",
         [](TMMRingBuffer& q) {
             q.SetBufferSize(4096);
         }},
    };
    openAndStart();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.change(queue);
            ADD_FAILURE() << "no error";
        } catch (const EMMBufferError& e) {
            EXPECT_STREQ(e.what(), "Change to property while device was open");
        }
    }
    EXPECT_EQ(queue.GetQueueMode(), qmDuplex);
    EXPECT_EQ(queue.GetNumBuffers(), 2);

    input.close();
    queue.SetNumBuffers(1); // a queue needs two slots at least
    EXPECT_EQ(queue.GetNumBuffers(), 2);
    queue.SetBufferSize(10);
    EXPECT_EQ(queue.GetBufferSize(), 32);
}

// Two clocks in virtual time: the input pushes every `inputPeriod` units, the output pulls every
// 1000 units, half a period out of phase. Each side runs on its own thread; a turnstile lets
// them act in the order of their clocks, so the outcome does not depend on the machine.
class Turnstile {
public:
    void waitForTurn(std::size_t turn) {
        std::unique_lock lock(mutex_);
        next_.wait(lock, [&] { return turn_ == turn; });
    }
    void pass() {
        {
            std::lock_guard lock(mutex_);
            ++turn_;
        }
        next_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable next_;
    std::size_t turn_ = 0;
};

enum class Side { push, pull };
struct Step {
    Side side;
    int phase; // 0: the input clock is fast, 1: slow
};

// `stepsPerPhase` pulls per phase and the pushes that fall between them.
std::vector<Step> driftSchedule(int stepsPerPhase, const double inputPeriods[2]) {
    std::vector<Step> steps;
    double nextPush = 0;
    for (int phase = 0; phase < 2; ++phase) {
        for (int pull = 0; pull < stepsPerPhase; ++pull) {
            const double pullTime = (phase * stepsPerPhase + pull) * 1000.0 + 500.0;
            for (; nextPush <= pullTime; nextPush += inputPeriods[phase])
                steps.push_back({Side::push, phase});
            steps.push_back({Side::pull, phase});
        }
    }
    return steps;
}

TEST_F(DuplexQueueTest, AbsorbsTheDriftOfTwoClocksByDroppingOrRepeatingWholeBuffers) {
    queue.SetLoopIfEmpty(true);
    openAndStart();
    const double inputPeriods[2] = {1000.0 / 1.005, 1000.0 / 0.995}; // 0.5 % fast, then slow
    const std::vector<Step> steps = driftSchedule(1000, inputPeriods);

    struct PhaseCounts {
        int pushes = 0, dropped = 0, pulls = 0, repeated = 0, silent = 0;
    };
    PhaseCounts counts[2];
    std::vector<std::int64_t> delivered; // what the output got, in order
    std::vector<std::uint32_t> droppedNumbers;
    std::atomic<bool> slotsExceeded{false};
    Turnstile turnstile;

    const auto checkSlots = [&] {
        if (queue.GetFilledBuffers() > queue.GetNumBuffers())
            slotsExceeded = true;
    };
    std::thread pusher([&] {
        std::uint32_t number = 0;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            if (steps[i].side != Side::push)
                continue;
            turnstile.waitForTurn(i);
            const std::int64_t before = queue.GetOverflowCount();
            input.push(++number);
            ++counts[steps[i].phase].pushes;
            if (queue.GetOverflowCount() != before) {
                ++counts[steps[i].phase].dropped;
                droppedNumbers.push_back(number);
            }
            checkSlots();
            turnstile.pass();
        }
    });
    std::thread puller([&] {
        std::int64_t last = 0;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            if (steps[i].side != Side::pull)
                continue;
            turnstile.waitForTurn(i);
            const std::int64_t before = queue.GetUnderrunCount();
            const std::int64_t number = pulled();
            PhaseCounts& phase = counts[steps[i].phase];
            ++phase.pulls;
            if (queue.GetUnderrunCount() != before)
                ++phase.repeated;
            if (number == 0)
                ++phase.silent;
            else if (number != last)
                delivered.push_back(number);
            last = number;
            checkSlots();
            turnstile.pass();
        }
    });
    pusher.join();
    puller.join();

    EXPECT_FALSE(slotsExceeded);
    // Every pull brought a whole buffer; the first two were the silence of priming.
    EXPECT_EQ(counts[0].silent, 2);
    EXPECT_EQ(counts[1].silent, 0);
    EXPECT_THAT(delivered, ::testing::Not(::testing::Contains(-1)));
    // The fast input loses whole buffers, the slow one makes the output repeat whole buffers,
    // and each is counted where it happens.
    EXPECT_GE(counts[0].dropped, 2);
    EXPECT_EQ(counts[0].repeated, 0);
    EXPECT_GE(counts[1].repeated, 1);
    EXPECT_EQ(counts[1].dropped, 0);
    EXPECT_EQ(queue.GetOverflowCount(), counts[0].dropped);
    EXPECT_EQ(queue.GetUnderrunCount(), counts[1].repeated);
    EXPECT_EQ(empties, counts[1].repeated);
    // Nothing was overwritten: the output got every buffer that was not dropped, in order.
    const int pushes = counts[0].pushes + counts[1].pushes;
    std::vector<std::int64_t> expected;
    for (std::int64_t number = 1; number <= pushes - queue.GetFilledBuffers(); ++number)
        if (std::find(droppedNumbers.begin(), droppedNumbers.end(), number) == droppedNumbers.end())
            expected.push_back(number);
    EXPECT_THAT(delivered, ElementsAreArray(expected));
}

TEST_F(DuplexQueueTest, StaysConsistentWhileBothSidesRunFreely) {
    openAndStart(4);
    constexpr std::uint32_t pushes = 3000;
    std::atomic<bool> pushing{true};
    std::atomic<bool> slotsExceeded{false};
    std::thread pusher([&] {
        for (std::uint32_t number = 1; number <= pushes; ++number) {
            input.push(number);
            if (number % 3 == 0)
                std::this_thread::yield();
        }
        pushing = false;
    });
    std::vector<std::int64_t> delivered;
    std::thread puller([&] {
        while (pushing || queue.GetFilledBuffers() > 0) {
            const std::int64_t number = pulled();
            if (number != 0)
                delivered.push_back(number);
            if (queue.GetFilledBuffers() > queue.GetNumBuffers())
                slotsExceeded = true;
            std::this_thread::yield();
        }
    });
    pusher.join();
    puller.join();

    EXPECT_FALSE(slotsExceeded);
    EXPECT_THAT(delivered, ::testing::Not(::testing::Contains(-1)));
    EXPECT_TRUE(std::is_sorted(delivered.begin(), delivered.end()));
    EXPECT_EQ(std::adjacent_find(delivered.begin(), delivered.end()), delivered.end());
    EXPECT_EQ(static_cast<std::int64_t>(delivered.size()) + queue.GetOverflowCount(), pushes);
}

// ---------------------------------------------------------------------------------------------
// Write mode: the worker writes what is pushed into the queue on down the chain.

class WriteQueueTest : public MainThreadFixture {
protected:
    WriteQueueTest() {
        const TWaveFormatEx format = pcmFormat();
        input.SetBufferSize(slotBytes);
        input.SetWaveFormat(&format);
        input.SetOutput(&queue);
        queue.SetOutput(&sink);
        queue.SetQueueMode(qmWrite);
        queue.SetNumBuffers(4);
        queue.OnOverlow = [this](TMMDSPComponent*) {
            ++overflows;
        };
        queue.OnFlushQueue = [this](TMMDSPComponent*) {
            ++passesBegun;
        };
        queue.OnFlushQueueEnd = [this](TMMDSPComponent*) {
            ++passesEnded;
        };
    }
    ~WriteQueueTest() override {
        gate.Set();
        input.close();
    }

    FakeDevice input{FakeDevice::input};
    TMMRingBuffer queue;
    RecordingSink sink;
    std::atomic<int> overflows{0};
    std::atomic<int> passesBegun{0};
    std::atomic<int> passesEnded{0};
    TMMEvent gate{true};
};

TEST_F(WriteQueueTest, TheWorkerWritesEveryPushedBufferDownstreamInOrder) {
    queue.SetWaitIfFull(true);
    input.open();
    input.start();
    const auto mainId = std::this_thread::get_id();
    std::thread::id pusherId;
    std::atomic<int> writtenByWorker{0};
    sink.onBuffer = [&](PWaveHdr) {
        if (std::this_thread::get_id() != mainId && std::this_thread::get_id() != pusherId)
            ++writtenByWorker;
    };
    constexpr std::uint32_t pushes = 300;
    std::thread pusher([&] {
        for (std::uint32_t number = 1; number <= pushes; ++number)
            input.push(number);
    });
    pusherId = pusher.get_id();
    pusher.join();
    input.stop(); // writes out what is still queued

    EXPECT_THAT(numbersInStream(sink.bytes(), slotBytes), ElementsAreArray(oneTo(pushes)));
    EXPECT_EQ(overflows, 0);
    EXPECT_GT(writtenByWorker, 0);
    EXPECT_GE(passesBegun, 1);
    EXPECT_EQ(passesBegun, passesEnded);
    EXPECT_EQ(queue.GetBytesQueued(), 0);
}

TEST_F(WriteQueueTest, WithoutWaitingAFullQueueDropsWholeBuffersWhileTheWriterIsBusy) {
    TMMEvent writing;
    gate.Reset();
    sink.onBuffer = [&](PWaveHdr) {
        writing.Set();
        gate.WaitFor(patience.count()); // the downstream writer is slow
    };
    input.open();
    input.start();
    input.push(1);
    input.push(2);                                  // half the slots: the worker is asked to write
    ASSERT_TRUE(writing.WaitFor(patience.count())); // and holds buffers 1 and 2 now
    for (std::uint32_t number = 3; number <= 9; ++number)
        input.push(number); // 3..6 fill the four slots, 7..9 find the queue full
    EXPECT_EQ(overflows, 3);
    gate.Set();
    input.stop();
    EXPECT_THAT(numbersInStream(sink.bytes(), slotBytes), ElementsAreArray(oneTo(6)));
}

TEST_F(WriteQueueTest, StoppingOrClosingFromInsideTheWriteOutCompletesLaterOnTheMainThread) {
    const struct {
        const char* name;
        void (TMMRingBuffer::*notification)();
        bool (TMMDSPComponent::*stillRunning)() const;
    } cases[] = {
        {"stop", &TMMRingBuffer::NotifyStopped, &TMMDSPComponent::IsStarted},
        {"close", &TMMRingBuffer::NotifyClosed, &TMMDSPComponent::IsOpened},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        input.close();
        std::atomic<bool> asked{false};
        sink.onBuffer = [&](PWaveHdr) {
            if (!asked.exchange(true))
                (queue.*c.notification)(); // returns at once on the worker
        };
        input.open();
        input.start();
        input.push(1);
        input.push(2);
        ASSERT_TRUE(pumpUntil([&] { return asked && !(queue.*c.stillRunning)(); }));
        EXPECT_EQ(queue.GetBytesQueued(), 0);
        sink.onBuffer = nullptr;
    }
}

TEST_F(WriteQueueTest, ClosingFromInsideTheLastWriteOutOnTheMainThreadCompletesLater) {
    std::atomic<bool> asked{false};
    sink.onBuffer = [&](PWaveHdr) {
        if (!asked.exchange(true))
            queue.NotifyClosed(); // inside the write-out that stopping runs on this thread
    };
    input.open();
    input.start();
    input.push(1); // too little to wake the worker: stopping writes it out
    input.stop();
    EXPECT_TRUE(queue.IsOpened());
    ASSERT_TRUE(pumpUntil([&] { return !queue.IsOpened(); }));
    EXPECT_THAT(numbersInStream(sink.bytes(), slotBytes), ElementsAre(1));
}

TEST_F(WriteQueueTest, AFailingWriterIsReportedAndTheQueueIsWrittenOutWhenItStops) {
    std::atomic<bool> failed{false};
    sink.onBuffer = [&](PWaveHdr) {
        if (!failed.exchange(true))
            throw std::runtime_error("disk full");
    };
    input.open();
    input.start();
    input.push(1);
    input.push(2);
    ASSERT_TRUE(pumpUntil([&] { return !handledErrors().empty(); }));
    EXPECT_THAT(handledErrors(), ElementsAre("disk full"));
    input.push(3);
    input.push(4);
    input.stop(); // does not wait for the worker that has gone
    EXPECT_THAT(numbersInStream(sink.bytes(), slotBytes), ElementsAreArray(oneTo(4)));
}

// ---------------------------------------------------------------------------------------------
// Read mode: the worker reads ahead from the source; pulls are served from the queue.

class ReadQueueTest : public MainThreadFixture {
protected:
    // A source of `count` buffers linked in place of the last one (the queue must be closed).
    // The fixture owns it, so that it outlives the read-ahead.
    NumberedSource& linkSource(std::uint32_t count) {
        source_ = std::make_unique<NumberedSource>(count, slotBytes);
        NumberedSource& source = *source_;
        const TWaveFormatEx format = pcmFormat();
        source.SetWaveFormat(&format);
        source.SetOutput(&queue);
        queue.SetOutput(&output);
        queue.SetQueueMode(qmRead);
        queue.SetNumBuffers(8);
        output.SetBufferSize(slotBytes);
        queue.OnFillQueue = [this](TMMDSPComponent*) {
            ++passes;
        };
        return source;
    }
    ~ReadQueueTest() override { output.close(); }

    // Pulls until the source's end is reported; the numbers that came, silence left out. An
    // empty queue gives the read-ahead a millisecond, as a device's clock would.
    std::vector<std::int64_t> pullToTheEnd() {
        std::vector<std::int64_t> numbers;
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < deadline) {
            const PWaveHdr buffer = output.pull();
            const std::int64_t number =
                buffer->wh.dwBytesRecorded > 0 ? numberOf(buffer->wh.lpData, slotBytes) : 0;
            if (number != 0)
                numbers.push_back(number);
            else
                std::this_thread::sleep_for(1ms);
            if (!output.lastMoreBuffers)
                return numbers;
        }
        ADD_FAILURE() << "the end never came";
        return numbers;
    }

    std::unique_ptr<NumberedSource> source_;
    TMMRingBuffer queue;
    FakeDevice output{FakeDevice::output};
    std::atomic<int> passes{0};
};

TEST_F(ReadQueueTest, ReadsAheadAndServesASourceInOrderUntilItsEnd) {
    const struct {
        const char* name;
        bool endsWithEmptyPull;
    } cases[] = {{"end reported with the last data", false}, {"end as an empty pull", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        linkSource(40).endsWithEmptyPull = c.endsWithEmptyPull;
        output.open();
        output.start();
        EXPECT_THAT(pullToTheEnd(), ElementsAreArray(oneTo(40)));
        EXPECT_GE(passes, 1);
        output.close();
    }
}

TEST_F(ReadQueueTest, TheReadAheadLoopsTheSourceAsThePullerAsksAndMarksWhereItWrapped) {
    linkSource(3);
    output.loops = 1;
    output.open();
    output.start();
    std::vector<std::int64_t> numbers;
    std::vector<std::int64_t> restartedAt;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        const PWaveHdr buffer = output.pull();
        const std::int64_t number =
            buffer->wh.dwBytesRecorded > 0 ? numberOf(buffer->wh.lpData, slotBytes) : 0;
        if (number != 0)
            numbers.push_back(number);
        if (buffer->LoopRestarted == MMTrue)
            restartedAt.push_back(static_cast<std::int64_t>(numbers.size()));
        if (!output.lastMoreBuffers)
            break;
        if (number == 0)
            std::this_thread::sleep_for(1ms);
    }
    EXPECT_THAT(numbers, ElementsAre(1, 2, 3, 1, 2, 3));
    EXPECT_THAT(restartedAt, ElementsAre(4));
    EXPECT_FALSE(output.lastMoreBuffers);
}

TEST_F(ReadQueueTest, WithANegativeTimeOutAFirstPullDoesNotWaitForTheReadAhead) {
    TMMEvent sourceMayAnswer{true};
    linkSource(3).beforeLoad = [&] {
        sourceMayAnswer.WaitFor(patience.count());
    };
    queue.SetTimeOut(-1);
    output.open();
    output.start();
    EXPECT_EQ(output.pull()->wh.dwBytesRecorded, 0u);
    EXPECT_TRUE(output.lastMoreBuffers);
    sourceMayAnswer.Set();
    ASSERT_TRUE(pumpUntil([&] { return output.pull()->wh.dwBytesRecorded > 0; }));
    EXPECT_EQ(numberOf(output.pull(slotBytes)->wh.lpData, slotBytes), 2);
    output.close();
}

} // namespace
} // namespace vantrel
