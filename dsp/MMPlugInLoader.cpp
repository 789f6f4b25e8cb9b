#include "MMPlugInLoader.h"

#include <algorithm>
#include <dlfcn.h>
#include <utility>

namespace vantrel {

namespace {

struct HeaderFunction {
    TMMPlugInHeaderFunction function = nullptr;
    TPlugInLayout layout = TPlugInLayout::First;
};

SharedLibraryHandle loadLibrary(const std::string& path) {
    return SharedLibraryHandle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
}

// The first of the three header functions the library exports, in the order hosts look them up.
HeaderFunction findHeaderFunction(void* library) {
    static constexpr std::pair<const char*, TPlugInLayout> names[] = {
        {MMPLUGIN_HEADER_WINAMP, TPlugInLayout::First},
        {MMPLUGIN_HEADER_MM, TPlugInLayout::First},
        {MMPLUGIN_HEADER_WINAMP2, TPlugInLayout::Second},
    };
    for (const auto& [name, layout] : names) {
        if (void* symbol = dlsym(library, name))
            return {reinterpret_cast<TMMPlugInHeaderFunction>(symbol), layout};
    }
    return {};
}

// The library's header when it has one of at least the oldest accepted version.
TMMPlugInHeader* acceptedHeader(const HeaderFunction& found) noexcept {
    if (found.function == nullptr)
        return nullptr;
    try {
        TMMPlugInHeader* header = found.function();
        if (header == nullptr || header->version < MMPLUGIN_MIN_HEADER_VERSION)
            return nullptr;
        return header;
    } catch (...) {
        return nullptr;
    }
}

void* moduleRecord(const TMMPlugInHeader& header, std::int32_t index) noexcept {
    if (header.getModule == nullptr)
        return nullptr;
    try {
        return header.getModule(index);
    } catch (...) {
        return nullptr;
    }
}

// Both layouts begin with the description.
std::string moduleDescription(void* record) {
    const char* text = static_cast<TMMPlugInModule1*>(record)->description;
    return text != nullptr ? text : "";
}

std::string textOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

struct StreamShape {
    std::int32_t rate;
    std::int32_t channels;
    std::int32_t framesPerBuffer;
};

// What a first-layout module is told before it is initialised or restarted.
StreamShape streamShape(const TWaveFormatEx* format, std::int32_t bufferSize) {
    const std::int32_t rate =
        format != nullptr ? static_cast<std::int32_t>(format->nSamplesPerSec) : 22050;
    const std::int32_t channels = format != nullptr ? format->nChannels : 1;
    return {rate, channels, bufferSize / (std::max(channels, 1) * 2)};
}

void describeStream(TMMPlugInModule1& module, const TWaveFormatEx* format,
                    std::int32_t bufferSize) {
    const StreamShape shape = streamShape(format, bufferSize);
    module.sampleRate = shape.rate;
    module.channels = shape.channels;
    module.framesPerBuffer = shape.framesPerBuffer;
}

std::uint32_t processFirstLayout(TMMPlugInModule1& module, std::uint32_t frameBytes, char* data,
                                 std::uint32_t bytes, std::uint32_t capacity) {
    // The entry always works on a whole buffer of the frames it was told about.
    const auto needed =
        static_cast<std::uint64_t>(std::max(module.framesPerBuffer, 0)) * frameBytes;
    if (needed > capacity)
        return bytes;
    module.ModifySamples(&module, reinterpret_cast<std::int16_t*>(data));
    return bytes;
}

std::uint32_t processSecondLayout(TMMPlugInModule2& module, const TWaveFormatEx& format,
                                  std::uint32_t frameBytes, char* data, std::uint32_t bytes,
                                  std::uint32_t capacity) {
    const std::int32_t frames =
        module.ModifySamples(&module, reinterpret_cast<std::int16_t*>(data),
                             static_cast<std::int32_t>(bytes / frameBytes), format.wBitsPerSample,
                             format.nChannels, static_cast<std::int32_t>(format.nSamplesPerSec));
    // A module that claims more frames than the buffer holds cannot have written them there.
    const std::uint64_t produced = static_cast<std::uint64_t>(std::max(frames, 0)) * frameBytes;
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(produced, capacity - capacity % frameBytes));
}

} // namespace

void SharedLibraryCloser::operator()(void* handle) const noexcept {
    dlclose(handle);
}

std::string pluginPath(const std::string& fileName) {
    return programFilePath(fileName);
}

std::unique_ptr<TPlugInDSP> QueryPlugin(const std::string& fileName) {
    const std::string path = pluginPath(fileName);
    const SharedLibraryHandle library = loadLibrary(path);
    if (!library)
        return nullptr;
    const HeaderFunction found = findHeaderFunction(library.get());
    const TMMPlugInHeader* header = acceptedHeader(found);
    if (header == nullptr)
        return nullptr;

    auto plugin = std::make_unique<TPlugInDSP>();
    plugin->fileName = path;
    plugin->description = textOrEmpty(header->description);
    plugin->layout = found.layout;
    while (plugin->moduleCount < MMPLUGIN_MAX_MODULES) {
        void* record = moduleRecord(*header, plugin->moduleCount);
        if (record == nullptr)
            break;
        plugin->modules[static_cast<std::size_t>(plugin->moduleCount++)].name =
            moduleDescription(record);
    }
    return plugin;
}

bool OpenPluginLibrary(TPlugInDSP& plugin, void* parentWindow) {
    if (plugin.open)
        return true;
    SharedLibraryHandle library = loadLibrary(plugin.fileName);
    if (!library)
        return false;
    const HeaderFunction found = findHeaderFunction(library.get());
    TMMPlugInHeader* header = acceptedHeader(found);
    if (header == nullptr)
        return false;

    plugin.header = header;
    plugin.layout = found.layout;
    plugin.moduleCount = 0;
    while (plugin.moduleCount < MMPLUGIN_MAX_MODULES) {
        void* record = moduleRecord(*header, plugin.moduleCount);
        if (record == nullptr)
            break;
        TPlugInModuleEntry& entry = plugin.modules[static_cast<std::size_t>(plugin.moduleCount++)];
        entry.name = moduleDescription(record);
        entry.initialized = false;
        entry.module1 = nullptr;
        entry.module2 = nullptr;
        if (found.layout == TPlugInLayout::First) {
            entry.module1 = static_cast<TMMPlugInModule1*>(record);
            entry.module1->hwndParent = parentWindow;
            entry.module1->hDllInstance = library.get();
        } else {
            entry.module2 = static_cast<TMMPlugInModule2*>(record);
            entry.module2->hwndParent = parentWindow;
            entry.module2->hDllInstance = library.get();
        }
    }
    plugin.library = std::move(library);
    plugin.open = true;
    return true;
}

void ClosePluginLibrary(TPlugInDSP& plugin) noexcept {
    if (!plugin.open)
        return;
    for (std::int32_t index = 0; index < plugin.moduleCount; ++index) {
        TPlugInModuleEntry& entry = plugin.modules[static_cast<std::size_t>(index)];
        QuitPluginModule(entry);
        entry.initialized = false;
        entry.module1 = nullptr;
        entry.module2 = nullptr;
    }
    plugin.header = nullptr;
    plugin.open = false;
    plugin.library.reset();
}

bool InitPluginModule(TPlugInModuleEntry& entry, const TWaveFormatEx* format,
                      std::int32_t bufferSize) noexcept {
    if (entry.initialized || bufferSize <= 0)
        return entry.initialized;
    try {
        if (TMMPlugInModule1* module = entry.module1) {
            describeStream(*module, format, bufferSize);
            if (module->Init != nullptr)
                entry.initialized = module->Init(module) == 0;
        } else if (TMMPlugInModule2* module = entry.module2) {
            if (module->Init != nullptr)
                entry.initialized = module->Init(module) == 0;
        }
    } catch (...) {
        return false;
    }
    return entry.initialized;
}

bool RestartPluginModule(TPlugInModuleEntry& entry, const TWaveFormatEx* format,
                         std::int32_t bufferSize) noexcept {
    if (!entry.initialized || bufferSize <= 0)
        return false;
    try {
        if (TMMPlugInModule1* module = entry.module1) {
            describeStream(*module, format, bufferSize);
            return module->Restart == nullptr || module->Restart(module) == 0;
        }
        return true; // the second layout knows no restart
    } catch (...) {
        return false;
    }
}

std::uint32_t ProcessPluginModule(TPlugInModuleEntry& entry, const TWaveFormatEx* format,
                                  char* data, std::uint32_t bytes,
                                  std::uint32_t capacity) noexcept {
    if (!entry.initialized || format == nullptr)
        return bytes;
    const std::uint32_t frameBytes =
        static_cast<std::uint32_t>(format->wBitsPerSample / 8) * format->nChannels;
    if (frameBytes == 0)
        return bytes;
    try {
        if (TMMPlugInModule1* module = entry.module1; module && module->ModifySamples)
            return processFirstLayout(*module, frameBytes, data, bytes, capacity);
        if (TMMPlugInModule2* module = entry.module2; module && module->ModifySamples)
            return processSecondLayout(*module, *format, frameBytes, data, bytes, capacity);
    } catch (...) {
        // The buffer goes on as it is; what the module did to it before failing stays.
    }
    return bytes;
}

void QuitPluginModule(TPlugInModuleEntry& entry) noexcept {
    if (!entry.initialized)
        return;
    try {
        if (TMMPlugInModule1* module = entry.module1; module && module->Quit)
            module->Quit(module);
        else if (TMMPlugInModule2* module = entry.module2; module && module->Quit)
            module->Quit(module);
    } catch (...) {
        return; // the module could not be shut down, so it still counts as initialised
    }
    entry.initialized = false;
}

} // namespace vantrel
