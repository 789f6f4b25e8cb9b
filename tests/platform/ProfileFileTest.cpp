#include "ProfileFile.h"

#include "MMUtils.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>

namespace vantrel {
namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    ProfileFileTest()
        : path_(std::filesystem::temp_directory_path() /
                ("vantrel-profile-" + std::to_string(std::random_device()()) + ".ini")) {}
    ~ProfileFileTest() override { std::filesystem::remove(path_); }

    void write(const std::string& content) { std::ofstream(path_, std::ios::binary) << content; }
    std::string content() const {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::filesystem::path path_;
    ProfileFile file_{path_.string()};
};

TEST_F(ProfileFileTest, ReadsValuesIgnoringCaseAndFirstOccurrenceWins) {
    write("[Setup]\r\nQ=7\r\n fAn = 25 \r\n[SETUP]\r\nQ=9\r\n[Other]\r\nName=\"quoted\"\r\n");
    EXPECT_EQ(file_.ReadInteger("setup", "q", 6), 7);
    EXPECT_EQ(file_.ReadInteger("Setup", "FAN", 20), 25);
    EXPECT_EQ(file_.ReadString("other", "name", ""), "quoted");
    EXPECT_EQ(file_.ReadInteger("Setup", "fEnd", 20000), 20000) << "missing key";
    EXPECT_EQ(file_.ReadInteger("Nowhere", "Q", 6), 6) << "missing section";
}

TEST_F(ProfileFileTest, IntegersAreDecimalOrHexadecimalElseTheDefault) {
    write("[S]\nA=-12\nB=0x1F\nC=1.5\nD=12abc\nE=\nF=99999999999\nG=$10\n");
    struct Case {
        const char* key;
        std::int32_t expected;
    } cases[] = {{"A", -12}, {"B", 31}, {"C", 77}, {"D", 77}, {"E", 77}, {"F", 77}, {"G", 16}};
    for (const Case& c : cases)
        EXPECT_EQ(file_.ReadInteger("S", c.key, 77), c.expected) << c.key;
}

TEST_F(ProfileFileTest, MissingFileReadsDefaultsAndIsCreatedByAWrite) {
    EXPECT_EQ(file_.ReadString("OpenDlg", "InitialDir", "c:\\"), "c:\\");
    file_.WriteString("OpenDlg", "InitialDir", "/home/music");
    file_.WriteInteger("Rock", "Fader1", -3);
    EXPECT_EQ(content(), "[OpenDlg]\r\nInitialDir=/home/music\r\n[Rock]\r\nFader1=-3\r\n");
}

TEST_F(ProfileFileTest, WritesReplaceInPlaceOrAppendToTheSectionKeepingOtherLines) {
    write("; settings\n[A]\nx=1\n\n[B]\ny=2\n");
    file_.WriteInteger("a", "X", 5);
    file_.WriteInteger("A", "z", 3);
    file_.WriteInteger("B", "y", 4);
    EXPECT_EQ(content(), "; settings\n[A]\nX=5\nz=3\n\n[B]\ny=4\n");
}

TEST_F(ProfileFileTest, UnwritableFileRaisesWithItsPath) {
    ProfileFile nowhere("/nonexistent-folder/Default.prj");
    try {
        nowhere.WriteInteger("Setup", "Q", 6);
        FAIL() << "wrote into a missing folder";
    } catch (const EMMError& error) {
        EXPECT_STREQ(error.what(), "Unable to write to /nonexistent-folder/Default.prj");
    }
}

} // namespace
} // namespace vantrel
