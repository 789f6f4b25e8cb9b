#include "EQBandLayout.h"

#include "EQPresets.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>

namespace vantrel {
namespace {

TEST(EQBandLayoutTest, DefaultLayoutMatchesTheReferenceRows) {
    const EQBandLayout layout = ComputeEQBandLayout(20, 20000, 6);
    struct Row {
        int band;
        const char* label;
        int centre, lower, upper;
    } rows[] = {{2, "   25", 25, 24, 26},          {3, "   32", 31, 29, 33},
                {10, "  159", 158, 149, 167},      {16, "  632", 632, 598, 668},
                {18, " 1002", 1002, 948, 1059},    {28, "10024", 10023, 9482, 10595},
                {30, "15887", 15886, 15029, 16792}};
    for (const Row& row : rows) {
        const auto i = static_cast<std::size_t>(row.band - 1);
        EXPECT_EQ(layout.labels[i], row.label) << "band " << row.band;
        EXPECT_EQ(layout.centre[i], row.centre) << "band " << row.band;
        EXPECT_EQ(layout.lower[i], row.lower) << "band " << row.band;
        EXPECT_EQ(layout.upper[i], row.upper) << "band " << row.band;
    }
    // Centres that land on whole numbers may truncate one hertz lower in another precision.
    EXPECT_NEAR(layout.centre[0], 20, 1);
    EXPECT_NEAR(layout.centre[30], 20000, 1);
    EXPECT_EQ(layout.labels[30], "20000");
    EXPECT_EQ(layout.centre[31], 0) << "the spare entry stays empty";
}

TEST(EQBandLayoutTest, StartAboveEndLaysTheBandsOutDescending) {
    const EQBandLayout layout = ComputeEQBandLayout(16000, 100, 6);
    EXPECT_NEAR(layout.centre[0], 16000, 1);
    EXPECT_NEAR(layout.centre[30], 100, 1);
    for (int i = 1; i < EQBandCount; ++i)
        EXPECT_LT(layout.centre[static_cast<std::size_t>(i)],
                  layout.centre[static_cast<std::size_t>(i - 1)]);
}

TEST(EQBandLayoutTest, ZeroOrEqualFrequenciesAreRefused) {
    EXPECT_THROW(ComputeEQBandLayout(0, 20000, 6), std::invalid_argument);
    EXPECT_THROW(ComputeEQBandLayout(1000, 1000, 6), std::invalid_argument);
    EXPECT_THROW(ComputeEQBandLayout(20, 0, 6), std::invalid_argument);
}

TEST(EQPresetTest, FadersReadFromTheSectionOfThatNameAnyCase) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("vantrel-eq-" + std::to_string(std::random_device()()) + ".dat");
    {
        std::ofstream out(path, std::ios::binary);
        out << "[OpenDlg]\r\nInitialDir=c:\\\r\n[Rock]\r\nFader1=5\r\nFader2=-3\r\n"
               "Fader3=abc\r\nFader4=40\r\nFader31=-20\r\n";
    }
    const ProfileFile file(path.string());
    const EQPreset rock = ReadEQPreset(file, "ROCK");
    EXPECT_EQ(rock[0], 5);
    EXPECT_EQ(rock[1], -3);
    EXPECT_EQ(rock[2], 0) << "not a whole number";
    EXPECT_EQ(rock[3], 12) << "clamped to the slider";
    EXPECT_EQ(rock[30], -12);
    EXPECT_EQ(rock[15], 0) << "missing key";
    EXPECT_EQ(ReadEQPreset(file, "Jazz"), EQPreset{}) << "missing section";
    std::filesystem::remove(path);
}

} // namespace
} // namespace vantrel
