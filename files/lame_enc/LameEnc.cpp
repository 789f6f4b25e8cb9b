// lame_enc.so: the BladeEnc-style stream interface of LameEncRecords.h on libmp3lame.
//
// A stream is one lame_global_flags context. Closing a stream keeps its tag frame (the Xing/Info
// frame with the frame count, encoder delay and padding) until a tag writer puts it into the
// finished file, so that the frame describes the whole stream.

#include "LameEncRecords.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <lame/lame.h>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#define LAME_ENC_EXPORT extern "C" __attribute__((visibility("default")))

struct LameEncStream {
    lame_global_flags* flags = nullptr;
    int channels = 2; // input channels
    std::uint32_t chunkValues = 0;
    std::uint32_t outputBytes = 0;
    std::vector<unsigned char> tag; // filled when the stream is closed
};

namespace {

constexpr std::uint8_t DllMajorVersion = 1;
constexpr std::uint8_t DllMinorVersion = 32;

// The closed stream whose tag frame has not been written yet; at most one, so that a program
// that never asks for the tag leaks nothing.
std::mutex pendingLock;
std::unique_ptr<LameEncStream> pendingTag;

struct StreamDeleter {
    void operator()(LameEncStream* stream) const noexcept {
        if (stream->flags != nullptr)
            lame_close(stream->flags);
        delete stream;
    }
};
using StreamPtr = std::unique_ptr<LameEncStream, StreamDeleter>;

bool isTrue(std::int32_t value) {
    return value != 0;
}

MPEG_mode lameMode(std::int32_t mode) {
    switch (mode) {
    case BE_MP3_MODE_STEREO:
        return STEREO;
    case BE_MP3_MODE_DUALCHANNEL:
        return DUAL_CHANNEL;
    case BE_MP3_MODE_MONO:
        return MONO;
    default:
        return JOINT_STEREO;
    }
}

vbr_mode lameVbrMode(const BE_CONFIG& config) {
    if (!isTrue(config.bEnableVBR) && config.dwVbrAbr_bps == 0)
        return vbr_off;
    switch (config.nVbrMethod) {
    case -1:
        return isTrue(config.bEnableVBR) ? vbr_default : vbr_off;
    case 1:
        return vbr_rh;
    case 4:
        return vbr_abr;
    default:
        return vbr_mtrh;
    }
}

// The old numbered presets (1000 = phone ... 10000 = studio) are a bitrate and a mode.
struct NumberedPreset {
    std::int32_t code;
    int kbps;
    MPEG_mode mode;
};
constexpr NumberedPreset numberedPresets[] = {{1000, 16, MONO},          {2000, 24, MONO},
                                              {3000, 40, MONO},          {4000, 112, JOINT_STEREO},
                                              {5000, 56, MONO},          {6000, 112, JOINT_STEREO},
                                              {7000, 112, JOINT_STEREO}, {8000, 160, JOINT_STEREO},
                                              {9000, 192, STEREO},       {10000, 256, STEREO}};

void applyPreset(lame_global_flags* flags, const BE_CONFIG& config) {
    switch (config.nPreset) {
    case 0: // normal quality
        lame_set_quality(flags, 5);
        return;
    case 1: // low quality
        lame_set_quality(flags, 9);
        return;
    case 2: // high quality
        lame_set_quality(flags, 2);
        return;
    case 3: // voice
        lame_set_preset(flags, 56);
        lame_set_mode(flags, MONO);
        return;
    case 4:
        lame_set_preset(flags, R3MIX);
        return;
    case 5: // very high quality
        lame_set_quality(flags, 0);
        return;
    case 6:
        lame_set_preset(flags, STANDARD);
        return;
    case 7:
        lame_set_preset(flags, STANDARD_FAST);
        return;
    case 8:
        lame_set_preset(flags, EXTREME);
        return;
    case 9:
        lame_set_preset(flags, EXTREME_FAST);
        return;
    case 10:
        lame_set_preset(flags, INSANE);
        return;
    case 11: // ABR at the configured mean bitrate
        lame_set_preset(
            flags, static_cast<int>(std::clamp<std::uint32_t>(
                       config.dwVbrAbr_bps != 0 ? config.dwVbrAbr_bps : config.dwBitrate, 8, 320)));
        return;
    default:
        break;
    }
    for (const NumberedPreset& preset : numberedPresets) {
        if (preset.code == config.nPreset) {
            lame_set_brate(flags, preset.kbps);
            lame_set_mode(flags, preset.mode);
        }
    }
}

void applyConfig(lame_global_flags* flags, const BE_CONFIG& config, int channels) {
    lame_set_in_samplerate(flags, static_cast<int>(config.dwSampleRate));
    // The output keeps the input rate unless a rate is asked for; the MPEG version follows
    // from the rate, as it does in the format itself.
    lame_set_out_samplerate(
        flags,
        static_cast<int>(config.dwReSampleRate != 0 ? config.dwReSampleRate : config.dwSampleRate));
    lame_set_num_channels(flags, channels);
    lame_set_mode(flags, lameMode(config.nMode));
    lame_set_brate(flags, static_cast<int>(config.dwBitrate));
    lame_set_quality(flags, std::clamp<int>(config.nQuality & 0xFF, 0, 9));
    lame_set_extension(flags, isTrue(config.bPrivate));
    lame_set_error_protection(flags, isTrue(config.bCRC));
    lame_set_copyright(flags, isTrue(config.bCopyright));
    lame_set_original(flags, isTrue(config.bOriginal));
    lame_set_strict_ISO(flags, isTrue(config.bStrictIso));
    lame_set_disable_reservoir(flags, isTrue(config.bNoRes));
    lame_set_bWriteVbrTag(flags, isTrue(config.bWriteVBRHeader));
    const vbr_mode vbr = lameVbrMode(config);
    lame_set_VBR(flags, vbr);
    if (vbr != vbr_off) {
        lame_set_VBR_q(flags, std::clamp<int>(config.nVBRQuality, 0, 9));
        lame_set_VBR_min_bitrate_kbps(flags, static_cast<int>(config.dwBitrate));
        lame_set_VBR_max_bitrate_kbps(flags, static_cast<int>(config.dwMaxBitrate));
    }
    if (vbr == vbr_abr)
        lame_set_VBR_mean_bitrate_kbps(
            flags,
            static_cast<int>(config.dwVbrAbr_bps != 0 ? config.dwVbrAbr_bps : config.dwBitrate));
    applyPreset(flags, config);
}

bool validConfig(const BE_CONFIG* config) {
    return config != nullptr && config->dwConfig == BE_CONFIG_LAME &&
           config->dwStructSize >= BE_CONFIG_SIZE && config->dwSampleRate != 0;
}

// LAME's bound for the bytes one call may produce for `frames` frames.
std::uint32_t worstCaseBytes(std::uint32_t frames) {
    return frames * 5 / 4 + 7200;
}

// Where the stream's first frame lies in `file`: after the "data" chunk header of a RIFF/WAVE
// file, else at the start. -1 when a RIFF file has no data chunk.
long streamStart(std::FILE* file) {
    unsigned char header[12];
    if (std::fseek(file, 0, SEEK_SET) != 0 || std::fread(header, 1, 12, file) != 12 ||
        std::memcmp(header, "RIFF", 4) != 0)
        return 0;
    long offset = 12;
    unsigned char chunk[8];
    while (std::fseek(file, offset, SEEK_SET) == 0 && std::fread(chunk, 1, 8, file) == 8) {
        const std::uint32_t size = chunk[4] | (chunk[5] << 8) | (chunk[6] << 16) |
                                   (static_cast<std::uint32_t>(chunk[7]) << 24);
        if (std::memcmp(chunk, "data", 4) == 0)
            return offset + 8;
        offset += 8 + static_cast<long>(size) + static_cast<long>(size & 1);
    }
    return -1;
}

// Replaces the placeholder frame at the start of the stream in `fileName` by the tag frame.
std::int32_t writeTag(const std::vector<unsigned char>& tag, const char* fileName) {
    if (tag.empty())
        return BE_ERR_SUCCESSFUL; // the stream was made without a tag frame
    if (fileName == nullptr)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    std::FILE* file = std::fopen(fileName, "r+b");
    if (file == nullptr)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    const long start = streamStart(file);
    const bool written = start >= 0 && std::fseek(file, start, SEEK_SET) == 0 &&
                         std::fwrite(tag.data(), 1, tag.size(), file) == tag.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed ? BE_ERR_SUCCESSFUL : BE_ERR_INVALID_FORMAT_PARAMETERS;
}

} // namespace

LAME_ENC_EXPORT std::int32_t beInitStream(const BE_CONFIG* config, std::uint32_t* samples,
                                          std::uint32_t* outputBytes, HBE_STREAM* stream) {
    if (samples == nullptr || outputBytes == nullptr || stream == nullptr)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (!validConfig(config))
        return BE_ERR_INVALID_FORMAT;
    StreamPtr created(new (std::nothrow) LameEncStream);
    if (created == nullptr || (created->flags = lame_init()) == nullptr)
        return BE_ERR_NO_MORE_HANDLES;
    created->channels = config->nMode == BE_MP3_MODE_MONO ? 1 : 2;
    applyConfig(created->flags, *config, created->channels);
    if (lame_init_params(created->flags) < 0)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    const auto frames = static_cast<std::uint32_t>(lame_get_framesize(created->flags));
    created->chunkValues = frames * static_cast<std::uint32_t>(created->channels);
    created->outputBytes = worstCaseBytes(frames);
    *samples = created->chunkValues;
    *outputBytes = created->outputBytes;
    *stream = created.release();
    return BE_ERR_SUCCESSFUL;
}

LAME_ENC_EXPORT std::int32_t beEncodeChunk(HBE_STREAM stream, std::uint32_t samples,
                                           const std::int16_t* input, std::uint8_t* output,
                                           std::uint32_t* written) {
    if (stream == nullptr || stream->flags == nullptr || written == nullptr)
        return BE_ERR_INVALID_HANDLE;
    *written = 0;
    if (samples > stream->chunkValues || (samples > 0 && (input == nullptr || output == nullptr)))
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    const int frames = static_cast<int>(samples) / stream->channels;
    if (frames == 0)
        return BE_ERR_SUCCESSFUL;
    // lame takes non-const buffers but does not write to them.
    auto* pcm = const_cast<short*>(input);
    const int room = static_cast<int>(stream->outputBytes);
    const int bytes = stream->channels == 2
                          ? lame_encode_buffer_interleaved(stream->flags, pcm, frames, output, room)
                          : lame_encode_buffer(stream->flags, pcm, pcm, frames, output, room);
    if (bytes < 0)
        return bytes == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT_PARAMETERS;
    *written = static_cast<std::uint32_t>(bytes);
    return BE_ERR_SUCCESSFUL;
}

LAME_ENC_EXPORT std::int32_t beDeinitStream(HBE_STREAM stream, std::uint8_t* output,
                                            std::uint32_t* written) {
    if (stream == nullptr || stream->flags == nullptr || written == nullptr || output == nullptr)
        return BE_ERR_INVALID_HANDLE;
    *written = 0;
    const int bytes =
        lame_encode_flush(stream->flags, output, static_cast<int>(stream->outputBytes));
    if (bytes < 0)
        return BE_ERR_BUFFER_TOO_SMALL;
    *written = static_cast<std::uint32_t>(bytes);
    return BE_ERR_SUCCESSFUL;
}

LAME_ENC_EXPORT std::int32_t beCloseStream(HBE_STREAM stream) {
    if (stream == nullptr || stream->flags == nullptr)
        return BE_ERR_INVALID_HANDLE;
    StreamPtr closing(stream);
    const std::size_t size = lame_get_lametag_frame(closing->flags, nullptr, 0);
    if (size > 0) {
        closing->tag.resize(size);
        if (lame_get_lametag_frame(closing->flags, closing->tag.data(), size) != size)
            closing->tag.clear();
    }
    lame_close(closing->flags);
    closing->flags = nullptr;
    const std::lock_guard<std::mutex> guard(pendingLock);
    pendingTag.reset(closing.release());
    return BE_ERR_SUCCESSFUL;
}

LAME_ENC_EXPORT void beVersion(BE_VERSION* version) {
    if (version == nullptr)
        return;
    version->byDLLMajorVersion = DllMajorVersion;
    version->byDLLMinorVersion = DllMinorVersion;
    version->byMajorVersion = 3;
    version->byMinorVersion = 100;
}

LAME_ENC_EXPORT std::int32_t beWriteInfoTag(HBE_STREAM stream, const char* fileName) {
    const std::lock_guard<std::mutex> guard(pendingLock);
    if (stream == nullptr || stream != pendingTag.get())
        return BE_ERR_INVALID_HANDLE;
    const std::unique_ptr<LameEncStream> closed = std::move(pendingTag);
    return writeTag(closed->tag, fileName);
}

LAME_ENC_EXPORT std::int32_t beWriteVBRHeader(const char* fileName) {
    const std::lock_guard<std::mutex> guard(pendingLock);
    if (pendingTag == nullptr)
        return BE_ERR_INVALID_HANDLE;
    const std::unique_ptr<LameEncStream> closed = std::move(pendingTag);
    return writeTag(closed->tag, fileName);
}
