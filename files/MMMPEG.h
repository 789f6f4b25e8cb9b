// TMMMPEGFile: the reader of MPEG audio files (Layer I, II and III), decoding through the MPEG
// decoder library (platform/MpegDecoder.h) to 16-bit PCM at the file's rate. Positions are
// frames. It also serves the player window's display of the frame header values.
#pragma once

#include "MMAudio.h"
#include "MpegDecoder.h"

#include <array>
#include <cstdint>
#include <string>

namespace vantrel {

class EMMMpegError : public EMMError {
public:
    using EMMError::EMMError;
};

enum TMpegVersion { v2LSF, v1 };
enum TSampleMode { smStereo, smJointStereo, smDualChannel, smSingleChannel };
enum TChannelMode { cmLeft, cmRight, cmBoth, cmDownMix };

class TMMMPEGFile : public TMMCustomFile {
public:
    // Raises EMMMpegError "Unable to load <library>" when the decoder library is unavailable.
    TMMMPEGFile();
    ~TMMMPEGFile() override;

    // The MPEG reader class: "*.mp2;*.mp3;*.atx".
    static const TMMFileClass& FileClass();
    // Whether this class can play `fileName` (extension, decoder library, content).
    static bool CanLoad(const std::string& fileName);

    // --- TMMCustomFile -----------------------------------------------------------------------
    TMMAudioFileType FileTypeCode() const override { return ftMpeg; }
    // Decoded bytes per frame, whole sample frames of 4 bytes.
    std::int32_t GetBlockSize() const override;
    void SetTrailingHeader(std::int32_t bytes) override;
    std::int32_t GetTrailingHeader() const override { return trailingHeader_; }
    bool IsEmpty() const override;
    std::int32_t GetTime() const override { return info_.duration; }
    const std::string& GetFileName() const override { return fileName_; }
    // Attaches `name` to the decoder (empty: drops the file); raises EMMMpegError with the
    // decoder's text when it cannot.
    void SetFileName(const std::string& name) override;
    bool GetEnabled() const override { return enabled_; }
    void SetEnabled(bool enabled) override { enabled_ = enabled; }
    // Frames.
    std::int32_t GetPosition() const override;
    void SetPosition(std::int32_t frame) override;
    std::int32_t GetPositionMs() const override;
    void SetPositionMs(std::int32_t ms) override;
    void AbortRead() override;
    std::int32_t GetBitRate() const override { return info_.bitRate; }

    // --- Frame header values (0 without a file, Version then v1) --------------------------
    std::int32_t GetPlayBackRate() const { return info_.sampleRate; }
    TMpegVersion GetVersion() const { return info_.version == 1 ? v1 : v2LSF; }
    std::int32_t GetLayer() const { return info_.layer; }
    TSampleMode GetMode() const { return static_cast<TSampleMode>(info_.mode); }
    std::int32_t GetFrames() const { return info_.frames; }
    // Duration of one frame, ms, rounded to nearest.
    std::int32_t GetMsPerFrame() const;

    TChannelMode GetChannelMode() const { return channelMode_; }
    // Raises EMMMpegError with message 60 while the decoder has the file open.
    void SetChannelMode(TChannelMode mode);
    bool GetExactposition() const { return exactPosition_; }
    // True (the default): the file is scanned when loaded, so that frame count and positions
    // are exact.
    void SetExactposition(bool exact);

    void NotifyOpened() override;
    void NotifyClosed() override;
    void NotifyStarted() override;
    void NotifyStopped() override;
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

private:
    static void decoderChanged(void* user);
    void readFileInfo();
    void seekFrame(std::int32_t frame);
    void serve(TMMBufferHeader& buffer, bool& moreBuffers);
    // Raises EMMMpegError with the decoder's text for `error` and `suffix`.
    [[noreturn]] void raise(int error, const std::string& suffix = "") const;

    const MpegDecoderFunctions* mpeg_ = nullptr;
    MpegHandle handle_ = nullptr;
    TMpegFileInfo info_{};
    std::string fileName_;
    bool enabled_ = true;
    std::int32_t trailingHeader_ = 0;
    TChannelMode channelMode_ = cmBoth;
    bool exactPosition_ = true;
    bool fileOpen_ = false; // the decoder has the file open for decoding
    bool started_ = false;
    std::int32_t startFrame_ = 0;      // where the next start begins
    std::array<char, 9216> scratch_{}; // decoded frames skipped while seeking
};

} // namespace vantrel
