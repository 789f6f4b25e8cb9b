// The DSP plug-in host: a stream component that hands every 16-bit buffer passing through it to a
// module of an external plug-in library (our compressor/limiter "dsp_enh.so" in the program),
// which may change the samples and the number of frames.
#pragma once

#include "MMDSPObj.h"
#include "MMObj.h"
#include "MMPlugInLoader.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel {

class EMMPlugInError : public EMMError {
public:
    using EMMError::EMMError;
};

class TMMDSPPlugin : public TMMDSPComponent {
public:
    TMMDSPPlugin();
    ~TMMDSPPlugin() override;

    // While false, buffers pass through untouched in both directions. Any thread.
    bool GetEnabled() const { return enabled_; }
    void SetEnabled(bool enabled) { enabled_ = enabled; }

    // The module the operations below work on; 0 at creation.
    std::int32_t GetModuleIndex() const;

    // The window modules take as their parent when the library is opened: the host's top-level
    // QWidget, not owned; null (the default) for a host without windows.
    void SetParentWindow(void* window);
    void* GetParentWindow() const;

    // Unloads the current library, then queries `FileName` (a bare name lies in the program
    // folder). True when it is a plug-in library; false, without an error, when it is missing or
    // not a plug-in.
    bool LoadPlugin(const std::string& FileName);
    // Loads the queried library and binds its modules; raises "Unable to open Module" when that
    // fails. Does nothing without a descriptor or when it is open already.
    void OpenPlugin();
    // Raises "Invalid Module index" unless a library is loaded and has module `Index`.
    void SelectModule(std::int32_t Index);
    // Opens the library, initialises the selected module for the component's format and buffer
    // size, then restarts it. Raises "Unable to initialise Module" (or what RestartModule raises).
    void InitModule();
    // Empties the internal buffer and tells an initialised module that the stream starts anew;
    // raises "Unable to restart Module" when the module refuses.
    void RestartModule();
    // Shuts the selected module down.
    void QuitModule();
    // Shuts every module down and frees the library and its descriptor.
    void UnloadPlugin();
    bool PluginLoaded() const;
    bool ModuleInitialized() const;
    // The description of the loaded library, or empty.
    std::string PluginDescription() const;
    // The names of the loaded library's modules (at most 100).
    std::vector<std::string> ModuleNames() const;

    // Accepts none or a valid 16-bit PCM format; raises "Invalid WaveFormat" otherwise.
    void SetWaveFormat(const TWaveFormatEx* format) override;
    void NotifyOpened() override;
    void NotifyClosed() override;
    void NotifyStarted() override;
    void NotifyStopped() override;
    void NotifyReset() override;

    // Push: the module works in the caller's buffer and may shorten it.
    void BufferReady(PWaveHdr lpWaveHdr) override;
    // Pull: fills the caller's buffer from the internal buffer, which holds what the module made
    // of the last upstream buffer (up to twice the buffer size), pulling again as often as needed.
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

private:
    bool processing() const;
    TPlugInModuleEntry* selectedModule() const;
    // Bytes the module leaves in a buffer of `bytes` valid bytes and `capacity` bytes of room.
    std::uint32_t process(char* data, std::uint32_t bytes, std::uint32_t capacity);
    void clearInternalBuffer();
    // Pulls upstream into the internal buffer and processes what came, until it holds data or the
    // input has ended.
    void refillInternalBuffer(PWaveHdr caller);
    void copyLoopState(PWaveHdr caller);

    mutable TMMCriticalSection lock_;
    std::atomic<bool> enabled_ = true;
    bool bufferOpened_ = false; // the internal buffer exists
    bool moduleStarted_ = false;
    std::int32_t moduleIndex_ = 0;
    std::unique_ptr<TPlugInDSP> plugin_;
    void* parentWindow_ = nullptr;
    PWaveHdr internal_ = nullptr;        // dwBufferLength is the buffer size; room for twice that
    std::uint32_t internalCapacity_ = 0; // bytes
    std::uint32_t readPosition_ = 0;     // bytes of the internal data already handed out
    bool lastMoreBuffers_ = false;
    bool endOfInput_ = false;
};

} // namespace vantrel
