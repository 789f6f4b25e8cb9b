#include "MMRiff.h"

#include <array>
#include <cstring>
#include <limits>
#include <sys/types.h>
#include <system_error>
#include <unistd.h>

namespace vantrel {

namespace {

constexpr std::int64_t ChunkHeaderBytes = 8;
constexpr std::int64_t FormTypeBytes = 4;

bool hasFormType(std::uint32_t id) {
    return id == ChunkRiff || id == ChunkList;
}

const char* modeOf(RiffFile::Access access) {
    switch (access) {
    case RiffFile::Access::read:
        return "rb";
    case RiffFile::Access::readWrite:
        return "r+b";
    case RiffFile::Access::create:
        break;
    }
    return "w+b";
}

} // namespace

std::unique_ptr<RiffFile> RiffFile::open(const std::filesystem::path& path, Access access) {
    std::error_code error;
    if (access != Access::create && !std::filesystem::is_regular_file(path, error))
        return nullptr;
    std::FILE* file = std::fopen(path.c_str(), modeOf(access));
    if (file == nullptr)
        return nullptr;
    return std::unique_ptr<RiffFile>(new RiffFile(file, access));
}

RiffFile::RiffFile(std::FILE* file, Access access) : file_(file), access_(access) {}

RiffFile::~RiffFile() {
    std::fclose(file_);
}

void RiffFile::switchTo(LastOperation operation) {
    if (last_ != LastOperation::none && last_ != operation)
        ::fseeko(file_, 0, SEEK_CUR);
    last_ = operation;
}

std::int64_t RiffFile::read(void* buffer, std::int64_t bytes) {
    if (bytes < 0)
        return -1;
    switchTo(LastOperation::read);
    const std::size_t got = std::fread(buffer, 1, static_cast<std::size_t>(bytes), file_);
    if (got < static_cast<std::size_t>(bytes) && std::ferror(file_)) {
        std::clearerr(file_);
        return -1;
    }
    std::clearerr(file_); // an end-of-file mark must not stick to later reads after a seek
    return static_cast<std::int64_t>(got);
}

std::int64_t RiffFile::write(const void* buffer, std::int64_t bytes) {
    if (bytes < 0 || access_ == Access::read)
        return -1;
    switchTo(LastOperation::write);
    const std::size_t put = std::fwrite(buffer, 1, static_cast<std::size_t>(bytes), file_);
    if (put < static_cast<std::size_t>(bytes)) {
        std::clearerr(file_);
        return put == 0 ? -1 : static_cast<std::int64_t>(put);
    }
    return static_cast<std::int64_t>(put);
}

std::int64_t RiffFile::seek(std::int64_t offset, int origin) {
    if (::fseeko(file_, static_cast<off_t>(offset), origin) != 0)
        return -1;
    last_ = LastOperation::none;
    return static_cast<std::int64_t>(::ftello(file_));
}

bool RiffFile::setBuffer(std::size_t bytes) {
    if (std::fflush(file_) != 0)
        return false;
    std::vector<char> buffer(bytes);
    const int mode = bytes == 0 ? _IONBF : _IOFBF;
    if (std::setvbuf(file_, bytes == 0 ? nullptr : buffer.data(), mode, bytes) != 0)
        return false;
    // The stream was flushed above, which is what lets glibc take a new buffer after I/O.
    // It uses the new block from now on; the old one may go.
    buffer_.swap(buffer);
    return true;
}

bool RiffFile::flush() {
    return std::fflush(file_) == 0;
}

bool RiffFile::truncate(std::int64_t size) {
    return flush() && ::ftruncate(::fileno(file_), static_cast<off_t>(size)) == 0;
}

bool RiffFile::descend(ChunkInfo& chunk, const ChunkInfo* parent) {
    const std::int64_t start = position();
    if (start < 0 ||
        start + ChunkHeaderBytes + FormTypeBytes > std::numeric_limits<std::uint32_t>::max())
        return false;
    if (parent != nullptr) {
        const std::int64_t parentEnd = std::int64_t{parent->dataOffset} + parent->size;
        if (start < std::int64_t{parent->dataOffset} || start >= parentEnd)
            return false;
    }
    std::array<unsigned char, ChunkHeaderBytes + FormTypeBytes> header{};
    if (read(header.data(), ChunkHeaderBytes) != ChunkHeaderBytes)
        return false;
    ChunkInfo found{loadLittleEndian32(header.data()), loadLittleEndian32(header.data() + 4), 0,
                    static_cast<std::uint32_t>(start + ChunkHeaderBytes), 0};
    if (hasFormType(found.id)) {
        if (read(header.data() + ChunkHeaderBytes, FormTypeBytes) != FormTypeBytes)
            return false;
        found.formType = loadLittleEndian32(header.data() + ChunkHeaderBytes);
    }
    chunk = found;
    return true;
}

bool RiffFile::writeSizeAt(std::int64_t offset, std::uint32_t size) {
    std::array<unsigned char, 4> bytes{};
    storeLittleEndian32(bytes.data(), size);
    return seek(offset, SEEK_SET) >= 0 && write(bytes.data(), 4) == 4;
}

bool RiffFile::ascend(ChunkInfo& chunk) {
    if ((chunk.flags & ChunkDirty) != 0) {
        const std::int64_t end = position();
        const std::int64_t size = end - chunk.dataOffset;
        if (end < 0 || size < 0 || size > std::numeric_limits<std::uint32_t>::max())
            return false;
        if ((size & 1) != 0) {
            const char pad = 0;
            if (write(&pad, 1) != 1)
                return false;
        }
        if (static_cast<std::uint32_t>(size) != chunk.size &&
            !writeSizeAt(std::int64_t{chunk.dataOffset} - 4, static_cast<std::uint32_t>(size)))
            return false;
        chunk.size = static_cast<std::uint32_t>(size);
        chunk.flags &= ~ChunkDirty;
    }
    const std::int64_t next = std::int64_t{chunk.dataOffset} + chunk.size + (chunk.size & 1);
    return seek(next, SEEK_SET) == next;
}

bool RiffFile::createChunk(ChunkInfo& chunk, bool form) {
    const std::int64_t start = position();
    if (start < 0 || start + ChunkHeaderBytes > std::numeric_limits<std::uint32_t>::max())
        return false;
    std::array<unsigned char, ChunkHeaderBytes + FormTypeBytes> header{};
    storeLittleEndian32(header.data(), chunk.id);
    storeLittleEndian32(header.data() + 4, chunk.size);
    storeLittleEndian32(header.data() + 8, chunk.formType);
    const std::int64_t bytes = ChunkHeaderBytes + (form ? FormTypeBytes : 0);
    if (write(header.data(), bytes) != bytes)
        return false;
    chunk.dataOffset = static_cast<std::uint32_t>(start + ChunkHeaderBytes);
    chunk.flags = ChunkDirty;
    return true;
}

std::string expandFileName(const std::string& name) {
    if (name.empty())
        return name;
    std::error_code error;
    const std::filesystem::path full = std::filesystem::absolute(name, error);
    return error ? name : full.lexically_normal().string();
}

bool fileExists(const std::string& name) {
    std::error_code error;
    return !name.empty() && std::filesystem::is_regular_file(name, error);
}

bool deleteFile(const std::string& name) {
    std::error_code error;
    return std::filesystem::remove(name, error);
}

bool renameFile(const std::string& from, const std::string& to) {
    std::error_code error;
    std::filesystem::rename(from, to, error);
    return !error;
}

} // namespace vantrel
