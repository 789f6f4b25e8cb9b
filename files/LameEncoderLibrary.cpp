#include "LameEncoderLibrary.h"

#include "DynamicLibrary.h"
#include "ProgramFolder.h"

#include <mutex>
#include <optional>

namespace vantrel {

namespace {

std::mutex libraryLock;
std::string libraryFile = DefaultLameEncoderFile;
// Bound once, then kept loaded until the program ends.
DynamicLibrary library;
std::optional<TLameEncoderLibrary> loaded;

std::optional<TLameEncoderLibrary> bind() {
    TLameEncoderLibrary functions;
    const bool complete = library.resolve(functions.beInitStream, "beInitStream") &&
                          library.resolve(functions.beEncodeChunk, "beEncodeChunk") &&
                          library.resolve(functions.beDeinitStream, "beDeinitStream") &&
                          library.resolve(functions.beCloseStream, "beCloseStream") &&
                          library.resolve(functions.beVersion, "beVersion");
    if (!complete)
        return std::nullopt;
    library.resolve(functions.beWriteVBRHeader, "beWriteVBRHeader");
    library.resolve(functions.beWriteInfoTag, "beWriteInfoTag");
    return functions;
}

} // namespace

const TLameEncoderLibrary* LoadLameEncoder() {
    const std::lock_guard<std::mutex> guard(libraryLock);
    if (loaded)
        return &*loaded;
    if (!library.load(programFilePath(libraryFile)))
        return nullptr;
    loaded = bind();
    if (!loaded) {
        library.unload();
        return nullptr;
    }
    return &*loaded;
}

void SetLameEncoderFile(const std::string& fileName) {
    const std::lock_guard<std::mutex> guard(libraryLock);
    libraryFile = fileName;
}

} // namespace vantrel
