// The plug-in loader: finds a DSP plug-in library's header function, describes the library and
// its modules, binds them while the library is open, and makes the calls into a module safe for
// its host (no error raised inside the library reaches the caller).
#pragma once

#include "MMPlugInRecords.h"
#include "MMUtils.h"
#include "ProgramFolder.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace vantrel {

// Which module record the library's header function hands out.
enum class TPlugInLayout { First, Second };

// One module of a library: its name and, while the library is open, its record.
struct TPlugInModuleEntry {
    std::string name;
    bool initialized = false;
    TMMPlugInModule1* module1 = nullptr; // set while open, first layout
    TMMPlugInModule2* module2 = nullptr; // set while open, second layout
};

// Closes a dlopen handle.
struct SharedLibraryCloser {
    void operator()(void* handle) const noexcept;
};
using SharedLibraryHandle = std::unique_ptr<void, SharedLibraryCloser>;

// The host's descriptor of a plug-in library.
struct TPlugInDSP {
    std::string fileName;        // the path the library is loaded from
    SharedLibraryHandle library; // set while open
    std::string description;     // copy of the header's description
    std::array<TPlugInModuleEntry, MMPLUGIN_MAX_MODULES> modules;
    std::int32_t moduleCount = 0;
    bool open = false;
    TMMPlugInHeader* header = nullptr; // while open; owned by the library
    TPlugInLayout layout = TPlugInLayout::First;
};

// The path a plug-in is loaded from: a name without a folder lies in the program folder (never
// on the system's library search path); a name with a folder is taken as it is.
std::string pluginPath(const std::string& fileName);

// Loads `fileName` (see pluginPath), checks its header and reads the names of its modules, then
// frees the library again. Answers no descriptor when the file cannot be loaded, exports no
// header function, or its header is missing or older than version 16.
std::unique_ptr<TPlugInDSP> QueryPlugin(const std::string& fileName);

// Loads the descriptor's library again and binds its modules, writing `parentWindow` (a QWidget
// of the host, or null) and the library handle into each module record. False when the library
// or its header cannot be had; the descriptor then stays closed.
bool OpenPluginLibrary(TPlugInDSP& plugin, void* parentWindow);

// Shuts every initialised module down, unbinds the modules and frees the library. Errors raised
// by the library meanwhile are swallowed.
void ClosePluginLibrary(TPlugInDSP& plugin) noexcept;

// --- Calls into one bound module, for a stream of `format` (null for none) with buffers of
// `bufferSize` bytes. None of them lets an error of the library escape.

// Initialises the module unless it already is; answers whether it is initialised.
bool InitPluginModule(TPlugInModuleEntry& entry, const TWaveFormatEx* format,
                      std::int32_t bufferSize) noexcept;
// Tells an initialised module that the stream starts anew; answers whether it accepted that.
bool RestartPluginModule(TPlugInModuleEntry& entry, const TWaveFormatEx* format,
                         std::int32_t bufferSize) noexcept;
// Processes `bytes` bytes of 16-bit samples in `data` (room for `capacity` bytes) in place and
// answers the bytes the buffer holds afterwards, never more than `capacity`. A buffer the module
// cannot take (not initialised, no sample entry, no format, too little room, an error inside the
// library) is answered unchanged, so no audio is lost.
std::uint32_t ProcessPluginModule(TPlugInModuleEntry& entry, const TWaveFormatEx* format,
                                  char* data, std::uint32_t bytes, std::uint32_t capacity) noexcept;
// Shuts an initialised module down.
void QuitPluginModule(TPlugInModuleEntry& entry) noexcept;

} // namespace vantrel
