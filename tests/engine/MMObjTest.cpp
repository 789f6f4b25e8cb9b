#include "MMObj.h"

#include "MainThreadFixture.h"

#include <atomic>
#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace vantrel {
namespace {

using ::testing::ElementsAre;

// A stream worker whose body is given by the test.
class Worker : public TMMDSPThread {
public:
    explicit Worker(std::function<void(Worker&)> body)
        : TMMDSPThread(nullptr), body_(std::move(body)) {}
    using TMMThreadEx::waitWhileSuspended;

protected:
    void Execute() override { body_(*this); }

private:
    std::function<void(Worker&)> body_;
};

// ---------------------------------------------------------------------------------------------
// Threads

TEST(ThreadPriority, MapsToTheSystemLevelsAndToNiceValuesInOrder) {
    const TThreadPriority all[] = {tpIdle,   tpLowest,  tpLower,       tpNormal,
                                   tpHigher, tpHighest, tpTimeCritical};
    const int systemLevels[] = {-15, -2, -1, 0, 1, 2, 15};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(SystemThreadPriority(all[i]), systemLevels[i]);
    for (int i = 1; i < 7; ++i)
        EXPECT_LE(ThreadNiceValue(all[i]), ThreadNiceValue(all[i - 1]));
    EXPECT_EQ(ThreadNiceValue(tpIdle), 19);
    EXPECT_EQ(ThreadNiceValue(tpTimeCritical), -20);
}

TEST(ThreadPriority, AppliesToTheRunningThread) {
    std::atomic<int> niceSeen{0};
    TMMEvent lowered;
    TMMEvent checked;
    Worker worker([&](Worker&) {
        lowered.WaitFor(TMMEvent::Infinite);
        niceSeen = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        checked.Set();
    });
    worker.Resume();
    // Lowering is always allowed, so this must be accepted.
    EXPECT_TRUE(worker.SetPriority(tpLowest));
    lowered.Set();
    ASSERT_TRUE(checked.WaitFor(10000));
    worker.WaitFor();
    EXPECT_EQ(niceSeen, ThreadNiceValue(tpLowest));
    EXPECT_EQ(worker.GetPriority(), tpLowest);
    EXPECT_TRUE(worker.PriorityAccepted());
}

TEST(ThreadPriority, PrioritySetBeforeTheStartAppliesWhenTheThreadRuns) {
    std::atomic<int> niceSeen{0};
    Worker worker(
        [&](Worker&) { niceSeen = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); });
    EXPECT_TRUE(worker.SetPriority(tpIdle));
    worker.Resume();
    worker.WaitFor();
    EXPECT_EQ(niceSeen, ThreadNiceValue(tpIdle));
    EXPECT_TRUE(worker.PriorityAccepted());
}

TEST(WorkerThread, RunsOnlyOnceResumedAndReportsSuspension) {
    std::atomic<bool> ran{false};
    Worker worker([&](Worker&) { ran = true; });
    EXPECT_TRUE(worker.Suspended());
    EXPECT_EQ(worker.ThreadID(), std::thread::id());
    worker.Resume();
    EXPECT_FALSE(worker.Suspended());
    worker.WaitFor();
    EXPECT_TRUE(ran);
}

TEST(WorkerThread, SuspensionHoldsTheLoopUntilResumedOrTerminated) {
    std::atomic<int> rounds{0};
    TMMEvent roundDone;
    TMMEvent goOn;
    Worker worker([&](Worker& self) {
        for (;;) {
            self.waitWhileSuspended();
            if (self.Terminated())
                break;
            ++rounds;
            roundDone.Set();
            goOn.WaitFor(TMMEvent::Infinite);
        }
    });
    worker.Resume();
    ASSERT_TRUE(roundDone.WaitFor(10000));
    worker.Suspend();
    goOn.Set();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(rounds, 1); // held in waitWhileSuspended
    worker.Resume();
    ASSERT_TRUE(roundDone.WaitFor(10000));
    EXPECT_EQ(rounds, 2);
    worker.Suspend();
    goOn.Set();
    worker.Terminate(); // releases the suspended loop
    worker.WaitFor();
    EXPECT_EQ(rounds, 2);
}

TEST(WorkerThread, IsListedWhileItLivesAndFreesItselfWhenAsked) {
    EXPECT_EQ(TMMDSPThread::LivingThreads(), 0u);
    TMMEvent release;
    auto* worker = new Worker([&](Worker&) { release.WaitFor(TMMEvent::Infinite); });
    EXPECT_EQ(TMMDSPThread::LivingThreads(), 1u);
    worker->SetFreeOnTerminate(true);
    worker->Resume();
    release.Set();
    for (int i = 0; i < 10000 && TMMDSPThread::LivingThreads() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(TMMDSPThread::LivingThreads(), 0u);
}

TEST(WorkerThread, ExceptionLeavingExecuteGoesToTheApplicationHandler) {
    std::vector<std::string> seen;
    installApplicationExceptionHandler([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            seen.emplace_back(e.what());
        }
    });
    Worker worker([](Worker&) { throw std::runtime_error("worker failed"); });
    worker.Resume();
    worker.WaitFor();
    installApplicationExceptionHandler({});
    EXPECT_THAT(seen, ElementsAre("worker failed"));
}

class SynchronizeFromWorkerTest : public MainThreadFixture {};

TEST_F(SynchronizeFromWorkerTest, RunsOnTheMainThreadFromAListedWorker) {
    const auto mainId = std::this_thread::get_id();
    std::thread::id ranOn;
    std::atomic<bool> sawResult{false};
    Worker worker([&](Worker&) {
        SynchronizeFromWorker([&] { ranOn = std::this_thread::get_id(); });
        sawResult = ranOn == mainId; // the call has returned only after the routine ran
    });
    worker.Resume();
    ASSERT_TRUE(pumpUntil([&] { return sawResult.load(); }));
    worker.WaitFor();
    EXPECT_EQ(ranOn, mainId);
}

TEST_F(SynchronizeFromWorkerTest, RunsDirectlyOnTheMainThreadAndOnUnlistedThreads) {
    std::thread::id ranOn;
    SynchronizeFromWorker([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    Worker listed([](Worker&) {}); // the list exists, but the caller below is not in it
    std::thread::id plainId;
    std::thread plain([&] {
        plainId = std::this_thread::get_id();
        SynchronizeFromWorker([&] { ranOn = std::this_thread::get_id(); });
    });
    plain.join();
    EXPECT_EQ(ranOn, plainId);
}

TEST_F(SynchronizeFromWorkerTest, PassesTheRoutinesExceptionBackToTheWorker) {
    std::atomic<bool> caught{false};
    Worker worker([&](Worker&) {
        try {
            SynchronizeFromWorker([] { throw std::runtime_error("from the main thread"); });
        } catch (const std::runtime_error&) {
            caught = true;
        }
    });
    worker.Resume();
    ASSERT_TRUE(pumpUntil([&] { return caught.load(); }));
    worker.WaitFor();
}

TEST(SynchronizeFromWorkerWithoutLoop, RunsDirectlyOnTheWorker) {
    std::thread::id ranOn;
    std::thread::id workerId;
    Worker worker([&](Worker&) {
        workerId = std::this_thread::get_id();
        SynchronizeFromWorker([&] { ranOn = std::this_thread::get_id(); });
    });
    worker.Resume();
    worker.WaitFor();
    EXPECT_EQ(ranOn, workerId);
}

// The main thread waits for a worker that first needs the main thread: without pumping while
// waiting, both would wait for each other.
TEST_F(SynchronizeFromWorkerTest, MainThreadWaitingForAWorkerRunsItsSynchronisedCalls) {
    TMMEvent ended;
    bool ranOnMain = false;
    Worker worker([&](Worker&) {
        SynchronizeFromWorker([&] { ranOnMain = loop.isMainThread(); });
        ended.Set();
    });
    worker.Resume();
    EXPECT_TRUE(WaitForWorker(ended, 10000));
    worker.WaitFor();
    EXPECT_TRUE(ranOnMain);
}

// ---------------------------------------------------------------------------------------------
// Events

TEST(Event, AutoResetReleasesOnceManualResetStaysSet) {
    TMMEvent autoReset(false, true);
    EXPECT_TRUE(autoReset.WaitFor(0));
    EXPECT_FALSE(autoReset.WaitFor(0));

    TMMEvent manualReset(true, false);
    EXPECT_FALSE(manualReset.WaitFor(1));
    manualReset.Set();
    EXPECT_TRUE(manualReset.WaitFor(0));
    EXPECT_TRUE(manualReset.WaitFor(0));
    manualReset.Reset();
    EXPECT_FALSE(manualReset.WaitFor(0));
}

TEST(Event, SetOnAnotherThreadReleasesTheWaiter) {
    TMMEvent event;
    std::thread setter([&] { event.Set(); });
    EXPECT_TRUE(event.WaitFor(10000));
    setter.join();
}

// ---------------------------------------------------------------------------------------------
// Buffer pool

TEST(Allocator, PrefersAnExactFreeBlockThenTheFirstLargerThenANewOne) {
    TMMAllocator pool;
    void* big = pool.Alloc(TMMAllocFlags::ZeroInit, 2000);
    void* small = pool.Alloc(TMMAllocFlags::ZeroInit, 1000);
    void* bigAgain = big;
    void* smallAgain = small;
    pool.Release(big);
    pool.Release(small);
    EXPECT_EQ(big, nullptr);

    EXPECT_EQ(pool.Alloc(TMMAllocFlags::ZeroInit, 1000), smallAgain); // exact before larger
    EXPECT_EQ(pool.Alloc(TMMAllocFlags::ZeroInit, 1000), bigAgain);   // then the larger one
    void* fresh = pool.Alloc(TMMAllocFlags::ZeroInit, 1000);          // then a new block
    EXPECT_NE(fresh, nullptr);
    EXPECT_NE(fresh, smallAgain);
    EXPECT_NE(fresh, bigAgain);
    EXPECT_EQ(pool.BlockCount(), 3u);
    EXPECT_EQ(pool.UseCount(bigAgain), 1);
}

TEST(Allocator, ExactAllocationFreesTheIdleBlocksItCannotUse) {
    TMMAllocator pool;
    void* inUse = pool.Alloc(TMMAllocFlags::Fixed, 500);
    void* idle = pool.Alloc(TMMAllocFlags::Fixed, 2000);
    pool.Release(idle);

    void* exact = pool.AllocExact(TMMAllocFlags::Fixed, 1000);
    ASSERT_NE(exact, nullptr);
    EXPECT_EQ(pool.BlockCount(), 2u); // the idle 2000-byte block is gone, the used one stays
    EXPECT_EQ(pool.UseCount(inUse), 1);
    EXPECT_EQ(pool.UseCount(exact), 1);
}

TEST(Allocator, ReleaseClearsTheCallersAddressOnceAndIgnoresForeignAddresses) {
    TMMAllocator pool;
    void* block = pool.Alloc(TMMAllocFlags::Fixed, 64);
    void* const kept = block;
    pool.Release(block);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(pool.UseCount(kept), 0);
    pool.Release(block); // none: nothing happens
    EXPECT_EQ(pool.UseCount(kept), 0);

    int outside = 0;
    int* foreign = &outside;
    pool.Release(foreign);
    EXPECT_EQ(foreign, &outside);

    void* copy = kept; // a stale copy of an already free block must not drive the count below 0
    pool.Release(copy);
    EXPECT_EQ(pool.UseCount(kept), 0);
}

TEST(Allocator, ZeroInitClearsReusedBlocksAndBlocksAreAlignedForBufferHeaders) {
    TMMAllocator pool;
    auto* block = static_cast<unsigned char*>(pool.Alloc(TMMAllocFlags::ZeroInit, 256));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(TMMBufferHeader), 0u);
    std::memset(block, 0xAB, 256);
    pool.Release(block);
    auto* reused = static_cast<unsigned char*>(pool.Alloc(TMMAllocFlags::ZeroInit, 256));
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(reused[i], 0) << "byte " << i;
}

TEST(Allocator, FreeIdleKeepsUsedBlocksFreeAllFreesEverything) {
    TMMAllocator pool;
    void* used = pool.Alloc(TMMAllocFlags::Fixed, 100);
    void* idle = pool.Alloc(TMMAllocFlags::Fixed, 100);
    pool.Release(idle);
    pool.FreeIdle();
    EXPECT_EQ(pool.BlockCount(), 1u);
    EXPECT_EQ(pool.UseCount(used), 1);
    pool.FreeAll();
    EXPECT_EQ(pool.BlockCount(), 0u);
}

TEST(Allocator, BlocksReleasedOnAWorkerWhileTheMainThreadAllocates) {
    TMMAllocator pool;
    constexpr int blocks = 200;
    std::vector<void*> handedOver(blocks);
    for (auto& block : handedOver)
        block = pool.Alloc(TMMAllocFlags::Fixed, 128);
    std::thread releaser([&] {
        for (auto& block : handedOver)
            pool.Release(block);
    });
    std::vector<void*> mine;
    for (int i = 0; i < blocks; ++i)
        mine.push_back(pool.Alloc(TMMAllocFlags::Fixed, 128));
    releaser.join();
    for (void* block : mine)
        EXPECT_EQ(pool.UseCount(block), 1);
    EXPECT_LE(pool.BlockCount(), 2u * blocks);
}

// ---------------------------------------------------------------------------------------------
// Message windows

class MessageWindowTest : public MainThreadFixture {};

TEST_F(MessageWindowTest, DeliversOnTheMainThreadInOrderAndDropsDiscardedMessages) {
    std::vector<std::uint32_t> received;
    MessageWindow window([&](std::uint32_t message, std::uintptr_t, std::intptr_t) {
        EXPECT_TRUE(loop.isMainThread());
        received.push_back(message);
    });
    std::thread poster([&] {
        window.Post(1);
        window.Post(2);
    });
    poster.join();
    window.DiscardMessages();
    window.Post(3);
    window.Post(4);
    loop.processPending(std::chrono::milliseconds(0));
    EXPECT_THAT(received, ElementsAre(3u, 4u));
}

TEST_F(MessageWindowTest, ReleasedWindowGetsNothingAndFailuresReachTheApplication) {
    int delivered = 0;
    {
        MessageWindow gone([&](std::uint32_t, std::uintptr_t, std::intptr_t) { ++delivered; });
        gone.Post(1);
    }
    MessageWindow failing([](std::uint32_t, std::uintptr_t, std::intptr_t) {
        throw std::runtime_error("window procedure failed");
    });
    failing.Post(7);
    loop.processPending(std::chrono::milliseconds(0));
    EXPECT_EQ(delivered, 0);
    EXPECT_THAT(handledErrors(), ElementsAre("window procedure failed"));
}

TEST(MessageWindowWithoutLoop, PostReportsThatNothingCanBeDelivered) {
    MessageWindow window([](std::uint32_t, std::uintptr_t, std::intptr_t) {});
    EXPECT_FALSE(window.Post(1));
}

} // namespace
} // namespace vantrel
