#include "LameEncoderLibrary.h"

#include "ProgramFolder.h"

#include <dlfcn.h>
#include <mutex>
#include <optional>

namespace vantrel {

namespace {

std::mutex libraryLock;
std::string libraryFile = DefaultLameEncoderFile;
std::optional<TLameEncoderLibrary> loaded; // the library never unloads once bound

template <typename Function> bool resolve(void* handle, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(handle, name));
    return function != nullptr;
}

std::optional<TLameEncoderLibrary> bind(void* handle) {
    TLameEncoderLibrary library;
    const bool complete = resolve(handle, "beInitStream", library.beInitStream) &&
                          resolve(handle, "beEncodeChunk", library.beEncodeChunk) &&
                          resolve(handle, "beDeinitStream", library.beDeinitStream) &&
                          resolve(handle, "beCloseStream", library.beCloseStream) &&
                          resolve(handle, "beVersion", library.beVersion);
    if (!complete)
        return std::nullopt;
    resolve(handle, "beWriteVBRHeader", library.beWriteVBRHeader);
    resolve(handle, "beWriteInfoTag", library.beWriteInfoTag);
    return library;
}

} // namespace

const TLameEncoderLibrary* LoadLameEncoder() {
    const std::lock_guard<std::mutex> guard(libraryLock);
    if (loaded)
        return &*loaded;
    void* handle = dlopen(programFilePath(libraryFile).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        return nullptr;
    loaded = bind(handle);
    if (!loaded) {
        dlclose(handle);
        return nullptr;
    }
    return &*loaded;
}

void SetLameEncoderFile(const std::string& fileName) {
    const std::lock_guard<std::mutex> guard(libraryLock);
    libraryFile = fileName;
}

} // namespace vantrel
