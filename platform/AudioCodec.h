// The codec seam: what the format converters ask of a codec framework. It suggests a PCM format
// for any source, tells whether a stream from one format to another can be opened, and runs
// such a stream: whole source blocks in, PCM out, the bytes of an incomplete block left to the
// caller to carry over, a final flush at the end of the data and a reset for a seek.
//
// Built on FFmpeg's libavcodec (decoders) and libswresample (sample format, channel and rate
// conversion), loaded at run time: without them no conversion is possible and every query says
// so. Streams decode a compressed format only to PCM of its own rate and channels; PCM converts
// to PCM of any bits, channels and rate. Encoding is not offered.
#pragma once

#include "MMUtils.h"

#include <cstdint>
#include <memory>

namespace vantrel {

// Loads the codec libraries unless they are loaded; the program calls it at start. True when
// conversion is possible. Later calls return the first answer.
bool LoadAudioCodecs();
// Whether conversion is possible (loads the libraries on first call).
bool AudioCodecsAvailable();

// Fields of a suggestion the caller fixes (acmFormatSuggest's flags).
enum SuggestFields : unsigned {
    SuggestBits = 1,
    SuggestChannels = 2,
    SuggestRate = 4,
};

// A PCM format for data in `source`: its bits when it is PCM of 8 or 16 bits, else 16; its
// channels and rate; except the fields named in `fixed`, which are taken from `suggestion` as
// given. False when the codecs are missing or cannot decode `source`.
bool SuggestPCMFormat(const TWaveFormatEx& source, TWaveFormatEx& suggestion, unsigned fixed);

// Whether a stream from `source` to `destination` can be opened; opens nothing.
bool CanOpenCodecStream(const TWaveFormatEx& source, const TWaveFormatEx& destination);

enum class CodecQuality { RealTime, High };

// One open conversion stream. Not thread-safe; one thread converts while the owner resets it
// only between conversions. Not copyable.
class CodecStream {
public:
    // Opens a stream or returns null when it cannot be opened. Allocates its working memory.
    static std::unique_ptr<CodecStream>
    open(const TWaveFormatEx& source, const TWaveFormatEx& destination, CodecQuality quality);
    virtual ~CodecStream() = default;
    CodecStream(const CodecStream&) = delete;
    CodecStream& operator=(const CodecStream&) = delete;

    struct Result {
        std::uint32_t consumed; // source bytes used, whole blocks
        std::uint32_t produced; // destination bytes written
    };

    // Destination bytes that `sourceBytes` source bytes can produce at most (acmStreamSize).
    virtual std::uint32_t destinationSize(std::uint32_t sourceBytes) const = 0;
    // Converts every whole source block of `source` and writes at most `capacity` bytes to
    // `destination`. Output that does not fit stays in the stream and comes first next time.
    // With `end`, what remains (an incomplete last block, the codec's and the resampler's delay)
    // is flushed as well; later calls produce nothing new until reset.
    virtual Result convert(const char* source, std::uint32_t sourceBytes, char* destination,
                           std::uint32_t capacity, bool end) = 0;
    // Whether converted output waits to be taken.
    virtual bool holdsOutput() const = 0;
    // Drops everything held and starts afresh (after a seek).
    virtual void reset() = 0;

protected:
    CodecStream() = default;
};

} // namespace vantrel
