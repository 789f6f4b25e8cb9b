// Free space on a volume (std::filesystem) and the rule every file writer applies before it
// writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

namespace vantrel {

// Bytes writable by this user on the volume that holds `path` (a file, or the folder a file is
// to be created in); 0 when the volume cannot be queried. Does not allocate when `path` exists,
// so that a recorder may ask before every buffer.
std::uint64_t DiskFreeSpace(const std::filesystem::path& path);

// How a writer asks for free space; tests substitute their own volume.
using FreeSpaceQuery = std::function<std::uint64_t(const std::filesystem::path& path)>;

// Bytes a writer keeps free beyond what it writes, so that closing can still finish the file.
inline constexpr std::uint64_t DiskSpaceReserve = 10240;

// True when `freeBytes` leave room for `bytesToWrite` plus the writer's I/O buffer (bytes) plus
// the reserve.
constexpr bool EnoughDiskSpace(std::uint64_t freeBytes, std::uint64_t bytesToWrite,
                               std::uint64_t ioBufferBytes) {
    return freeBytes >= bytesToWrite + ioBufferBytes + DiskSpaceReserve;
}

} // namespace vantrel
