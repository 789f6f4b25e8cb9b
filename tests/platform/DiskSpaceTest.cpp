#include "DiskSpace.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace vantrel {
namespace {

TEST(DiskSpaceTest, NewFileHasTheFreeSpaceOfItsFolder) {
    std::random_device random;
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("vantrel-space-" + std::to_string(random()));
    std::filesystem::create_directories(folder);
    const std::uint64_t folderSpace = DiskFreeSpace(folder);
    const std::uint64_t fileSpace = DiskFreeSpace(folder / "not-yet.wav");
    std::filesystem::remove_all(folder);
    EXPECT_GT(folderSpace, 0u);
    // Other programs write to the same volume meanwhile; the figures agree within a margin.
    EXPECT_NEAR(static_cast<double>(fileSpace), static_cast<double>(folderSpace), 64e6);
}

TEST(DiskSpaceTest, WritersKeepRoomForTheirBufferAndTheReserve) {
    EXPECT_TRUE(EnoughDiskSpace(100 + 32768 + 10240, 100, 32768));
    EXPECT_FALSE(EnoughDiskSpace(100 + 32768 + 10239, 100, 32768));
}

} // namespace
} // namespace vantrel
