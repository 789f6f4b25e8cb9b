// Renders an audio file through the 31-band equalizer and, optionally, the compressor/limiter
// plug-in into a new WAV or MP3 file: the file window's rendering without its windows. The
// trigger pulls the source and pushes each buffer through the chain on its worker thread while
// the calling thread pumps the main-thread loop.
#pragma once

#include "DiskSpace.h"
#include "EQPresets.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace vantrel {

// A render that could not start or finish; the text says why, for the user.
class RenderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RenderSettings {
    std::string input;  // a WAV or MP3 file
    std::string output; // ".wav" or ".mp3" (any letter case) chooses the format
    EQPreset gains{};   // dB per band, band 1 first
    bool compressor = true;
    std::int32_t bitrate = 320; // kbit/s of MP3 output
    // How the writers measure free space before each write (tests substitute a full volume).
    FreeSpaceQuery freeSpace = DiskFreeSpace;
};

struct RenderResult {
    double seconds = 0; // of audio rendered
};

// Called on the calling thread with the share of the input rendered so far, 0 ... 1.
using RenderProgress = std::function<void(double fraction)>;

// Renders `settings.input` into `settings.output`, which is replaced when it exists. Never
// writes to the input. Runs on the main thread; installs the built-in main-thread loop when
// none is installed. Throws RenderError; when the output volume fills up, the output holds a
// finished file with what was rendered until then and the error says so.
RenderResult RenderFile(const RenderSettings& settings, const RenderProgress& progress = {});

} // namespace vantrel
