// The wave file component. TMMWave stands for one WAVE file: it loads and validates a file by
// name, keeps its play region, opens it for reading or writing, converts positions between the
// units of its time format and saves its region to another file. TMMWaveFile is the stream
// component around one TMMWave: without an Input it serves pulled buffers from the file; with an
// Input it records every buffer that passes through it into the file.
#pragma once

#include "DiskSpace.h"
#include "MMDSPObj.h"
#include "MMFade.h"
#include "MMWaveIO.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vantrel {

class EMMWaveError : public EMMError {
public:
    using EMMError::EMMError;
};

class TMMWave;

// Progress of a save: bytes copied so far and in all (both bytes); set `Cancel` to stop.
using TMMWaveProgress =
    std::function<void(TMMWave* Sender, std::int32_t CurByte, std::int32_t NumBytes, bool& Cancel)>;

// Frees a WaveIOInfo record with FreeWaveInfo.
struct WaveIOInfoDeleter {
    void operator()(WaveIOInfo* info) const noexcept;
};
using WaveIOInfoPtr = std::unique_ptr<WaveIOInfo, WaveIOInfoDeleter>;

// One WAVE file. Runs on the main thread, except ReadData and WriteData, which the component's
// buffer path calls on the thread that drives the chain (never concurrently with the rest).
class TMMWave {
public:
    static constexpr std::int32_t DefaultIOBufferSize = 32768; // bytes
    static constexpr std::int32_t MinIOBufferSize = 8192;      // bytes

    TMMWave();
    TMMWave(const TMMWave&) = delete;
    TMMWave& operator=(const TMMWave&) = delete;
    ~TMMWave();

    // --- Properties --------------------------------------------------------------------------
    const std::string& GetFileName() const { return fileName_; }
    // Loads the file `name` (expanded to a full path); an empty name clears the wave. Raises
    // EMMWaveError for a missing file when FileMustExist, and for a file that is not WAVE.
    void SetFileName(const std::string& name);
    bool GetFileMustExist() const { return fileMustExist_; }
    void SetFileMustExist(bool mustExist) { fileMustExist_ = mustExist; }
    std::int32_t GetIOBufferSize() const { return ioBufferSize_; }
    // Bytes; values below MinIOBufferSize become MinIOBufferSize. Takes effect at the next open.
    void SetIOBufferSize(std::int32_t bytes);
    TMMTimeFormats GetTimeFormat() const { return timeFormat_; }
    void SetTimeFormat(TMMTimeFormats format);
    TMMWaveProgress OnProgress;

    std::uint16_t GetBitLength() const;
    TMMMode GetMode() const;
    std::uint16_t GetFormatTag() const;
    std::string GetFormatString() const;
    std::int32_t GetSampleRate() const;
    std::int32_t GetFileSize() const;
    // Frames of the file in TimeFormat units.
    std::int32_t GetDataSize() const;
    // The file's format, or null without a record. Owned by the wave.
    const TWaveFormatEx* GetWaveFormat() const;
    // The record of the file, or null. Owned by the wave.
    PWaveIOInfo GetWaveIOInfo() const { return info_.get(); }
    bool IsOpened() const { return opened_; }
    // Bytes of the region still to be read.
    std::int32_t GetBytesLeft() const { return bytesLeft_; }

    // --- Operations --------------------------------------------------------------------------
    // Creates `name` (replacing a file of that name) for writing `format`; the wave is opened.
    void CreateFile(const std::string& name, const TWaveFormatEx* format);
    // Opens the record for data transfer at the current position.
    void Open();
    // Closes the file, finalising it when it was written to; the record stays.
    void Close();
    // Position in TimeFormat units; while opened, the file follows.
    void SetPosition(std::int32_t units);
    std::int32_t GetPosition() const;
    // Reads up to `length` bytes of the region into `buffer`; bytes read, or -1 at the end.
    std::int32_t ReadData(char* buffer, std::int32_t length);
    // Writes `length` bytes at the file position; bytes written, 0 when the file is full,
    // -1 without a record.
    std::int32_t WriteData(const char* buffer, std::int32_t length);
    // Writes the region into `name` through a temporary file in the same folder, then replaces
    // `name` by it. Runs the main thread's pending calls and OnProgress after each second of
    // audio; a cancel leaves an existing `name` untouched.
    void SaveToFile(const std::string& name);
    // Back to no file.
    void Clear();
    // Takes the settings and the file of `other`.
    void Assign(const TMMWave& other);

    // --- Change observers --------------------------------------------------------------------
    // Called after every change of file, region or time format, newest observer first.
    int Subscribe(std::function<void()> observer);
    void Unsubscribe(int token);

    // --- Fades and free space ----------------------------------------------------------------
    // A fade list applied to PCM data as it is read (not owned; null for none).
    void SetFadeList(TMMFadeList* list) { fadeList_ = list; }
    TMMFadeList* GetFadeList() const { return fadeList_; }
    void SetFadeOff(bool off) { fadeOff_ = off; }
    // How free space is measured before writes (DiskFreeSpace unless replaced).
    void SetFreeSpaceQuery(FreeSpaceQuery query) { freeSpace_ = std::move(query); }
    // Bytes free on the volume of `path`, by the query in effect.
    std::uint64_t FreeSpace(const std::filesystem::path& path) const { return freeSpace_(path); }

private:
    std::int32_t toFrames(std::int32_t units) const;
    std::int32_t toUnits(std::int32_t frames) const;
    // Back to no file without reporting; true when there was a name or a record.
    bool reset();
    // Takes `info` as the wave's record, replacing what there was.
    void takeRecord(WaveIOInfoPtr info);
    void rebuildSegments();
    void seekFile(std::int32_t frame);
    void changed();
    // Copies the region into the open record `target`; true when all of it was copied.
    bool copyRegionTo(PWaveIOInfo target, const std::string& destination, bool& cancelled);

    WaveIOInfoPtr info_;
    std::string fileName_;
    bool fileMustExist_ = true;
    std::int32_t ioBufferSize_ = DefaultIOBufferSize;
    TMMTimeFormats timeFormat_ = tfSample;
    std::int32_t regionStart_ = 0; // frames
    std::int32_t regionEnd_ = 0;   // frames
    std::int32_t position_ = 0;    // frames
    std::int32_t bytesLeft_ = 0;   // in the region
    std::int32_t totalBytes_ = 0;  // of the region
    // The region as one segment: reading runs from its start byte for its byte count.
    std::int32_t segmentStartFrame_ = 0;
    std::int32_t segmentFrames_ = 0;
    std::int32_t segmentBytesLeft_ = 0;
    bool opened_ = false;
    int updating_ = 0; // Assign in progress: changes are reported once at its end
    bool changePending_ = false;
    TMMFadeList* fadeList_ = nullptr;
    bool fadeOff_ = false;
    std::vector<std::pair<int, std::function<void()>>> observers_;
    int nextObserverToken_ = 1;
    FreeSpaceQuery freeSpace_ = DiskFreeSpace;
};

// The stream component around one TMMWave: a reader without an Input, a recorder (a tap that
// passes every buffer on unchanged) with one.
class TMMCustomWaveFile : public TMMDSPComponent {
public:
    TMMCustomWaveFile();
    ~TMMCustomWaveFile() override;

    TMMWave& GetWave() { return *wave_; }
    const TMMWave& GetWave() const { return *wave_; }
    bool GetEnabled() const { return enabled_; }
    void SetEnabled(bool enabled) { enabled_ = enabled; }
    bool GetOverwriteExisting() const { return overwriteExisting_; }
    void SetOverwriteExisting(bool overwrite) { overwriteExisting_ = overwrite; }
    bool IsFileOpen() const { return fileOpen_; }

    // Reader values: no data; length (ms); position in the wave's TimeFormat units and in ms.
    bool IsEmpty() const { return wave_->GetDataSize() == 0; }
    std::int32_t GetTime() const;
    std::int32_t GetPosition() const { return wave_->GetPosition(); }
    void SetPosition(std::int32_t units) { wave_->SetPosition(units); }
    std::int32_t GetPositionMs() const;
    void SetPositionMs(std::int32_t ms);

    void SetWaveFormat(const TWaveFormatEx* format) override;
    void NotifyOpened() override;
    void NotifyClosed() override;
    void NotifyStarted() override;
    void NotifyStopped() override;
    void BufferReady(PWaveHdr lpWaveHdr) override;
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

    TMMComponentEvent OnChange;  // the wave changed (file, region, time format)
    TMMComponentEvent OnChanged; // after OnChange
    TMMComponentEvent OnOpen;    // the file was opened; on the main thread
    TMMComponentEvent OnClose;   // the file was closed; on the main thread
    TMMComponentEvent OnLooping; // the reader wrapped to the start

private:
    void waveChanged();
    void openForRecording();
    void openForReading();
    // Writes the valid bytes of a buffer; on a full volume or a failed write the component
    // closes itself, which finishes the file with what was written.
    void record(const TMMBufferHeader& buffer);
    void serve(TMMBufferHeader& buffer, bool& moreBuffers);
    // Runs `event` on the main thread when called on a stream worker thread, else right here.
    void fireOnMainThread(const TMMComponentEvent& event);

    std::unique_ptr<TMMWave> wave_;
    int observerToken_ = 0;
    char silence_ = 0;
    bool fileOpen_ = false;
    bool started_ = false;
    bool enabled_ = true;
    bool overwriteExisting_ = true;
    std::int32_t startPosition_ = 0;      // wave position (units) to start from
    std::filesystem::path recordingPath_; // the file being recorded, for the free-space check
};

// The published component: Input, Output, Wave, Enabled, OverwriteExisting and the events.
class TMMWaveFile : public TMMCustomWaveFile {
public:
    TMMWaveFile() { publishLinks(true, true); }
};

} // namespace vantrel
