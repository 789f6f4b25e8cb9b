#include "MMADCvt.h"

#include "AdpcmDecoders.h"

#include <algorithm>
#include <cstring>

namespace vantrel {

namespace {

// Source bytes pulled at once, rounded down to whole blocks.
constexpr std::uint32_t AdpcmSourceBytes = 4096;

} // namespace

TMMADPCMConverter::~TMMADPCMConverter() = default;

void TMMADPCMConverter::SetBitLength(TMMBits bits) {
    checkNotOpened<EMMADPCMError>();
    bitLength_ = bits;
    recompute();
}

bool TMMADPCMConverter::Decodes(const TWaveFormatEx& format) {
    return (IsStandardMsAdpcm(format) || IsSupportedImaAdpcm(format)) &&
           format.nBlockAlign <= AdpcmSourceBytes;
}

TMMWaveFormatPtr TMMADPCMConverter::chooseDestination() {
    const TWaveFormatEx* source = GetSourceFormat();
    if (source == nullptr || source->wFormatTag == WAVE_FORMAT_PCM || !Decodes(*source))
        return nullptr;
    TWaveFormatEx pcm{};
    BuildPCMFormat(pcm, bitsOf(bitLength_), source->nChannels, source->nSamplesPerSec);
    return CopyWaveFormat(&pcm);
}

bool TMMADPCMConverter::canConvert(const TWaveFormatEx& source, const TWaveFormatEx&) {
    return Decodes(source);
}

std::uint32_t TMMADPCMConverter::openConversion() {
    const TWaveFormatEx& source = *GetSourceFormat();
    const std::uint32_t block = source.nBlockAlign;
    const std::uint32_t blocks = AdpcmSourceBytes / block;
    const std::uint32_t frames = AdpcmSamplesPerBlock(source);
    // One block more than a pull holds: the bytes carried from the last pull complete one.
    decoded().resize(std::size_t{frames} * GetDestinationFormat()->nBlockAlign * (blocks + 1));
    samples_.resize(std::size_t{frames} * source.nChannels);
    carry_.resize(block);
    carried_ = 0;
    return blocks * block;
}

void TMMADPCMConverter::closeConversion() {
    carry_.clear();
    samples_.clear();
    carried_ = 0;
}

void TMMADPCMConverter::resetConversion() {
    carried_ = 0;
}

std::uint32_t TMMADPCMConverter::decodeBlock(const std::uint8_t* block, std::uint32_t bytes,
                                             std::uint32_t offset) {
    const TWaveFormatEx& source = *GetSourceFormat();
    const std::uint32_t frames = source.wFormatTag == WAVE_FORMAT_ADPCM
                                     ? DecodeMsAdpcmBlock(source, block, bytes, samples_.data())
                                     : DecodeImaAdpcmBlock(source, block, bytes, samples_.data());
    const std::size_t count = std::size_t{frames} * source.nChannels;
    char* out = decoded().data() + offset;
    if (bitLength_ == b16Bit) {
        std::memcpy(out, samples_.data(), count * sizeof(std::int16_t));
        return static_cast<std::uint32_t>(count * sizeof(std::int16_t));
    }
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<char>(samples_[i] / 256 + 128); // division truncates towards 0
    return static_cast<std::uint32_t>(count);
}

std::uint32_t TMMADPCMConverter::convertSource(const char* data, std::uint32_t bytes, bool end) {
    const std::uint32_t block = GetSourceFormat()->nBlockAlign;
    const auto* in = reinterpret_cast<const std::uint8_t*>(data);
    std::uint32_t produced = 0;
    if (carried_ > 0 && bytes > 0) {
        const std::uint32_t taken = std::min(block - carried_, bytes);
        std::memcpy(carry_.data() + carried_, in, taken);
        carried_ += taken;
        in += taken;
        bytes -= taken;
        if (carried_ == block) {
            produced += decodeBlock(carry_.data(), block, produced);
            carried_ = 0;
        }
    }
    for (; bytes >= block; in += block, bytes -= block)
        produced += decodeBlock(in, block, produced);
    if (bytes > 0) {
        std::memcpy(carry_.data() + carried_, in, bytes);
        carried_ += bytes;
    }
    if (end && carried_ > 0) {
        produced += decodeBlock(carry_.data(), carried_, produced);
        carried_ = 0;
    }
    decodedFilled(produced);
    return produced;
}

void TMMADPCMConverter::raiseConversionError() const {
    throw EMMADPCMError(ConverterErrorText);
}

} // namespace vantrel
