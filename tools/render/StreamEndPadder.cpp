#include "StreamEndPadder.h"

#include <algorithm>
#include <cstring>

namespace vantrel {

StreamEndPadder::StreamEndPadder(std::uint32_t capacityBytes, std::uint32_t blockFrames,
                                 std::uint32_t delayFrames)
    : capacityBytes_(capacityBytes), blockFrames_(blockFrames), delayFrames_(delayFrames) {
    publishLinks(true, true);
}

void StreamEndPadder::BufferReady(PWaveHdr lpWaveHdr) {
    const TWaveFormatEx* format = GetWaveFormat();
    const std::uint32_t bytes = lpWaveHdr->wh.dwBytesRecorded;
    if (format != nullptr && format->nBlockAlign > 0 && bytes > 0 && bytes < capacityBytes_) {
        const std::uint32_t frameBytes = format->nBlockAlign;
        const std::uint32_t wanted = bytes / frameBytes + delayFrames_;
        const std::uint32_t padded = (wanted + blockFrames_ - 1) / blockFrames_ * blockFrames_;
        const std::uint32_t room = capacityBytes_ / frameBytes / blockFrames_ * blockFrames_;
        const std::uint32_t total = std::max(std::min(padded, room) * frameBytes, bytes);
        std::memset(lpWaveHdr->wh.lpData + bytes, 0, total - bytes);
        lpWaveHdr->wh.dwBytesRecorded = total;
        lpWaveHdr->wh.dwBufferLength = std::max(lpWaveHdr->wh.dwBufferLength, total);
    }
    TMMDSPComponent::BufferReady(lpWaveHdr);
}

} // namespace vantrel
