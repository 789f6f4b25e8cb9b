// The MP3 encoder component: the last element of an output chain. It cuts the 16-bit PCM
// buffers pushed into it into the chunks the encoder library asks for, encodes them and writes
// the MP3 stream to a plain MP3 file or inside a RIFF/WAVE file. Each encoded block is also
// pushed on (OnBufferReady, and an Output when one is linked).
//
// Threads: properties, NotifyOpened and NotifyClosed on the main thread while the chain is not
// running; BufferReady, NotifyStarted and NotifyStopped on the thread that drives the chain,
// which also closes the encoder when a write fails.
#pragma once

#include "DiskSpace.h"
#include "LameEncRecords.h"
#include "LameEncoderLibrary.h"
#include "MMDSPObj.h"
#include "MMWave.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace vantrel {

// The encoder's errors, all with the texts below; raised as general engine errors.
inline constexpr const char* LameLoadErrorText = "Unable to load Lame Encoder DLL (Lame_Enc.dll)";
inline constexpr const char* LameInputFormatErrorText = "Unsupported Input Format";
inline constexpr const char* LameCreateErrorText = "Unable to create file";
inline constexpr const char* LameInitErrorText = "Unable to initialize stream";
inline constexpr const char* LameEncodeErrorText = "Unable to encode data";
inline constexpr const char* LameDeinitErrorText = "Unable to deinitialize stream";

enum TMMMpegVersion { v1, v2, v25 };
enum TMMChannelMode { cmAuto, cmStereo, cmJointStereo, cmDualChannel, cmMono };
enum TMMVBRMethod { vbrNone, vbrDefault, vbrOld, vbrNew, vbrMTRH, vbrABR };
enum TMMFileType { ftWAV, ftRAW };
// The encoder library's quality presets; each value is the code the library knows.
enum TMMPreset : std::int32_t {
    prNoPreset = -1,
    prNormalQuality = 0,
    prLowQuality = 1,
    prHighQuality = 2,
    prVoiceQuality = 3,
    prR3Mix = 4,
    prVeryHighQuality = 5,
    prStandard = 6,
    prFastStandard = 7,
    prExtreme = 8,
    prFastExtreme = 9,
    prInsane = 10,
    prABR = 11,
    prCBR = 12,
    prPhone = 1000,
    prSW = 2000,
    prAM = 3000,
    prFM = 4000,
    prVoice = 5000,
    prRadio = 6000,
    prTape = 7000,
    prHifi = 8000,
    prCD = 9000,
    prStudio = 10000
};
using TMMQuality = std::int32_t; // 0 (best) ... 9

// The MPEG Layer-3 format a WAVE container of the stream declares (18 + 12 bytes).
TMMWaveFormatPtr BuildMP3WaveFormat(std::uint32_t sampleRate, std::uint16_t channels,
                                    std::int32_t bitrateKbps, bool vbr);

class TMMMP3Encoder : public TMMDSPComponent {
public:
    TMMMP3Encoder();
    // Closes the encoder first.
    ~TMMMP3Encoder() override;

    // --- Properties ----------------------------------------------------------------------
    TMMMpegVersion GetMpegVersion() const { return mpegVersion_; }
    void SetMpegVersion(TMMMpegVersion value) { mpegVersion_ = value; }
    TMMChannelMode GetChannelMode() const { return channelMode_; }
    void SetChannelMode(TMMChannelMode value) { channelMode_ = value; }
    // kbit/s: the constant bitrate, or the minimum with VBR.
    std::int32_t GetBitrate() const { return bitrate_; }
    void SetBitrate(std::int32_t kbps) { bitrate_ = kbps; }
    // kbit/s: the maximum with VBR.
    std::int32_t GetBitrateMax() const { return bitrateMax_; }
    void SetBitrateMax(std::int32_t kbps) { bitrateMax_ = kbps; }
    // Output frames per second; 0 keeps the library's choice.
    std::uint32_t GetSampleRate() const { return sampleRate_; }
    void SetSampleRate(std::uint32_t rate) { sampleRate_ = rate; }
    TMMQuality GetQuality() const { return quality_; }
    void SetQuality(TMMQuality value) { quality_ = value; }
    bool GetCopyright() const { return copyright_; }
    void SetCopyright(bool value) { copyright_ = value; }
    bool GetPrivat() const { return privat_; }
    void SetPrivat(bool value) { privat_ = value; }
    bool GetCRC() const { return crc_; }
    void SetCRC(bool value) { crc_ = value; }
    bool GetOriginal() const { return original_; }
    void SetOriginal(bool value) { original_ = value; }
    bool GetStrictISO() const { return strictIso_; }
    void SetStrictISO(bool value) { strictIso_ = value; }
    TMMPreset GetPreset() const { return preset_; }
    void SetPreset(TMMPreset value) { preset_ = value; }
    bool GetVBREnabled() const { return vbrEnabled_; }
    void SetVBREnabled(bool value) { vbrEnabled_ = value; }
    bool GetWriteVBRHeader() const { return writeVbrHeader_; }
    void SetWriteVBRHeader(bool value) { writeVbrHeader_ = value; }
    TMMQuality GetVBRQuality() const { return vbrQuality_; }
    void SetVBRQuality(TMMQuality value) { vbrQuality_ = value; }
    TMMVBRMethod GetVBRMethod() const { return vbrMethod_; }
    void SetVBRMethod(TMMVBRMethod value) { vbrMethod_ = value; }
    bool GetNoBitRes() const { return noBitRes_; }
    void SetNoBitRes(bool value) { noBitRes_ = value; }
    // The output file; empty encodes without writing. Raises message 60 while open.
    const std::string& GetFileName() const { return fileName_; }
    void SetFileName(const std::string& name);
    // ftRAW: a plain MP3 stream; ftWAV: the stream inside a RIFF/WAVE file. Raises message 60
    // while open.
    TMMFileType GetFileType() const { return fileType_; }
    void SetFileType(TMMFileType type);

    // How free space is measured before each write (DiskFreeSpace unless replaced).
    void SetFreeSpaceQuery(FreeSpaceQuery query) { freeSpace_ = std::move(query); }
    // True from a successful open to the close; a failed write closes the encoder.
    bool IsEncoderOpen() const { return encoderOpen_; }

    // The library's stream configuration for input of `format` and the present properties.
    BE_CONFIG BuildConfig(const TWaveFormatEx& format) const;

    // --- Chain ---------------------------------------------------------------------------
    // Loads the library, creates the file and opens the stream.
    void NotifyOpened() override;
    // Encodes what waits, flushes the stream, finishes the file and writes its tag frame.
    void NotifyClosed() override;
    void NotifyStarted() override;
    // Encodes the partial chunk that waits and flushes the stream.
    void NotifyStopped() override;
    // Takes a PCM buffer (not passed on); pushes each encoded block on instead.
    void BufferReady(PWaveHdr lpWaveHdr) override;

private:
    void createOutput(const TWaveFormatEx& format);
    void closeOutput();
    void closeStream();
    // Encodes `values` 16-bit values and writes the result; false when the write failed.
    bool encode(const char* pcm, std::uint32_t values);
    // Writes `bytes` bytes of the output buffer and pushes them on; false when it failed.
    bool writeBlock(std::uint32_t bytes);
    bool writeToFile(std::uint32_t bytes);
    // Encodes the waiting partial chunk, then flushes the stream; false when a write failed.
    bool finishStream();
    void encodeBuffer(const char* data, std::uint32_t bytes);

    TMMMpegVersion mpegVersion_ = v1;
    TMMChannelMode channelMode_ = cmAuto;
    std::int32_t bitrate_ = 160;
    std::int32_t bitrateMax_ = 320;
    std::uint32_t sampleRate_ = 0;
    TMMQuality quality_ = 2;
    bool copyright_ = false;
    bool privat_ = false;
    bool crc_ = false;
    bool original_ = false;
    bool strictIso_ = false;
    TMMPreset preset_ = prNoPreset;
    bool vbrEnabled_ = false;
    bool writeVbrHeader_ = true;
    TMMQuality vbrQuality_ = 5;
    TMMVBRMethod vbrMethod_ = vbrDefault;
    bool noBitRes_ = false;
    std::string fileName_;
    TMMFileType fileType_ = ftRAW;
    FreeSpaceQuery freeSpace_ = DiskFreeSpace;

    bool encoderOpen_ = false;
    bool encoding_ = false;
    bool closing_ = false;
    bool outputFailed_ = false; // a write failed: the encoder is closing or closed
    const TLameEncoderLibrary* library_ = nullptr; // bound at the first open; never unloaded
    HBE_STREAM stream_ = nullptr;
    std::uint32_t chunkValues_ = 0; // 16-bit values per encode call
    std::uint32_t chunkBytes_ = 0;
    std::uint32_t outputBytes_ = 0; // room of the output buffer
    char* inputBuffer_ = nullptr;   // chunkBytes_, zero-filled; owned while open
    std::uint8_t* outputBuffer_ = nullptr;
    std::uint32_t fillCount_ = 0; // bytes waiting in the input buffer
    std::FILE* plainFile_ = nullptr;
    std::string outputPath_; // the file being written, for the free-space check
    std::unique_ptr<TMMWave> wave_;
    TMMBufferHeader block_{}; // the record each encoded block is pushed on with
};

} // namespace vantrel
