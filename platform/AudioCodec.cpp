#include "AudioCodec.h"

#include "DynamicLibrary.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/macros.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstring>
#include <vector>

namespace vantrel {

namespace {

constexpr std::uint16_t TagMsAdpcm = 0x0002;
constexpr std::uint16_t TagIeeeFloat = 0x0003;
constexpr std::uint16_t TagALaw = 0x0006;
constexpr std::uint16_t TagMuLaw = 0x0007;
constexpr std::uint16_t TagImaAdpcm = 0x0011;
constexpr std::uint16_t TagGsm610 = 0x0031;
constexpr std::uint16_t TagExtensible = 0xFFFE;

// Bytes of PCM-like source data handed to the decoder at once.
constexpr std::uint32_t PcmPacketBytes = 4096;
// Upper bound of one stream's destination size; output beyond it waits in the stream.
constexpr std::uint32_t MaxDestinationBytes = 1u << 20;

// The FFmpeg functions the seam calls, resolved by name from the libraries of the major
// versions it was compiled against.
struct FfmpegApi {
    DynamicLibrary avutil, avcodec, swresample;
    decltype(&::avcodec_find_decoder) findDecoder;
    decltype(&::avcodec_alloc_context3) allocContext;
    decltype(&::avcodec_free_context) freeContext;
    decltype(&::avcodec_open2) openCodec;
    decltype(&::avcodec_send_packet) sendPacket;
    decltype(&::avcodec_receive_frame) receiveFrame;
    decltype(&::avcodec_flush_buffers) flushBuffers;
    decltype(&::av_packet_alloc) packetAlloc;
    decltype(&::av_packet_free) packetFree;
    decltype(&::av_frame_alloc) frameAlloc;
    decltype(&::av_frame_free) frameFree;
    decltype(&::av_frame_unref) frameUnref;
    decltype(&::av_channel_layout_default) defaultLayout;
    decltype(&::av_channel_layout_uninit) uninitLayout;
    decltype(&::av_mallocz) mallocz;
    decltype(&::av_opt_set_int) optSetInt;
    decltype(&::av_log_set_level) logSetLevel;
    decltype(&::swr_alloc_set_opts2) swrAlloc;
    decltype(&::swr_init) swrInit;
    decltype(&::swr_free) swrFree;
    decltype(&::swr_convert) swrConvert;
    decltype(&::swr_get_out_samples) swrOutSamples;

    bool load() {
        const bool libraries =
            avutil.load("libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR)) &&
            avcodec.load("libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR)) &&
            swresample.load("libswresample.so." AV_STRINGIFY(LIBSWRESAMPLE_VERSION_MAJOR));
        return libraries && avcodec.resolve(findDecoder, "avcodec_find_decoder") &&
               avcodec.resolve(allocContext, "avcodec_alloc_context3") &&
               avcodec.resolve(freeContext, "avcodec_free_context") &&
               avcodec.resolve(openCodec, "avcodec_open2") &&
               avcodec.resolve(sendPacket, "avcodec_send_packet") &&
               avcodec.resolve(receiveFrame, "avcodec_receive_frame") &&
               avcodec.resolve(flushBuffers, "avcodec_flush_buffers") &&
               avcodec.resolve(packetAlloc, "av_packet_alloc") &&
               avcodec.resolve(packetFree, "av_packet_free") &&
               avutil.resolve(frameAlloc, "av_frame_alloc") &&
               avutil.resolve(frameFree, "av_frame_free") &&
               avutil.resolve(frameUnref, "av_frame_unref") &&
               avutil.resolve(defaultLayout, "av_channel_layout_default") &&
               avutil.resolve(uninitLayout, "av_channel_layout_uninit") &&
               avutil.resolve(mallocz, "av_mallocz") &&
               avutil.resolve(optSetInt, "av_opt_set_int") &&
               avutil.resolve(logSetLevel, "av_log_set_level") &&
               swresample.resolve(swrAlloc, "swr_alloc_set_opts2") &&
               swresample.resolve(swrInit, "swr_init") && swresample.resolve(swrFree, "swr_free") &&
               swresample.resolve(swrConvert, "swr_convert") &&
               swresample.resolve(swrOutSamples, "swr_get_out_samples");
    }
};

// The loaded functions, or null when the libraries are missing or lack a function.
const FfmpegApi* ffmpeg() {
    static const FfmpegApi* const api = []() -> const FfmpegApi* {
        // Loaded for the life of the process and never unloaded: unloading at exit would drop
        // what the libraries' own dependencies still hold.
        auto* loaded = new FfmpegApi;
        if (!loaded->load())
            return nullptr;
        // Damaged input is reported through return codes; the log would only repeat it.
        loaded->logSetLevel(AV_LOG_QUIET);
        return loaded;
    }();
    return api;
}

bool isPcm(const TWaveFormatEx& format) {
    return format.wFormatTag == WAVE_FORMAT_PCM;
}

// The sub-format of a WAVE_FORMAT_EXTENSIBLE record: the first two bytes of its GUID, which
// hold the classic format tag; 0 when the record is too short.
std::uint16_t extensibleTag(const TWaveFormatEx& format) {
    constexpr std::uint16_t ExtraBytes = 22; // valid bits, channel mask, sub-format GUID
    if (format.cbSize < ExtraBytes)
        return 0;
    std::uint16_t tag = 0;
    std::memcpy(&tag, reinterpret_cast<const char*>(&format) + sizeof(TWaveFormatEx) + 6,
                sizeof tag);
    return tag;
}

AVCodecID pcmCodec(std::uint16_t bits) {
    switch (bits) {
    case 8:
        return AV_CODEC_ID_PCM_U8;
    case 16:
        return AV_CODEC_ID_PCM_S16LE;
    case 24:
        return AV_CODEC_ID_PCM_S24LE;
    case 32:
        return AV_CODEC_ID_PCM_S32LE;
    default:
        return AV_CODEC_ID_NONE;
    }
}

AVCodecID codecFor(const TWaveFormatEx& format, std::uint16_t tag) {
    switch (tag) {
    case WAVE_FORMAT_PCM:
        return pcmCodec(format.wBitsPerSample);
    case TagIeeeFloat:
        return format.wBitsPerSample == 32   ? AV_CODEC_ID_PCM_F32LE
               : format.wBitsPerSample == 64 ? AV_CODEC_ID_PCM_F64LE
                                             : AV_CODEC_ID_NONE;
    case TagALaw:
        return AV_CODEC_ID_PCM_ALAW;
    case TagMuLaw:
        return AV_CODEC_ID_PCM_MULAW;
    case TagMsAdpcm:
        return AV_CODEC_ID_ADPCM_MS;
    case TagImaAdpcm:
        return AV_CODEC_ID_ADPCM_IMA_WAV;
    case TagGsm610:
        return AV_CODEC_ID_GSM_MS;
    case TagExtensible:
        return extensibleTag(format) == TagExtensible ? AV_CODEC_ID_NONE
                                                      : codecFor(format, extensibleTag(format));
    default:
        return AV_CODEC_ID_NONE;
    }
}

AVCodecID codecFor(const TWaveFormatEx& format) {
    return codecFor(format, format.wFormatTag);
}

// Codecs whose blocks are single sample frames, which may be decoded many at a time.
bool decodesFramesSingly(AVCodecID codec) {
    return codec == AV_CODEC_ID_PCM_U8 || codec == AV_CODEC_ID_PCM_S16LE ||
           codec == AV_CODEC_ID_PCM_S24LE || codec == AV_CODEC_ID_PCM_S32LE ||
           codec == AV_CODEC_ID_PCM_F32LE || codec == AV_CODEC_ID_PCM_F64LE ||
           codec == AV_CODEC_ID_PCM_ALAW || codec == AV_CODEC_ID_PCM_MULAW;
}

bool sourceUsable(const TWaveFormatEx& format) {
    return format.nChannels >= 1 && format.nChannels <= 8 && format.nSamplesPerSec > 0 &&
           format.nBlockAlign > 0;
}

bool destinationUsable(const TWaveFormatEx& format) {
    return isPcm(format) && (format.wBitsPerSample == 8 || format.wBitsPerSample == 16) &&
           format.nChannels >= 1 && format.nChannels <= 8 && format.nSamplesPerSec >= 1000 &&
           format.nSamplesPerSec <= 384000 &&
           format.nBlockAlign == format.nChannels * format.wBitsPerSample / 8;
}

bool decodable(const TWaveFormatEx& source) {
    const FfmpegApi* api = ffmpeg();
    const AVCodecID codec = codecFor(source);
    return api != nullptr && sourceUsable(source) && codec != AV_CODEC_ID_NONE &&
           api->findDecoder(codec) != nullptr;
}

class FfmpegStream final : public CodecStream {
public:
    FfmpegStream(const FfmpegApi& api, const TWaveFormatEx& source,
                 const TWaveFormatEx& destination, CodecQuality quality)
        : api_(api), source_(source), destination_(destination), quality_(quality),
          codec_(codecFor(source)) {}

    ~FfmpegStream() override {
        api_.swrFree(&resampler_);
        api_.frameFree(&frame_);
        api_.packetFree(&packet_);
        api_.freeContext(&decoder_);
    }

    bool open(const TWaveFormatEx& sourceRecord) {
        const AVCodec* codec = api_.findDecoder(codec_);
        decoder_ = codec != nullptr ? api_.allocContext(codec) : nullptr;
        packet_ = api_.packetAlloc();
        frame_ = api_.frameAlloc();
        if (decoder_ == nullptr || packet_ == nullptr || frame_ == nullptr)
            return false;
        decoder_->sample_rate = static_cast<int>(source_.nSamplesPerSec);
        api_.defaultLayout(&decoder_->ch_layout, source_.nChannels);
        decoder_->block_align = source_.nBlockAlign;
        decoder_->bit_rate = std::int64_t{source_.nAvgBytesPerSec} * 8;
        decoder_->bits_per_coded_sample = source_.wBitsPerSample;
        if (!copyExtraData(sourceRecord) || api_.openCodec(decoder_, codec, nullptr) < 0)
            return false;
        if (decoder_->sample_fmt != AV_SAMPLE_FMT_NONE &&
            !openResampler(
                {decoder_->sample_fmt, decoder_->ch_layout.nb_channels, decoder_->sample_rate}))
            return false;
        pending_.resize(destinationSize(packetBytes(PcmPacketBytes)) * 2);
        return true;
    }

    std::uint32_t destinationSize(std::uint32_t sourceBytes) const override {
        const double sourceFrames = static_cast<double>(sourceBytes) * source_.nSamplesPerSec /
                                    std::max<std::uint32_t>(source_.nAvgBytesPerSec, 1);
        // Room for the longest block a codec may decode plus the resampler's delay.
        const double frames =
            (sourceFrames + 2048.0) * destination_.nSamplesPerSec / source_.nSamplesPerSec + 256.0;
        const double bytes = frames * destination_.nBlockAlign;
        const auto capped =
            static_cast<std::uint32_t>(std::min<double>(bytes, MaxDestinationBytes));
        return capped - capped % destination_.nBlockAlign;
    }

    Result convert(const char* source, std::uint32_t sourceBytes, char* destination,
                   std::uint32_t capacity, bool end) override {
        Result result{0, drain(destination, capacity)};
        const std::uint32_t block = source_.nBlockAlign;
        while (!finished_ && sourceBytes - result.consumed >= block) {
            const std::uint32_t whole = (sourceBytes - result.consumed) / block * block;
            const std::uint32_t bytes = packetBytes(whole);
            decode(source + result.consumed, bytes);
            result.consumed += bytes;
            result.produced += drain(destination + result.produced, capacity - result.produced);
        }
        if (end && !finished_) {
            if (sourceBytes > result.consumed) {
                decode(source + result.consumed, sourceBytes - result.consumed);
                result.consumed = sourceBytes;
            }
            decode(nullptr, 0);
            resample(nullptr, 0);
            finished_ = true;
            result.produced += drain(destination + result.produced, capacity - result.produced);
        }
        return result;
    }

    void reset() override {
        api_.flushBuffers(decoder_);
        if (resampler_ != nullptr)
            api_.swrInit(resampler_);
        pendingBegin_ = pendingEnd_ = 0;
        finished_ = false;
    }

private:
    bool copyExtraData(const TWaveFormatEx& record) {
        if (record.cbSize == 0 || isPcm(record))
            return true;
        auto* extra = static_cast<std::uint8_t*>(
            api_.mallocz(std::size_t{record.cbSize} + AV_INPUT_BUFFER_PADDING_SIZE));
        if (extra == nullptr)
            return false;
        std::memcpy(extra, reinterpret_cast<const char*>(&record) + sizeof(TWaveFormatEx),
                    record.cbSize);
        decoder_->extradata = extra;
        decoder_->extradata_size = record.cbSize;
        return true;
    }

    // What the resampler takes in: the decoder's sample format, channels and rate.
    struct DecodedShape {
        int format = AV_SAMPLE_FMT_NONE;
        int channels = 0;
        int rate = 0;
        bool operator==(const DecodedShape&) const = default;
    };

    // (Re)opens the resampler for decoded data of `shape`; false when it cannot be opened.
    bool openResampler(const DecodedShape& shape) {
        api_.swrFree(&resampler_);
        resamplerInput_ = DecodedShape{};
        if (shape.channels <= 0 || shape.rate <= 0)
            return false;
        AVChannelLayout in{};
        AVChannelLayout out{};
        api_.defaultLayout(&in, shape.channels);
        api_.defaultLayout(&out, destination_.nChannels);
        const AVSampleFormat outFormat =
            destination_.wBitsPerSample == 8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16;
        const int failed = api_.swrAlloc(
            &resampler_, &out, outFormat, static_cast<int>(destination_.nSamplesPerSec), &in,
            static_cast<AVSampleFormat>(shape.format), shape.rate, 0, nullptr);
        api_.uninitLayout(&in);
        api_.uninitLayout(&out);
        if (failed < 0)
            return false;
        if (quality_ == CodecQuality::High)
            api_.optSetInt(resampler_, "filter_size", 64, 0);
        if (api_.swrInit(resampler_) < 0)
            return false;
        resamplerInput_ = shape;
        return true;
    }

    std::uint32_t packetBytes(std::uint32_t wholeBlocks) const {
        return decodesFramesSingly(codec_)
                   ? std::max<std::uint32_t>(
                         std::min(wholeBlocks, PcmPacketBytes) / source_.nBlockAlign *
                             source_.nBlockAlign,
                         std::min<std::uint32_t>(wholeBlocks, source_.nBlockAlign))
                   : std::min<std::uint32_t>(wholeBlocks, source_.nBlockAlign);
    }

    bool holdsOutput() const override { return pendingEnd_ > pendingBegin_; }

    std::uint32_t drain(char* destination, std::uint32_t capacity) {
        const auto bytes = static_cast<std::uint32_t>(
            std::min<std::size_t>(capacity, pendingEnd_ - pendingBegin_));
        std::memcpy(destination, pending_.data() + pendingBegin_, bytes);
        pendingBegin_ += bytes;
        if (pendingBegin_ == pendingEnd_)
            pendingBegin_ = pendingEnd_ = 0;
        return bytes;
    }

    // Decodes one packet (null: the decoder's remaining output) into the pending output. A
    // packet the decoder refuses is dropped: damaged data must not stall the stream.
    void decode(const char* data, std::uint32_t bytes) {
        if (data != nullptr) {
            packet_->data = reinterpret_cast<std::uint8_t*>(const_cast<char*>(data));
            packet_->size = static_cast<int>(bytes);
        }
        if (api_.sendPacket(decoder_, data != nullptr ? packet_ : nullptr) < 0)
            return;
        while (api_.receiveFrame(decoder_, frame_) == 0) {
            // Damaged data can make a decoder change its output on the way; the resampler
            // follows, so that it never reads planes of another shape than it was opened for.
            const DecodedShape shape{frame_->format, frame_->ch_layout.nb_channels,
                                     frame_->sample_rate};
            const bool ready =
                (resampler_ != nullptr && shape == resamplerInput_) || openResampler(shape);
            if (ready)
                resample(const_cast<const std::uint8_t**>(frame_->extended_data),
                         frame_->nb_samples);
            api_.frameUnref(frame_);
        }
    }

    // Converts `frames` decoded frames (none: the resampler's delay) into the pending output.
    void resample(const std::uint8_t** planes, int frames) {
        if (resampler_ == nullptr)
            return;
        const int room = api_.swrOutSamples(resampler_, frames);
        if (room <= 0)
            return;
        const std::size_t needed =
            pendingEnd_ + static_cast<std::size_t>(room) * destination_.nBlockAlign;
        if (needed > pending_.size())
            pending_.resize(needed); // only when a codec decodes longer blocks than foreseen
        std::uint8_t* out = reinterpret_cast<std::uint8_t*>(pending_.data() + pendingEnd_);
        const int made = api_.swrConvert(resampler_, &out, room, planes, frames);
        if (made > 0)
            pendingEnd_ += static_cast<std::size_t>(made) * destination_.nBlockAlign;
    }

    const FfmpegApi& api_;
    const TWaveFormatEx source_;
    const TWaveFormatEx destination_;
    const CodecQuality quality_;
    const AVCodecID codec_;
    AVCodecContext* decoder_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    SwrContext* resampler_ = nullptr;
    DecodedShape resamplerInput_;
    std::vector<char> pending_; // decoded output that did not fit yet
    std::size_t pendingBegin_ = 0;
    std::size_t pendingEnd_ = 0;
    bool finished_ = false; // flushed at the end of the data
};

} // namespace

bool LoadAudioCodecs() {
    return ffmpeg() != nullptr;
}

bool AudioCodecsAvailable() {
    return ffmpeg() != nullptr;
}

bool SuggestPCMFormat(const TWaveFormatEx& source, TWaveFormatEx& suggestion, unsigned fixed) {
    if (!decodable(source))
        return false;
    const bool carriedPcm =
        isPcm(source) && (source.wBitsPerSample == 8 || source.wBitsPerSample == 16);
    const int bits = (fixed & SuggestBits) != 0 ? suggestion.wBitsPerSample
                     : carriedPcm               ? source.wBitsPerSample
                                                : 16;
    const int channels = (fixed & SuggestChannels) != 0 ? suggestion.nChannels : source.nChannels;
    const std::uint32_t rate =
        (fixed & SuggestRate) != 0 ? suggestion.nSamplesPerSec : source.nSamplesPerSec;
    TWaveFormatEx result{};
    BuildPCMFormat(result, bits, channels, rate);
    if (!destinationUsable(result))
        return false;
    suggestion = result;
    return true;
}

bool CanOpenCodecStream(const TWaveFormatEx& source, const TWaveFormatEx& destination) {
    if (!decodable(source) || !destinationUsable(destination))
        return false;
    // A codec decodes to its own rate and channels; changing them is a second stage's work.
    const bool sameShape = destination.nChannels == source.nChannels &&
                           destination.nSamplesPerSec == source.nSamplesPerSec;
    return isPcm(source) || sameShape;
}

std::unique_ptr<CodecStream> CodecStream::open(const TWaveFormatEx& source,
                                               const TWaveFormatEx& destination,
                                               CodecQuality quality) {
    if (!CanOpenCodecStream(source, destination))
        return nullptr;
    auto stream = std::make_unique<FfmpegStream>(*ffmpeg(), source, destination, quality);
    if (!stream->open(source))
        return nullptr;
    return stream;
}

} // namespace vantrel
