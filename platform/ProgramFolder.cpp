#include "ProgramFolder.h"

#include <filesystem>
#include <system_error>

namespace vantrel {

std::string programFolder() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::filesystem::current_path(error).string();
    return program.parent_path().string();
}

std::string programFilePath(const std::string& fileName) {
    if (fileName.find('/') != std::string::npos)
        return fileName;
    return programFolder() + "/" + fileName;
}

} // namespace vantrel
