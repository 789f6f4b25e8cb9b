// The audio file source. TMMCustomFile is the base of every file reader; the file class list
// names the reader classes with their file type, extensions and dialog texts, in the order they
// are asked to load a file. TMMAudioFile picks a reader for a file name, plays it through an
// ADPCM and a PCM converter so that PCM leaves it, and shapes the stream with a gain envelope:
// volume, panning, a 1 ms ramp at each start, a fade-out and the end of the play region.
//
// Properties, loading and seeking run on the main thread; BufferLoad runs on the thread of the
// device that pulls. The envelope and the reader's position change under the component's lock,
// so that a pull never meets them half-changed.
#pragma once

#include "MMACMCvt.h"
#include "MMADCvt.h"
#include "MMDSPObj.h"
#include "MMFade.h"
#include "MMObj.h"
#include "MMWave.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace vantrel {

class EMMAudioError : public EMMError {
public:
    using EMMError::EMMError;
};

enum TMMAudioFileType { ftNone, ftWave, ftMpeg, ftWMA, ftVorbis, ftCDA };

// Asked when reading fails during playback; set `Handled` to go on with silence.
using TMMErrorEvent = std::function<void(TMMDSPComponent* Sender, bool& Handled)>;

// What file dialogs show of a file.
struct TMMAudioFileInfo {
    TMMAudioFileType type = ftNone;
    std::int32_t length = 0; // ms
    std::string title, artist, album, year, comment;
    std::int32_t track = 0;
    std::int32_t genre = -1;
};

// A file reader: a stream component without an Input that serves pulled buffers from a file.
class TMMCustomFile : public TMMDSPComponent {
public:
    TMMCustomFile() { publishLinks(false, true); }

    virtual TMMAudioFileType FileTypeCode() const = 0;
    // Bytes of one block of the delivered stream (WAVE: nBlockAlign; MPEG: bytes per frame).
    virtual std::int32_t GetBlockSize() const = 0;
    // Bytes of a trailing header at the file end (MPEG only; others ignore it).
    virtual void SetTrailingHeader(std::int32_t) {}
    virtual std::int32_t GetTrailingHeader() const { return 0; }
    // True when no playable data is loaded.
    virtual bool IsEmpty() const = 0;
    // Length of the file, ms.
    virtual std::int32_t GetTime() const = 0;
    virtual const std::string& GetFileName() const = 0;
    // Loads the file `name`, or unloads with an empty name; raises the reader's error for a
    // file it cannot read.
    virtual void SetFileName(const std::string& name) = 0;
    virtual bool GetEnabled() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    // Position in the reader's own unit (WAVE: its time format; MPEG: frames).
    virtual std::int32_t GetPosition() const = 0;
    virtual void SetPosition(std::int32_t position) = 0;
    virtual std::int32_t GetPositionMs() const = 0;
    virtual void SetPositionMs(std::int32_t ms) = 0;
    // Interrupts a running decode.
    virtual void AbortRead() {}

    std::int32_t GetSampleRate() const;
    std::int32_t GetChannels() const;
    // kbit/s; 0 unless the reader knows it.
    virtual std::int32_t GetBitRate() const { return 0; }

    TMMComponentEvent OnChange; // the file or its format changed
    TMMErrorEvent OnError;      // reading failed during playback
};

// One reader class: what the file dialogs and the audio file source ask of it.
struct TMMFileClass {
    std::string className;
    TMMAudioFileType fileTypeCode;
    std::string fileExtensions; // ";"-separated patterns, "*.wav"
    std::string fileFilter;     // for file dialogs
    std::function<bool(const std::string& fileName)> canLoad;
    std::function<bool(const std::string& fileName, TMMAudioFileInfo& info)> getFileInfo;
    std::function<std::unique_ptr<TMMCustomFile>()> create;
};

// An entry of the file class list: a class and its signed priority.
struct TRegisterRec {
    const TMMFileClass* fileClass;
    std::int32_t priority;
};

// Enters `fileClass` (kept by reference; it must live to the end of the program) into the list
// in ascending priority, after the entries of equal priority; a class of a name already listed
// is not entered again. Main thread.
void RegisterFileClass(const TMMFileClass& fileClass, std::int32_t priority);
// The list, with the built-in classes entered at first use: the wave class (5), then the MPEG
// class (1), which makes the MPEG class the first asked.
const std::vector<TRegisterRec>& FileClassList();

// The wave reader class (TMMWaveFile behind the reader interface).
const TMMFileClass& WaveFileClass();

// Whether `fileName` has no extension or one of the ";"-separated `patterns` ("*.mp3"),
// compared in upper case.
bool ExtensionMatches(const std::string& fileName, const std::string& patterns);
// Whether `fileName` has no extension or the extension of a class of the list. The readers
// accept each other's extensions and decide by content, so that a file whose name claims the
// wrong audio format (a WAVE file named ".mp3", MPEG audio in a ".wav" file) still plays.
bool HasAudioFileExtension(const std::string& fileName);
// Whether `fileName` names an existing file or a "RESOURCE://" or "POINTER://" source.
bool IsLoadableName(const std::string& fileName);

class TMMAudioFile : public TMMDSPComponent {
public:
    static constexpr std::int32_t UnityVolume = 16384;
    static constexpr std::int32_t MaxVolume = 32768;
    static constexpr std::int32_t MaxPanning = 32768;

    TMMAudioFile();
    ~TMMAudioFile() override;

    // --- Published ---------------------------------------------------------------------------
    const std::string& GetFileName() const { return fileName_; }
    // Loads `name` with the first class of the list that can load it; an empty name unloads.
    // Raises EMMAudioError "This is not a valid Audiofile" when no class can; a missing file
    // leaves the component without a file and raises nothing.
    void SetFileName(const std::string& name);
    bool GetEnabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    TMMAudioFileType GetFileType() const;
    std::int32_t GetMpegTrailingHeader() const { return mpegTrailingHeader_; }
    void SetMpegTrailingHeader(std::int32_t bytes);
    std::int32_t GetVolume() const { return volume_; }
    // 0 ... 32768, 16384 = unity.
    void SetVolume(std::int32_t volume);
    std::int32_t GetPanning() const { return panning_; }
    // -32768 (left only) ... 32768 (right only).
    void SetPanning(std::int32_t panning);

    TMMComponentEvent OnChange;
    TMMErrorEvent OnError;
    TMMComponentEvent OnFileLoading;
    TMMComponentEvent OnFileLoaded;

    // --- Public ------------------------------------------------------------------------------
    // Position in ms: while playing, from the bytes played; else the reader's.
    std::int32_t GetPosition() const;
    // Seeks to `ms`, clamped to 0 ... FileLength.
    void SetPosition(std::int32_t ms);
    // Length of the loaded file, ms (0 without one).
    std::int32_t GetFileLength() const { return fileLength_; }
    // Sample rate of the file, Hz (0 without one).
    std::int32_t GetFileSampleRate() const;
    // While playing: fades to silence over `ms` milliseconds (at most to the file end) and ends
    // the run there.
    void FadeOut(std::int32_t ms);

    // The reader of the loaded file (owned; null without one) and the two converters.
    TMMCustomFile* GetReader() const { return reader_.get(); }
    TMMADPCMConverter& GetADPCMConverter() { return *adpcmConverter_; }
    TMMPCMConverter& GetPCMConverter() { return *pcmConverter_; }
    // The envelope in effect (for inspection).
    const TMMFadeList& GetFadeList() const { return fades_; }

    void NotifyOpened() override;
    void NotifyClosed() override;
    void NotifyStarted() override;
    void NotifyStopped() override;
    void NotifyReset() override;
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

private:
    void unload();
    // Loads `name` with a new reader of `fileClass`; on failure no reader stays.
    void attach(const TMMFileClass& fileClass, const std::string& name);
    bool hasData() const { return reader_ != nullptr && !reader_->IsEmpty(); }
    // Moves the reader and the run to `ms`; called with the lock held.
    void seekLocked(std::int32_t ms);
    void rebuildEnvelope();
    void undoFadeOut();
    void restartRun();
    // Fills a pulled buffer; the run's end, looping and the closing silence as the data asks.
    void pull(TMMBufferHeader& buffer, bool& moreBuffers);
    void gains(std::int32_t volume, std::int32_t& left, std::int32_t& right) const;

    // The state of a run, in the order the component keeps it.
    bool endReached_ = false;
    bool silenceSent_ = false;
    std::int32_t bytesPlayed_ = 0; // since the last start or seek
    TMMFadeList fades_;
    std::int32_t startPosition_ = 0; // ms
    std::int32_t fileLength_ = 0;    // ms
    std::int32_t fadeInLength_ = 0;  // ms
    std::int32_t fadeOutLength_ = 0; // ms
    std::int32_t savedEnd_ = 0;
    std::int32_t savedFadeOutLength_ = 0;
    std::int32_t volume_ = UnityVolume;
    std::int32_t panning_ = 0;
    bool fading_ = false;
    bool stopEarly_ = false;
    mutable TMMCriticalSection lock_;
    std::int32_t endPosition_ = std::numeric_limits<std::int32_t>::max(); // ms
    bool started_ = false;
    bool opened_ = false;
    std::unique_ptr<TMMCustomFile> reader_;
    std::unique_ptr<TMMADPCMConverter> adpcmConverter_;
    std::unique_ptr<TMMPCMConverter> pcmConverter_;

    std::string fileName_;
    bool enabled_ = true;
    std::int32_t mpegTrailingHeader_ = 0;
};

} // namespace vantrel
