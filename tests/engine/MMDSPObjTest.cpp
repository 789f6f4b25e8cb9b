#include "MMDSPObj.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace vantrel {
namespace {

using ::testing::ElementsAre;

using Log = std::vector<std::string>;

// A processing component that records what reaches it.
class Recorder : public TMMDSPComponent {
public:
    Recorder(std::string name, Log& log, bool publishesInput = true, bool publishesOutput = true)
        : name_(std::move(name)), log_(log) {
        publishLinks(publishesInput, publishesOutput);
    }

    void NotifyOpened() override { record("opened"), TMMDSPComponent::NotifyOpened(); }
    void NotifyStarted() override { record("started"), TMMDSPComponent::NotifyStarted(); }
    void NotifyStopped() override { record("stopped"), TMMDSPComponent::NotifyStopped(); }
    void NotifyClosed() override { record("closed"), TMMDSPComponent::NotifyClosed(); }

    void BufferReady(PWaveHdr buffer) override {
        record("push");
        buffer->wh.lpData[0] = static_cast<char>(buffer->wh.lpData[0] + 1);
        TMMDSPComponent::BufferReady(buffer);
    }
    void BufferLoad(PWaveHdr buffer, bool& more) override {
        TMMDSPComponent::BufferLoad(buffer, more);
        record("pull");
        buffer->wh.lpData[0] = static_cast<char>(buffer->wh.lpData[0] * 2);
    }

protected:
    void record(const std::string& what) { log_.push_back(name_ + " " + what); }

private:
    std::string name_;
    Log& log_;
};

// A source at the head of a chain: fills pulled buffers.
class Source : public Recorder {
public:
    using Recorder::Recorder;
    void BufferLoad(PWaveHdr buffer, bool& more) override {
        record("fill");
        buffer->wh.lpData[0] = 1;
        buffer->wh.dwBytesRecorded = buffer->wh.dwBufferLength;
        more = true;
    }
};

// A device that does nothing but record its notifications and pass them through its segment.
class Device : public TMMCustomSoundComponent {
public:
    Device(std::string name, Log& log) : name_(std::move(name)), log_(log) {
        publishLinks(true, true);
    }

    void NotifyOpened() override { record("opened"), TMMCustomSoundComponent::NotifyOpened(); }
    void NotifyStarted() override { record("started"), TMMCustomSoundComponent::NotifyStarted(); }
    void NotifyStopped() override { record("stopped"), TMMCustomSoundComponent::NotifyStopped(); }
    void NotifyClosed() override { record("closed"), TMMCustomSoundComponent::NotifyClosed(); }

    void SetNumBuffers(std::int32_t count) override {
        checkNotOpened<EMMError>();
        numBuffers_ = count;
    }
    std::int32_t GetNumBuffers() const override { return numBuffers_; }
    void SetDeviceID(TMMDeviceId id) override { deviceId_ = id; }
    TMMDeviceId GetDeviceID() const override { return deviceId_; }
    void SetProductName(const std::string& name) override { productName_ = name; }
    std::string GetProductName() const override { return productName_; }
    void SetCallBackMode(TMMCBMode mode) override { mode_ = mode; }
    TMMCBMode GetCallBackMode() const override { return mode_; }

private:
    void record(const std::string& what) { log_.push_back(name_ + " " + what); }

    std::string name_;
    Log& log_;
    std::int32_t numBuffers_ = 4;
    TMMDeviceId deviceId_ = MapperId;
    std::string productName_;
    TMMCBMode mode_ = cmWindow;
};

TWaveFormatEx stereo16(std::uint32_t rate = 44100) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, 16, 2, rate);
    return format;
}

class Chain : public ::testing::Test {
protected:
    Recorder& add(const std::string& name) {
        plain_.push_back(std::make_unique<Recorder>(name, log));
        return *plain_.back();
    }
    Device& addDevice(const std::string& name) {
        devices_.push_back(std::make_unique<Device>(name, log));
        return *devices_.back();
    }
    // Links the components in order; the stops that linking sends are not logged.
    void link(std::initializer_list<TMMDSPComponent*> chain) {
        TMMDSPComponent* previous = nullptr;
        for (TMMDSPComponent* each : chain) {
            if (previous != nullptr)
                previous->SetOutput(each);
            previous = each;
        }
        log.clear();
    }

    Log log;

private:
    std::vector<std::unique_ptr<Recorder>> plain_;
    std::vector<std::unique_ptr<Device>> devices_;
};

// --- Linking ------------------------------------------------------------------------------

TEST_F(Chain, LinkIsTwoSidedAndRelinkingUnhooksTheFormerPartner) {
    Recorder& a = add("a");
    Recorder& b = add("b");
    Recorder& d = add("d");

    a.SetOutput(&b);
    EXPECT_EQ(b.GetInput(), &a);

    d.SetOutput(&b);
    EXPECT_EQ(b.GetInput(), &d);
    EXPECT_EQ(a.GetOutput(), nullptr);

    // The same through the Input side.
    a.SetOutput(nullptr);
    b.SetInput(&a);
    EXPECT_EQ(a.GetOutput(), &b);
    EXPECT_EQ(d.GetOutput(), nullptr);

    b.SetInput(nullptr);
    EXPECT_EQ(a.GetOutput(), nullptr);
    EXPECT_EQ(b.GetInput(), nullptr);
}

TEST_F(Chain, CyclesAndSelfLinksAreRefusedSilently) {
    Recorder& a = add("a");
    Recorder& b = add("b");
    Recorder& c = add("c");
    link({&a, &b, &c});

    b.SetInput(&c);  // c lies downstream of b
    c.SetOutput(&a); // a lies upstream of c
    a.SetInput(&a);
    a.SetOutput(&a);

    EXPECT_EQ(a.GetInput(), nullptr);
    EXPECT_EQ(a.GetOutput(), &b);
    EXPECT_EQ(b.GetInput(), &a);
    EXPECT_EQ(b.GetOutput(), &c);
    EXPECT_EQ(c.GetOutput(), nullptr);
}

TEST_F(Chain, OnlyComponentsPublishingTheLinkOrAllowedToCanBeLinked) {
    Recorder sinkOnly("sink", log, /*publishesInput=*/true, /*publishesOutput=*/false);
    Recorder& b = add("b");

    b.SetInput(&sinkOnly);
    EXPECT_EQ(b.GetInput(), nullptr);

    sinkOnly.SetOutputLinkAllowed(true);
    b.SetInput(&sinkOnly);
    EXPECT_EQ(b.GetInput(), &sinkOnly);
    EXPECT_EQ(sinkOnly.GetOutput(), &b);

    Recorder sourceOnly("source", log, /*publishesInput=*/false, /*publishesOutput=*/true);
    b.SetOutput(&sourceOnly);
    EXPECT_EQ(b.GetOutput(), nullptr);
    sourceOnly.SetInputLinkAllowed(true);
    b.SetOutput(&sourceOnly);
    EXPECT_EQ(sourceOnly.GetInput(), &b);
}

TEST_F(Chain, DestroyingAMiddleComponentUnlinksBothNeighbours) {
    Recorder& a = add("a");
    Recorder& c = add("c");
    {
        Recorder middle("middle", log);
        link({&a, &middle, &c});
        ASSERT_EQ(a.GetOutput(), &middle);
    }
    EXPECT_EQ(a.GetOutput(), nullptr);
    EXPECT_EQ(c.GetInput(), nullptr);
}

TEST_F(Chain, ProcessWideListTracksLivingComponents) {
    const std::size_t before = TMMDSPComponent::AllComponents().size();
    {
        Recorder extra("extra", log);
        EXPECT_EQ(TMMDSPComponent::AllComponents().size(), before + 1);
        EXPECT_EQ(TMMDSPComponent::AllComponents().back(), &extra);
    }
    EXPECT_EQ(TMMDSPComponent::AllComponents().size(), before);
}

// --- Format -------------------------------------------------------------------------------

TEST_F(Chain, FormatSetAtTheHeadReachesEveryComponentAsItsOwnCopy) {
    Recorder& a = add("a");
    Recorder& b = add("b");
    Recorder& c = add("c");
    link({&a, &b, &c});

    const TWaveFormatEx format = stereo16(48000);
    a.SetWaveFormat(&format);
    for (const Recorder* each : {&a, &b, &c}) {
        ASSERT_NE(each->GetWaveFormat(), nullptr);
        EXPECT_NE(each->GetWaveFormat(), &format);
        EXPECT_EQ(each->GetWaveFormat()->nSamplesPerSec, 48000u);
    }
    EXPECT_NE(b.GetWaveFormat(), a.GetWaveFormat());

    a.SetWaveFormat(nullptr);
    for (const Recorder* each : {&a, &b, &c})
        EXPECT_EQ(each->GetWaveFormat(), nullptr);
}

TEST_F(Chain, LinkingHandsTheUpstreamFormatDownAndUnlinkingClearsIt) {
    Recorder& a = add("a");
    Recorder& b = add("b");
    Recorder& c = add("c");
    const TWaveFormatEx format = stereo16();
    a.SetWaveFormat(&format);
    b.SetOutput(&c);

    a.SetOutput(&b);
    ASSERT_NE(c.GetWaveFormat(), nullptr);
    EXPECT_EQ(c.GetWaveFormat()->nSamplesPerSec, 44100u);

    b.SetInput(nullptr);
    EXPECT_EQ(b.GetWaveFormat(), nullptr);
    EXPECT_EQ(c.GetWaveFormat(), nullptr);
}

TEST_F(Chain, FormatIsHeldBackWhileLoadingAndSentWhenLoaded) {
    Recorder& a = add("a");
    Recorder& b = add("b");
    link({&a, &b});
    const TWaveFormatEx format = stereo16();

    a.BeginLoading();
    a.SetWaveFormat(&format);
    EXPECT_EQ(b.GetWaveFormat(), nullptr);
    a.Loaded();
    ASSERT_NE(b.GetWaveFormat(), nullptr);
    EXPECT_EQ(b.GetWaveFormat()->nBlockAlign, 4);
}

// --- Buffers ------------------------------------------------------------------------------

TEST_F(Chain, PushedBufferPassesEveryComponentOnceTopDown) {
    Recorder& a = add("a");
    Recorder& b = add("b");
    Recorder& c = add("c");
    link({&a, &b, &c});
    int events = 0;
    b.OnBufferReady = [&](TMMDSPComponent* sender, PWaveHdr) {
        EXPECT_EQ(sender, &b);
        ++events;
    };

    PWaveHdr buffer = allocateBuffer(16);
    a.BufferReady(buffer);
    EXPECT_THAT(log, ElementsAre("a push", "b push", "c push"));
    EXPECT_EQ(buffer->wh.lpData[0], 3);
    EXPECT_EQ(events, 1);
    freeBuffer(buffer);
}

TEST_F(Chain, PulledBufferIsFilledAtTheTopAndProcessedDownward) {
    Source source("source", log);
    Recorder& b = add("b");
    Recorder& c = add("c");
    link({&source, &b, &c});

    PWaveHdr buffer = allocateBuffer(16);
    bool more = false;
    c.BufferLoad(buffer, more);
    EXPECT_THAT(log, ElementsAre("source fill", "b pull", "c pull"));
    EXPECT_TRUE(more);
    EXPECT_EQ(buffer->wh.dwBytesRecorded, 16u);
    EXPECT_EQ(buffer->wh.lpData[0], 4); // filled with 1, doubled twice on the way back
    freeBuffer(buffer);
}

TEST_F(Chain, PullWithoutSourceBringsNoData) {
    Recorder& a = add("a");
    PWaveHdr buffer = allocateBuffer(16);
    bool more = false;
    a.BufferLoad(buffer, more);
    EXPECT_EQ(buffer->wh.dwBytesRecorded, 0u);
    EXPECT_FALSE(more);
    freeBuffer(buffer);
}

// --- Life cycle ---------------------------------------------------------------------------

TEST_F(Chain, RealBufferSizeIsWholeFramesAndAtLeastOneFrame) {
    const TWaveFormatEx format = stereo16();
    struct Case {
        std::int32_t requested, real;
    };
    for (const Case c : {Case{1000, 1000}, Case{1001, 1000}, Case{3, 4}}) {
        Recorder component("x", log);
        component.SetWaveFormat(&format);
        component.SetBufferSize(c.requested);
        EXPECT_EQ(component.GetBufferSize(), c.requested);
        component.NotifyOpened();
        EXPECT_EQ(component.GetBufferSize(), c.real) << "requested " << c.requested;
        EXPECT_EQ(component.GetRealBufferSize(), c.real);
    }
}

TEST_F(Chain, StateMachineFollowsTheNotifications) {
    Recorder& a = add("a");
    a.NotifyStarted();
    EXPECT_FALSE(a.IsStarted()) << "not opened yet";

    a.NotifyOpened();
    a.NotifyStarted();
    a.NotifyPaused();
    EXPECT_TRUE(a.IsStarted());
    EXPECT_TRUE(a.IsPaused());
    a.NotifyStopped();
    EXPECT_FALSE(a.IsStarted());
    EXPECT_FALSE(a.IsPaused());
    EXPECT_TRUE(a.IsOpened());
    a.NotifyClosed();
    EXPECT_FALSE(a.IsOpened());
}

TEST_F(Chain, RelinkingAStartedComponentStopsIt) {
    Recorder& a = add("a");
    Recorder& b = add("b");
    b.NotifyOpened();
    b.NotifyStarted();
    b.SetInput(&a);
    EXPECT_FALSE(b.IsStarted());
}

// input device -> p1 -> p2 -> output device -> p3
class Segments : public Chain {
protected:
    void SetUp() override {
        link({&in, &p1, &p2, &out, &p3});
        const TWaveFormatEx format = stereo16();
        in.SetWaveFormat(&format);
        in.SetBufferSize(16384);
        out.SetBufferSize(8192);
        log.clear();
    }

    Device& in = addDevice("in");
    Recorder& p1 = add("p1");
    Recorder& p2 = add("p2");
    Device& out = addDevice("out");
    Recorder& p3 = add("p3");
};

TEST_F(Segments, OpeningADeviceOpensItsSegmentAndTheNextDeviceWithItsBufferSize) {
    in.NotifyOpened();

    EXPECT_THAT(log, ElementsAre("in opened", "p1 opened", "p2 opened", "out opened", "p3 opened"));
    for (const TMMDSPComponent* each :
         std::initializer_list<const TMMDSPComponent*>{&in, &p1, &p2, &out, &p3}) {
        EXPECT_TRUE(each->IsOpened());
        EXPECT_EQ(each->GetBufferSize(), 16384);
    }
    EXPECT_FALSE(in.GetUpstreamDriven());
    EXPECT_TRUE(out.GetUpstreamDriven());
}

TEST_F(Segments, StartingReachesTheSegmentButStopsAtTheNextDevicesOwnSegment) {
    in.NotifyOpened();
    log.clear();
    in.NotifyStarted();
    // The output device's override runs its own segment propagation, which starts p3.
    EXPECT_THAT(log,
                ElementsAre("in started", "p1 started", "p2 started", "out started", "p3 started"));
    EXPECT_TRUE(p3.IsStarted());
}

TEST_F(Segments, StoppingReachesTheNextDeviceBeforeTheComponentsItPullsFrom) {
    in.NotifyOpened();
    in.NotifyStarted();
    log.clear();

    in.NotifyStopped();
    EXPECT_THAT(log,
                ElementsAre("in stopped", "out stopped", "p3 stopped", "p1 stopped", "p2 stopped"));
    for (const TMMDSPComponent* each :
         std::initializer_list<const TMMDSPComponent*>{&in, &p1, &p2, &out, &p3})
        EXPECT_FALSE(each->IsStarted());

    log.clear();
    in.NotifyClosed();
    EXPECT_THAT(log, ElementsAre("in closed", "out closed", "p3 closed", "p1 closed", "p2 closed"));
    EXPECT_FALSE(out.IsOpened());
}

TEST_F(Segments, ADeviceBelowThePlainHeadOfAChainNotifiesFromThatHead) {
    Recorder& head = add("head");
    in.SetInput(&head);
    log.clear();

    in.NotifyOpened();
    EXPECT_EQ(log.front(), "in opened");
    EXPECT_EQ(log[1], "head opened");
    EXPECT_TRUE(head.IsOpened());
    EXPECT_FALSE(in.GetUpstreamDriven());
}

TEST_F(Segments, PropertyChangeWhileOpenRaisesMessage60) {
    in.SetNumBuffers(8);
    in.NotifyOpened();
    try {
        in.SetNumBuffers(2);
        FAIL() << "no error while open";
    } catch (const EMMError& error) {
        EXPECT_STREQ(error.what(), "Change to property while device was open");
    }
    EXPECT_EQ(in.GetNumBuffers(), 8);
}

} // namespace
} // namespace vantrel
