// Pads the last, short buffer of a rendered stream with silence before the equalizer. The
// equalizer's FFT filter delays the stream by a quarter transform and, handed a buffer that is
// not a whole number of its blocks, falls a block behind and fills the gap with silence; at the
// end of a file that silence would land inside the audio and the delayed tail would be cut.
// Rounding the last buffer up to whole blocks that also cover the delay keeps the end whole.
#pragma once

#include "MMDSPObj.h"

#include <cstdint>

namespace vantrel {

class StreamEndPadder : public TMMDSPComponent {
public:
    // `capacityBytes`: room of the buffers that pass (the trigger's buffer size);
    // `blockFrames` and `delayFrames`: the filter's block length and delay behind it.
    StreamEndPadder(std::uint32_t capacityBytes, std::uint32_t blockFrames,
                    std::uint32_t delayFrames);

    // Buffers shorter than the capacity (only the last one) grow by silence, within the room.
    void BufferReady(PWaveHdr lpWaveHdr) override;

private:
    std::uint32_t capacityBytes_;
    std::uint32_t blockFrames_;
    std::uint32_t delayFrames_;
};

} // namespace vantrel
