// TMMADPCMConverter: decodes Microsoft ADPCM and IMA ADPCM to PCM with the project's own
// decoders (files/AdpcmDecoders.h), pulled block by block; any other format passes through.
#pragma once

#include "MMACMCvt.h"

#include <cstdint>
#include <vector>

namespace vantrel {

class EMMADPCMError : public EMMConverterError {
public:
    using EMMConverterError::EMMConverterError;
};

class TMMADPCMConverter : public TMMCustomConverter {
public:
    TMMADPCMConverter() = default;
    ~TMMADPCMConverter() override;

    TMMBits GetBitLength() const { return bitLength_; }
    // Bits of the PCM it decodes to; 16-bit samples are reduced to 8 bits when asked.
    void SetBitLength(TMMBits bits);

    // Whether this converter decodes `format` itself.
    static bool Decodes(const TWaveFormatEx& format);

protected:
    TMMWaveFormatPtr chooseDestination() override;
    bool canConvert(const TWaveFormatEx& source, const TWaveFormatEx& destination) override;
    std::uint32_t openConversion() override;
    void closeConversion() override;
    std::uint32_t convertSource(const char* data, std::uint32_t bytes, bool end) override;
    void resetConversion() override;
    bool holdsSource() const override { return carried_ > 0; }
    [[noreturn]] void raiseConversionError() const override;

private:
    // Decodes one block (full, or the incomplete last one) and appends its PCM to the decoded
    // area at `offset`; returns the bytes appended.
    std::uint32_t decodeBlock(const std::uint8_t* block, std::uint32_t bytes, std::uint32_t offset);

    TMMBits bitLength_ = b16Bit;
    std::vector<std::uint8_t> carry_;   // an incomplete block waiting for its rest
    std::uint32_t carried_ = 0;         // bytes in carry_
    std::vector<std::int16_t> samples_; // one block's decoded samples
};

} // namespace vantrel
