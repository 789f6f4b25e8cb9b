// The RIFF chunk layer under the wave file records: a buffered file with chunk descend, ascend
// and create operations in the manner of the multimedia file I/O functions the wave layer was
// designed around, plus the few file-system operations the wave layer needs.
//
// All positions and sizes are bytes. A RiffFile is used by one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vantrel {

// A four-character code as it is stored in a file: the first character in the lowest byte.
constexpr std::uint32_t fourCC(const char (&code)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3])) << 24;
}

// A little-endian 32-bit value as RIFF files store it.
inline std::uint32_t loadLittleEndian32(const void* bytes) {
    const auto* b = static_cast<const unsigned char*>(bytes);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

inline void storeLittleEndian32(void* bytes, std::uint32_t value) {
    auto* b = static_cast<unsigned char*>(bytes);
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline constexpr std::uint32_t ChunkRiff = fourCC("RIFF");
inline constexpr std::uint32_t ChunkList = fourCC("LIST");

// The chunk is being written: ascending out of it rewrites its size from the current position.
inline constexpr std::uint32_t ChunkDirty = 0x10000000;

// Describes one chunk; the layout of the system's chunk descriptor (5 x 32 bits).
struct ChunkInfo {
    std::uint32_t id;         // chunk id
    std::uint32_t size;       // bytes of chunk data (for "RIFF"/"LIST": including the form type)
    std::uint32_t formType;   // form or list type of "RIFF"/"LIST" chunks, else 0
    std::uint32_t dataOffset; // file offset of the chunk data (after the 8-byte header)
    std::uint32_t flags;      // ChunkDirty
};

// A disk file opened for chunk-wise access. Opening never throws; operations report failure by
// their result and leave the file usable for a retry at another position.
class RiffFile {
public:
    enum class Access { read, readWrite, create };

    // Opens `path`; null when the file cannot be opened with that access. `create` truncates
    // an existing file and opens it for reading and writing.
    static std::unique_ptr<RiffFile> open(const std::filesystem::path& path, Access access);

    RiffFile(const RiffFile&) = delete;
    RiffFile& operator=(const RiffFile&) = delete;
    ~RiffFile();

    // Reads the header of the chunk at the current position (and the form type of "RIFF" and
    // "LIST" chunks) and leaves the position at its data, or after the form type. With a parent,
    // fails when the header does not start inside the parent's data.
    bool descend(ChunkInfo& chunk, const ChunkInfo* parent);
    // Moves past the end of `chunk` and its pad byte. For a dirty chunk it first writes the pad
    // byte after an odd length and rewrites the size measured from the current position.
    bool ascend(ChunkInfo& chunk);
    // Writes a header for `chunk` (its id and size; with `form`, also its form type) at the
    // current position and marks it dirty.
    bool createChunk(ChunkInfo& chunk, bool form);

    // Bytes transferred, or -1 on error; a short read at the end of the file is not an error.
    std::int64_t read(void* buffer, std::int64_t bytes);
    std::int64_t write(const void* buffer, std::int64_t bytes);
    // Absolute (SEEK_SET), relative (SEEK_CUR) or from the end (SEEK_END); returns the new
    // position or -1. Positions past the end are allowed, as with any file.
    std::int64_t seek(std::int64_t offset, int origin);
    std::int64_t position() { return seek(0, SEEK_CUR); }
    // Size of the I/O buffer in bytes; 0 turns buffering off.
    bool setBuffer(std::size_t bytes);
    bool flush();
    // Cuts the file at `size` bytes (the data behind it is dropped).
    bool truncate(std::int64_t size);
    bool wasCreated() const { return access_ == Access::create; }
    bool isWritable() const { return access_ != Access::read; }

private:
    enum class LastOperation { none, read, write };
    RiffFile(std::FILE* file, Access access);
    // A stream open for update needs a positioning call between reading and writing.
    void switchTo(LastOperation operation);
    bool writeSizeAt(std::int64_t offset, std::uint32_t size);

    std::FILE* file_;
    Access access_;
    LastOperation last_ = LastOperation::none;
    std::vector<char> buffer_;
};

// File-system operations of the wave layer; none of them throws.
std::string expandFileName(const std::string& name);
bool fileExists(const std::string& name);
bool deleteFile(const std::string& name);
// Replaces `to` by `from` in one step when both lie on the same volume.
bool renameFile(const std::string& from, const std::string& to);

} // namespace vantrel
