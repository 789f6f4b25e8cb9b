// Format conversion to PCM. TMMCustomConverter holds what every converter shares: the source
// format its Input delivers, the destination it converts to, the pull loop that refills a
// caller's buffer from converted source blocks, and pass-through when nothing is to be done.
// TMMACMConverter converts through chains of codec streams (platform/AudioCodec.h) to a
// requested destination, pulled or pushed; TMMPCMConverter picks a PCM destination for whatever
// its Input delivers.
//
// Formats, properties and the life cycle run on the main thread; BufferLoad and BufferReady on
// the thread that drives the chain. Buffers are allocated when the converter opens.
#pragma once

#include "AudioCodec.h"
#include "MMDSPObj.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace vantrel {

class EMMConverterError : public EMMError {
public:
    using EMMError::EMMError;
};

// "Unable to convert to destination format"
extern const char* const ConverterErrorText;

class TMMCustomConverter : public TMMDSPComponent {
public:
    TMMCustomConverter();
    ~TMMCustomConverter() override;

    bool GetEnabled() const { return enabled_; }
    void SetEnabled(bool enabled);

    // The format the Input delivers (owned; null for none) and the one leaving the converter
    // when it converts (null for none).
    const TWaveFormatEx* GetSourceFormat() const { return source_.get(); }
    const TWaveFormatEx* GetDestinationFormat() const { return destination_.get(); }
    // Source and destination differ in tag, bits, channels or rate.
    bool GetConversionNeeded() const { return needed_; }
    bool GetConversionPossible() const { return possible_; }

    void InputFormatChanged(const TWaveFormatEx* format) override;
    void NotifyOpened() override;
    void NotifyClosed() override;
    void NotifyStarted() override;
    void NotifyReset() override;
    // Fills the caller's buffer with converted data, pulling source blocks from the Input as
    // needed; passes the pull through when no conversion is active.
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

protected:
    // Recomputes destination, flags and the format this converter delivers.
    void recompute();
    bool conversionActive() const { return buffersOpen_ && needed_ && possible_; }

    // --- What a converter class decides ----------------------------------------------------
    // The destination for the current source, which may be absent (none: pass-through).
    virtual TMMWaveFormatPtr chooseDestination() = 0;
    // Whether source → destination can be converted; called only when they differ.
    virtual bool canConvert(const TWaveFormatEx& source, const TWaveFormatEx& destination) = 0;
    // Builds the conversion state for an open; returns the bytes of one source pull.
    virtual std::uint32_t openConversion() = 0;
    virtual void closeConversion() = 0;
    // Converts `bytes` new source bytes (after any carried from the last call) into the
    // decoded area; with `end`, flushes what is held. Returns the bytes produced.
    virtual std::uint32_t convertSource(const char* data, std::uint32_t bytes, bool end) = 0;
    // Drops every held byte (after a seek).
    virtual void resetConversion() = 0;
    // Whether source bytes wait for the next call.
    virtual bool holdsSource() const = 0;
    [[noreturn]] virtual void raiseConversionError() const = 0;

    // The decoded area a converter writes into; its capacity is set at open.
    std::vector<char>& decoded() { return decoded_; }
    // Marks the first `bytes` bytes of the decoded area as new, none of them handed on yet.
    void decodedFilled(std::uint32_t bytes) {
        fill_ = bytes;
        consumed_ = 0;
    }
    // Copies up to `bytes` decoded bytes not yet handed on to `destination`; returns the count.
    std::uint32_t takeDecoded(char* destination, std::uint32_t bytes);

private:
    void freeBuffers();
    // Pulls one source block from the Input into the pull record, passing the caller's looping
    // fields up and back.
    void pullSource(TMMBufferHeader& caller);

    TMMWaveFormatPtr source_;
    TMMWaveFormatPtr destination_;
    bool enabled_ = true;
    bool needed_ = false;
    bool possible_ = false;
    bool buffersOpen_ = false;
    bool inputExhausted_ = false;
    bool inputHasMore_ = false;
    PWaveHdr sourceBuffer_ = nullptr; // the record the converter pulls its Input with
    std::vector<char> decoded_;
    std::uint32_t fill_ = 0;     // decoded bytes held
    std::uint32_t consumed_ = 0; // of them, bytes already handed on
};

enum TMMConvertQuality { cqHigh, cqLow };

// One open codec stream of a conversion chain; the destination of a stage feeds the next.
struct TMMConversionStage {
    TWaveFormatEx sourceFormat;
    TWaveFormatEx destinationFormat;
    std::unique_ptr<CodecStream> stream;
    std::vector<char> source;      // carried bytes first, then the new ones
    std::uint32_t carried = 0;     // bytes left over from the last call
    std::vector<char> destination; // produced bytes, the next stage's input
};

class TMMACMConverter : public TMMCustomConverter {
public:
    TMMACMConverter();
    ~TMMACMConverter() override;

    TMMConvertQuality GetQuality() const { return quality_; }
    void SetQuality(TMMConvertQuality quality);

    // Takes `format` as the requested destination (a copy; null for none) and recomputes.
    void SetWaveFormat(const TWaveFormatEx* format) override;
    // Converts pushed data and sends it downstream in pieces of BufferSize bytes, each in the
    // converter's own buffer record; passes it on unchanged when no conversion is active.
    void BufferReady(PWaveHdr lpWaveHdr) override;

    // The formats of the chain built at the last open, in order (for inspection).
    std::vector<TWaveFormatEx> StageFormats() const;

protected:
    TMMWaveFormatPtr chooseDestination() override;
    bool canConvert(const TWaveFormatEx& source, const TWaveFormatEx& destination) override;
    std::uint32_t openConversion() override;
    void closeConversion() override;
    std::uint32_t convertSource(const char* data, std::uint32_t bytes, bool end) override;
    void resetConversion() override;
    bool holdsSource() const override;
    [[noreturn]] void raiseConversionError() const override;

private:
    // The formats from `source` to `destination`, one stage each; empty when impossible.
    std::vector<TWaveFormatEx> planChain(const TWaveFormatEx& source,
                                         const TWaveFormatEx& destination) const;
    bool streamPossible(const TWaveFormatEx& source, const TWaveFormatEx& destination) const;
    // Converts `bytes` new bytes through one stage into `out` (`capacity` bytes); returns the
    // bytes produced.
    std::uint32_t runStage(TMMConversionStage& stage, const char* data, std::uint32_t bytes,
                           bool end, char* out, std::uint32_t capacity);
    // Sends the decoded bytes downstream in the converter's own buffer record.
    void sendDecoded();

    TMMWaveFormatPtr requested_;
    TMMConvertQuality quality_ = cqLow;
    std::vector<TMMConversionStage> stages_;
    PWaveHdr pushBuffer_ = nullptr;
};

enum TMMRequiredParam { rpBits, rpChannels, rpSampleRate };
// A set of TMMRequiredParam, one bit per value.
using TMMRequiredParams = unsigned;
inline constexpr TMMRequiredParams AllRequiredParams =
    1u << rpBits | 1u << rpChannels | 1u << rpSampleRate;

class TMMPCMConverter : public TMMACMConverter {
public:
    static constexpr std::int32_t MinSampleRate = 8000;  // Hz
    static constexpr std::int32_t MaxSampleRate = 88200; // Hz

    TMMPCMConverter();

    bool GetAutoConvert() const { return autoConvert_; }
    void SetAutoConvert(bool autoConvert);
    std::int32_t GetSampleRate() const { return sampleRate_; }
    // Hz, clamped to MinSampleRate ... MaxSampleRate.
    void SetSampleRate(std::int32_t rate);
    TMMBits GetBitLength() const { return bitLength_; }
    void SetBitLength(TMMBits bits);
    TMMMode GetMode() const { return mode_; }
    // mMono or mStereo; other modes are ignored.
    void SetMode(TMMMode mode);
    TMMRequiredParams GetRequired() const { return required_; }
    void SetRequired(TMMRequiredParams required);

    // Refuses a format that is not valid PCM with EMMConverterError "Invalid WaveFormat".
    void SetWaveFormat(const TWaveFormatEx* format) override;

protected:
    TMMWaveFormatPtr chooseDestination() override;

private:
    bool autoConvert_ = true;
    std::int32_t sampleRate_ = 11025;
    TMMBits bitLength_ = b8Bit;
    TMMMode mode_ = mMono;
    TMMRequiredParams required_ = AllRequiredParams;
};

} // namespace vantrel
