#include "MMLame.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

namespace vantrel {

namespace {

constexpr std::uint16_t WaveFormatMpegLayer3 = 0x55;
constexpr std::uint16_t MpegLayer3ExtraBytes = 12;
constexpr std::uint32_t MpegLayer3FlagPaddingIso = 0;
constexpr std::uint32_t MpegLayer3FlagPaddingOff = 2;
constexpr std::int32_t MessageChangeWhileOpen = 60;

// The 12 bytes that follow the format record of an MPEG Layer-3 WAVE file.
#pragma pack(push, 1)
struct MpegLayer3Extra {
    std::uint16_t wID;
    std::uint32_t fdwFlags;
    std::uint16_t nBlockSize; // bytes of one frame at the average rate
    std::uint16_t nFramesPerBlock;
    std::uint16_t nCodecDelay;
};
#pragma pack(pop)
static_assert(sizeof(MpegLayer3Extra) == MpegLayer3ExtraBytes);

[[noreturn]] void raise(const char* text) {
    throw EMMError(text);
}

std::int32_t boolean32(bool value) {
    return value ? MMTrue : 0;
}

std::int32_t modeCode(const TWaveFormatEx& format, TMMChannelMode mode, std::int32_t bitrate) {
    if (format.nChannels == 1)
        return BE_MP3_MODE_MONO;
    switch (mode) {
    case cmAuto:
        return bitrate > 128 ? BE_MP3_MODE_STEREO : BE_MP3_MODE_JSTEREO;
    case cmJointStereo:
        return BE_MP3_MODE_JSTEREO;
    case cmDualChannel:
        return BE_MP3_MODE_DUALCHANNEL;
    case cmStereo:
    case cmMono:
        break;
    }
    return BE_MP3_MODE_STEREO;
}

std::uint32_t mpegVersionCode(TMMMpegVersion version) {
    switch (version) {
    case v2:
        return BE_MPEG2;
    case v25:
        return BE_MPEG25;
    case v1:
        break;
    }
    return BE_MPEG1;
}

std::int32_t vbrMethodCode(TMMVBRMethod method) {
    return static_cast<std::int32_t>(method) - 1; // vbrNone is -1, vbrDefault 0, ...
}

bool isSixteenBitPcm(const TWaveFormatEx& format) {
    return format.wFormatTag == WAVE_FORMAT_PCM && format.wBitsPerSample == 16 &&
           (format.nChannels == 1 || format.nChannels == 2);
}

} // namespace

TMMWaveFormatPtr BuildMP3WaveFormat(std::uint32_t sampleRate, std::uint16_t channels,
                                    std::int32_t bitrateKbps, bool vbr) {
    TMMWaveFormatPtr format = allocateWaveFormat(sizeof(TWaveFormatEx) + MpegLayer3ExtraBytes);
    format->wFormatTag = WaveFormatMpegLayer3;
    format->nChannels = channels;
    format->nSamplesPerSec = sampleRate;
    format->nAvgBytesPerSec = static_cast<std::uint32_t>(bitrateKbps) * 125;
    format->nBlockAlign = 1;
    format->wBitsPerSample = 0;
    format->cbSize = MpegLayer3ExtraBytes;
    const std::uint64_t frameSamples = sampleRate >= 32000 ? 1152 : 576;
    MpegLayer3Extra extra{};
    extra.wID = 1;
    extra.fdwFlags = vbr ? MpegLayer3FlagPaddingIso : MpegLayer3FlagPaddingOff;
    extra.nBlockSize =
        sampleRate == 0
            ? 0
            : static_cast<std::uint16_t>(frameSamples * format->nAvgBytesPerSec / sampleRate);
    extra.nFramesPerBlock = 1;
    extra.nCodecDelay = 0;
    std::memcpy(reinterpret_cast<char*>(format.get()) + sizeof(TWaveFormatEx), &extra,
                sizeof extra);
    return format;
}

TMMMP3Encoder::TMMMP3Encoder() : wave_(std::make_unique<TMMWave>()) {
    publishLinks(true, false);
}

TMMMP3Encoder::~TMMMP3Encoder() {
    try {
        NotifyClosed();
    } catch (...) {
        // A destructor cannot report; the file is finished as far as it could be.
    }
}

void TMMMP3Encoder::SetFileName(const std::string& name) {
    if (name == fileName_)
        return;
    if (encoderOpen_)
        throw EMMError(LoadEngineString(MessageChangeWhileOpen));
    fileName_ = name;
}

void TMMMP3Encoder::SetFileType(TMMFileType type) {
    if (type == fileType_)
        return;
    if (encoderOpen_)
        throw EMMError(LoadEngineString(MessageChangeWhileOpen));
    fileType_ = type;
}

BE_CONFIG TMMMP3Encoder::BuildConfig(const TWaveFormatEx& format) const {
    BE_CONFIG config{};
    config.dwConfig = BE_CONFIG_LAME;
    config.dwStructVersion = BE_CONFIG_VERSION;
    config.dwStructSize = BE_CONFIG_SIZE;
    config.dwSampleRate = format.nSamplesPerSec;
    config.dwReSampleRate = sampleRate_;
    config.nMode = modeCode(format, channelMode_, bitrate_);
    config.dwBitrate = static_cast<std::uint32_t>(bitrate_);
    config.dwMaxBitrate = static_cast<std::uint32_t>(bitrateMax_);
    config.nPreset = preset_;
    config.dwMpegVersion = mpegVersionCode(mpegVersion_);
    config.bPrivate = boolean32(privat_);
    config.bCRC = boolean32(crc_);
    config.bCopyright = boolean32(copyright_);
    config.bOriginal = boolean32(original_);
    config.bWriteVBRHeader = boolean32(writeVbrHeader_);
    config.bEnableVBR = boolean32(vbrEnabled_);
    config.nVBRQuality = vbrQuality_;
    config.dwVbrAbr_bps =
        preset_ == prABR || vbrMethod_ == vbrABR ? static_cast<std::uint32_t>(bitrate_) : 0;
    config.nVbrMethod = vbrMethodCode(vbrMethod_);
    config.bNoRes = boolean32(noBitRes_);
    config.bStrictIso = boolean32(strictIso_);
    config.nQuality = static_cast<std::uint16_t>(quality_ & 0xFF);
    return config;
}

// ---------------------------------------------------------------------------------------------
// Life cycle

void TMMMP3Encoder::NotifyOpened() {
    TMMDSPComponent::NotifyOpened();
    const TWaveFormatEx* format = GetWaveFormat();
    if (encoderOpen_ || format == nullptr || GetInput() == nullptr)
        return;
    library_ = LoadLameEncoder();
    if (library_ == nullptr)
        raise(LameLoadErrorText);
    if (!isSixteenBitPcm(*format))
        raise(LameInputFormatErrorText);
    const BE_CONFIG config = BuildConfig(*format);
    if (!fileName_.empty())
        createOutput(*format);
    if (library_->beInitStream(&config, &chunkValues_, &outputBytes_, &stream_) !=
        BE_ERR_SUCCESSFUL) {
        stream_ = nullptr;
        closeOutput();
        raise(LameInitErrorText);
    }
    chunkBytes_ = chunkValues_ * 2;
    outputBuffer_ = static_cast<std::uint8_t*>(allocateZeroed(outputBytes_));
    inputBuffer_ = static_cast<char*>(allocateZeroed(chunkBytes_));
    fillCount_ = 0;
    outputFailed_ = false;
    encoderOpen_ = true;
}

void TMMMP3Encoder::createOutput(const TWaveFormatEx& format) {
    std::error_code ignored;
    std::filesystem::remove(fileName_, ignored);
    if (fileType_ == ftRAW) {
        plainFile_ = std::fopen(fileName_.c_str(), "wb");
        if (plainFile_ == nullptr)
            raise(LameCreateErrorText);
        outputPath_ = fileName_;
        return;
    }
    const TMMWaveFormatPtr mp3Format =
        BuildMP3WaveFormat(format.nSamplesPerSec, format.nChannels, bitrate_, vbrEnabled_);
    try {
        wave_->CreateFile(fileName_, mp3Format.get());
    } catch (const std::exception&) {
        wave_->Clear();
        raise(LameCreateErrorText);
    }
    outputPath_ = wave_->GetFileName();
}

void TMMMP3Encoder::NotifyStarted() {
    TMMDSPComponent::NotifyStarted();
    if (encoderOpen_ && !encoding_) {
        encoding_ = true;
        fillCount_ = 0;
    }
}

void TMMMP3Encoder::NotifyStopped() {
    if (encoderOpen_ && encoding_) {
        encoding_ = false;
        if (!finishStream() && !closing_) {
            NotifyClosed();
            return;
        }
    }
    TMMDSPComponent::NotifyStopped();
}

void TMMMP3Encoder::NotifyClosed() {
    if (encoderOpen_) {
        closing_ = true;
        std::exception_ptr failure;
        try {
            NotifyStopped();
        } catch (...) {
            failure = std::current_exception(); // finish the file first, then report
        }
        closeOutput();
        closeStream();
        freeAndClear(inputBuffer_);
        freeAndClear(outputBuffer_);
        encoderOpen_ = false;
        closing_ = false;
        TMMDSPComponent::NotifyClosed();
        if (failure)
            std::rethrow_exception(failure);
        return;
    }
    TMMDSPComponent::NotifyClosed();
}

void TMMMP3Encoder::closeOutput() {
    if (plainFile_ != nullptr) {
        std::fclose(plainFile_);
        plainFile_ = nullptr;
    }
    if (wave_->GetWaveIOInfo() != nullptr) {
        wave_->Close();
        wave_->Clear();
    }
}

void TMMMP3Encoder::closeStream() {
    if (stream_ == nullptr)
        return;
    library_->beCloseStream(stream_);
    if (!fileName_.empty()) {
        if (library_->beWriteInfoTag != nullptr)
            library_->beWriteInfoTag(stream_, outputPath_.c_str());
        else if (library_->beWriteVBRHeader != nullptr)
            library_->beWriteVBRHeader(outputPath_.c_str());
    }
    stream_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Encoding

void TMMMP3Encoder::BufferReady(PWaveHdr lpWaveHdr) {
    if (!encoding_ || GetInput() == nullptr || lpWaveHdr->wh.dwBytesRecorded == 0)
        return;
    encodeBuffer(lpWaveHdr->wh.lpData, lpWaveHdr->wh.dwBytesRecorded);
}

void TMMMP3Encoder::encodeBuffer(const char* data, std::uint32_t bytes) {
    std::uint32_t left = bytes;
    std::uint32_t taken = 0;
    bool written = true;
    if (fillCount_ > 0) {
        const std::uint32_t part = std::min(chunkBytes_ - fillCount_, left);
        std::memcpy(inputBuffer_ + fillCount_, data, part);
        fillCount_ += part;
        taken += part;
        left -= part;
        if (fillCount_ == chunkBytes_) {
            written = encode(inputBuffer_, chunkValues_);
            fillCount_ -= chunkBytes_;
        }
    }
    // Whole chunks go to the library straight from the caller's buffer.
    while (written && left >= chunkBytes_) {
        written = encode(data + taken, chunkValues_);
        taken += chunkBytes_;
        left -= chunkBytes_;
    }
    if (!written) {
        NotifyClosed(); // what the buffer still holds is dropped with the stream
        return;
    }
    if (left > 0) {
        std::memcpy(inputBuffer_, data + taken, left);
        fillCount_ = left;
    }
}

bool TMMMP3Encoder::encode(const char* pcm, std::uint32_t values) {
    std::uint32_t bytes = 0;
    if (library_->beEncodeChunk(stream_, values, reinterpret_cast<const std::int16_t*>(pcm),
                                outputBuffer_, &bytes) != BE_ERR_SUCCESSFUL)
        raise(LameEncodeErrorText);
    return writeBlock(bytes);
}

bool TMMMP3Encoder::finishStream() {
    bool written = true;
    if (fillCount_ > 0) {
        written = encode(inputBuffer_, fillCount_ / 2);
        fillCount_ = 0;
    }
    std::uint32_t bytes = 0;
    if (library_->beDeinitStream(stream_, outputBuffer_, &bytes) != BE_ERR_SUCCESSFUL)
        raise(LameDeinitErrorText);
    return writeBlock(bytes) && written;
}

bool TMMMP3Encoder::writeBlock(std::uint32_t bytes) {
    if (outputFailed_)
        return false;
    if (bytes == 0)
        return true;
    bool written = true;
    if (!fileName_.empty()) {
        if (!EnoughDiskSpace(freeSpace_(outputPath_), bytes, 0)) {
            outputFailed_ = true;
            return false;
        }
        written = writeToFile(bytes);
    }
    std::memset(&block_, 0, sizeof block_);
    block_.wh.lpData = reinterpret_cast<char*>(outputBuffer_);
    block_.wh.dwBufferLength = outputBytes_;
    block_.wh.dwBytesRecorded = bytes;
    TMMDSPComponent::BufferReady(&block_);
    outputFailed_ = !written;
    return written;
}

bool TMMMP3Encoder::writeToFile(std::uint32_t bytes) {
    if (fileType_ == ftRAW)
        return plainFile_ != nullptr && std::fwrite(outputBuffer_, 1, bytes, plainFile_) == bytes;
    return wave_->WriteData(reinterpret_cast<const char*>(outputBuffer_),
                            static_cast<std::int32_t>(bytes)) == static_cast<std::int32_t>(bytes);
}

} // namespace vantrel
