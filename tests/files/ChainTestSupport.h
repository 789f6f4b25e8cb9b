// Helpers of the conversion and audio file tests: buffers that free themselves, a chain driven
// by hand the way a device drives its segment, and 16-bit sample arrays read from raw files.
#pragma once

#include "FileTestSupport.h"
#include "MMDSPObj.h"

#include <cstdint>
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
