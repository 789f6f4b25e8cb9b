// The stream component chain: components linked through Input and Output, the format that
// travels downstream, the life-cycle notifications a device sends through its segment, and the
// two ways a buffer moves (pushed down with BufferReady, pulled up with BufferLoad).
//
// Linking, formats and life-cycle operations run on the main thread. BufferReady and BufferLoad
// run on whichever thread delivers the buffer; the chain itself holds no lock.
#pragma once

#include "MMUtils.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// State shared by every component: loading suppresses format traffic until Loaded(); a component
// being destroyed no longer sends anything downstream.
class TMMComponent {
public:
    TMMComponent() = default;
    TMMComponent(const TMMComponent&) = delete;
    TMMComponent& operator=(const TMMComponent&) = delete;
    virtual ~TMMComponent() = default;

    // Marks the component as being loaded from stored settings; Loaded() ends that state.
    void BeginLoading() { loading_ = true; }
    virtual void Loaded() { loading_ = false; }
    bool IsLoading() const { return loading_; }
    bool IsDestroying() const { return destroying_; }

protected:
    void markDestroying() { destroying_ = true; }

private:
    bool loading_ = false;
    bool destroying_ = false;
};

class TMMDSPComponent;

// A notification from a component: OnOpen, OnStart, OnStop, OnClose and the like.
using TMMComponentEvent = std::function<void(TMMDSPComponent* sender)>;
using TMMBufferEvent = std::function<void(TMMDSPComponent* sender, PWaveHdr lpWaveHdr)>;
using TMMBufferLoadEvent =
    std::function<void(TMMDSPComponent* sender, PWaveHdr lpWaveHdr, bool& MoreBuffers)>;

inline constexpr std::int32_t DefaultBufferSize = 2048; // bytes
inline constexpr std::size_t MaxBackNameLength = 20;

// One element of a chain. Links are always two-sided: A.GetOutput() == B exactly when
// B.GetInput() == A, and no chain can form a cycle.
class TMMDSPComponent : public TMMComponent {
public:
    TMMDSPComponent();
    ~TMMDSPComponent() override;

    // --- Linking -------------------------------------------------------------------------
    TMMDSPComponent* GetInput() const { return input_; }
    TMMDSPComponent* GetOutput() const { return output_; }
    // Links `component` upstream of this one, unhooking both from former partners. A link that
    // would be illegal (a cycle, this component itself, a partner that cannot link) is ignored.
    virtual void SetInput(TMMDSPComponent* component);
    virtual void SetOutput(TMMDSPComponent* component);
    virtual bool CanConnectInput(TMMDSPComponent* component);
    virtual bool CanConnectOutput(TMMDSPComponent* component);
    // Run by every component of the process when `component` changes its link: drops the
    // one-sided remainder of a link whose partner now points elsewhere.
    virtual void LinkChanged(TMMDSPComponent* component, bool outputSide,
                             const std::string& propertyName);
    virtual void SetInputLink(TMMDSPComponent* component, const std::string& name);
    virtual void SetOutputLink(TMMDSPComponent* component, const std::string& name);

    // The value of this component's published link property called `name` ("Input" or
    // "Output"), or nothing when its class does not publish such a property.
    std::optional<TMMDSPComponent*> PublishedLink(const std::string& name) const;

    bool GetInputLinkAllowed() const { return inputLinkAllowed_; }
    void SetInputLinkAllowed(bool allowed) { inputLinkAllowed_ = allowed; }
    bool GetOutputLinkAllowed() const { return outputLinkAllowed_; }
    void SetOutputLinkAllowed(bool allowed) { outputLinkAllowed_ = allowed; }

    // --- Format --------------------------------------------------------------------------
    // The format of the stream this component delivers, owned by it; null for none.
    const TWaveFormatEx* GetWaveFormat() const { return waveFormat_.get(); }
    // Holds a copy of `format` (stopping first when it is new) and sends it to the Output.
    virtual void SetWaveFormat(const TWaveFormatEx* format);
    // What an upstream neighbour calls to hand its format over.
    virtual void InputFormatChanged(const TWaveFormatEx* format);
    virtual void PropagateFormat();
    void Loaded() override;

    // --- Buffer size (bytes) -------------------------------------------------------------
    // BufferSize while closed; while opened, the size in effect (whole frames).
    virtual std::int32_t GetBufferSize() const;
    virtual void SetBufferSize(std::int32_t bytes);
    std::int32_t GetRealBufferSize() const { return realBufferSize_; }

    // --- Life cycle ----------------------------------------------------------------------
    virtual void NotifyOpened();
    virtual void NotifyClosed();
    virtual void NotifyStarted();
    virtual void NotifyPaused();
    virtual void NotifyRestarted();
    virtual void NotifyStopped();
    virtual void NotifyReset();
    virtual void NotifyLooped();
    bool IsOpened() const { return opened_; }
    bool IsStarted() const { return started_; }
    bool IsPaused() const { return paused_; }

    // --- Buffers -------------------------------------------------------------------------
    // Push: fires OnBufferReady, then hands the buffer to the Output.
    virtual void BufferReady(PWaveHdr lpWaveHdr);
    // Pull: fires OnBufferLoad, then asks the Input to fill the buffer. The puller sets
    // dwBytesRecorded to 0 and MoreBuffers to false first; a source sets both.
    virtual void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers);

    TMMBufferEvent OnBufferReady;
    TMMBufferLoadEvent OnBufferLoad;

    // Every living stream component of the process, oldest first.
    static const std::vector<TMMDSPComponent*>& AllComponents();

protected:
    // Called by the constructor of a class that publishes its Input and/or Output property,
    // which is what lets other components link to it.
    void publishLinks(bool input, bool output) {
        publishesInput_ = input;
        publishesOutput_ = output;
    }
    // Raises E with message 60 when the component is opened; for properties that must not
    // change under a running stream.
    template <typename E> void checkNotOpened() const {
        if (opened_)
            throw E(LoadEngineString(60));
    }

private:
    static void broadcastLinkChanged(TMMDSPComponent* component, bool outputSide,
                                     const std::string& propertyName);
    void dropLinksTo(TMMDSPComponent* component);

    TMMDSPComponent* input_ = nullptr;
    TMMDSPComponent* output_ = nullptr;
    TMMWaveFormatPtr waveFormat_;
    std::int32_t bufferSize_ = DefaultBufferSize;
    std::int32_t realBufferSize_ = DefaultBufferSize;
    bool opened_ = false;
    bool started_ = false;
    bool paused_ = false;
    bool inputLinkAllowed_ = false;
    bool outputLinkAllowed_ = false;
    bool publishesInput_ = false;
    bool publishesOutput_ = false;
    std::string inputBackName_;  // property of Input that points back here, normally "Output"
    std::string outputBackName_; // property of Output that points back here, normally "Input"
};

// A device: one end of a chain segment. Its life-cycle notifications travel through the plain
// components of its segment and on to the next device downstream.
class TMMCustomSoundComponent : public TMMDSPComponent {
public:
    void NotifyOpened() override;
    void NotifyClosed() override;
    void NotifyStarted() override;
    void NotifyPaused() override;
    void NotifyRestarted() override;
    void NotifyStopped() override;
    void NotifyReset() override;
    void NotifyLooped() override;

    // True after opening when another device lies upstream and drives this one.
    bool GetUpstreamDriven() const { return upstreamDriven_; }

    virtual void SetNumBuffers(std::int32_t count) = 0;
    virtual std::int32_t GetNumBuffers() const = 0;
    virtual void SetDeviceID(TMMDeviceId id) = 0;
    virtual TMMDeviceId GetDeviceID() const = 0;
    virtual void SetProductName(const std::string& name) = 0;
    virtual std::string GetProductName() const = 0;
    virtual void SetCallBackMode(TMMCBMode mode) = 0;
    virtual TMMCBMode GetCallBackMode() const = 0;

private:
    // The component from which this device's segment starts: this device when a device lies
    // upstream (or nothing does), else the first component of the chain.
    TMMDSPComponent* findSegmentTop(bool recordUpstreamDriven);
    // Visits the segment from its top down, skipping this device; a device met below ends the
    // walk and is visited only when `includeNextDevice` is true.
    void walkSegment(TMMDSPComponent* top, bool includeNextDevice,
                     const std::function<void(TMMDSPComponent&)>& visit);
    void notifySegment(void (TMMDSPComponent::*notification)());
    void notifySegmentEnding(void (TMMDSPComponent::*notification)());

    bool upstreamDriven_ = false;
};

// An output device: the operations a player drives directly.
class TMMCustomWaveOutComponent : public TMMCustomSoundComponent {
public:
    // Position in the device's time format units; 0 while closed.
    virtual std::int64_t GetPosition() = 0;
    virtual void Open() = 0;
    virtual void Close() = 0;
    virtual void Reset() = 0;
    virtual void Start() = 0;
    virtual void Pause() = 0;
    virtual void Restart() = 0;
    virtual void Stop() = 0;
};

} // namespace vantrel
