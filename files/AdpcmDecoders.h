// Decoders of the two 4-bit ADPCM formats of WAVE files: Microsoft ADPCM (format tag 2) and
// IMA/DVI ADPCM (format tag 0x11). Each decodes one block of a file into interleaved 16-bit
// samples; an incomplete last block yields the samples its bytes hold. They keep no state
// between blocks, allocate nothing and never read or write outside the areas given.
#pragma once

#include "MMUtils.h"

#include <cstdint>

namespace vantrel {

inline constexpr std::uint16_t WAVE_FORMAT_ADPCM = 0x0002;
inline constexpr std::uint16_t WAVE_FORMAT_IMA_ADPCM = 0x0011;

// Whether `format` is Microsoft ADPCM this decoder handles: 4 bits per sample, 1 to 4 channels,
// a block that holds its headers, and the seven standard coefficient pairs.
bool IsStandardMsAdpcm(const TWaveFormatEx& format);
// Whether `format` is IMA ADPCM this decoder handles: 4 bits, 1 or 2 channels, blocks of whole
// 4-byte words per channel after the headers.
bool IsSupportedImaAdpcm(const TWaveFormatEx& format);

// Sample frames one full block of `format` decodes to (for either ADPCM format above).
std::uint32_t AdpcmSamplesPerBlock(const TWaveFormatEx& format);

// Decodes the `bytes` bytes of one block at `block` (at most nBlockAlign of `format`) into
// interleaved samples at `out`, which holds AdpcmSamplesPerBlock frames. Returns the frames
// written; 0 when the bytes do not even hold the block headers.
std::uint32_t DecodeMsAdpcmBlock(const TWaveFormatEx& format, const std::uint8_t* block,
                                 std::uint32_t bytes, std::int16_t* out);
std::uint32_t DecodeImaAdpcmBlock(const TWaveFormatEx& format, const std::uint8_t* block,
                                  std::uint32_t bytes, std::int16_t* out);

} // namespace vantrel
