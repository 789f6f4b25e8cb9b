#include "MMWave.h"

#include "MMObj.h"
#include "MainThread.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace vantrel {

namespace {

constexpr int MsgErrorReading = 130;
constexpr int MsgInvalidWaveFile = 133;
constexpr int MsgInvalidParam = 134;
constexpr int MsgIOBuffer = 137;
constexpr int MsgOpen = 138;
constexpr int MsgCreate = 139;
constexpr int MsgSave = 140;
constexpr int MsgSaveAborted = 141;
constexpr int MsgSeek = 147;

[[noreturn]] void raise(int message) {
    throw EMMWaveError(LoadEngineString(message));
}

std::int64_t sizeOnDisk(const std::string& name) {
    std::error_code error;
    const auto size = std::filesystem::file_size(name, error);
    return error ? -1 : static_cast<std::int64_t>(size);
}

struct FormatName {
    std::uint16_t tag;
    const char* name;
};

constexpr FormatName formatNames[] = {{0x0001, "PCM"},          {0x0002, "Microsoft ADPCM"},
                                      {0x0003, "IEEE Float"},   {0x0006, "A-Law"},
                                      {0x0007, "u-Law"},        {0x0011, "IMA ADPCM"},
                                      {0x0031, "GSM 6.10"},     {0x0050, "MPEG"},
                                      {0x0055, "MPEG Layer-3"}, {0xFFFE, "Extensible"}};

} // namespace

void WaveIOInfoDeleter::operator()(WaveIOInfo* info) const noexcept {
    FreeWaveInfo(info);
}

// ---------------------------------------------------------------------------------------------
// TMMWave: properties

TMMWave::TMMWave() = default;

TMMWave::~TMMWave() {
    if (info_ != nullptr)
        CloseWaveIO(info_.get());
}

const TWaveFormatEx* TMMWave::GetWaveFormat() const {
    return info_ != nullptr ? info_->waveFormat.get() : nullptr;
}

std::uint16_t TMMWave::GetBitLength() const {
    const TWaveFormatEx* format = GetWaveFormat();
    return format != nullptr ? format->wBitsPerSample : 0;
}

TMMMode TMMWave::GetMode() const {
    const TWaveFormatEx* format = GetWaveFormat();
    const int channels = format != nullptr ? format->nChannels : 1;
    return channels == 2 ? mStereo : channels > 2 ? mMultiChannel : mMono;
}

std::uint16_t TMMWave::GetFormatTag() const {
    const TWaveFormatEx* format = GetWaveFormat();
    return format != nullptr ? format->wFormatTag : 0;
}

std::string TMMWave::GetFormatString() const {
    const TWaveFormatEx* format = GetWaveFormat();
    if (format != nullptr)
        for (const FormatName& entry : formatNames)
            if (entry.tag == format->wFormatTag)
                return entry.name;
    return "Unknown";
}

std::int32_t TMMWave::GetSampleRate() const {
    const TWaveFormatEx* format = GetWaveFormat();
    return format != nullptr ? static_cast<std::int32_t>(format->nSamplesPerSec) : 11025;
}

std::int32_t TMMWave::GetFileSize() const {
    return info_ != nullptr ? static_cast<std::int32_t>(info_->fileSize) : 0;
}

std::int32_t TMMWave::GetDataSize() const {
    return info_ != nullptr ? toUnits(static_cast<std::int32_t>(info_->totalSamples)) : 0;
}

void TMMWave::SetIOBufferSize(std::int32_t bytes) {
    ioBufferSize_ = std::max(bytes, MinIOBufferSize);
}

void TMMWave::SetTimeFormat(TMMTimeFormats format) {
    if (format == timeFormat_)
        return;
    timeFormat_ = format;
    rebuildSegments();
    changed();
}

std::int32_t TMMWave::toFrames(std::int32_t units) const {
    const TWaveFormatEx* format = GetWaveFormat();
    if (format == nullptr)
        return 0;
    switch (timeFormat_) {
    case tfMillisecond:
        return MsToSamples(*format, units);
    case tfByte:
        return BytesToSamples(*format, units);
    case tfSample:
        break;
    }
    return units;
}

std::int32_t TMMWave::toUnits(std::int32_t frames) const {
    const TWaveFormatEx* format = GetWaveFormat();
    if (format == nullptr)
        return 0;
    switch (timeFormat_) {
    case tfMillisecond:
        return SamplesToMs(*format, frames);
    case tfByte:
        return SamplesToBytes(*format, frames);
    case tfSample:
        break;
    }
    return frames;
}

// ---------------------------------------------------------------------------------------------
// TMMWave: observers

int TMMWave::Subscribe(std::function<void()> observer) {
    observers_.emplace_back(nextObserverToken_, std::move(observer));
    return nextObserverToken_++;
}

void TMMWave::Unsubscribe(int token) {
    std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void TMMWave::changed() {
    if (updating_ > 0) {
        changePending_ = true;
        return;
    }
    const auto observers = observers_; // an observer may unsubscribe while being called
    for (auto each = observers.rbegin(); each != observers.rend(); ++each)
        each->second();
}

// ---------------------------------------------------------------------------------------------
// TMMWave: file

void TMMWave::SetFileName(const std::string& name) {
    const std::string fullName = expandFileName(name);
    if (fullName == fileName_ && sizeOnDisk(fullName) == GetFileSize())
        return;
    if (fullName.empty()) {
        Clear();
        return;
    }
    const bool exists = fileExists(fullName);
    PWaveIOInfo info = nullptr;
    if (exists && ReadWaveInfo(info, fullName, FormWave, WaveIOModeFile) == 0) {
        takeRecord(WaveIOInfoPtr(info));
        fileName_ = fullName;
        changed();
        return;
    }
    if (exists || fileMustExist_)
        raise(exists ? MsgInvalidWaveFile : MsgErrorReading);
    reset();
    fileName_ = fullName;
    changed();
}

void TMMWave::takeRecord(WaveIOInfoPtr info) {
    reset();
    info_ = std::move(info);
    regionStart_ = info_->firstSample;
    regionEnd_ = static_cast<std::int32_t>(info_->lastSample);
    position_ = static_cast<std::int32_t>(info_->position);
    bytesLeft_ = info_->bytesRemaining;
    rebuildSegments();
}

bool TMMWave::reset() {
    const bool hadSomething = !fileName_.empty() || info_ != nullptr;
    Close();
    fileName_.clear();
    info_.reset();
    regionStart_ = regionEnd_ = position_ = 0;
    bytesLeft_ = totalBytes_ = 0;
    rebuildSegments();
    return hadSomething;
}

void TMMWave::Clear() {
    if (reset())
        changed();
}

void TMMWave::rebuildSegments() {
    const TWaveFormatEx* format = GetWaveFormat();
    segmentStartFrame_ = format != nullptr ? regionStart_ : 0;
    segmentFrames_ = format != nullptr ? std::max(regionEnd_ - regionStart_, 0) : 0;
}

void TMMWave::CreateFile(const std::string& name, const TWaveFormatEx* format) {
    const std::string fullName = expandFileName(name);
    if (fileExists(fullName))
        deleteFile(fullName);
    PWaveIOInfo raw = nullptr;
    if (NewWaveInfo(raw, format) != 0)
        raise(MsgCreate);
    WaveIOInfoPtr info(raw);
    if (CreateWaveFile(info.get(), fullName) != 0)
        raise(MsgCreate);
    takeRecord(std::move(info));
    fileName_ = fullName;
    opened_ = true;
    if (SetWaveIOBuffer(info_.get(), ioBufferSize_) != 0)
        raise(MsgIOBuffer);
    changed();
}

void TMMWave::Open() {
    if (info_ == nullptr || OpenWaveIO(info_.get()) != 0)
        raise(MsgOpen);
    if (SetWaveIOBuffer(info_.get(), ioBufferSize_) != 0)
        raise(MsgIOBuffer);
    rebuildSegments();
    opened_ = true;
    SetPosition(toUnits(position_));
}

void TMMWave::Close() {
    if (info_ != nullptr)
        CloseWaveIO(info_.get());
    opened_ = false;
    position_ = 0;
    bytesLeft_ = 0;
}

// ---------------------------------------------------------------------------------------------
// TMMWave: data

void TMMWave::SetPosition(std::int32_t units) {
    position_ = toFrames(units);
    if (!opened_)
        return;
    const TWaveFormatEx* format = GetWaveFormat();
    if (format == nullptr)
        raise(MsgSeek);
    const std::int32_t frame = std::clamp(position_, 0, segmentFrames_);
    totalBytes_ = SamplesToBytes(*format, segmentFrames_);
    bytesLeft_ = totalBytes_ - SamplesToBytes(*format, frame);
    seekFile(segmentStartFrame_ + frame);
    segmentBytesLeft_ = SamplesToBytes(*format, segmentFrames_ - frame);
    position_ = frame;
}

void TMMWave::seekFile(std::int32_t frame) {
    if (SeekWaveIO(info_.get(), frame) != 0 && SeekWaveIO(info_.get(), frame) != 0)
        raise(MsgSeek);
}

std::int32_t TMMWave::GetPosition() const {
    return toUnits(position_);
}

std::int32_t TMMWave::ReadData(char* buffer, std::int32_t length) {
    if (info_ == nullptr || bytesLeft_ <= 0 || length <= 0)
        return -1;
    std::int32_t wanted = std::min(length, bytesLeft_);
    std::int32_t read = 0;
    while (wanted > 0 && segmentBytesLeft_ > 0) {
        const std::int32_t got =
            ReadWaveIO(info_.get(), buffer + read, std::min(wanted, segmentBytesLeft_));
        if (got < 1)
            break;
        read += got;
        wanted -= got;
        segmentBytesLeft_ -= got;
    }
    if (read == 0) {
        // The region claims bytes the file does not have (it was cut short): end it with one
        // small block of silence rather than a stream that never ends.
        const std::int32_t silent = std::min(length, 4);
        std::fill(buffer, buffer + silent, char{0});
        bytesLeft_ = segmentBytesLeft_ = 0;
        position_ = segmentFrames_;
        return silent;
    }
    const TWaveFormatEx& format = *info_->waveFormat;
    if (fadeList_ != nullptr && fadeList_->Count() > 1 && !fadeOff_ &&
        format.wFormatTag == WAVE_FORMAT_PCM)
        fadeList_->ApplyFade(format, buffer, read);
    bytesLeft_ -= read;
    position_ = BytesToSamples(format, totalBytes_ - bytesLeft_);
    return read;
}

std::int32_t TMMWave::WriteData(const char* buffer, std::int32_t length) {
    if (info_ == nullptr)
        return -1;
    const std::int32_t written = WriteWaveIO(info_.get(), buffer, length);
    regionEnd_ = static_cast<std::int32_t>(info_->lastSample);
    rebuildSegments();
    return written;
}

// ---------------------------------------------------------------------------------------------
// TMMWave: saving

bool TMMWave::copyRegionTo(PWaveIOInfo target, const std::string& destination, bool& cancelled) {
    const TWaveFormatEx& format = *info_->waveFormat;
    const std::int32_t total = bytesLeft_;
    const std::int32_t chunk = std::max<std::int32_t>(
        format.nAvgBytesPerSec - format.nAvgBytesPerSec % format.nBlockAlign, format.nBlockAlign);
    std::vector<char> buffer(static_cast<std::size_t>(chunk));
    const std::filesystem::path folder = std::filesystem::path(destination).parent_path();
    std::int32_t copied = 0;
    while (copied < total) {
        const std::int32_t got = ReadData(buffer.data(), std::min(chunk, total - copied));
        if (got <= 0)
            break;
        const auto required = static_cast<std::uint64_t>(got);
        if (!EnoughDiskSpace(FreeSpace(folder), required,
                             static_cast<std::uint64_t>(ioBufferSize_)))
            return false;
        if (WriteWaveIO(target, buffer.data(), got) != got)
            return false;
        copied += got;
        if (MainThreadSeam* seam = mainThread(); seam != nullptr && seam->isMainThread())
            seam->processPending(std::chrono::milliseconds(0));
        if (OnProgress) {
            OnProgress(this, copied, total, cancelled);
            if (cancelled)
                return false;
        }
    }
    return copied >= total;
}

void TMMWave::SaveToFile(const std::string& name) {
    if (info_ == nullptr || name.empty())
        raise(MsgInvalidParam);
    const std::string destination = expandFileName(name);
    const bool ontoItself = destination == fileName_;
    SetPosition(0);
    Open();

    PWaveIOInfo rawTemp = nullptr;
    WaveIOInfoPtr temp;
    std::string tempName = destination;
    bool cancelled = false;
    bool saved = false;
    if (NewWaveInfo(rawTemp, info_->waveFormat.get()) == 0) {
        temp.reset(rawTemp);
        if (CopyWaveInfoLists(temp.get(), info_.get()) == 0 && MakeTempWaveName(tempName) &&
            CreateWaveFile(temp.get(), tempName) == 0 &&
            SetWaveIOBuffer(temp.get(), ioBufferSize_) == 0 &&
            copyRegionTo(temp.get(), destination, cancelled)) {
            Close();
            // The rename replaces the destination in one step, so that no moment exists in
            // which neither the old nor the new file is there.
            saved = CloseWaveIO(temp.get()) == 0 && renameFile(tempName, destination);
        }
    }
    Close();
    temp.reset();
    if (!saved && tempName != destination && fileExists(tempName))
        deleteFile(tempName);
    if (cancelled)
        raise(MsgSaveAborted);
    if (!saved)
        raise(MsgSave);
    if (ontoItself) {
        // The rewritten file may lay out its chunks differently; the record must follow it.
        PWaveIOInfo reread = nullptr;
        if (ReadWaveInfo(reread, destination, FormWave, WaveIOModeFile) != 0)
            raise(MsgInvalidWaveFile);
        takeRecord(WaveIOInfoPtr(reread));
        fileName_ = destination;
        changed();
    }
}

void TMMWave::Assign(const TMMWave& other) {
    if (&other == this)
        return;
    ++updating_;
    try {
        fileMustExist_ = other.fileMustExist_;
        ioBufferSize_ = other.ioBufferSize_;
        SetTimeFormat(other.timeFormat_);
        SetFileName(other.fileName_);
    } catch (...) {
        --updating_;
        throw;
    }
    --updating_;
    if (changePending_) {
        changePending_ = false;
        changed();
    }
}

// ---------------------------------------------------------------------------------------------
// TMMCustomWaveFile

TMMCustomWaveFile::TMMCustomWaveFile() : wave_(std::make_unique<TMMWave>()) {
    observerToken_ = wave_->Subscribe([this] { waveChanged(); });
}

TMMCustomWaveFile::~TMMCustomWaveFile() {
    if (fileOpen_) {
        try {
            NotifyClosed();
        } catch (...) {
            // Closing during destruction has nobody left to report to.
        }
    }
    wave_->Unsubscribe(observerToken_);
}

void TMMCustomWaveFile::waveChanged() {
    if (GetInput() == nullptr)
        SetWaveFormat(wave_->GetWaveFormat());
    if (OnChange)
        OnChange(this);
    if (OnChanged)
        OnChanged(this);
}

std::int32_t TMMCustomWaveFile::GetTime() const {
    const TWaveFormatEx* format = wave_->GetWaveFormat();
    const PWaveIOInfo info = wave_->GetWaveIOInfo();
    return format != nullptr ? SamplesToMs(*format, static_cast<std::int32_t>(info->totalSamples))
                             : 0;
}

std::int32_t TMMCustomWaveFile::GetPositionMs() const {
    const TWaveFormatEx* format = wave_->GetWaveFormat();
    if (format == nullptr)
        return 0;
    const TMMTimeFormats units = wave_->GetTimeFormat();
    std::int32_t frames = wave_->GetPosition();
    if (units == tfMillisecond)
        return frames;
    if (units == tfByte)
        frames = BytesToSamples(*format, frames);
    return SamplesToMs(*format, frames);
}

void TMMCustomWaveFile::SetPositionMs(std::int32_t ms) {
    const TWaveFormatEx* format = wave_->GetWaveFormat();
    if (format == nullptr)
        return;
    const std::int32_t frames = MsToSamples(*format, ms);
    switch (wave_->GetTimeFormat()) {
    case tfMillisecond:
        wave_->SetPosition(ms);
        break;
    case tfByte:
        wave_->SetPosition(SamplesToBytes(*format, frames));
        break;
    case tfSample:
        wave_->SetPosition(frames);
        break;
    }
}

void TMMCustomWaveFile::SetWaveFormat(const TWaveFormatEx* format) {
    TMMDSPComponent::SetWaveFormat(format);
    const TWaveFormatEx* held = GetWaveFormat();
    const bool eightBitPcm =
        held != nullptr && held->wFormatTag == WAVE_FORMAT_PCM && held->wBitsPerSample == 8;
    silence_ = eightBitPcm ? static_cast<char>(128) : 0;
}

void TMMCustomWaveFile::fireOnMainThread(const TMMComponentEvent& event) {
    if (event)
        SynchronizeFromWorker([&] { event(this); });
}

void TMMCustomWaveFile::NotifyOpened() {
    TMMDSPComponent::NotifyOpened();
    if (fileOpen_)
        return;
    if (GetInput() != nullptr)
        openForRecording();
    else
        openForReading();
}

void TMMCustomWaveFile::openForRecording() {
    SetWaveFormat(GetInput()->GetWaveFormat());
    const TWaveFormatEx* format = GetWaveFormat();
    if (format == nullptr || wave_->GetFileName().empty())
        return;
    if (overwriteExisting_ || wave_->GetDataSize() == 0)
        wave_->CreateFile(wave_->GetFileName(), format);
    else
        wave_->Open();
    recordingPath_ = wave_->GetFileName();
    fileOpen_ = true;
    fireOnMainThread(OnOpen);
}

void TMMCustomWaveFile::openForReading() {
    if (wave_->GetDataSize() == 0)
        return;
    wave_->Open();
    startPosition_ = wave_->GetPosition();
    fileOpen_ = true;
    fireOnMainThread(OnOpen);
}

void TMMCustomWaveFile::NotifyStarted() {
    TMMDSPComponent::NotifyStarted();
    if (!fileOpen_ || started_)
        return;
    started_ = true;
    if (GetInput() == nullptr)
        wave_->SetPosition(startPosition_);
}

void TMMCustomWaveFile::NotifyStopped() {
    started_ = false;
    if (TMMFadeList* fades = wave_->GetFadeList())
        fades->Clear();
    TMMDSPComponent::NotifyStopped();
}

void TMMCustomWaveFile::NotifyClosed() {
    if (fileOpen_) {
        NotifyStopped();
        const PWaveIOInfo info = wave_->GetWaveIOInfo();
        if (GetInput() != nullptr && !wave_->GetFileName().empty() && info != nullptr &&
            info->dataSize == 0) {
            // A data chunk that holds nothing is refused by some readers.
            const char nothing[4] = {};
            wave_->WriteData(nothing, sizeof nothing);
        }
        wave_->Close();
        fileOpen_ = false;
        fireOnMainThread(OnClose);
    }
    TMMDSPComponent::NotifyClosed();
}

void TMMCustomWaveFile::record(const TMMBufferHeader& buffer) {
    const std::uint32_t bytes = buffer.wh.dwBytesRecorded;
    if (wave_->GetFileName().empty() || bytes == 0)
        return;
    const bool room = EnoughDiskSpace(wave_->FreeSpace(recordingPath_), bytes,
                                      static_cast<std::uint64_t>(wave_->GetIOBufferSize()));
    if (!room || wave_->WriteData(buffer.wh.lpData, static_cast<std::int32_t>(bytes)) <= 0)
        NotifyClosed();
}

void TMMCustomWaveFile::BufferReady(PWaveHdr lpWaveHdr) {
    if (started_ && enabled_ && GetInput() != nullptr)
        record(*lpWaveHdr);
    TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMCustomWaveFile::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
    if (GetInput() != nullptr) {
        TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
        if (started_ && enabled_)
            record(*lpWaveHdr);
        return;
    }
    serve(*lpWaveHdr, MoreBuffers);
}

void TMMCustomWaveFile::serve(TMMBufferHeader& buffer, bool& moreBuffers) {
    if (wave_->GetDataSize() == 0) {
        buffer.wh.dwBytesRecorded = 0;
        return;
    }
    if (!started_ || !enabled_) {
        std::fill(buffer.wh.lpData, buffer.wh.lpData + buffer.wh.dwBufferLength, silence_);
        buffer.wh.dwBytesRecorded = buffer.wh.dwBufferLength;
        moreBuffers = true;
        return;
    }
    const std::int32_t got =
        wave_->ReadData(buffer.wh.lpData, static_cast<std::int32_t>(buffer.wh.dwBufferLength));
    buffer.wh.dwBytesRecorded = static_cast<std::uint32_t>(std::max(got, 0));
    if (got == 0)
        return;
    moreBuffers = wave_->GetBytesLeft() > 0;
    if (moreBuffers)
        return;
    const bool loops = buffer.LoopEnabled != 0 &&
                       (buffer.LoopCount == 0 || (buffer.LoopCount > 0 && --buffer.LoopsLeft >= 0));
    if (loops) {
        wave_->SetPosition(0);
        if (OnLooping)
            OnLooping(this);
        moreBuffers = true;
        buffer.LoopRestarted = MMTrue;
    }
}

} // namespace vantrel
