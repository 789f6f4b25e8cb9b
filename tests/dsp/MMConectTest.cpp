#include "MMConect.h"

#include "MainThreadFixture.h"
#include "StreamWorker.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace vantrel {
namespace {

using Samples = std::vector<std::int16_t>;

constexpr std::uint32_t BufferBytes = 4096; // 1024 stereo frames: 16 level steps and 64 bytes
constexpr int StepsPerBuffer = 16;
constexpr std::size_t StepFrames = TMMLevel::BlockFrames;

TWaveFormatEx stereo16() {
    TWaveFormatEx format{};
    BuildPCMFormat(format, 16, 2, 44100);
    return format;
}

// The left block peak of step `step` of buffer `buffer`; the right one is twice that.
std::int16_t leftPeakOf(int buffer, int step) {
    return static_cast<std::int16_t>(100 * buffer + step + 1);
}

// A stereo buffer whose level steps have known peaks; the 64 bytes behind the last whole
// step hold full scale, which no step may show.
Samples stepBuffer(int buffer) {
    Samples samples(BufferBytes / 2, 0);
    for (int step = 0; step < StepsPerBuffer; ++step) {
        const std::size_t frame = static_cast<std::size_t>(step) * StepFrames + 30;
        samples[2 * frame] = static_cast<std::int16_t>(-leftPeakOf(buffer, step));
        samples[2 * frame + 1] = static_cast<std::int16_t>(2 * leftPeakOf(buffer, step));
    }
    for (std::size_t i = StepsPerBuffer * StepFrames * 2; i < samples.size(); ++i)
        samples[i] = 32767;
    return samples;
}

struct Buffer {
    explicit Buffer(const Samples& samples)
        : header(allocateBuffer(static_cast<std::uint32_t>(samples.size() * 2))) {
        std::memcpy(header->wh.lpData, samples.data(), samples.size() * 2);
        header->wh.dwBytesRecorded = static_cast<std::uint32_t>(samples.size() * 2);
    }
    ~Buffer() { freeBuffer(header); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Samples samples() const {
        Samples out(header->wh.dwBytesRecorded / 2);
        std::memcpy(out.data(), header->wh.lpData, out.size() * 2);
        return out;
    }
    PWaveHdr header;
};

// Keeps what the levels were fed: every block peak in the order it was written.
struct Feed {
    explicit Feed(TMMConnector& connector) {
        left.SetChannel(chLeft);
        right.SetChannel(chRight);
        connector.SetLevel1(&left);
        connector.SetLevel2(&right);
    }
    // Called after each refresh: a refresh writes at most one block per level.
    void take() {
        if (left.BlockPos() != leftPos) {
            leftPeaks.push_back(left.BlockPeaks()[static_cast<std::size_t>(leftPos)]);
            rightPeaks.push_back(right.BlockPeaks()[static_cast<std::size_t>(leftPos)]);
            leftPos = left.BlockPos();
        }
    }
    TMMLevel left;
    TMMLevel right;
    std::int32_t leftPos = 0;
    std::vector<std::int32_t> leftPeaks;
    std::vector<std::int32_t> rightPeaks;
};

class Connector : public MainThreadFixture {
protected:
    void start(TMMConnector& connector) {
        const TWaveFormatEx format = stereo16();
        connector.SetWaveFormat(&format);
        connector.SetBufferSize(BufferBytes);
        connector.NotifyOpened();
        connector.NotifyStarted();
    }
    void stop(TMMConnector& connector) {
        connector.NotifyStopped();
        connector.NotifyClosed();
    }
};

// --- Passing buffers -------------------------------------------------------------------------

TEST_F(Connector, HandsEveryBufferOnUnchangedBothWays) {
    class Sink : public TMMDSPComponent {
    public:
        Sink() { publishLinks(true, false); }
        void BufferReady(PWaveHdr buffer) override {
            Samples samples(buffer->wh.dwBytesRecorded / 2);
            std::memcpy(samples.data(), buffer->wh.lpData, samples.size() * 2);
            received.push_back(samples);
        }
        std::vector<Samples> received;
    };
    class Source : public TMMDSPComponent {
    public:
        Source() { publishLinks(false, true); }
        void BufferLoad(PWaveHdr buffer, bool& more) override {
            const Samples samples = stepBuffer(++count);
            std::memcpy(buffer->wh.lpData, samples.data(), BufferBytes);
            buffer->wh.dwBytesRecorded = BufferBytes;
            more = true;
        }
        int count = 0;
    };
    TMMConnector connector;
    Feed feed(connector);
    Sink sink;
    Source source;
    const TWaveFormatEx format = stereo16();
    source.SetWaveFormat(&format);
    source.SetOutput(&connector);
    connector.SetOutput(&sink);
    start(connector);
    for (int i = 0; i < 5; ++i) {
        Buffer buffer(stepBuffer(i));
        connector.BufferReady(buffer.header);
        ASSERT_EQ(sink.received.size(), static_cast<std::size_t>(i + 1));
        EXPECT_EQ(sink.received.back(), stepBuffer(i));
        bool more = false;
        connector.BufferLoad(buffer.header, more);
        EXPECT_TRUE(more);
        EXPECT_EQ(buffer.samples(), stepBuffer(source.count));
    }
    stop(connector);
}

// --- Level data ------------------------------------------------------------------------------

// Buffers pushed on a stream worker reach the meters on the main thread through the refresh
// loop, every step of each buffer in order, the short rest of a buffer never.
TEST_F(Connector, LevelDataReachTheMainThreadInOrderWithTheirBlockPeaks) {
    TMMConnector connector;
    connector.SetSynchronize(false);
    Feed feed(connector);
    std::mutex mutex;
    std::condition_variable shown;
    std::size_t stepsShown = 0;
    int triggersOffMainThread = 0;
    connector.OnTrigger = [&](TMMConnector* sender) {
        EXPECT_EQ(sender, &connector);
        if (!loop.isMainThread())
            ++triggersOffMainThread;
        feed.take();
        std::lock_guard lock(mutex);
        stepsShown = feed.leftPeaks.size();
        shown.notify_all();
    };
    start(connector);
    constexpr int buffers = 4;
    test::StreamWorker worker(&connector, [&] {
        for (int i = 0; i < buffers; ++i) {
            Buffer buffer(stepBuffer(i));
            connector.BufferReady(buffer.header);
            std::unique_lock lock(mutex);
            if (!shown.wait_for(lock, patience, [&] {
                    return stepsShown == static_cast<std::size_t>((i + 1) * StepsPerBuffer);
                }))
                return;
        }
    });
    worker.Resume();
    ASSERT_TRUE(pumpUntil([&] { return worker.done.load(); }));
    worker.WaitFor();
    // The loop goes on refreshing; nothing more is shown.
    loop.pumpUntil([] { return false; }, std::chrono::milliseconds(50));

    std::vector<std::int32_t> expectedLeft, expectedRight;
    for (int i = 0; i < buffers; ++i)
        for (int step = 0; step < StepsPerBuffer; ++step) {
            expectedLeft.push_back(leftPeakOf(i, step));
            expectedRight.push_back(2 * leftPeakOf(i, step));
        }
    EXPECT_EQ(feed.leftPeaks, expectedLeft);
    EXPECT_EQ(feed.rightPeaks, expectedRight);
    EXPECT_EQ(triggersOffMainThread, 0);
    stop(connector);
}

// 176400 bytes per second: the step at byte 252 i is due 1.43 i ms after the buffer was
// staged. Refreshing all the time shows each step no earlier than that, one per refresh.
TEST_F(Connector, SynchronizedStepsFollowThePlaybackClock) {
    TMMConnector connector;
    connector.SetRealTime(false);
    connector.SetAutoTrigger(false);
    Feed feed(connector);
    std::vector<std::int64_t> shownAt;
    int triggers = 0;
    std::int64_t before = 0;
    connector.OnTrigger = [&](TMMConnector*) {
        ++triggers;
        const std::size_t count = feed.leftPeaks.size();
        feed.take();
        if (feed.leftPeaks.size() != count)
            shownAt.push_back(microsecondClock() - before);
    };
    start(connector);
    Buffer buffer(stepBuffer(3));
    before = microsecondClock();
    connector.BufferReady(buffer.header);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(60);
    while (std::chrono::steady_clock::now() < deadline || shownAt.size() < StepsPerBuffer) {
        connector.TriggerRefresh();
        if (std::chrono::steady_clock::now() > deadline + patience)
            break;
    }
    ASSERT_EQ(shownAt.size(), static_cast<std::size_t>(StepsPerBuffer));
    for (std::size_t i = 0; i < shownAt.size(); ++i)
        EXPECT_GE(shownAt[i], static_cast<std::int64_t>(i) * 252 * 1000000 / 176400) << i;
    EXPECT_GT(triggers, StepsPerBuffer);
    EXPECT_EQ(feed.leftPeaks.front(), leftPeakOf(3, 0));
    EXPECT_EQ(feed.leftPeaks.back(), leftPeakOf(3, StepsPerBuffer - 1));
    stop(connector);
}

// An output device pushes each buffer once it has played, with NextHeader pointing at the
// buffer that plays now: that is what the meters show when they follow the clock.
class FakeWaveOut : public TMMCustomWaveOutComponent {
public:
    FakeWaveOut() { publishLinks(true, true); }
    std::int64_t GetPosition() override { return played_; }
    void Open() override { NotifyOpened(); }
    void Close() override { NotifyClosed(); }
    void Reset() override { NotifyReset(); }
    void Start() override {
        Open();
        NotifyStarted();
    }
    void Pause() override { NotifyPaused(); }
    void Restart() override { NotifyRestarted(); }
    void Stop() override { NotifyStopped(); }
    void SetNumBuffers(std::int32_t) override {}
    std::int32_t GetNumBuffers() const override { return 2; }
    void SetDeviceID(TMMDeviceId) override {}
    TMMDeviceId GetDeviceID() const override { return 0; }
    void SetProductName(const std::string&) override {}
    std::string GetProductName() const override { return "fake"; }
    void SetCallBackMode(TMMCBMode) override {}
    TMMCBMode GetCallBackMode() const override { return cmThread; }

    // The done handler of `played`, with `next` queued behind it.
    void donePlaying(PWaveHdr played, PWaveHdr next) {
        played->NextHeader = next;
        played_ += played->wh.dwBytesRecorded;
        TMMDSPComponent::BufferReady(played);
    }

private:
    std::int64_t played_ = 0;
};

TEST_F(Connector, SynchronizedConnectorShowsTheBufferThatPlaysNow) {
    for (const bool synchronize : {true, false}) {
        FakeWaveOut device;
        TMMConnector connector;
        connector.SetRealTime(false); // fed as buffers arrive, to see which one is staged
        connector.SetSynchronize(synchronize);
        Feed feed(connector);
        const TWaveFormatEx format = stereo16();
        device.SetWaveFormat(&format);
        device.SetBufferSize(BufferBytes);
        device.SetOutput(&connector);
        device.Start();
        ASSERT_TRUE(connector.IsRunning());
        Buffer first(stepBuffer(1));
        Buffer second(stepBuffer(2));
        device.donePlaying(first.header, second.header);
        feed.take();
        ASSERT_EQ(feed.leftPeaks.size(), 1u);
        EXPECT_EQ(feed.leftPeaks[0], leftPeakOf(synchronize ? 2 : 1, 0)) << synchronize;
        device.Stop();
        device.Close();
    }
}

// --- Refresh drivers -------------------------------------------------------------------------

TEST_F(Connector, TimerRefreshesWhileRunningEvenWithoutNewBuffers) {
    TMMConnector connector;
    connector.SetAutoTrigger(false);
    int triggers = 0;
    bool onMainThread = true;
    connector.OnTrigger = [&](TMMConnector*) {
        ++triggers;
        onMainThread = onMainThread && loop.isMainThread();
    };
    loop.pumpUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(triggers, 0); // not running yet
    start(connector);
    EXPECT_TRUE(pumpUntil([&] { return triggers >= 3; }));
    EXPECT_TRUE(onMainThread);
    stop(connector);
    const int atStop = triggers;
    loop.pumpUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(triggers, atStop);
}

TEST_F(Connector, PauseReplaysSilenceSoTheMetersFall) {
    TMMConnector connector;
    Feed feed(connector);
    connector.OnTrigger = [&](TMMConnector*) {
        feed.take();
    };
    start(connector);
    Buffer buffer(stepBuffer(50));
    connector.BufferReady(buffer.header);
    ASSERT_TRUE(pumpUntil([&] { return !feed.leftPeaks.empty(); }));
    EXPECT_GT(feed.leftPeaks.back(), 0);
    connector.NotifyPaused();
    connector.BufferReady(buffer.header); // not staged while paused
    ASSERT_TRUE(
        pumpUntil([&] { return feed.leftPeaks.size() > 20 && feed.leftPeaks.back() == 0; }));
    connector.NotifyRestarted();
    stop(connector);
    EXPECT_EQ(feed.left.BarLength(), 0); // reset at stop
}

TEST_F(Connector, DisabledConnectorStopsFeedingAndResetsItsMeters) {
    TMMConnector connector;
    connector.SetSynchronize(false);
    Feed feed(connector);
    connector.OnTrigger = [&](TMMConnector*) {
        feed.take();
    };
    start(connector);
    Buffer buffer(stepBuffer(9));
    connector.BufferReady(buffer.header);
    ASSERT_TRUE(pumpUntil([&] { return feed.left.BarLength() > 0; }));
    connector.SetEnabled(false);
    EXPECT_EQ(feed.left.BarLength(), 0);
    EXPECT_FALSE(connector.IsTriggering());
    connector.SetEnabled(true);
    connector.BufferReady(buffer.header);
    const std::size_t before = feed.leftPeaks.size();
    EXPECT_TRUE(pumpUntil([&] { return feed.leftPeaks.size() > before; }));
    stop(connector);
}

// The refresh loop serves every running connector in turn; one that an earlier one's OnTrigger
// destroys is skipped, not touched.
TEST_F(Connector, RefreshLoopSkipsAConnectorDestroyedByAnotherOnTrigger) {
    TMMConnector first;
    auto second = std::make_unique<TMMConnector>();
    int firstTriggers = 0;
    first.OnTrigger = [&](TMMConnector*) {
        ++firstTriggers;
        if (second != nullptr && second->IsTriggering()) {
            stop(*second);
            second.reset();
        }
    };
    start(first);
    start(*second);
    EXPECT_TRUE(pumpUntil([&] { return second == nullptr && firstTriggers > 3; }));
    stop(first);
}

// --- Properties ------------------------------------------------------------------------------

TEST_F(Connector, PropertiesKeepTheirBounds) {
    TMMConnector connector;
    connector.SetSpeed(0);
    EXPECT_EQ(connector.GetSpeed(), 1);
    connector.SetSpeed(6000);
    EXPECT_EQ(connector.GetSpeed(), 5000);

    TMMLevel a, b;
    connector.SetLevel1(&a);
    connector.SetLevel2(&a);
    EXPECT_EQ(connector.GetLevel2(), nullptr);
    connector.SetLevel2(&b);
    EXPECT_EQ(connector.GetLevel2(), &b);

    start(connector);
    try {
        connector.SetRealTime(false);
        ADD_FAILURE() << "RealTime changed while open";
    } catch (const EMMConnectorError& error) {
        EXPECT_STREQ(error.what(), "Change to property while device was open");
    }
    stop(connector);
}

TEST_F(Connector, LinkedLevelsTakeTheFormatAndAreUnlinkedWhenTheyGo) {
    TMMConnector connector;
    TWaveFormatEx mono8{};
    BuildPCMFormat(mono8, 8, 1, 22050);
    connector.SetWaveFormat(&mono8);
    {
        TMMLevel level;
        connector.SetLevel2(&level);
        EXPECT_EQ(level.GetBitLength(), b8Bit);
        EXPECT_EQ(level.GetMode(), mMono);
    }
    EXPECT_EQ(connector.GetLevel2(), nullptr);
    connector.SetWaveFormat(nullptr);
}

// A compressed stream reaches the meters through the staging conversion; without one it is
// handed on and not shown.
TEST_F(Connector, CompressedStreamIsShownThroughTheStagingConversion) {
    class Passthrough : public TMMStagingConversion {
    public:
        explicit Passthrough(std::int32_t bytes) : data_(static_cast<std::size_t>(bytes)) {
            BuildPCMFormat(format_, 16, 2, 44100);
        }
        const TWaveFormatEx& Format() const override { return format_; }
        char* Data() override { return data_.data(); }
        std::int32_t Capacity() const override { return static_cast<std::int32_t>(data_.size()); }
        std::int32_t Convert(const char* data, std::int32_t bytes) override {
            std::memcpy(data_.data(), data, static_cast<std::size_t>(bytes));
            return bytes;
        }

    private:
        TWaveFormatEx format_{};
        std::vector<char> data_;
    };
    TWaveFormatEx compressed = stereo16();
    compressed.wFormatTag = 0x55;

    for (const bool installed : {false, true}) {
        if (installed)
            InstallStagingConverter(
                {[](const TWaveFormatEx&) {
                     TMMWaveFormatPtr format = allocateWaveFormat(sizeof(TWaveFormatEx));
                     BuildPCMFormat(*format, 16, 2, 44100);
                     return format;
                 },
                 [](const TWaveFormatEx&, const TWaveFormatEx&, std::int32_t maxBytes) {
                     return std::unique_ptr<TMMStagingConversion>(new Passthrough(maxBytes));
                 }});
        TMMConnector connector;
        connector.SetRealTime(false);
        connector.SetSynchronize(false);
        Feed feed(connector);
        connector.SetWaveFormat(&compressed);
        connector.SetBufferSize(BufferBytes);
        connector.NotifyOpened();
        connector.NotifyStarted();
        EXPECT_EQ(connector.IsRunning(), installed);
        Buffer buffer(stepBuffer(4));
        connector.BufferReady(buffer.header);
        feed.take();
        EXPECT_EQ(buffer.samples(), stepBuffer(4));
        if (installed) {
            ASSERT_EQ(feed.leftPeaks.size(), 1u);
            EXPECT_EQ(feed.leftPeaks[0], leftPeakOf(4, 0));
        } else {
            EXPECT_TRUE(feed.leftPeaks.empty());
        }
        stop(connector);
    }
    InstallStagingConverter({});
}

} // namespace
} // namespace vantrel
