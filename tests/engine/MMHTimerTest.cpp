#include "MMHTimer.h"

#include "MainThreadFixture.h"

#include <atomic>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>

namespace vantrel {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

// Records on which threads OnTimer ran and how often.
class TimerProbe {
public:
    TMMTimerEvent handler() {
        return [this](TMMHiTimer*) {
            std::lock_guard lock(mutex_);
            threads_.insert(std::this_thread::get_id());
            ++count_;
        };
    }
    int count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    std::set<std::thread::id> threads() const {
        std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    mutable std::mutex mutex_;
    std::set<std::thread::id> threads_;
    int count_ = 0;
};

class HiTimerTest : public MainThreadFixture {
protected:
    // A running timer with a short period and the probe as OnTimer.
    void start(TMMHiTimer& timer, TMMCBMode mode, std::int32_t intervalMs = 2) {
        timer.SetCallBackMode(mode);
        timer.SetInterval(intervalMs);
        timer.SetOnTimer(probe.handler());
        ASSERT_TRUE(timer.IsRunning());
    }
    // Gives a stopped timer the time in which a running one would certainly have ticked.
    static void letTicksPass() { std::this_thread::sleep_for(30ms); }

    TimerProbe probe;
};

TEST_F(HiTimerTest, RunsOnlyWithAnIntervalEnabledAndAHandler) {
    TMMHiTimer timer;
    EXPECT_EQ(timer.GetCallBackMode(), cmWindow);
    EXPECT_TRUE(timer.GetEnabled());
    EXPECT_EQ(timer.GetInterval(), 1000);
    EXPECT_FALSE(timer.IsRunning()); // no handler

    timer.SetOnTimer(probe.handler());
    EXPECT_TRUE(timer.IsRunning());
    timer.SetInterval(0);
    EXPECT_FALSE(timer.IsRunning());
    timer.SetInterval(5);
    EXPECT_TRUE(timer.IsRunning());
    timer.SetEnabled(false);
    EXPECT_FALSE(timer.IsRunning());
    EXPECT_THROW(timer.SetInterval(-1), EMMHiTimerError);
}

TEST_F(HiTimerTest, WindowModeFiresOnTheMainThread) {
    TMMHiTimer timer;
    start(timer, cmWindow);
    ASSERT_TRUE(pumpUntil([&] { return probe.count() >= 3; }));
    EXPECT_THAT(probe.threads(), ElementsAre(std::this_thread::get_id()));
}

TEST_F(HiTimerTest, ThreadModeFiresOnTheMainThreadWhenSynchronised) {
    TMMHiTimer timer;
    timer.SetWaitForTerminate(true);
    start(timer, cmThread);
    ASSERT_TRUE(pumpUntil([&] { return probe.count() >= 3; }));
    timer.SetEnabled(false);
    EXPECT_THAT(probe.threads(), ElementsAre(std::this_thread::get_id()));
}

TEST_F(HiTimerTest, ThreadModeFiresOnItsOwnThreadWithoutSynchronize) {
    TMMHiTimer timer;
    timer.SetSynchronize(false);
    timer.SetWaitForTerminate(true);
    timer.SetPriority(tpLower);
    start(timer, cmThread);
    for (int i = 0; i < 10000 && probe.count() < 3; ++i)
        std::this_thread::sleep_for(1ms);
    timer.SetEnabled(false);
    ASSERT_GE(probe.count(), 3);
    const auto threads = probe.threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

TEST_F(HiTimerTest, CallbackModeIsRefusedWithAMessageBox) {
    std::vector<std::string> boxes;
    installMessageBoxHandler([&](const std::string& text, const std::string& caption) {
        boxes.push_back(caption + ": " + text);
    });
    TMMHiTimer timer;
    timer.SetCallBackMode(cmCallback);
    installMessageBoxHandler({});
    EXPECT_EQ(timer.GetCallBackMode(), cmWindow);
    EXPECT_THAT(boxes, ElementsAre("TMMHiTimer: \"CallBacks\" are called at interrupt time !\n\r"
                                   "This is currently only supported under Windows 95"));
}

// The main thread is busy: no more than 10 timer messages wait for it, whatever the number of
// ticks meanwhile.
TEST_F(HiTimerTest, WindowModeDropsTicksBeyondTenPendingMessages) {
    TMMHiTimer timer;
    start(timer, cmWindow, 1);
    for (int i = 0; i < 10000 && loop.pendingCount() < 10; ++i)
        std::this_thread::sleep_for(1ms);
    letTicksPass();
    EXPECT_EQ(loop.pendingCount(), 10u);
    loop.processPending(0ms);
    EXPECT_EQ(probe.count(), 10);
    // Handled messages make room again.
    ASSERT_TRUE(pumpUntil([&] { return probe.count() > 10; }));
}

struct StopCase {
    const char* name;
    TMMCBMode mode;
    std::function<void(TMMHiTimer&)> stop;
};

void PrintTo(const StopCase& stopCase, std::ostream* out) {
    *out << stopCase.name;
}

class HiTimerStopTest : public HiTimerTest, public ::testing::WithParamInterface<StopCase> {};

// Ticks already queued for the main thread when the timer stops or is rebuilt never fire.
TEST_P(HiTimerStopTest, QueuedTicksOfTheOldTimerNeverFire) {
    TMMHiTimer timer;
    timer.SetWaitForTerminate(true);
    start(timer, GetParam().mode, 1);
    for (int i = 0; i < 10000 && loop.pendingCount() < 1; ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_GE(loop.pendingCount(), 1u);
    GetParam().stop(timer);
    loop.processPending(0ms);
    letTicksPass();
    loop.processPending(0ms);
    EXPECT_EQ(probe.count(), 0);
}

INSTANTIATE_TEST_SUITE_P(AllStops, HiTimerStopTest,
                         ::testing::Values(StopCase{"WindowDisabled", cmWindow,
                                                    [](TMMHiTimer& t) {
                                                        t.SetEnabled(false);
                                                    }},
                                           StopCase{"WindowIntervalChanged", cmWindow,
                                                    [](TMMHiTimer& t) {
                                                        t.SetInterval(60000);
                                                    }},
                                           StopCase{"WindowHandlerRemoved", cmWindow,
                                                    [](TMMHiTimer& t) {
                                                        t.SetOnTimer({});
                                                    }},
                                           StopCase{"ThreadDisabled", cmThread,
                                                    [](TMMHiTimer& t) {
                                                        t.SetEnabled(false);
                                                    }},
                                           StopCase{"ThreadIntervalChanged", cmThread,
                                                    [](TMMHiTimer& t) {
                                                        t.SetInterval(60000);
                                                    }}),
                         [](const auto& info) { return std::string(info.param.name); });

// A synchronised OnTimer that stops its own timer must not wait for the thread that is waiting
// for it.
TEST_F(HiTimerTest, SynchronisedHandlerMayStopItsOwnTimer) {
    TMMHiTimer timer;
    timer.SetWaitForTerminate(true);
    timer.SetCallBackMode(cmThread);
    timer.SetInterval(1);
    int fired = 0;
    timer.SetOnTimer([&](TMMHiTimer* sender) {
        ++fired;
        sender->SetEnabled(false);
    });
    ASSERT_TRUE(pumpUntil([&] { return !timer.IsRunning(); }));
    letTicksPass();
    loop.processPending(0ms);
    EXPECT_EQ(fired, 1);
}

class HiTimerFailureTest : public HiTimerTest, public ::testing::WithParamInterface<TMMCBMode> {};

TEST_P(HiTimerFailureTest, HandlerFailureGoesToTheApplicationAndTheTimerGoesOn) {
    TMMHiTimer timer;
    timer.SetWaitForTerminate(true);
    timer.SetCallBackMode(GetParam());
    timer.SetInterval(1);
    int fired = 0;
    timer.SetOnTimer([&](TMMHiTimer*) {
        if (++fired == 1)
            throw std::runtime_error("OnTimer failed");
    });
    ASSERT_TRUE(pumpUntil([&] { return fired >= 12; }));
    timer.SetEnabled(false);
    EXPECT_THAT(handledErrors(), ElementsAre("OnTimer failed"));
}

INSTANTIATE_TEST_SUITE_P(WindowAndSynchronisedThread, HiTimerFailureTest,
                         ::testing::Values(cmWindow, cmThread));

TEST_F(HiTimerTest, StartsOnlyAfterLoading) {
    TMMHiTimer timer;
    timer.BeginLoading();
    timer.SetInterval(1);
    timer.SetOnTimer(probe.handler());
    EXPECT_FALSE(timer.IsRunning());
    timer.Loaded();
    EXPECT_TRUE(timer.IsRunning());
}

// ---------------------------------------------------------------------------------------------
// Tick list

class TickListTest : public ::testing::Test {
protected:
    TMMTickEntry* add(int periodMs, bool held, int& fired) {
        return ticks.Add(
            periodMs, held, [&fired](TMMTickEntry*, void*) { ++fired; }, nullptr);
    }
    // The ticks (1-based) on which an entry fired within `count` ticks.
    std::vector<int> firingTicks(int count, int& fired) {
        std::vector<int> result;
        for (int tick = 1; tick <= count; ++tick) {
            const int before = fired;
            ticks.Tick();
            if (fired != before)
                result.push_back(tick);
        }
        return result;
    }

    TMMTickList ticks{false};
};

TEST_F(TickListTest, PeriodsAreRoundedUpToWholeTicksOfAtLeast25Ms) {
    struct Case {
        int periodMs;
        std::vector<int> firingTicks;
    };
    const Case cases[] = {
        {10, {1, 2, 3, 4, 5, 6}},
        {25, {1, 2, 3, 4, 5, 6}},
        {50, {2, 4, 6}},
        {60, {3, 6}},
        {75, {3, 6}},
    };
    for (const Case& c : cases) {
        TMMTickList list(false);
        int fired = 0;
        TMMTickEntry* entry = list.Add(
            c.periodMs, false, [&fired](TMMTickEntry*, void*) { ++fired; }, nullptr);
        std::vector<int> got;
        for (int tick = 1; tick <= 6; ++tick) {
            const int before = fired;
            list.Tick();
            if (fired != before)
                got.push_back(tick);
        }
        EXPECT_EQ(got, c.firingTicks) << "period " << c.periodMs;
        list.Remove(entry);
    }
}

TEST_F(TickListTest, HeldEntryDoesNotFireAndFiresAFullPeriodAfterResume) {
    int fired = 0;
    TMMTickEntry* entry = add(50, true, fired);
    EXPECT_TRUE(firingTicks(4, fired).empty());
    ticks.Resume(entry);
    EXPECT_EQ(firingTicks(4, fired), (std::vector<int>{2, 4}));

    // Hold restarts the period: one tick in, held, resumed: two more ticks to the next firing.
    ticks.Tick();
    ticks.Hold(entry);
    ticks.Hold(entry);
    ticks.Resume(entry);
    EXPECT_TRUE(firingTicks(2, fired).empty()); // still held once
    ticks.Resume(entry);
    ticks.Resume(entry); // more resumes than holds change nothing
    EXPECT_EQ(firingTicks(2, fired), (std::vector<int>{2}));
    ticks.Remove(entry);
}

TEST_F(TickListTest, RoutineGetsItsEntryAndUserDataAndMayRemoveItself) {
    int owner = 0;
    int calls = 0;
    TMMTickEntry* seenEntry = nullptr;
    TMMTickEntry* entry = ticks.Add(
        25, false,
        [&](TMMTickEntry* e, void* userData) {
            seenEntry = e;
            EXPECT_EQ(userData, &owner);
            ++calls;
            ticks.Remove(e);
        },
        &owner);
    int otherFired = 0;
    add(25, false, otherFired);
    ticks.Tick();
    ticks.Tick();
    EXPECT_EQ(seenEntry, entry);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(otherFired, 2);
    EXPECT_EQ(ticks.EntryCount(), 1u);
}

TEST(SharedTickList, FiresOnItsTimerThreadWhileItHasEntries) {
    TMMTickList& shared = TMMTickList::Shared();
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::atomic<int> fired{0};
    TMMTickEntry* entry = shared.Add(
        25, false,
        [&](TMMTickEntry*, void*) {
            std::lock_guard lock(mutex);
            threads.insert(std::this_thread::get_id());
            ++fired;
        },
        nullptr);
    ASSERT_NE(entry, nullptr);
    for (int i = 0; i < 10000 && fired < 3; ++i)
        std::this_thread::sleep_for(1ms);
    shared.Remove(entry);
    const int afterRemove = fired;
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(fired, afterRemove);
    EXPECT_GE(afterRemove, 3);
    EXPECT_EQ(shared.EntryCount(), 0u);
    std::lock_guard lock(
        mutex); // never held around a call into the list: routines run under its lock
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

} // namespace
} // namespace vantrel
