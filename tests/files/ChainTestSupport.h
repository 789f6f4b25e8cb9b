// Helpers of the conversion and audio file tests: buffers that free themselves, a chain driven
// by hand the way a device drives its segment, and 16-bit sample arrays read from raw files.
#pragma once

#include "FileTestSupport.h"
#include "MMDSPObj.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace vantrel::testing {

using Samples = std::vector<std::int16_t>;

// A buffer record that frees itself.
struct OwnedBuffer {
    explicit OwnedBuffer(std::uint32_t bytes) : header(allocateBuffer(bytes)) {}
    ~OwnedBuffer() { freeBuffer(header); }
    OwnedBuffer(const OwnedBuffer&) = delete;
    OwnedBuffer& operator=(const OwnedBuffer&) = delete;
    PWaveHdr header;
};

// Sends a life-cycle notification to `top` and every component below it, top first, as a
// device does along its segment.
inline void notifyChain(TMMDSPComponent& top, void (TMMDSPComponent::*notification)()) {
    for (TMMDSPComponent* component = &top; component != nullptr;
         component = component->GetOutput())
        (component->*notification)();
}

inline void openAndStart(TMMDSPComponent& top) {
    notifyChain(top, &TMMDSPComponent::NotifyOpened);
    notifyChain(top, &TMMDSPComponent::NotifyStarted);
}

// One pull of `bytes` bytes from `component`, as a device pulls: the bytes delivered.
inline Bytes pullOnce(TMMDSPComponent& component, std::uint32_t bytes, bool& more) {
    OwnedBuffer buffer(bytes);
    more = false;
    component.BufferLoad(buffer.header, more);
    return Bytes(buffer.header->wh.lpData,
                 buffer.header->wh.lpData + buffer.header->wh.dwBytesRecorded);
}

// Pulls until the component says no more buffers follow or delivers nothing; everything
// delivered, in order. `maxPulls` guards against a source that never ends.
inline Bytes pullAll(TMMDSPComponent& component, std::uint32_t bytes = 4096,
                     int maxPulls = 100000) {
    Bytes all;
    for (int i = 0; i < maxPulls; ++i) {
        bool more = false;
        const Bytes got = pullOnce(component, bytes, more);
        all.insert(all.end(), got.begin(), got.end());
        if (got.empty() || !more)
            return all;
    }
    ADD_FAILURE() << "the source did not end within " << maxPulls << " pulls";
    return all;
}

inline Samples toSamples(const Bytes& bytes) {
    Samples samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// Largest difference between two sample arrays over their common length.
inline int maxDifference(const Samples& a, const Samples& b) {
    int worst = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        worst = std::max(worst, std::abs(int{a[i]} - int{b[i]}));
    return worst;
}

// What sox decodes `file` to: 16-bit signed little-endian samples, without dither.
inline Samples soxDecode(const ScratchFolder& folder, const std::string& file) {
    const std::string raw = folder.file("sox-reference.raw");
    if (!run("sox -D " + quoted(file) + " -t raw -e signed -b 16 -L " + quoted(raw)))
        ADD_FAILURE() << "sox could not decode " << file;
    return toSamples(readFile(raw));
}

} // namespace vantrel::testing

namespace vantrel::testing {

// `text` with every `key` replaced by `value`.
inline std::string replaced(std::string text, const std::string& key, const std::string& value) {
    for (std::size_t at = text.find(key); at != std::string::npos;
         at = text.find(key, at + value.size()))
        text.replace(at, key.size(), value);
    return text;
}

// The standard output of a shell command; empty when it fails.
inline std::string capture(const std::string& command) {
    std::string output;
    if (std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char chunk[256];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            output.append(chunk, got);
        ::pclose(pipe);
    }
    return output;
}

// A stream value ffprobe reports of the first audio stream ("sample_rate", "nb_read_packets").
inline long probe(const std::string& file, const std::string& entry) {
    const std::string value = capture(
        "ffprobe -v error -count_packets -select_streams a:0 -show_entries stream=" + entry +
        " -of default=nw=1:nk=1 " + quoted(file));
    return std::strtol(value.c_str(), nullptr, 10);
}

// What ffmpeg decodes `file` to: 16-bit signed little-endian samples.
inline Samples ffmpegDecode(const ScratchFolder& folder, const std::string& file) {
    const std::string raw = folder.file("ffmpeg-reference.raw");
    if (!run("ffmpeg -v error -y -i " + quoted(file) + " -f s16le " + quoted(raw)))
        ADD_FAILURE() << "ffmpeg could not decode " << file;
    return toSamples(readFile(raw));
}

// A tone of `seconds` seconds as a 16-bit WAVE file (two different tones for stereo).
inline std::string makeToneWave(const ScratchFolder& folder, const std::string& name, int rate,
                                int channels, double seconds) {
    const std::string file = folder.file(name);
    const std::string tones = channels == 1 ? "sine 440" : "sine 440 sine 660";
    if (!run("sox -D -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) +
             " -b 16 " + quoted(file) + " synth " + std::to_string(seconds) + " " + tones +
             " vol 0.5"))
        ADD_FAILURE() << "sox could not write " << name;
    return file;
}

} // namespace vantrel::testing
