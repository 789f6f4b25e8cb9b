#include "DiskSpace.h"

#include <filesystem>
#include <system_error>

namespace vantrel {

std::uint64_t DiskFreeSpace(const std::string& path) {
    std::error_code error;
    std::filesystem::path where(path);
    if (!std::filesystem::exists(where, error))
        where = where.parent_path();
    if (where.empty())
        where = ".";
    const std::filesystem::space_info space = std::filesystem::space(where, error);
    return error ? 0 : space.available;
}

} // namespace vantrel
