#include "MMDSPObj.h"

#include <algorithm>

namespace vantrel {

namespace {

std::vector<TMMDSPComponent*>& componentList() {
    static std::vector<TMMDSPComponent*> components;
    return components;
}

std::string backName(const std::string& name) {
    return name.substr(0, MaxBackNameLength);
}

bool isDevice(const TMMDSPComponent* component) {
    return dynamic_cast<const TMMCustomSoundComponent*>(component) != nullptr;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and destruction

TMMDSPComponent::TMMDSPComponent() {
    componentList().push_back(this);
}

TMMDSPComponent::~TMMDSPComponent() {
    SetInput(nullptr);
    SetOutput(nullptr);
    markDestroying();
    SetWaveFormat(nullptr);
    dropLinksTo(this);
    auto& components = componentList();
    components.erase(std::find(components.begin(), components.end(), this));
}

const std::vector<TMMDSPComponent*>& TMMDSPComponent::AllComponents() {
    return componentList();
}

// A component that vanishes must not stay anybody's neighbour, whatever state its links were in.
void TMMDSPComponent::dropLinksTo(TMMDSPComponent* component) {
    for (TMMDSPComponent* other : componentList()) {
        if (other == component)
            continue;
        if (other->input_ == component)
            other->SetInput(nullptr);
        if (other->output_ == component)
            other->SetOutput(nullptr);
    }
}

// ---------------------------------------------------------------------------------------------
// Linking

void TMMDSPComponent::broadcastLinkChanged(TMMDSPComponent* component, bool outputSide,
                                           const std::string& propertyName) {
    // Copy: a handler may create or destroy components.
    const std::vector<TMMDSPComponent*> components = componentList();
    for (TMMDSPComponent* each : components)
        each->LinkChanged(component, outputSide, propertyName);
}

void TMMDSPComponent::SetInput(TMMDSPComponent* component) {
    if (component == input_)
        return;
    if (component != nullptr && !CanConnectInput(component))
        return;
    NotifyStopped();
    if (input_ != nullptr) {
        broadcastLinkChanged(this, false, "Input");
        SetInputLink(nullptr, "");
        InputFormatChanged(nullptr);
    }
    if (component == nullptr)
        return;
    broadcastLinkChanged(component, true, "Output");
    SetInputLink(component, "Output");
    component->SetOutputLink(this, "Input");
    PropagateFormat();
}

void TMMDSPComponent::SetOutput(TMMDSPComponent* component) {
    if (component == output_)
        return;
    if (component != nullptr && !CanConnectOutput(component))
        return;
    NotifyStopped();
    if (TMMDSPComponent* former = output_) {
        broadcastLinkChanged(this, true, "Output");
        former->InputFormatChanged(nullptr);
        SetOutputLink(nullptr, "");
    }
    if (component == nullptr)
        return;
    broadcastLinkChanged(component, false, "Input");
    SetOutputLink(component, "Input");
    component->SetInputLink(this, "Output");
    PropagateFormat();
}

void TMMDSPComponent::LinkChanged(TMMDSPComponent* component, bool outputSide,
                                  const std::string& propertyName) {
    if (outputSide) {
        if (component == input_ && inputBackName_ == propertyName &&
            component->PublishedLink(propertyName) == this)
            SetInputLink(nullptr, "");
    } else {
        if (component == output_ && outputBackName_ == propertyName &&
            component->PublishedLink(propertyName) == this)
            SetOutputLink(nullptr, "");
    }
}

void TMMDSPComponent::SetInputLink(TMMDSPComponent* component, const std::string& name) {
    input_ = component;
    inputBackName_ = backName(name);
}

void TMMDSPComponent::SetOutputLink(TMMDSPComponent* component, const std::string& name) {
    output_ = component;
    outputBackName_ = backName(name);
}

std::optional<TMMDSPComponent*> TMMDSPComponent::PublishedLink(const std::string& name) const {
    if (name == "Input" && publishesInput_)
        return input_;
    if (name == "Output" && publishesOutput_)
        return output_;
    return std::nullopt;
}

// The candidate must not lie downstream of this component, or the link would close a cycle.
bool TMMDSPComponent::CanConnectInput(TMMDSPComponent* component) {
    if (component == nullptr || component == this)
        return false;
    if (!component->publishesOutput_ && !component->outputLinkAllowed_)
        return false;
    return output_ == nullptr || output_->CanConnectInput(component);
}

// The candidate must not lie upstream of this component.
bool TMMDSPComponent::CanConnectOutput(TMMDSPComponent* component) {
    if (component == nullptr || component == this)
        return false;
    if (!component->publishesInput_ && !component->inputLinkAllowed_)
        return false;
    return input_ == nullptr || input_->CanConnectOutput(component);
}

// ---------------------------------------------------------------------------------------------
// Format

void TMMDSPComponent::SetWaveFormat(const TWaveFormatEx* format) {
    if (format != waveFormat_.get()) {
        if (started_)
            NotifyStopped();
        waveFormat_ = CopyWaveFormat(format);
    }
    if (!IsLoading() && !IsDestroying() && output_ != nullptr)
        output_->InputFormatChanged(waveFormat_.get());
}

void TMMDSPComponent::InputFormatChanged(const TWaveFormatEx* format) {
    SetWaveFormat(format);
}

void TMMDSPComponent::PropagateFormat() {
    if (IsLoading() || IsDestroying())
        return;
    if (input_ != nullptr)
        InputFormatChanged(input_->GetWaveFormat());
    else if (output_ != nullptr)
        output_->InputFormatChanged(waveFormat_.get());
}

void TMMDSPComponent::Loaded() {
    TMMComponent::Loaded();
    SetWaveFormat(waveFormat_.get()); // the formats held back while loading go downstream now
}

// ---------------------------------------------------------------------------------------------
// Buffer size

std::int32_t TMMDSPComponent::GetBufferSize() const {
    return opened_ ? realBufferSize_ : bufferSize_;
}

void TMMDSPComponent::SetBufferSize(std::int32_t bytes) {
    if (bytes == bufferSize_)
        return;
    if (started_)
        NotifyStopped();
    bufferSize_ = bytes;
}

// ---------------------------------------------------------------------------------------------
// Life cycle

void TMMDSPComponent::NotifyOpened() {
    if (opened_)
        return;
    if (const TWaveFormatEx* format = waveFormat_.get();
        format != nullptr && format->nBlockAlign > 0) {
        const std::int32_t block = format->nBlockAlign;
        realBufferSize_ = std::max(bufferSize_ - bufferSize_ % block, block);
    } else {
        realBufferSize_ = bufferSize_;
    }
    opened_ = true;
    started_ = false;
    paused_ = false;
}

void TMMDSPComponent::NotifyClosed() {
    opened_ = false;
}

void TMMDSPComponent::NotifyStarted() {
    if (opened_ && !started_)
        started_ = true;
}

void TMMDSPComponent::NotifyPaused() {
    paused_ = true;
}

void TMMDSPComponent::NotifyRestarted() {
    paused_ = false;
}

void TMMDSPComponent::NotifyStopped() {
    if (started_) {
        started_ = false;
        paused_ = false;
    }
}

void TMMDSPComponent::NotifyReset() {}

void TMMDSPComponent::NotifyLooped() {}

// ---------------------------------------------------------------------------------------------
// Buffers

void TMMDSPComponent::BufferReady(PWaveHdr lpWaveHdr) {
    if (OnBufferReady)
        OnBufferReady(this, lpWaveHdr);
    if (output_ != nullptr)
        output_->BufferReady(lpWaveHdr);
}

void TMMDSPComponent::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
    if (OnBufferLoad)
        OnBufferLoad(this, lpWaveHdr, MoreBuffers);
    if (input_ != nullptr)
        input_->BufferLoad(lpWaveHdr, MoreBuffers);
}

// ---------------------------------------------------------------------------------------------
// Segment propagation

TMMDSPComponent* TMMCustomSoundComponent::findSegmentTop(bool recordUpstreamDriven) {
    TMMDSPComponent* top = this;
    for (TMMDSPComponent* up = GetInput(); up != nullptr; up = up->GetInput()) {
        if (isDevice(up)) {
            if (recordUpstreamDriven)
                upstreamDriven_ = true;
            return this;
        }
        top = up;
    }
    return top;
}

void TMMCustomSoundComponent::walkSegment(TMMDSPComponent* top, bool includeNextDevice,
                                          const std::function<void(TMMDSPComponent&)>& visit) {
    for (TMMDSPComponent* each = top; each != nullptr; each = each->GetOutput()) {
        if (each == this)
            continue;
        if (isDevice(each)) {
            if (includeNextDevice)
                visit(*each);
            return;
        }
        visit(*each);
    }
}

// Started, paused, restarted, reset and looped reach the whole segment and the next device.
void TMMCustomSoundComponent::notifySegment(void (TMMDSPComponent::*notification)()) {
    walkSegment(findSegmentTop(false), true,
                [&](TMMDSPComponent& each) { (each.*notification)(); });
}

// Stopped and closed reach the next device first, so that a device pulling from this segment
// stops pulling before the components it pulls from are told.
void TMMCustomSoundComponent::notifySegmentEnding(void (TMMDSPComponent::*notification)()) {
    for (TMMDSPComponent* down = GetOutput(); down != nullptr; down = down->GetOutput()) {
        if (isDevice(down)) {
            (down->*notification)();
            break;
        }
    }
    walkSegment(findSegmentTop(false), false,
                [&](TMMDSPComponent& each) { (each.*notification)(); });
}

void TMMCustomSoundComponent::NotifyOpened() {
    upstreamDriven_ = false;
    const std::int32_t bufferSize = GetBufferSize();
    walkSegment(findSegmentTop(true), true, [bufferSize](TMMDSPComponent& each) {
        each.SetBufferSize(bufferSize);
        each.NotifyOpened();
    });
    TMMDSPComponent::NotifyOpened();
}

void TMMCustomSoundComponent::NotifyStarted() {
    notifySegment(&TMMDSPComponent::NotifyStarted);
    TMMDSPComponent::NotifyStarted();
}

void TMMCustomSoundComponent::NotifyPaused() {
    notifySegment(&TMMDSPComponent::NotifyPaused);
    TMMDSPComponent::NotifyPaused();
}

void TMMCustomSoundComponent::NotifyRestarted() {
    notifySegment(&TMMDSPComponent::NotifyRestarted);
    TMMDSPComponent::NotifyRestarted();
}

void TMMCustomSoundComponent::NotifyReset() {
    notifySegment(&TMMDSPComponent::NotifyReset);
    TMMDSPComponent::NotifyReset();
}

void TMMCustomSoundComponent::NotifyLooped() {
    notifySegment(&TMMDSPComponent::NotifyLooped);
    TMMDSPComponent::NotifyLooped();
}

void TMMCustomSoundComponent::NotifyStopped() {
    notifySegmentEnding(&TMMDSPComponent::NotifyStopped);
    TMMDSPComponent::NotifyStopped();
}

void TMMCustomSoundComponent::NotifyClosed() {
    notifySegmentEnding(&TMMDSPComponent::NotifyClosed);
    TMMDSPComponent::NotifyClosed();
}

} // namespace vantrel
