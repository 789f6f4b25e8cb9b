#include "MMAudio.h"

#include "MMMPEG.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace vantrel {

namespace {

const char* const NotAnAudioFile = "This is not a valid Audiofile";
// The envelope's last point lies this far behind the file end, ms.
constexpr std::int32_t EnvelopeTail = 10000;
// Bytes of silence that close a run.
constexpr std::uint32_t ClosingSilenceBytes = 4;

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// TMMWaveFile behind the reader interface.
class TMMWaveReader final : public TMMCustomFile {
public:
    TMMWaveReader() {
        wave_.OnChange = [this](TMMDSPComponent*) {
            SetWaveFormat(wave_.GetWave().GetWaveFormat());
            if (OnChange)
                OnChange(this);
        };
    }

    TMMAudioFileType FileTypeCode() const override { return ftWave; }
    std::int32_t GetBlockSize() const override {
        const TWaveFormatEx* format = GetWaveFormat();
        return format != nullptr ? format->nBlockAlign : 0;
    }
    bool IsEmpty() const override { return wave_.IsEmpty(); }
    std::int32_t GetTime() const override { return wave_.GetTime(); }
    const std::string& GetFileName() const override { return wave_.GetWave().GetFileName(); }
    void SetFileName(const std::string& name) override { wave_.GetWave().SetFileName(name); }
    bool GetEnabled() const override { return wave_.GetEnabled(); }
    void SetEnabled(bool enabled) override { wave_.SetEnabled(enabled); }
    std::int32_t GetPosition() const override { return wave_.GetPosition(); }
    void SetPosition(std::int32_t position) override { wave_.SetPosition(position); }
    std::int32_t GetPositionMs() const override { return wave_.GetPositionMs(); }
    void SetPositionMs(std::int32_t ms) override { wave_.SetPositionMs(ms); }

    void NotifyOpened() override {
        TMMCustomFile::NotifyOpened();
        wave_.NotifyOpened();
    }
    void NotifyClosed() override {
        wave_.NotifyClosed();
        TMMCustomFile::NotifyClosed();
    }
    void NotifyStarted() override {
        TMMCustomFile::NotifyStarted();
        wave_.NotifyStarted();
    }
    void NotifyStopped() override {
        wave_.NotifyStopped();
        TMMCustomFile::NotifyStopped();
    }
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override {
        wave_.BufferLoad(lpWaveHdr, MoreBuffers);
    }

private:
    TMMWaveFile wave_;
};

bool getWaveFileInfo(const std::string& fileName, TMMAudioFileInfo& info) {
    PWaveIOInfo wave = nullptr;
    if (ReadWaveInfo(wave, fileName, FormWave, WaveIOModeFile) != 0)
        return false;
    info = TMMAudioFileInfo{};
    info.type = ftWave;
    if (wave->waveFormat->nSamplesPerSec > 0)
        info.length =
            static_cast<std::int32_t>(SamplesToMs64(*wave->waveFormat, wave->totalSamples));
    FreeWaveInfo(wave);
    return true;
}

std::vector<TRegisterRec>& registry() {
    static std::vector<TRegisterRec> list;
    return list;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Reader classes

std::int32_t TMMCustomFile::GetSampleRate() const {
    const TWaveFormatEx* format = GetWaveFormat();
    return format != nullptr ? static_cast<std::int32_t>(format->nSamplesPerSec) : 0;
}

std::int32_t TMMCustomFile::GetChannels() const {
    const TWaveFormatEx* format = GetWaveFormat();
    return format != nullptr ? format->nChannels : 0;
}

bool ExtensionMatches(const std::string& fileName, const std::string& patterns) {
    const std::string extension = upper(std::filesystem::path(fileName).extension().string());
    if (extension.empty())
        return true;
    const std::string list = upper(patterns);
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t end = std::min(list.find(';', start), list.size());
        // A pattern is "*" followed by the extension with its dot.
        const bool matches = end - start == extension.size() + 1 && list[start] == '*' &&
                             list.compare(start + 1, extension.size(), extension) == 0;
        if (matches)
            return true;
        start = end + 1;
    }
    return false;
}

bool HasAudioFileExtension(const std::string& fileName) {
    const std::vector<TRegisterRec>& list = FileClassList();
    return std::any_of(list.begin(), list.end(), [&](const TRegisterRec& entry) {
        return ExtensionMatches(fileName, entry.fileClass->fileExtensions);
    });
}

bool IsLoadableName(const std::string& fileName) {
    const std::string name = upper(fileName);
    if (startsWith(name, "RESOURCE://") || startsWith(name, "POINTER://"))
        return true;
    std::error_code error;
    return std::filesystem::exists(fileName, error);
}

const TMMFileClass& WaveFileClass() {
    static const TMMFileClass fileClass{"TMMWaveFile",
                                        ftWave,
                                        "*.wav",
                                        "Wave Files(*.wav)|*.wav",
                                        [](const std::string& fileName) {
                                            return HasAudioFileExtension(fileName) &&
                                                   IsWaveFile(fileName);
                                        },
                                        &getWaveFileInfo,
                                        [] {
                                            return std::make_unique<TMMWaveReader>();
                                        }};
    return fileClass;
}

void RegisterFileClass(const TMMFileClass& fileClass, std::int32_t priority) {
    std::vector<TRegisterRec>& list = registry();
    const auto listed = [&](const TRegisterRec& entry) {
        return entry.fileClass->className == fileClass.className;
    };
    if (std::any_of(list.begin(), list.end(), listed))
        return;
    const auto before = std::find_if(list.begin(), list.end(), [&](const TRegisterRec& entry) {
        return entry.priority >= 0 && entry.priority > priority;
    });
    list.insert(before, TRegisterRec{&fileClass, priority});
}

const std::vector<TRegisterRec>& FileClassList() {
    static const bool builtInsEntered = [] {
        RegisterFileClass(WaveFileClass(), 5);
        RegisterFileClass(TMMMPEGFile::FileClass(), 1);
        return true;
    }();
    static_cast<void>(builtInsEntered);
    return registry();
}

// ---------------------------------------------------------------------------------------------
// TMMAudioFile: loading

TMMAudioFile::TMMAudioFile()
    : adpcmConverter_(std::make_unique<TMMADPCMConverter>()),
      pcmConverter_(std::make_unique<TMMPCMConverter>()) {
    publishLinks(false, true);
    adpcmConverter_->SetOutput(pcmConverter_.get());
    // The component publishes no Input; only its own converter may link to it.
    SetInputLinkAllowed(true);
    pcmConverter_->SetOutput(this);
    SetInputLinkAllowed(false);
}

TMMAudioFile::~TMMAudioFile() {
    markDestroying();
    unload();
}

void TMMAudioFile::unload() {
    {
        std::lock_guard guard(lock_);
        bytesPlayed_ = 0;
        fadeInLength_ = 0;
        fadeOutLength_ = 0;
        endPosition_ = 0;
        fileLength_ = 0;
    }
    if (reader_ == nullptr)
        return;
    reader_->SetFileName("");
    adpcmConverter_->SetInput(nullptr);
    reader_.reset();
}

void TMMAudioFile::SetFileName(const std::string& name) {
    if (IsDestroying() || name == fileName_)
        return;
    // The reader is replaced under the lock, so that a pull never reaches a freed one.
    std::lock_guard guard(lock_);
    unload();
    fileName_.clear();
    if (name.empty() || !IsLoadableName(name))
        return;
    for (const TRegisterRec& entry : FileClassList()) {
        if (entry.fileClass->canLoad(name)) {
            attach(*entry.fileClass, name);
            fileName_ = name;
            return;
        }
    }
    adpcmConverter_->SetInput(nullptr);
    throw EMMAudioError(NotAnAudioFile);
}

void TMMAudioFile::attach(const TMMFileClass& fileClass, const std::string& name) {
    std::unique_ptr<TMMCustomFile> reader = fileClass.create();
    reader->SetEnabled(enabled_);
    if (reader->FileTypeCode() == ftMpeg)
        reader->SetTrailingHeader(mpegTrailingHeader_);
    reader->OnChange = [this](TMMDSPComponent*) {
        if (OnChange)
            OnChange(this);
    };
    if (OnFileLoading)
        OnFileLoading(this);
    try {
        reader->SetFileName(name);
        reader_ = std::move(reader);
        adpcmConverter_->SetInput(reader_.get());
        // A format the ADPCM converter cannot decode goes on to the PCM converter.
        adpcmConverter_->SetEnabled(true);
        if (adpcmConverter_->GetConversionNeeded() && !adpcmConverter_->GetConversionPossible())
            adpcmConverter_->SetEnabled(false);
    } catch (...) {
        adpcmConverter_->SetInput(nullptr);
        reader_.reset();
        throw;
    }
    {
        std::lock_guard guard(lock_);
        endPosition_ = reader_->GetTime();
        startPosition_ = 0;
        fileLength_ = endPosition_;
    }
    if (OnFileLoaded)
        OnFileLoaded(this);
}

void TMMAudioFile::SetEnabled(bool enabled) {
    enabled_ = enabled;
    if (reader_ != nullptr)
        reader_->SetEnabled(enabled);
}

TMMAudioFileType TMMAudioFile::GetFileType() const {
    return hasData() ? reader_->FileTypeCode() : ftNone;
}

void TMMAudioFile::SetMpegTrailingHeader(std::int32_t bytes) {
    mpegTrailingHeader_ = bytes;
    if (reader_ != nullptr && reader_->FileTypeCode() == ftMpeg)
        reader_->SetTrailingHeader(bytes);
}

std::int32_t TMMAudioFile::GetFileSampleRate() const {
    return hasData() ? reader_->GetSampleRate() : 0;
}

// ---------------------------------------------------------------------------------------------
// TMMAudioFile: envelope

void TMMAudioFile::SetVolume(std::int32_t volume) {
    // Under the lock: a loop restart on the pulling thread rebuilds the envelope from it.
    std::lock_guard guard(lock_);
    volume_ = std::clamp(volume, 0, MaxVolume);
    if (started_)
        rebuildEnvelope();
}

void TMMAudioFile::SetPanning(std::int32_t panning) {
    std::lock_guard guard(lock_);
    panning_ = std::clamp(panning, -MaxPanning, MaxPanning);
    if (started_)
        rebuildEnvelope();
}

void TMMAudioFile::gains(std::int32_t volume, std::int32_t& left, std::int32_t& right) const {
    left = volume;
    right = volume;
    if (panning_ > 0)
        left = volume * (MaxPanning - panning_) / MaxPanning;
    else
        right = volume * (MaxPanning + panning_) / MaxPanning;
}

void TMMAudioFile::rebuildEnvelope() {
    const TWaveFormatEx* format = GetWaveFormat();
    if (!hasData() || format == nullptr)
        return;
    std::lock_guard guard(lock_);
    fades_.Clear();
    const std::int32_t end = std::max(std::min(endPosition_, fileLength_ - 1), 1);
    const std::int32_t fadeIn = std::max(std::min(fadeInLength_, end - 1), 0);
    stopEarly_ = end < fileLength_ - 1;
    const auto add = [&](std::int32_t ms, std::int32_t volume) {
        TMMFadePoint point{MsToBytes(*format, ms), volume, 0, 0, 0};
        gains(volume, point.left, point.right);
        fades_.AddPoint(point);
    };
    add(0, 0);
    if (startPosition_ > 0)
        add(startPosition_, 0);
    add(startPosition_ + fadeIn + 1, volume_);
    add(end, volume_);
    add(end + fadeOutLength_, 0);
    add(fileLength_ + EnvelopeTail, 0);
    fades_.SortPoints();
    const std::int32_t position = MsToBytes(*format, GetPosition());
    std::int32_t left = 0;
    std::int32_t right = 0;
    gains(fades_.VolumeAt(position), left, right);
    fades_.SetCursor(position, left, right);
}

void TMMAudioFile::FadeOut(std::int32_t ms) {
    if (!started_)
        return;
    std::lock_guard guard(lock_);
    if (!fading_) {
        savedEnd_ = endPosition_;
        savedFadeOutLength_ = fadeOutLength_;
    }
    fading_ = true;
    const std::int32_t position = GetPosition();
    endPosition_ = position;
    fadeOutLength_ = std::max(std::min(ms, fileLength_ - position), 0);
    rebuildEnvelope();
}

void TMMAudioFile::undoFadeOut() {
    if (fading_) {
        endPosition_ = savedEnd_;
        fadeOutLength_ = savedFadeOutLength_;
    }
    fading_ = false;
    stopEarly_ = false;
}

// ---------------------------------------------------------------------------------------------
// TMMAudioFile: position

std::int32_t TMMAudioFile::GetPosition() const {
    std::lock_guard guard(lock_);
    const TWaveFormatEx* format = GetWaveFormat();
    if (started_ && format != nullptr)
        return BytesToMs(*format, bytesPlayed_) + startPosition_;
    return hasData() ? reader_->GetPositionMs() : 0;
}

void TMMAudioFile::SetPosition(std::int32_t ms) {
    // The reader moves under the lock, so that a pull on the device's thread never reads from
    // it half-way through a seek.
    std::lock_guard guard(lock_);
    seekLocked(std::clamp(ms, 0, fileLength_));
}

void TMMAudioFile::seekLocked(std::int32_t ms) {
    if (hasData())
        reader_->SetPositionMs(ms);
    if (!started_)
        return;
    startPosition_ = ms;
    restartRun();
    adpcmConverter_->NotifyReset();
    pcmConverter_->NotifyReset();
    rebuildEnvelope();
}

// Begins a run at the start position: nothing played, the end not reached.
void TMMAudioFile::restartRun() {
    endReached_ = false;
    silenceSent_ = false;
    bytesPlayed_ = 0;
}

// ---------------------------------------------------------------------------------------------
// TMMAudioFile: life cycle and pull

void TMMAudioFile::NotifyOpened() {
    TMMDSPComponent::NotifyOpened();
    std::lock_guard guard(lock_);
    opened_ = true;
    endReached_ = false;
    silenceSent_ = false;
}

void TMMAudioFile::NotifyStarted() {
    TMMDSPComponent::NotifyStarted();
    if (!hasData() || started_)
        return;
    std::lock_guard guard(lock_);
    startPosition_ = reader_->GetPositionMs();
    restartRun();
    started_ = true;
    rebuildEnvelope();
}

void TMMAudioFile::NotifyReset() {
    if (opened_) {
        std::lock_guard guard(lock_);
        bytesPlayed_ = 0;
        startPosition_ = GetPosition();
        restartRun();
        undoFadeOut();
        rebuildEnvelope();
    }
    TMMDSPComponent::NotifyReset();
}

void TMMAudioFile::NotifyStopped() {
    if (started_) {
        std::lock_guard guard(lock_);
        endReached_ = true;
        silenceSent_ = true;
        undoFadeOut();
        started_ = false;
    }
    TMMDSPComponent::NotifyStopped();
}

void TMMAudioFile::NotifyClosed() {
    {
        std::lock_guard guard(lock_);
        endReached_ = true;
        silenceSent_ = true;
        opened_ = false;
    }
    TMMDSPComponent::NotifyClosed();
}

void TMMAudioFile::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
    std::lock_guard guard(lock_);
    if (!opened_ || !started_)
        return;
    try {
        pull(*lpWaveHdr, MoreBuffers);
    } catch (const std::exception&) {
        bool handled = false;
        if (OnError)
            OnError(this, handled);
        if (!handled)
            throw;
        lpWaveHdr->wh.dwBytesRecorded = std::min(ClosingSilenceBytes, lpWaveHdr->wh.dwBufferLength);
    }
}

void TMMAudioFile::pull(TMMBufferHeader& buffer, bool& moreBuffers) {
    const TWaveFormatEx* format = GetWaveFormat();
    if (!endReached_) {
        const std::uint32_t length = buffer.wh.dwBufferLength;
        const std::int32_t loopEnabled = buffer.LoopEnabled;
        buffer.LoopEnabled = 0;
        TMMDSPComponent::BufferLoad(&buffer, moreBuffers);
        buffer.wh.dwBufferLength = length;
        buffer.LoopEnabled = loopEnabled;
        const auto bytes = static_cast<std::int32_t>(buffer.wh.dwBytesRecorded);
        bytesPlayed_ += bytes;
        if (format != nullptr && bytes > 0)
            fades_.ApplyFade(*format, buffer.wh.lpData, bytes);
    } else {
        buffer.wh.dwBytesRecorded = 0;
    }
    const bool nothing = buffer.wh.dwBytesRecorded == 0;
    const bool pastFade = stopEarly_ && GetPosition() >= endPosition_ + fadeOutLength_;
    if (nothing || !moreBuffers || pastFade) {
        moreBuffers = false;
        endReached_ = true;
        const bool loops =
            !fading_ && buffer.LoopEnabled != 0 &&
            (buffer.LoopCount == 0 || (buffer.LoopCount > 0 && --buffer.LoopsLeft >= 0));
        if (loops) {
            seekLocked(0);
            moreBuffers = true;
            buffer.LoopRestarted = MMTrue;
            endReached_ = false;
        }
    }
    if (nothing && endReached_ && !silenceSent_) {
        // 8-bit PCM is silent at its mid value; 0 would be a click at full scale.
        const bool eightBit = format != nullptr && format->wBitsPerSample == 8;
        const std::uint32_t bytes = std::min(ClosingSilenceBytes, buffer.wh.dwBufferLength);
        std::fill_n(buffer.wh.lpData, bytes, eightBit ? static_cast<char>(128) : 0);
        buffer.wh.dwBytesRecorded = bytes;
        silenceSent_ = true;
    }
}

} // namespace vantrel
