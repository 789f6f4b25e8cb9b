// The binding of the MP3 encoder library: loaded from the program folder when an encoder first
// opens, its entry points resolved by name, kept loaded until the program ends.
#pragma once

#include "LameEncRecords.h"

#include <string>

namespace vantrel {

// The library's entry points. beVersion is resolved but never needed; beWriteVBRHeader and
// beWriteInfoTag are optional (null when missing).
struct TLameEncoderLibrary {
    BEINITSTREAM beInitStream = nullptr;
    BEENCODECHUNK beEncodeChunk = nullptr;
    BEDEINITSTREAM beDeinitStream = nullptr;
    BECLOSESTREAM beCloseStream = nullptr;
    BEVERSION beVersion = nullptr;
    BEWRITEVBRHEADER beWriteVBRHeader = nullptr;
    BEWRITEINFOTAG beWriteInfoTag = nullptr;
};

inline constexpr const char* DefaultLameEncoderFile = "lame_enc.so";

// The loaded library, loading it on the first call; null when the file cannot be loaded or
// lacks a required entry point, in which case the next call tries again. Any thread.
const TLameEncoderLibrary* LoadLameEncoder();

// The file LoadLameEncoder loads while nothing is loaded yet: a bare name lies in the program
// folder. DefaultLameEncoderFile unless changed (tests point it at a missing file).
void SetLameEncoderFile(const std::string& fileName);

} // namespace vantrel
