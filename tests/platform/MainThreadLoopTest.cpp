#include "MainThreadLoop.h"

#include "Application.h"

#include <atomic>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace vantrel {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

TEST(MainThreadLoop, RunsPostedCallsInOrderOnlyWhenPumped) {
    MainThreadLoop loop;
    std::vector<int> ran;
    std::thread poster([&] {
        EXPECT_FALSE(loop.isMainThread());
        loop.post([&] { ran.push_back(1); });
        loop.post([&] { ran.push_back(2); });
    });
    poster.join();
    EXPECT_TRUE(loop.isMainThread());
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(loop.pendingCount(), 2u);
    loop.processPending(0ms);
    EXPECT_THAT(ran, ElementsAre(1, 2));
}

TEST(MainThreadLoop, CallsQueuedWhileRunningWaitForTheNextPump) {
    MainThreadLoop loop;
    int ran = 0;
    loop.post([&] {
        ++ran;
        loop.post([&] { ++ran; });
    });
    loop.processPending(0ms);
    EXPECT_EQ(ran, 1);
    loop.processPending(0ms);
    EXPECT_EQ(ran, 2);
}

TEST(MainThreadLoop, RunAndWaitRunsOnTheMainThreadAndRethrows) {
    MainThreadLoop loop;
    std::thread::id ranOn;
    std::atomic<bool> workerDone{false};
    std::string caught;
    std::thread worker([&] {
        loop.runAndWait([&] { ranOn = std::this_thread::get_id(); });
        try {
            loop.runAndWait([] { throw std::runtime_error("failed on main"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        workerDone = true;
    });
    EXPECT_TRUE(loop.pumpUntil([&] { return workerDone.load(); }, 10000ms));
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(caught, "failed on main");

    bool direct = false;
    loop.runAndWait([&] { direct = true; }); // on the main thread: at once
    EXPECT_TRUE(direct);
}

TEST(MainThreadLoop, EndingTheLoopReleasesWaitingWorkers) {
    auto loop = std::make_unique<MainThreadLoop>();
    std::atomic<bool> released{false};
    std::atomic<bool> ran{false};
    std::thread worker([&] {
        loop->runAndWait([&] { ran = true; });
        released = true;
    });
    while (loop->pendingCount() == 0)
        std::this_thread::sleep_for(1ms);
    loop.reset();
    worker.join();
    EXPECT_TRUE(released);
    EXPECT_FALSE(ran);
}

TEST(MainThreadLoop, FailingPostedCallGoesToTheApplicationHandler) {
    MainThreadLoop loop;
    std::vector<std::string> seen;
    installApplicationExceptionHandler([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            seen.emplace_back(e.what());
        }
    });
    int after = 0;
    loop.post([] { throw std::runtime_error("posted call failed"); });
    loop.post([&] { ++after; });
    loop.processPending(0ms);
    installApplicationExceptionHandler({});
    EXPECT_THAT(seen, ElementsAre("posted call failed"));
    EXPECT_EQ(after, 1);
}

TEST(MainThreadLoop, PumpingOffTheMainThreadIsRefused) {
    MainThreadLoop loop;
    std::thread other([&] { EXPECT_THROW(loop.processPending(0ms), std::logic_error); });
    other.join();
}

} // namespace
} // namespace vantrel
