#include "AdpcmDecoders.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace vantrel {

namespace {

constexpr int MaxMsChannels = 4;
constexpr int MaxImaChannels = 2;
constexpr std::uint32_t MsHeaderBytes = 7;  // per channel: predictor, delta, two samples
constexpr std::uint32_t ImaHeaderBytes = 4; // per channel: sample, step index, reserved

constexpr std::int32_t MaxMsDelta = std::numeric_limits<std::int32_t>::max() / 768;
constexpr std::array<std::int32_t, 16> msAdaptation = {230, 230, 230, 230, 307, 409, 512, 614,
                                                       768, 614, 512, 409, 307, 230, 230, 230};
constexpr std::array<std::array<std::int16_t, 2>, 7> msCoefficients = {
    {{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}}};

constexpr std::array<std::int32_t, 89> imaSteps = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr std::array<std::int32_t, 16> imaIndexChange = {-1, -1, -1, -1, 2, 4, 6, 8,
                                                         -1, -1, -1, -1, 2, 4, 6, 8};

std::int16_t clamp16(std::int32_t value) {
    return static_cast<std::int16_t>(std::clamp(value, -32768, 32767));
}

std::int16_t s16At(const std::uint8_t* p) {
    return static_cast<std::int16_t>(p[0] | p[1] << 8);
}

std::uint16_t u16At(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

const std::uint8_t* extraBytes(const TWaveFormatEx& format) {
    return reinterpret_cast<const std::uint8_t*>(&format) + sizeof(TWaveFormatEx);
}

// The block's sample count stated in the record when it is plausible, else what the block
// holds.
std::uint32_t statedOr(const TWaveFormatEx& format, std::uint32_t held, std::uint32_t least) {
    if (format.cbSize < 2)
        return held;
    const std::uint32_t stated = u16At(extraBytes(format));
    return stated >= least && stated <= held ? stated : held;
}

// state of one Microsoft ADPCM channel: coefficient pair, step (delta), last two samples
struct MsChannel {
    std::int32_t coef1, coef2, delta, sample1, sample2;

    std::int16_t decode(int code) {
        const std::int32_t signedCode = code >= 8 ? code - 16 : code;
        // The prediction is floored (an arithmetic shift), as the format's reference does.
        const std::int32_t predicted = (sample1 * coef1 + sample2 * coef2) >> 8;
        const std::int16_t sample = clamp16(predicted + signedCode * delta);
        sample2 = sample1;
        sample1 = sample;
        // Damaged data can drive the step up without end; keep its product within 32 bits.
        delta =
            std::clamp((msAdaptation[static_cast<std::size_t>(code)] * delta) >> 8, 16, MaxMsDelta);
        return sample;
    }
};

// state of one IMA ADPCM channel: predicted sample and step index
struct ImaChannel {
    std::int32_t predictor, index;

    std::int16_t decode(int code) {
        const std::int32_t step = imaSteps[static_cast<std::size_t>(index)];
        std::int32_t difference = step >> 3;
        if ((code & 4) != 0)
            difference += step;
        if ((code & 2) != 0)
            difference += step >> 1;
        if ((code & 1) != 0)
            difference += step >> 2;
        predictor = clamp16((code & 8) != 0 ? predictor - difference : predictor + difference);
        index = std::clamp(index + imaIndexChange[static_cast<std::size_t>(code)], 0, 88);
        return static_cast<std::int16_t>(predictor);
    }
};

std::uint32_t msHeldSamples(const TWaveFormatEx& format) {
    const std::uint32_t channels = format.nChannels;
    return (format.nBlockAlign - MsHeaderBytes * channels) * 2 / channels + 2;
}

std::uint32_t imaHeldSamples(const TWaveFormatEx& format) {
    const std::uint32_t channels = format.nChannels;
    return (format.nBlockAlign - ImaHeaderBytes * channels) * 2 / channels + 1;
}

} // namespace

bool IsStandardMsAdpcm(const TWaveFormatEx& format) {
    constexpr std::uint16_t ExtraBytes = 4 + 7 * 4; // samples per block, count, pairs
    if (format.wFormatTag != WAVE_FORMAT_ADPCM || format.wBitsPerSample != 4 ||
        format.nChannels < 1 || format.nChannels > MaxMsChannels ||
        format.nBlockAlign < MsHeaderBytes * format.nChannels || format.cbSize < ExtraBytes)
        return false;
    const std::uint8_t* extra = extraBytes(format);
    if (u16At(extra + 2) != msCoefficients.size())
        return false;
    for (std::size_t i = 0; i < msCoefficients.size(); ++i)
        if (s16At(extra + 4 + 4 * i) != msCoefficients[i][0] ||
            s16At(extra + 6 + 4 * i) != msCoefficients[i][1])
            return false;
    return true;
}

bool IsSupportedImaAdpcm(const TWaveFormatEx& format) {
    const std::uint32_t channels = format.nChannels;
    return format.wFormatTag == WAVE_FORMAT_IMA_ADPCM && format.wBitsPerSample == 4 &&
           channels >= 1 && channels <= MaxImaChannels &&
           format.nBlockAlign >= ImaHeaderBytes * channels &&
           format.nBlockAlign % (4 * channels) == 0;
}

std::uint32_t AdpcmSamplesPerBlock(const TWaveFormatEx& format) {
    // A Microsoft ADPCM block always carries its two header samples.
    return format.wFormatTag == WAVE_FORMAT_ADPCM ? statedOr(format, msHeldSamples(format), 2)
                                                  : statedOr(format, imaHeldSamples(format), 1);
}

std::uint32_t DecodeMsAdpcmBlock(const TWaveFormatEx& format, const std::uint8_t* block,
                                 std::uint32_t bytes, std::int16_t* out) {
    const std::uint32_t channels = format.nChannels;
    if (bytes < MsHeaderBytes * channels)
        return 0;
    std::array<MsChannel, MaxMsChannels> state{};
    for (std::uint32_t c = 0; c < channels; ++c) {
        const std::size_t predictor = std::min<std::size_t>(block[c], msCoefficients.size() - 1);
        state[c].coef1 = msCoefficients[predictor][0];
        state[c].coef2 = msCoefficients[predictor][1];
        state[c].delta = s16At(block + channels + 2 * c);
        state[c].sample1 = s16At(block + 3 * channels + 2 * c);
        state[c].sample2 = s16At(block + 5 * channels + 2 * c);
        // The block's first two samples are the history the header carries, oldest first.
        out[c] = static_cast<std::int16_t>(state[c].sample2);
        out[channels + c] = static_cast<std::int16_t>(state[c].sample1);
    }
    const std::uint32_t frames = std::min(AdpcmSamplesPerBlock(format),
                                          (bytes - MsHeaderBytes * channels) * 2 / channels + 2);
    // Codes run high nibble first and cycle through the channels.
    const std::uint8_t* codes = block + MsHeaderBytes * channels;
    const std::uint32_t count = (frames - 2) * channels;
    for (std::uint32_t i = 0; i < count; ++i) {
        const int code = (i % 2 == 0 ? codes[i / 2] >> 4 : codes[i / 2]) & 0x0F;
        out[2 * channels + i] = state[i % channels].decode(code);
    }
    return frames;
}

std::uint32_t DecodeImaAdpcmBlock(const TWaveFormatEx& format, const std::uint8_t* block,
                                  std::uint32_t bytes, std::int16_t* out) {
    const std::uint32_t channels = format.nChannels;
    if (bytes < ImaHeaderBytes * channels)
        return 0;
    std::array<ImaChannel, MaxImaChannels> state{};
    for (std::uint32_t c = 0; c < channels; ++c) {
        state[c].predictor = s16At(block + ImaHeaderBytes * c);
        state[c].index = std::min<std::int32_t>(block[ImaHeaderBytes * c + 2], 88);
        out[c] = static_cast<std::int16_t>(state[c].predictor);
    }
    // After the headers each channel has a 4-byte word of 8 codes in turn, low nibble first.
    const std::uint32_t words = (bytes - ImaHeaderBytes * channels) / (4 * channels);
    const std::uint32_t frames = std::min(AdpcmSamplesPerBlock(format), words * 8 + 1);
    const std::uint8_t* data = block + ImaHeaderBytes * channels;
    for (std::uint32_t frame = 1; frame < frames; ++frame) {
        const std::uint32_t n = frame - 1; // code number within the channel
        for (std::uint32_t c = 0; c < channels; ++c) {
            const std::uint8_t byte = data[(n / 8) * 4 * channels + c * 4 + (n % 8) / 2];
            const int code = (n % 2 == 0 ? byte : byte >> 4) & 0x0F;
            out[frame * channels + c] = state[c].decode(code);
        }
    }
    return frames;
}

} // namespace vantrel
