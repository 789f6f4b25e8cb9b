// The MPEG audio decoder library the MPEG file reader calls: the mpeg_* function set, built on
// libmpg123, which is loaded at run time on first need (and again on every later need while it
// is not loaded). A missing library, or one that lacks a function the set needs, is reported
// once per attempt in a message box and leaves MPEG files unplayable.
//
// Functions return 0 for success or an error number (mpeg_GetErrorText gives its text) unless
// said otherwise. One instance is used by one thread at a time, except mpeg_AbortReadData,
// which may be called from any thread while a read runs.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

// The tag texts of a file, for file dialogs.
struct TMpegTag {
    std::string title, artist, album, year, comment;
    std::int32_t track = 0;
    std::int32_t genre = -1; // ID3v1 genre index, -1 for none
};

// What the decoder reports of an attached file, in the order the library writes it.
struct TMpegFileInfo {
    std::uint8_t version;    // 0 = MPEG-2 (and 2.5) with low sampling rates, 1 = MPEG-1
    std::int32_t layer;      // 1, 2 or 3
    std::int32_t unused;     // always 0
    std::int32_t sampleRate; // Hz
    std::int32_t bitRate;    // kbit/s; the average for variable bit rates
    std::uint8_t mode;       // stereo, joint stereo, dual channel, single channel
    std::int32_t frames;     // audio frames in the file
    std::int32_t duration;   // ms of decoded audio
    double frameDuration;    // ms per frame
    TMpegTag tag;
};

struct MpegDecoderInstance;
using MpegHandle = MpegDecoderInstance*;
// Called with the user value whenever the attached file or its decoded format changes.
using MpegChangeCallback = void (*)(void* user);

// Error numbers of the function set beyond those of libmpg123 (which are below 1000).
inline constexpr int MpegErrOpen = 1001;      // the file cannot be opened
inline constexpr int MpegErrNoFile = 1002;    // no file attached
inline constexpr int MpegErrNoData = 1003;    // no MPEG audio in the file
inline constexpr int MpegErrHandle = 1004;    // no decoder instance
inline constexpr int MpegErrorTextSize = 256; // bytes mpeg_GetErrorText may write

struct MpegDecoderFunctions {
    // The version of the function set; the reader refuses versions below MinMpegVersion.
    int (*mpeg_Version)();
    // A new instance; `status` comes back 0 on success.
    MpegHandle (*mpeg_Init)(int& status, MpegChangeCallback callback, void* user);
    // Frees the instance and sets `handle` to null.
    int (*mpeg_Done)(MpegHandle& handle);
    // Attaches and parses the file (UTF-8 path); a RIFF/WAVE file is read from its data chunk.
    int (*mpeg_SetFileName)(MpegHandle handle, const char* name);
    // Non-zero when no playable MPEG audio is attached.
    int (*mpeg_GetEmpty)(MpegHandle handle);
    int (*mpeg_GetFileInfo)(MpegHandle handle, TMpegFileInfo& info);
    // TChannelMode order: left, right, both, down-mix. Takes effect at once.
    int (*mpeg_SetChannelMode)(MpegHandle handle, int mode);
    int (*mpeg_GetChannelMode)(MpegHandle handle, int& mode);
    // Bytes at the end of the file that belong to a trailing header, not to the audio.
    int (*mpeg_SetTrailingHeader)(MpegHandle handle, int bytes);
    // Non-zero: the file is scanned when attached, so that frame count and positions are exact.
    int (*mpeg_SetExactPosition)(MpegHandle handle, int exact);
    int (*mpeg_OpenFile)(MpegHandle handle);
    int (*mpeg_CloseFile)(MpegHandle handle);
    int (*mpeg_ResetFile)(MpegHandle handle);
    int (*mpeg_Clear)(MpegHandle handle);
    int (*mpeg_SetPosition)(MpegHandle handle, int frame);
    // The frame the next read decodes; negative without a file.
    int (*mpeg_GetPosition)(MpegHandle handle);
    // Decodes up to `size` bytes of 16-bit PCM; bytes written, 0 at the end, negative on error.
    int (*mpeg_ReadDataBytes)(MpegHandle handle, char* buffer, int size);
    int (*mpeg_GetDone)(MpegHandle handle);
    int (*mpeg_AbortReadData)(MpegHandle handle);
    int (*mpeg_GetErrorText)(int error, char* buffer, int size);
};

inline constexpr int MinMpegVersion = 25;

// The file name the decoder library is loaded by.
std::string MpegDecoderLibraryName();
// Replaces that name (tests point it at a missing library); unloads a loaded one.
void SetMpegDecoderLibraryName(const std::string& name);

// The function set, loading the library when it is not loaded; null when it cannot be loaded
// (after a message box saying "Unable to load <name>") or is unusable (after "Invalid Mpeg
// Decoder DLL version"). Main thread.
const MpegDecoderFunctions* LoadMpegDecoder();
// The function set when the library is loaded, else null; loads nothing.
const MpegDecoderFunctions* LoadedMpegDecoder();
// Unloads the library; instances must be freed first. Done at program end.
void UnloadMpegDecoder();

} // namespace vantrel
