// The MPEG reader against files the lame and ffmpeg encoders make: frame header values, frame
// and sample counts and durations as ffprobe and ffmpeg report them, seeking to within one
// frame, the end of the data, channel selection, damaged files and a missing decoder library.
#include "MMMPEG.h"

#include "Application.h"
#include "ChainTestSupport.h"

#include <cmath>
#include <gtest/gtest.h>
#include <string>

namespace vantrel {
namespace {

using namespace vantrel::testing;

struct EncodedCase {
    const char* name;
    const char* command; // {in} and {out} stand for the files
    const char* extension;
    int rate;     // of the source tone, Hz
    int channels; // of the source tone
    int layer;
    TMpegVersion version;
    bool constantBitRate;
};

void PrintTo(const EncodedCase& c, std::ostream* out) {
    *out << c.name;
}

// Encodes a 1 s tone with the case's command; skips when a tool is missing.
std::string encode(const ScratchFolder& folder, const EncodedCase& c) {
    const std::string source = makeToneWave(folder, "source.wav", c.rate, c.channels, 1.0);
    const std::string file = folder.file(std::string(c.name) + c.extension);
    const std::string command =
        replaced(replaced(c.command, "{in}", quoted(source)), "{out}", quoted(file));
    EXPECT_TRUE(run(command)) << command;
    return file;
}

class EncodedFileTest : public ::testing::TestWithParam<EncodedCase> {
protected:
    void SetUp() override {
        VANTREL_REQUIRE_TOOL("sox");
        VANTREL_REQUIRE_TOOL("ffmpeg");
        VANTREL_REQUIRE_TOOL("ffprobe");
        if (std::string(GetParam().command).rfind("lame", 0) == 0)
            VANTREL_REQUIRE_TOOL("lame");
        file = encode(folder, GetParam());
        reference = ffmpegDecode(folder, file);
        ASSERT_FALSE(reference.empty());
    }
    ScratchFolder folder;
    std::string file;
    Samples reference; // what ffmpeg decodes the file to
};

TEST_P(EncodedFileTest, ReportsTheFrameValuesAndLengthsTheToolsReport) {
    const EncodedCase& c = GetParam();
    TMMMPEGFile mpeg;
    mpeg.SetFileName(file);
    ASSERT_FALSE(mpeg.IsEmpty());
    EXPECT_EQ(mpeg.GetLayer(), c.layer);
    EXPECT_EQ(mpeg.GetVersion(), c.version);
    EXPECT_EQ(mpeg.GetSampleRate(), probe(file, "sample_rate"));
    EXPECT_EQ(mpeg.GetPlayBackRate(), mpeg.GetSampleRate());
    EXPECT_EQ(mpeg.GetChannels(), probe(file, "channels"));
    EXPECT_EQ(mpeg.GetMode() == smSingleChannel, probe(file, "channels") == 1);
    EXPECT_EQ(mpeg.GetFrames(), probe(file, "nb_read_packets"));
    if (c.constantBitRate)
        EXPECT_EQ(mpeg.GetBitRate(), probe(file, "bit_rate") / 1000);
    else
        EXPECT_GT(mpeg.GetBitRate(), 0);
    const int samplesPerFrame = c.layer == 1                         ? 384
                                : c.layer == 3 && c.version == v2LSF ? 576
                                                                     : 1152;
    EXPECT_EQ(mpeg.GetMsPerFrame(), std::lround(samplesPerFrame * 1000.0 / mpeg.GetSampleRate()));

    const std::size_t frames = reference.size() / static_cast<std::size_t>(mpeg.GetChannels());
    EXPECT_NEAR(mpeg.GetTime(), frames * 1000.0 / mpeg.GetSampleRate(), 1.0);

    openAndStart(mpeg);
    const Samples decoded = toSamples(pullAll(mpeg, 4608));
    EXPECT_EQ(decoded.size(), reference.size());
    EXPECT_LE(maxDifference(decoded, reference), 2);
}

// Whether `block` occurs in `reference` starting at frame `at` (within 2 LSB).
bool matchesAt(const Samples& reference, const Samples& block, std::size_t at, int channels) {
    const std::size_t start = at * static_cast<std::size_t>(channels);
    if (start + block.size() > reference.size())
        return false;
    for (std::size_t i = 0; i < block.size(); ++i)
        if (std::abs(int{block[i]} - int{reference[start + i]}) > 2)
            return false;
    return true;
}

TEST_P(EncodedFileTest, SeeksToATimeWithinOneFrame) {
    TMMMPEGFile mpeg;
    mpeg.SetFileName(file);
    openAndStart(mpeg);
    const int channels = mpeg.GetChannels();
    const double frameMs = 1000.0 * mpeg.GetBlockSize() / mpeg.GetWaveFormat()->nAvgBytesPerSec;
    for (const int target : {400, 120, 700}) {
        mpeg.SetPositionMs(target);
        EXPECT_NEAR(mpeg.GetPositionMs(), target, frameMs) << "seek to " << target << " ms";
        bool more = false;
        const Samples block = toSamples(pullOnce(mpeg, 1024, more));
        ASSERT_EQ(block.size(), 512u);
        // Find where the decoded block lies in the whole decode, near the target.
        const long wanted = std::lround(target * mpeg.GetSampleRate() / 1000.0);
        const long frame = std::lround(frameMs * mpeg.GetSampleRate() / 1000.0);
        bool found = false;
        for (long at = std::max(wanted - frame, 0L); at <= wanted + frame && !found; ++at)
            found = matchesAt(reference, block, static_cast<std::size_t>(at), channels);
        EXPECT_TRUE(found) << "the data after a seek to " << target
                           << " ms lies more than a frame away";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, EncodedFileTest,
    ::testing::Values(
        EncodedCase{"lame_layer3_v1_stereo_cbr", "lame --quiet -b 128 {in} {out}", ".mp3", 44100, 2,
                    3, v1, true},
        EncodedCase{"lame_layer3_v2_mono_vbr", "lame --quiet -V 4 -m m --resample 22.05 {in} {out}",
                    ".mp3", 44100, 2, 3, v2LSF, false},
        EncodedCase{"ffmpeg_layer3_v1_stereo_vbr",
                    "ffmpeg -v error -y -i {in} -c:a libmp3lame -q:a 2 {out}", ".mp3", 44100, 2, 3,
                    v1, false},
        EncodedCase{"ffmpeg_layer2_v1_stereo_cbr",
                    "ffmpeg -v error -y -i {in} -c:a mp2 -b:a 192k {out}", ".mp2", 44100, 2, 2, v1,
                    true},
        EncodedCase{"ffmpeg_layer2_v2_mono_cbr",
                    "ffmpeg -v error -y -i {in} -ar 24000 -ac 1 -c:a mp2 -b:a 64k {out}", ".mp2",
                    44100, 2, 2, v2LSF, true}),
    [](const ::testing::TestParamInfo<EncodedCase>& info) { return std::string(info.param.name); });

class MPEGFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        VANTREL_REQUIRE_TOOL("sox");
        VANTREL_REQUIRE_TOOL("lame");
        file = encode(folder,
                      {"tone", "lame --quiet -b 128 {in} {out}", ".mp3", 44100, 2, 3, v1, true});
    }
    ScratchFolder folder;
    std::string file;
};

TEST_F(MPEGFileTest, ReadsZeroValuesWithoutAFile) {
    TMMMPEGFile mpeg;
    EXPECT_TRUE(mpeg.IsEmpty());
    EXPECT_EQ(mpeg.GetVersion(), v1);
    EXPECT_EQ(mpeg.GetLayer(), 0);
    EXPECT_EQ(mpeg.GetFrames(), 0);
    EXPECT_EQ(mpeg.GetTime(), 0);
    EXPECT_EQ(mpeg.GetSampleRate(), 0);
    EXPECT_EQ(mpeg.GetBitRate(), 0);
    EXPECT_EQ(mpeg.GetWaveFormat(), nullptr);
    mpeg.SetFileName(file);
    mpeg.SetFileName("");
    EXPECT_EQ(mpeg.GetFrames(), 0);
    EXPECT_EQ(mpeg.GetWaveFormat(), nullptr);
}

TEST_F(MPEGFileTest, SelectsChannelsAndRefusesAChangeWhileOpen) {
    TMMMPEGFile mpeg;
    mpeg.SetFileName(file);
    const Samples stereo = ffmpegDecode(folder, file);
    mpeg.SetChannelMode(cmRight);
    EXPECT_EQ(mpeg.GetWaveFormat()->nChannels, 1);
    openAndStart(mpeg);
    const Samples right = toSamples(pullAll(mpeg, 4608));
    ASSERT_EQ(right.size() * 2, stereo.size());
    for (std::size_t i = 0; i < right.size(); i += 97)
        ASSERT_NEAR(right[i], stereo[2 * i + 1], 2) << "frame " << i;
    try {
        mpeg.SetChannelMode(cmBoth);
        FAIL() << "the channel mode changed while the file was open";
    } catch (const EMMMpegError& error) {
        EXPECT_STREQ(error.what(), "Change to property while device was open");
    }
    notifyChain(mpeg, &TMMDSPComponent::NotifyClosed);
    mpeg.SetChannelMode(cmBoth);
    EXPECT_EQ(mpeg.GetWaveFormat()->nChannels, 2);
}

TEST_F(MPEGFileTest, EndsTheRunAtTheLastFrameOrLoopsWhenAsked) {
    TMMMPEGFile mpeg;
    mpeg.SetFileName(file);
    openAndStart(mpeg);
    const std::size_t whole = pullAll(mpeg, 4608).size();
    bool more = true;
    EXPECT_TRUE(pullOnce(mpeg, 4608, more).empty());

    OwnedBuffer buffer(static_cast<std::uint32_t>(whole / 3 + 4));
    buffer.header->LoopEnabled = MMTrue;
    buffer.header->LoopCount = 1;
    buffer.header->LoopsLeft = 1;
    mpeg.SetPosition(0);
    int restarts = 0;
    for (int pull = 0; pull < 20; ++pull) {
        more = false;
        buffer.header->LoopRestarted = 0;
        mpeg.BufferLoad(buffer.header, more);
        restarts += buffer.header->LoopRestarted != 0;
        if (!more)
            break;
    }
    EXPECT_EQ(restarts, 1);
    EXPECT_FALSE(more);
}

TEST_F(MPEGFileTest, PlaysATruncatedFileToWhereItStops) {
    Bytes bytes = readFile(file);
    bytes.resize(bytes.size() / 2);
    const std::string truncated = folder.file("truncated.mp3");
    writeFile(truncated, bytes);
    TMMMPEGFile mpeg;
    mpeg.SetFileName(truncated);
    ASSERT_FALSE(mpeg.IsEmpty());
    openAndStart(mpeg);
    const double seconds = static_cast<double>(pullAll(mpeg, 4608).size()) / 4 / 44100;
    EXPECT_NEAR(seconds, 0.5, 0.1);
}

TEST_F(MPEGFileTest, GivesTheTagTextsToFileDialogs) {
    const std::string tagged = folder.file("tagged.mp3");
    ASSERT_TRUE(run("lame --quiet -b 128 --add-id3v2 --tt 'Morning Show' --ta 'Sonavel FM' "
                    "--tl 'Jingles' --ty 2024 --tn 7 " +
                    quoted(folder.file("source.wav")) + " " + quoted(tagged)));
    TMMAudioFileInfo info;
    ASSERT_TRUE(TMMMPEGFile::FileClass().getFileInfo(tagged, info));
    EXPECT_EQ(info.type, ftMpeg);
    EXPECT_NEAR(info.length, 1000, 2);
    EXPECT_EQ(info.title, "Morning Show");
    EXPECT_EQ(info.artist, "Sonavel FM");
    EXPECT_EQ(info.album, "Jingles");
    EXPECT_EQ(info.year, "2024");
    EXPECT_EQ(info.track, 7);
    EXPECT_FALSE(TMMMPEGFile::FileClass().getFileInfo(folder.file("missing.mp3"), info));
}

TEST(MPEGDecoderTest, ReportsAMissingLibraryOncePerAttempt) {
    std::vector<std::string> boxes;
    installMessageBoxHandler(
        [&](const std::string& text, const std::string&) { boxes.push_back(text); });
    const std::string library = MpegDecoderLibraryName();
    SetMpegDecoderLibraryName("libvantrel-missing-decoder.so");
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            TMMMPEGFile mpeg;
            ADD_FAILURE() << "a reader was made without its library";
        } catch (const EMMMpegError& error) {
            EXPECT_STREQ(error.what(), "Unable to load libvantrel-missing-decoder.so");
        }
    }
    EXPECT_FALSE(TMMMPEGFile::CanLoad("any.mp3"));
    SetMpegDecoderLibraryName(library);
    installMessageBoxHandler({});
    EXPECT_EQ(boxes, std::vector<std::string>(3, "Unable to load libvantrel-missing-decoder.so"));
    EXPECT_NO_THROW(TMMMPEGFile());
}

TEST(MPEGDecoderTest, RefusesALibraryThatLacksTheDecoderFunctions) {
    std::vector<std::string> boxes;
    installMessageBoxHandler(
        [&](const std::string& text, const std::string&) { boxes.push_back(text); });
    const std::string library = MpegDecoderLibraryName();
    SetMpegDecoderLibraryName("libm.so.6"); // loads, but decodes nothing
    EXPECT_EQ(LoadMpegDecoder(), nullptr);
    EXPECT_EQ(LoadedMpegDecoder(), nullptr);
    EXPECT_THROW(TMMMPEGFile(), EMMMpegError);
    SetMpegDecoderLibraryName(library);
    installMessageBoxHandler({});
    EXPECT_EQ(boxes, std::vector<std::string>(2, "Invalid Mpeg Decoder DLL version"));
    EXPECT_NE(LoadMpegDecoder(), nullptr); // loaded again on the next need
}

} // namespace
} // namespace vantrel
