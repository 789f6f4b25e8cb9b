// The RIFF/WAVE layer: parses a WAVE file into one control record (WaveIOInfo), creates new
// files with a given format, reads, writes and seeks in the sample data, and on closing patches
// the chunk sizes and appends the trailing chunks ("fact", "DISP", "LIST"/"INFO").
//
// Operations return 0 or one of the WaveIOErr codes, except the data transfer operations, which
// return byte counts. Positions ("frames") are sample frames. A record is used by one thread at a
// time and is never shared between owners.
#pragma once

#include "MMRiff.h"
#include "MMUtils.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

inline constexpr int WaveIOErrBadFile = 101;  // no usable "fmt " or "data"; lists not copied
inline constexpr int WaveIOErrBadParam = 104; // a required record, format or name is missing
inline constexpr int WaveIOErrFile = 106;     // open, form type, seek, read, write or chunk failed

inline constexpr std::uint32_t WaveIOModeFile = 1; // a named disk file (the only mode built)

inline constexpr std::uint32_t FormWave = fourCC("WAVE");

// The identifiers of the RIFF INFO list, in the order they are written.
inline constexpr std::size_t InfoIdCount = 23;
extern const std::array<std::uint32_t, InfoIdCount> InfoIds;

// One INFO identifier of a record: where its text lies in the raw INFO buffer read from the file
// (0 = none), and a replacement text set by the program (none = keep the file's text).
struct InfoEntry {
    std::uint16_t index;      // position in InfoIds
    std::uint16_t state;      // 0; kept for the entry layout
    std::uint32_t textOffset; // offset of the text in InfoList::raw, 0 = none
    std::uint32_t textLength; // bytes of text available at that offset, without the zero
    std::optional<std::string> replacement;
};

struct InfoList {
    std::vector<InfoEntry> entries; // one per InfoIds entry, in that order
    std::vector<char> raw;          // body of the "LIST"/"INFO" chunk after its form type
};

// One "DISP" chunk: a clipboard-style type and its data.
struct DispEntry {
    std::uint32_t type; // 1 = text, 8 = device-independent bitmap; others are kept, not written
    std::vector<char> data;
    std::optional<std::vector<char>> replacement;
};

// The control record of one WAVE file. Made by ReadWaveInfo or NewWaveInfo, freed only by
// FreeWaveInfo.
struct WaveIOInfo {
    std::uint32_t mode = WaveIOModeFile;
    std::unique_ptr<RiffFile> file; // null while the file is closed
    ChunkInfo riffChunk{};
    ChunkInfo dataChunk{};           // its flags carry ChunkDirty once anything is written
    std::uint32_t fileSize = 0;      // bytes, when parsed or closed
    std::uint32_t dataSize = 0;      // bytes of sample data
    std::uint32_t dataOffset = 0;    // file offset of the first data byte
    std::uint32_t totalSamples = 0;  // frames in the data
    std::int32_t firstSample = 0;    // first frame of the active region
    std::uint32_t lastSample = 0;    // end frame of the active region
    std::int32_t bytesRemaining = 0; // from the current position to the region end
    std::uint32_t position = 0;      // current frame, relative to firstSample
    std::string fileName;            // full path
    std::vector<DispEntry> dispList;
    InfoList infoList;
    std::uint32_t formatBytes = 0; // bytes in the format block, at least 18
    TMMWaveFormatPtr waveFormat;   // the format record and its cbSize extra bytes
};
using PWaveIOInfo = WaveIOInfo*;

// Parses `fileName` into a new record (file closed, position 0). `formType` must be FormWave.
// On failure `info` is null and nothing stays allocated.
int ReadWaveInfo(PWaveIOInfo& info, const std::string& fileName, std::uint32_t formType,
                 std::uint32_t mode);
// A new record holding a copy of `format` and empty lists; 104 without a usable format.
int NewWaveInfo(PWaveIOInfo& info, const TWaveFormatEx* format);
// Creates `fileName` and writes the header; the record stays open for writing. On failure the
// file is deleted again.
int CreateWaveFile(PWaveIOInfo info, const std::string& fileName);
// Reopens the file of a closed record and seeks to the record's position.
int OpenWaveIO(PWaveIOInfo info);
// The I/O buffer of the open file, bytes; 101 on a closed record.
int SetWaveIOBuffer(PWaveIOInfo info, std::int32_t bytes);
// Moves to `frame` of the region, clamped to the region.
int SeekWaveIO(PWaveIOInfo info, std::int32_t frame);
// Reads up to `length` bytes of the region into `buffer`; bytes read, 0 at a clean end, -1 on
// error, at the end of the region or without an open file.
std::int32_t ReadWaveIO(PWaveIOInfo info, void* buffer, std::int32_t length);
// Writes `length` bytes at the current position; bytes written, 0 when the file would outgrow
// what a WAVE file can hold, -1 without an open file or for a length of 0.
std::int32_t WriteWaveIO(PWaveIOInfo info, const void* buffer, std::int32_t length);
// Finalises the file when its data was written to (always for a new file), then closes it.
int CloseWaveIO(PWaveIOInfo info);
// Copies the non-empty INFO texts of `source` onto `destination` and replaces its DISP list by
// copies of the source's non-empty entries.
int CopyWaveInfoLists(PWaveIOInfo destination, PWaveIOInfo source);
// Closes the file without finalising it, frees the record and sets `info` to null.
int FreeWaveInfo(PWaveIOInfo& info);
bool IsWaveFile(const std::string& fileName);
// Replaces `path` by an unused name "w<hex number>.tmp" in the directory of `path` (the
// system's temporary directory when empty). False when every name is taken.
bool MakeTempWaveName(std::string& path);

// The text an INFO entry carries: its replacement, else the file's text; empty for none.
std::string infoText(const InfoList& list, std::size_t index);

} // namespace vantrel
