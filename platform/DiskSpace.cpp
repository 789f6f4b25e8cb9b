#include "DiskSpace.h"

#include <filesystem>
#include <system_error>

namespace vantrel {

std::uint64_t DiskFreeSpace(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::exists(path, error)) {
        const std::filesystem::space_info space = std::filesystem::space(path, error);
        return error ? 0 : space.available;
    }
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    const std::filesystem::space_info space = std::filesystem::space(folder, error);
    return error ? 0 : space.available;
}

} // namespace vantrel
