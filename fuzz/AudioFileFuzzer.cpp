// Feeds arbitrary bytes to the audio file source as a file named ".mp3" or ".wav" (by the first
// byte), which reaches the MPEG decoder, our ADPCM decoders and the codec streams. What loads
// must play to its end, seek and play again within bounds; what does not must be refused with
// an engine exception.
#include "FuzzRequire.h"
#include "MMAudio.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

using namespace vantrel;

constexpr int MaxPulls = 4000;
constexpr std::uint32_t PullBytes = 4096;

void notifyChain(TMMDSPComponent& top, void (TMMDSPComponent::*notification)()) {
    for (TMMDSPComponent* component = &top; component != nullptr;
         component = component->GetOutput())
        (component->*notification)();
}

// Pulls until the run ends; the bytes delivered.
std::uint64_t playToEnd(TMMAudioFile& audio, PWaveHdr buffer) {
    std::uint64_t total = 0;
    for (int pull = 0; pull < MaxPulls; ++pull) {
        bool more = false;
        buffer->wh.dwBytesRecorded = 0;
        audio.BufferLoad(buffer, more);
        require(buffer->wh.dwBytesRecorded <= buffer->wh.dwBufferLength);
        total += buffer->wh.dwBytesRecorded;
        if (!more || buffer->wh.dwBytesRecorded == 0)
            return total;
    }
    return total;
}

void play(TMMAudioFile& audio) {
    TMMCustomFile* reader = audio.GetReader();
    require(reader != nullptr);
    notifyChain(*reader, &TMMDSPComponent::NotifyOpened);
    notifyChain(*reader, &TMMDSPComponent::NotifyStarted);
    const std::unique_ptr<TMMBufferHeader, void (*)(PWaveHdr)> buffer(
        allocateBuffer(PullBytes), [](PWaveHdr header) { freeBuffer(header); });
    playToEnd(audio, buffer.get());
    audio.SetPosition(audio.GetFileLength() / 2);
    require(audio.GetPosition() >= 0 && audio.GetPosition() <= audio.GetFileLength());
    playToEnd(audio, buffer.get());
    notifyChain(*reader, &TMMDSPComponent::NotifyClosed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string base = "/tmp/vantrel-audio-fuzz-" + std::to_string(::getpid());
    const std::string name = base + (size > 0 && data[0] % 2 == 0 ? ".mp3" : ".wav");
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    TMMAudioFile audio;
    try {
        audio.SetFileName(name);
    } catch (const EMMError&) {
        require(audio.GetReader() == nullptr);
        return 0;
    }
    try {
        play(audio);
    } catch (const EMMError&) {
        // A clear refusal at open or during playback (for example a format nothing converts).
    }
    return 0;
}
