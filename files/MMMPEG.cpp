#include "MMMPEG.h"

#include "MMWaveIO.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace vantrel {

namespace {

constexpr std::uint16_t TagMpeg = 80;
constexpr std::uint16_t TagMpegLayer3 = 85;
// Frames decoded and dropped at most after a seek, to reach the frame asked for.
constexpr int MaxSeekFrames = 10;
// Frames before the target a seek starts from, so that Layer III's bit reservoir is filled.
constexpr std::int32_t SeekLeadFrames = 2;

const MpegDecoderFunctions& availableDecoder() {
    const MpegDecoderFunctions* functions = LoadMpegDecoder();
    if (functions == nullptr)
        throw EMMMpegError("Unable to load " + MpegDecoderLibraryName());
    return *functions;
}

std::string errorText(const MpegDecoderFunctions& mpeg, int error) {
    char text[MpegErrorTextSize] = {};
    mpeg.mpeg_GetErrorText(error, text, MpegErrorTextSize);
    return text;
}

// A decoder instance of its own for a class-level question about a file.
class ScratchDecoder {
public:
    explicit ScratchDecoder(const MpegDecoderFunctions& mpeg) : mpeg_(mpeg) {
        int status = 0;
        handle_ = mpeg.mpeg_Init(status, nullptr, nullptr);
        if (status != 0)
            handle_ = nullptr;
    }
    ~ScratchDecoder() {
        if (handle_ != nullptr)
            mpeg_.mpeg_Done(handle_);
    }
    ScratchDecoder(const ScratchDecoder&) = delete;
    ScratchDecoder& operator=(const ScratchDecoder&) = delete;

    // Attaches `fileName`; true when it holds playable MPEG audio.
    bool attach(const std::string& fileName) {
        return handle_ != nullptr && mpeg_.mpeg_SetFileName(handle_, fileName.c_str()) == 0 &&
               mpeg_.mpeg_GetEmpty(handle_) == 0;
    }
    TMpegFileInfo info() const {
        TMpegFileInfo info{};
        mpeg_.mpeg_GetFileInfo(handle_, info);
        return info;
    }

private:
    const MpegDecoderFunctions& mpeg_;
    MpegHandle handle_ = nullptr;
};

// The format tag when `fileName` parses as RIFF/WAVE.
std::optional<std::uint16_t> waveFormatTag(const std::string& fileName) {
    PWaveIOInfo info = nullptr;
    if (ReadWaveInfo(info, fileName, FormWave, WaveIOModeFile) != 0)
        return std::nullopt;
    const std::uint16_t tag = info->waveFormat->wFormatTag;
    FreeWaveInfo(info);
    return tag;
}

bool getMpegFileInfo(const std::string& fileName, TMMAudioFileInfo& info) {
    const MpegDecoderFunctions* mpeg = LoadMpegDecoder();
    if (mpeg == nullptr)
        return false;
    ScratchDecoder decoder(*mpeg);
    if (!decoder.attach(fileName))
        return false;
    const TMpegFileInfo file = decoder.info();
    info = TMMAudioFileInfo{ftMpeg,           file.duration,  file.tag.title,
                            file.tag.artist,  file.tag.album, file.tag.year,
                            file.tag.comment, file.tag.track, file.tag.genre};
    return true;
}

} // namespace

const TMMFileClass& TMMMPEGFile::FileClass() {
    static const TMMFileClass fileClass{
        "TMMMPEGFile",
        ftMpeg,
        "*.mp2;*.mp3;*.atx",
        "MPEG Files (*.mp?;*.atx)|*.mp2;*.mp3;*.atx|Antex Files (*.atx)|*.atx",
        &TMMMPEGFile::CanLoad,
        &getMpegFileInfo,
        [] {
            return std::make_unique<TMMMPEGFile>();
        }};
    return fileClass;
}

bool TMMMPEGFile::CanLoad(const std::string& fileName) {
    if (!HasAudioFileExtension(fileName))
        return false;
    const MpegDecoderFunctions* mpeg = LoadMpegDecoder();
    if (mpeg == nullptr || !IsLoadableName(fileName))
        return false;
    if (const std::optional<std::uint16_t> tag = waveFormatTag(fileName))
        return *tag == TagMpeg || *tag == TagMpegLayer3;
    return ScratchDecoder(*mpeg).attach(fileName);
}

TMMMPEGFile::TMMMPEGFile() : mpeg_(&availableDecoder()) {
    int status = 0;
    handle_ = mpeg_->mpeg_Init(status, &TMMMPEGFile::decoderChanged, this);
    if (status != 0)
        raise(status);
    mpeg_->mpeg_SetExactPosition(handle_, exactPosition_ ? 1 : 0);
    info_.version = 1;
}

TMMMPEGFile::~TMMMPEGFile() {
    if (fileOpen_)
        mpeg_->mpeg_CloseFile(handle_);
    mpeg_->mpeg_Done(handle_);
}

void TMMMPEGFile::raise(int error, const std::string& suffix) const {
    throw EMMMpegError(errorText(*mpeg_, error) + suffix);
}

void TMMMPEGFile::decoderChanged(void* user) {
    static_cast<TMMMPEGFile*>(user)->readFileInfo();
}

void TMMMPEGFile::readFileInfo() {
    info_ = TMpegFileInfo{};
    info_.version = 1;
    if (!IsEmpty())
        mpeg_->mpeg_GetFileInfo(handle_, info_);
    if (IsEmpty()) {
        SetWaveFormat(nullptr);
    } else {
        const bool mono = GetMode() == smSingleChannel || channelMode_ != cmBoth;
        TWaveFormatEx format{};
        BuildPCMFormat(format, 16, mono ? 1 : 2, static_cast<std::uint32_t>(info_.sampleRate));
        SetWaveFormat(&format);
    }
    if (OnChange)
        OnChange(this);
}

bool TMMMPEGFile::IsEmpty() const {
    return mpeg_->mpeg_GetEmpty(handle_) != 0;
}

std::int32_t TMMMPEGFile::GetBlockSize() const {
    const TWaveFormatEx* format = GetWaveFormat();
    if (format == nullptr)
        return 0;
    const auto bytes = std::lround(format->nAvgBytesPerSec * info_.frameDuration / 1000.0);
    return static_cast<std::int32_t>(bytes / 4 * 4);
}

std::int32_t TMMMPEGFile::GetMsPerFrame() const {
    return static_cast<std::int32_t>(std::lround(info_.frameDuration));
}

void TMMMPEGFile::SetFileName(const std::string& name) {
    if (fileOpen_)
        NotifyClosed();
    fileName_ = name;
    startFrame_ = 0;
    if (name.empty()) {
        mpeg_->mpeg_Clear(handle_);
        readFileInfo();
        return;
    }
    if (const int error = mpeg_->mpeg_SetFileName(handle_, name.c_str()); error != 0) {
        fileName_.clear();
        mpeg_->mpeg_Clear(handle_);
        readFileInfo();
        raise(error);
    }
}

void TMMMPEGFile::SetTrailingHeader(std::int32_t bytes) {
    trailingHeader_ = bytes;
    mpeg_->mpeg_SetTrailingHeader(handle_, bytes);
}

void TMMMPEGFile::SetChannelMode(TChannelMode mode) {
    if (fileOpen_)
        throw EMMMpegError(LoadEngineString(60));
    channelMode_ = mode;
    if (const int error = mpeg_->mpeg_SetChannelMode(handle_, mode); error != 0)
        raise(error);
}

void TMMMPEGFile::SetExactposition(bool exact) {
    exactPosition_ = exact;
    mpeg_->mpeg_SetExactPosition(handle_, exact ? 1 : 0);
}

std::int32_t TMMMPEGFile::GetPosition() const {
    return std::max(mpeg_->mpeg_GetPosition(handle_), 0);
}

void TMMMPEGFile::SetPosition(std::int32_t frame) {
    frame = std::clamp(frame, 0, info_.frames);
    if (fileOpen_ && !started_)
        startFrame_ = frame; // the next start begins here
    seekFrame(frame);
}

void TMMMPEGFile::seekFrame(std::int32_t frame) {
    if (IsEmpty())
        return;
    const int target = fileOpen_ ? std::max(frame - SeekLeadFrames, 0) : frame;
    if (const int error = mpeg_->mpeg_SetPosition(handle_, target); error != 0)
        raise(error, ": " + std::to_string(frame));
    const int frameBytes = std::min(GetBlockSize(), static_cast<std::int32_t>(scratch_.size()));
    for (int i = 0; fileOpen_ && i < MaxSeekFrames && mpeg_->mpeg_GetPosition(handle_) < frame &&
                    mpeg_->mpeg_GetDone(handle_) == 0;
         ++i) {
        if (const int got = mpeg_->mpeg_ReadDataBytes(handle_, scratch_.data(), frameBytes);
            got < 0)
            raise(-got, ": " + std::to_string(frame));
    }
}

std::int32_t TMMMPEGFile::GetPositionMs() const {
    return static_cast<std::int32_t>(std::lround(GetPosition() * info_.frameDuration));
}

void TMMMPEGFile::SetPositionMs(std::int32_t ms) {
    if (info_.frameDuration <= 0)
        return;
    SetPosition(static_cast<std::int32_t>(std::lround(ms / info_.frameDuration)));
}

void TMMMPEGFile::AbortRead() {
    mpeg_->mpeg_AbortReadData(handle_);
}

void TMMMPEGFile::NotifyOpened() {
    TMMCustomFile::NotifyOpened();
    if (fileOpen_ || IsEmpty())
        return;
    if (const int error = mpeg_->mpeg_OpenFile(handle_); error != 0)
        raise(error);
    fileOpen_ = true;
    startFrame_ = GetPosition();
}

void TMMMPEGFile::NotifyStarted() {
    TMMCustomFile::NotifyStarted();
    if (!fileOpen_ || started_)
        return;
    started_ = true;
    seekFrame(startFrame_);
}

void TMMMPEGFile::NotifyStopped() {
    started_ = false;
    TMMCustomFile::NotifyStopped();
}

void TMMMPEGFile::NotifyClosed() {
    if (fileOpen_) {
        NotifyStopped();
        mpeg_->mpeg_CloseFile(handle_);
        fileOpen_ = false;
    }
    TMMCustomFile::NotifyClosed();
}

void TMMMPEGFile::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
    try {
        serve(*lpWaveHdr, MoreBuffers);
    } catch (const EMMError&) {
        bool handled = false;
        if (OnError)
            OnError(this, handled);
        if (!handled)
            throw;
        lpWaveHdr->wh.dwBytesRecorded = std::min<std::uint32_t>(4, lpWaveHdr->wh.dwBufferLength);
    }
}

void TMMMPEGFile::serve(TMMBufferHeader& buffer, bool& moreBuffers) {
    if (IsEmpty()) {
        buffer.wh.dwBytesRecorded = 0;
        return;
    }
    if (!started_ || !enabled_) {
        std::fill(buffer.wh.lpData, buffer.wh.lpData + buffer.wh.dwBufferLength, 0);
        buffer.wh.dwBytesRecorded = buffer.wh.dwBufferLength;
        moreBuffers = true;
        return;
    }
    const int got = mpeg_->mpeg_ReadDataBytes(handle_, buffer.wh.lpData,
                                              static_cast<int>(buffer.wh.dwBufferLength));
    if (got < 0)
        raise(-got);
    buffer.wh.dwBytesRecorded = static_cast<std::uint32_t>(got);
    if (got == 0)
        return;
    if (mpeg_->mpeg_GetDone(handle_) == 0) {
        moreBuffers = true;
        return;
    }
    const bool loops = buffer.LoopEnabled != 0 &&
                       (buffer.LoopCount == 0 || (buffer.LoopCount > 0 && --buffer.LoopsLeft >= 0));
    if (loops) {
        mpeg_->mpeg_ResetFile(handle_);
        moreBuffers = true;
        buffer.LoopRestarted = MMTrue;
    }
}

} // namespace vantrel
