// A plug-in library for the host's tests. Compile definitions choose what it exports:
//   TEST_PLUGIN_FIRST_EXPORT   name of a first-layout header function to export, if any
//   TEST_PLUGIN_SECOND_EXPORT  defined: export winampDSPGetHeader2 (second layout)
//   TEST_PLUGIN_VERSION        header version (default 16)
//   TEST_PLUGIN_ENDLESS        defined: the module getter never answers null
// Every call a module receives is appended to a log the tests read through testPluginLog().
#include "MMPlugInRecords.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef TEST_PLUGIN_VERSION
#define TEST_PLUGIN_VERSION 16
#endif

namespace {

std::string callLog;

void logCall(const std::string& text) {
    callLog += text;
    callLog += ';';
}

void addOne(std::int16_t* samples, std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i)
        samples[i] = static_cast<std::int16_t>(samples[i] + 1);
}

// --- First layout: 0 adds one to every sample, 1 refuses to initialise, 2 throws when
// initialised, 3 refuses to restart.

std::int32_t init1(TMMPlugInModule1* module);
std::int32_t restart1(TMMPlugInModule1* module);
void samples1(TMMPlugInModule1* module, std::int16_t* samples);
void quit1(TMMPlugInModule1* module);

TMMPlugInModule1 firstLayout[] = {
    {"Add one", nullptr, nullptr, 0, 0, 0, 0, init1, restart1, samples1, nullptr, nullptr, quit1},
    {"Refuses init", nullptr, nullptr, 0, 0, 0, 0, init1, restart1, samples1, nullptr, nullptr,
     quit1},
    {"Throws on init", nullptr, nullptr, 0, 0, 0, 0, init1, restart1, samples1, nullptr, nullptr,
     quit1},
    {"Refuses restart", nullptr, nullptr, 0, 0, 0, 0, init1, restart1, samples1, nullptr, nullptr,
     quit1},
};

std::string shape(const TMMPlugInModule1* module) {
    return std::to_string(module->sampleRate) + " " + std::to_string(module->channels) + " " +
           std::to_string(module->framesPerBuffer);
}

std::int32_t init1(TMMPlugInModule1* module) {
    logCall(std::string("init ") + module->description + " " + shape(module));
    if (module == &firstLayout[2])
        throw std::runtime_error("broken module");
    return module == &firstLayout[1] ? 1 : 0;
}

std::int32_t restart1(TMMPlugInModule1* module) {
    logCall(std::string("restart ") + module->description + " " + shape(module));
    return module == &firstLayout[3] ? 1 : 0;
}

void samples1(TMMPlugInModule1* module, std::int16_t* samples) {
    logCall("samples " + shape(module));
    addOne(samples, module->framesPerBuffer * module->channels);
}

void quit1(TMMPlugInModule1* module) {
    logCall(std::string("quit ") + module->description);
}

// --- Second layout: 0 adds one to every sample, 1 keeps every second frame of the stream,
// 2 doubles every frame.

std::int32_t init2(TMMPlugInModule2* module);
std::int32_t samples2(TMMPlugInModule2* module, std::int16_t* samples, std::int32_t frames,
                      std::int32_t bits, std::int32_t channels, std::int32_t rate);
void quit2(TMMPlugInModule2* module);

TMMPlugInModule2 secondLayout[] = {
    {"Add one", nullptr, nullptr, nullptr, init2, samples2, quit2, nullptr},
    {"Halve", nullptr, nullptr, nullptr, init2, samples2, quit2, nullptr},
    {"Double", nullptr, nullptr, nullptr, init2, samples2, quit2, nullptr},
};

std::int64_t framesSeen = 0; // by the halving module, across calls

std::int32_t init2(TMMPlugInModule2* module) {
    logCall(std::string("init ") + module->description);
    framesSeen = 0;
    return 0;
}

std::int32_t keepEverySecondFrame(std::int16_t* samples, std::int32_t frames,
                                  std::int32_t channels) {
    std::int32_t kept = 0;
    for (std::int32_t frame = 0; frame < frames; ++frame, ++framesSeen) {
        if (framesSeen % 2 != 0)
            continue;
        for (std::int32_t c = 0; c < channels; ++c)
            samples[kept * channels + c] = samples[frame * channels + c];
        ++kept;
    }
    return kept;
}

std::int32_t doubleEveryFrame(std::int16_t* samples, std::int32_t frames, std::int32_t channels) {
    const std::vector<std::int16_t> input(samples, samples + frames * channels);
    for (std::int32_t frame = 0; frame < frames; ++frame)
        for (std::int32_t copy = 0; copy < 2; ++copy)
            for (std::int32_t c = 0; c < channels; ++c)
                samples[(2 * frame + copy) * channels + c] = input[frame * channels + c];
    return 2 * frames;
}

std::int32_t samples2(TMMPlugInModule2* module, std::int16_t* samples, std::int32_t frames,
                      std::int32_t bits, std::int32_t channels, std::int32_t rate) {
    logCall("samples " + std::to_string(frames) + " " + std::to_string(bits) + " " +
            std::to_string(channels) + " " + std::to_string(rate));
    if (module == &secondLayout[1])
        return keepEverySecondFrame(samples, frames, channels);
    if (module == &secondLayout[2])
        return doubleEveryFrame(samples, frames, channels);
    addOne(samples, frames * channels);
    return frames;
}

void quit2(TMMPlugInModule2* module) {
    logCall(std::string("quit ") + module->description);
}

template <typename Record, std::size_t count> void* moduleAt(Record (&records)[count], int32_t i) {
#ifdef TEST_PLUGIN_ENDLESS
    return &records[static_cast<std::size_t>(i) % count];
#else
    return i >= 0 && static_cast<std::size_t>(i) < count ? &records[i] : nullptr;
#endif
}

void* firstLayoutModule(int32_t index) {
    return moduleAt(firstLayout, index);
}
void* secondLayoutModule(int32_t index) {
    return moduleAt(secondLayout, index);
}

[[maybe_unused]] TMMPlugInHeader firstHeader = {TEST_PLUGIN_VERSION, "Test plug-in (first layout)",
                                                firstLayoutModule};
[[maybe_unused]] TMMPlugInHeader secondHeader = {
    TEST_PLUGIN_VERSION, "Test plug-in (second layout)", secondLayoutModule};

} // namespace

extern "C" {

__attribute__((visibility("default"))) const char* testPluginLog() {
    return callLog.c_str();
}

__attribute__((visibility("default"))) void testPluginClearLog() {
    callLog.clear();
}

#ifdef TEST_PLUGIN_FIRST_EXPORT
__attribute__((visibility("default"))) TMMPlugInHeader* TEST_PLUGIN_FIRST_EXPORT() {
    return &firstHeader;
}
#endif

#ifdef TEST_PLUGIN_SECOND_EXPORT
__attribute__((visibility("default"))) TMMPlugInHeader* winampDSPGetHeader2() {
    return &secondHeader;
}
#endif
}
