#include "MMPlugIn.h"

#include <algorithm>
#include <cfenv>
#include <cstring>

namespace vantrel {

namespace {

constexpr const char* unableToOpen = "Unable to open Module";
constexpr const char* invalidIndex = "Invalid Module index";
constexpr const char* unableToInitialise = "Unable to initialise Module";
constexpr const char* unableToRestart = "Unable to restart Module";

bool isValid16BitPCM(const TWaveFormatEx* format) {
    return IsValidPCMFormat(format) && format->wBitsPerSample == 16;
}

} // namespace

TMMDSPPlugin::TMMDSPPlugin() {
    publishLinks(true, true);
}

TMMDSPPlugin::~TMMDSPPlugin() {
    UnloadPlugin();
    freeBuffer(internal_);
}

// ---------------------------------------------------------------------------------------------
// Properties

std::int32_t TMMDSPPlugin::GetModuleIndex() const {
    std::lock_guard guard(lock_);
    return moduleIndex_;
}

void TMMDSPPlugin::SetParentWindow(void* window) {
    std::lock_guard guard(lock_);
    parentWindow_ = window;
}

void* TMMDSPPlugin::GetParentWindow() const {
    std::lock_guard guard(lock_);
    return parentWindow_;
}

// ---------------------------------------------------------------------------------------------
// Library and module operations

bool TMMDSPPlugin::LoadPlugin(const std::string& FileName) {
    std::lock_guard guard(lock_);
    UnloadPlugin();
    plugin_ = QueryPlugin(FileName);
    return plugin_ != nullptr;
}

void TMMDSPPlugin::OpenPlugin() {
    std::lock_guard guard(lock_);
    if (plugin_ == nullptr || plugin_->open)
        return;
    if (!OpenPluginLibrary(*plugin_, parentWindow_))
        throw EMMPlugInError(unableToOpen);
}

void TMMDSPPlugin::SelectModule(std::int32_t Index) {
    std::lock_guard guard(lock_);
    if (plugin_ == nullptr || Index < 0 || Index >= plugin_->moduleCount)
        throw EMMPlugInError(invalidIndex);
    moduleIndex_ = Index;
}

void TMMDSPPlugin::InitModule() {
    std::lock_guard guard(lock_);
    if (plugin_ == nullptr || moduleIndex_ >= plugin_->moduleCount)
        return;
    OpenPlugin();
    TPlugInModuleEntry* entry = selectedModule();
    if (entry == nullptr || !InitPluginModule(*entry, GetWaveFormat(), GetBufferSize()))
        throw EMMPlugInError(unableToInitialise);
    RestartModule();
}

void TMMDSPPlugin::RestartModule() {
    std::lock_guard guard(lock_);
    TPlugInModuleEntry* entry = selectedModule();
    if (entry == nullptr || !entry->initialized)
        return;
    clearInternalBuffer();
    if (!RestartPluginModule(*entry, GetWaveFormat(), GetBufferSize()))
        throw EMMPlugInError(unableToRestart);
}

void TMMDSPPlugin::QuitModule() {
    std::lock_guard guard(lock_);
    if (TPlugInModuleEntry* entry = selectedModule())
        QuitPluginModule(*entry);
}

void TMMDSPPlugin::UnloadPlugin() {
    std::lock_guard guard(lock_);
    if (plugin_ == nullptr)
        return;
    ClosePluginLibrary(*plugin_);
    plugin_.reset();
}

bool TMMDSPPlugin::PluginLoaded() const {
    std::lock_guard guard(lock_);
    return plugin_ != nullptr;
}

bool TMMDSPPlugin::ModuleInitialized() const {
    std::lock_guard guard(lock_);
    const TPlugInModuleEntry* entry = selectedModule();
    return entry != nullptr && entry->initialized;
}

std::string TMMDSPPlugin::PluginDescription() const {
    std::lock_guard guard(lock_);
    return plugin_ != nullptr ? plugin_->description : std::string();
}

std::vector<std::string> TMMDSPPlugin::ModuleNames() const {
    std::lock_guard guard(lock_);
    std::vector<std::string> names;
    if (plugin_ != nullptr)
        for (std::int32_t index = 0; index < plugin_->moduleCount; ++index)
            names.push_back(plugin_->modules[static_cast<std::size_t>(index)].name);
    return names;
}

// The selected module of a loaded library (bound or not), or null.
TPlugInModuleEntry* TMMDSPPlugin::selectedModule() const {
    if (plugin_ == nullptr || moduleIndex_ < 0 || moduleIndex_ >= plugin_->moduleCount)
        return nullptr;
    return &plugin_->modules[static_cast<std::size_t>(moduleIndex_)];
}

// ---------------------------------------------------------------------------------------------
// Chain events

void TMMDSPPlugin::SetWaveFormat(const TWaveFormatEx* format) {
    if (format != nullptr && !isValid16BitPCM(format))
        throw EMMPlugInError(LoadEngineString(62));
    TMMDSPComponent::SetWaveFormat(format);
}

void TMMDSPPlugin::NotifyOpened() {
    TMMDSPComponent::NotifyOpened();
    std::lock_guard guard(lock_);
    if (bufferOpened_ || !isValid16BitPCM(GetWaveFormat()))
        return;
    const auto bufferSize = static_cast<std::uint32_t>(GetBufferSize());
    internal_ = allocateBuffer(2 * bufferSize);
    internal_->wh.dwBufferLength = bufferSize;
    internalCapacity_ = 2 * bufferSize;
    clearInternalBuffer();
    bufferOpened_ = true;
    OpenPlugin();
}

void TMMDSPPlugin::NotifyClosed() {
    {
        std::lock_guard guard(lock_);
        if (bufferOpened_) {
            bufferOpened_ = false;
            freeBuffer(internal_);
            internalCapacity_ = 0;
        }
    }
    TMMDSPComponent::NotifyClosed();
}

void TMMDSPPlugin::NotifyStarted() {
    if (!moduleStarted_) {
        RestartModule();
        moduleStarted_ = true;
    }
    TMMDSPComponent::NotifyStarted();
}

void TMMDSPPlugin::NotifyStopped() {
    moduleStarted_ = false;
    TMMDSPComponent::NotifyStopped();
}

void TMMDSPPlugin::NotifyReset() {
    RestartModule();
    TMMDSPComponent::NotifyReset();
}

// ---------------------------------------------------------------------------------------------
// Buffers

bool TMMDSPPlugin::processing() const {
    return enabled_ && bufferOpened_ && plugin_ != nullptr;
}

std::uint32_t TMMDSPPlugin::process(char* data, std::uint32_t bytes, std::uint32_t capacity) {
    TPlugInModuleEntry* entry = selectedModule();
    if (entry == nullptr)
        return bytes;
    return ProcessPluginModule(*entry, GetWaveFormat(), data, bytes, capacity);
}

void TMMDSPPlugin::clearInternalBuffer() {
    readPosition_ = 0;
    endOfInput_ = false;
    if (internal_ == nullptr)
        return;
    internal_->wh.dwBytesRecorded = 0;
    internal_->LoopRestarted = 0;
}

void TMMDSPPlugin::BufferReady(PWaveHdr lpWaveHdr) {
    {
        std::lock_guard guard(lock_);
        if (processing())
            lpWaveHdr->wh.dwBytesRecorded = process(
                lpWaveHdr->wh.lpData, lpWaveHdr->wh.dwBytesRecorded, lpWaveHdr->wh.dwBufferLength);
    }
    TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMDSPPlugin::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
    std::lock_guard guard(lock_);
    if (!processing()) {
        TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
        return;
    }
    lpWaveHdr->wh.dwBytesRecorded = 0;
    if (GetInput() == nullptr)
        return;
    std::uint32_t want = lpWaveHdr->wh.dwBufferLength;
    std::uint32_t filled = 0;
    for (;;) {
        const std::uint32_t unread = internal_->wh.dwBytesRecorded - readPosition_;
        const std::uint32_t n = std::min(unread, want);
        std::memcpy(lpWaveHdr->wh.lpData + filled, internal_->wh.lpData + readPosition_, n);
        readPosition_ += n;
        filled += n;
        want -= n;
        if (want < 1 || endOfInput_)
            break;
        refillInternalBuffer(lpWaveHdr);
    }
    MoreBuffers = lastMoreBuffers_ || readPosition_ < internal_->wh.dwBytesRecorded;
    lpWaveHdr->wh.dwBytesRecorded = filled;
}

void TMMDSPPlugin::refillInternalBuffer(PWaveHdr caller) {
    do {
        internal_->wh.dwBytesRecorded = 0;
        readPosition_ = 0;
        copyLoopState(caller);
        // A module may have left the floating-point unit in a mode the chain does not expect.
        std::fesetenv(FE_DFL_ENV);
        bool more = false;
        TMMDSPComponent::BufferLoad(internal_, more);
        lastMoreBuffers_ = more;
        const std::uint32_t pulled =
            std::min(internal_->wh.dwBytesRecorded, internal_->wh.dwBufferLength);
        if (!more || pulled == 0)
            endOfInput_ = true;
        if (pulled > 0)
            internal_->wh.dwBytesRecorded =
                process(internal_->wh.lpData, pulled, internalCapacity_);
    } while (internal_->wh.dwBytesRecorded == 0 && !endOfInput_);
}

// A loop restart the source reported while filling the internal buffer reaches the caller's
// buffer with the next pull; the caller's loop settings travel to the source.
void TMMDSPPlugin::copyLoopState(PWaveHdr caller) {
    if (internal_->LoopRestarted != 0) {
        caller->LoopRestarted = MMTrue;
        caller->LoopsLeft = internal_->LoopsLeft;
        internal_->LoopRestarted = 0;
    }
    internal_->LoopEnabled = caller->LoopEnabled;
    if (caller->LoopEnabled != 0) {
        internal_->LoopCount = caller->LoopCount;
        internal_->LoopsLeft = caller->LoopsLeft;
        internal_->LoopRestarted = 0;
    }
}

} // namespace vantrel
