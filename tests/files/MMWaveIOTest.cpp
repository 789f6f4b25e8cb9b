#include "MMWaveIO.h"

#include "FileTestSupport.h"
#include "MMWave.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace vantrel {
namespace {

using testing::Bytes;
using testing::RiffImage;
using testing::ScratchFolder;

// Frees a record at the end of a test, whatever happened in between.
struct RecordGuard {
    PWaveIOInfo info = nullptr;
    ~RecordGuard() {
        if (info != nullptr)
            FreeWaveInfo(info);
    }
};

int parse(const std::string& name, RecordGuard& guard) {
    return ReadWaveInfo(guard.info, name, FormWave, WaveIOModeFile);
}

// Reads the whole region of a parsed record through the layer.
Bytes readRegion(PWaveIOInfo info) {
    EXPECT_EQ(OpenWaveIO(info), 0);
    Bytes data;
    std::vector<char> buffer(777); // not a multiple of any block: reads cross block borders
    for (std::int32_t got; (got = ReadWaveIO(info, buffer.data(), 777)) > 0;)
        data.insert(data.end(), buffer.begin(), buffer.begin() + got);
    EXPECT_EQ(CloseWaveIO(info), 0);
    return data;
}

// Writes `data` in `format` to a new file through the layer.
void writeWave(const std::string& name, const TWaveFormatEx& format, const Bytes& data) {
    RecordGuard guard;
    ASSERT_EQ(NewWaveInfo(guard.info, &format), 0);
    ASSERT_EQ(CreateWaveFile(guard.info, name), 0);
    ASSERT_EQ(SetWaveIOBuffer(guard.info, 8192), 0);
    for (std::size_t done = 0; done < data.size(); done += 1000) {
        const auto part =
            static_cast<std::int32_t>(std::min<std::size_t>(1000, data.size() - done));
        ASSERT_EQ(WriteWaveIO(guard.info, data.data() + done, part), part);
    }
    ASSERT_EQ(CloseWaveIO(guard.info), 0);
}

TWaveFormatEx pcmFormat(int bits, int channels, std::uint32_t rate) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, bits, channels, rate);
    return format;
}

class WaveIOTest : public ::testing::Test {
protected:
    std::string image(const Bytes& bytes, const std::string& name = "image.wav") {
        const std::string path = folder.file(name);
        testing::writeFile(path, bytes);
        return path;
    }
    ScratchFolder folder;
};

// --- Layout of what we write -----------------------------------------------------------------

TEST_F(WaveIOTest, NewPcmFileHasRiffFmtAndDataWithPatchedSizesAndNoFact) {
    const std::string name = folder.file("new.wav");
    writeWave(name, pcmFormat(16, 2, 44100), testing::patternBytes(4000));

    const Bytes file = testing::readFile(name);
    ASSERT_EQ(file.size(), 44u + 4000u);
    EXPECT_EQ(testing::idAt(file, 0), "RIFF");
    EXPECT_EQ(testing::u32At(file, 4), 4036u);
    EXPECT_EQ(testing::idAt(file, 8), "WAVE");
    EXPECT_EQ(testing::idAt(file, 12), "fmt ");
    EXPECT_EQ(testing::u32At(file, 16), 16u);
    EXPECT_EQ(testing::idAt(file, 36), "data");
    EXPECT_EQ(testing::u32At(file, 40), 4000u);
}

TEST_F(WaveIOTest, NewLayer3FileHasThirtyByteFormatAndFactAfterTheData) {
    struct {
        TWaveFormatEx format;
        char extra[12];
    } mp3{{0x55, 2, 44100, 16000, 1, 0, 12}, {1, 0, 2}};
    const std::string name = folder.file("mp3.wav");
    writeWave(name, mp3.format, testing::patternBytes(1001));

    const Bytes file = testing::readFile(name);
    EXPECT_EQ(testing::u32At(file, 16), 30u);
    EXPECT_EQ(std::memcmp(file.data() + 20 + 18, mp3.extra, 12), 0);
    const std::size_t data = 12 + 8 + 30;
    EXPECT_EQ(testing::idAt(file, data), "data");
    EXPECT_EQ(testing::u32At(file, data + 4), 1001u);
    const std::size_t fact = data + 8 + 1001 + 1; // after the pad byte
    EXPECT_EQ(testing::idAt(file, fact), "fact");
    EXPECT_EQ(testing::u32At(file, fact + 8),
              static_cast<std::uint32_t>(BytesToSamples(mp3.format, 1001)));
    EXPECT_EQ(testing::u32At(file, 4), file.size() - 8);
}

TEST_F(WaveIOTest, WrittenSamplesReadBackUnchanged) {
    const std::string name = folder.file("round.wav");
    const Bytes data = testing::patternBytes(3 * 2 * 5000);
    writeWave(name, pcmFormat(16, 2, 22050), data);

    RecordGuard guard;
    ASSERT_EQ(parse(name, guard), 0);
    EXPECT_EQ(guard.info->totalSamples, 7500u);
    EXPECT_EQ(readRegion(guard.info), data);
}

// --- Parsing ---------------------------------------------------------------------------------

struct BadFileCase {
    const char* what;
    Bytes bytes;
    int expected;
};

Bytes cutOff(const Bytes& bytes, std::size_t length) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

std::vector<BadFileCase> badFiles() {
    const Bytes fmt = testing::pcmFormatBody(2, 44100, 16);
    const Bytes data = testing::patternBytes(400);
    return {
        {"empty file", {}, WaveIOErrFile},
        {"truncated header", Bytes{'R', 'I', 'F', 'F', 0, 0}, WaveIOErrFile},
        {"big-endian RIFX", RiffImage(0, "RIFX").chunk("fmt ", fmt).chunk("data", data).bytes(),
         WaveIOErrFile},
        {"not WAVE", RiffImage(0, "RIFF", "AVI ").chunk("fmt ", fmt).bytes(), WaveIOErrFile},
        {"no fmt", RiffImage().chunk("data", data).patchRiffSize().bytes(), WaveIOErrBadFile},
        {"no data", RiffImage().chunk("fmt ", fmt).patchRiffSize().bytes(), WaveIOErrBadFile},
        {"nBlockAlign 0",
         RiffImage()
             .chunk("fmt ", testing::formatBody(0x55, 2, 44100, 0, 0, 16000))
             .chunk("data", data)
             .patchRiffSize()
             .bytes(),
         WaveIOErrBadFile},
        {"zero sample rate",
         RiffImage().chunk("fmt ", testing::pcmFormatBody(2, 0, 16)).chunk("data", data).bytes(),
         WaveIOErrBadFile},
        {"zero bits in PCM",
         RiffImage().chunk("fmt ", testing::pcmFormatBody(2, 44100, 0)).chunk("data", data).bytes(),
         WaveIOErrBadFile},
        {"fmt cut off by the end of the file", cutOff(RiffImage().chunk("fmt ", fmt).bytes(), 30),
         WaveIOErrBadFile},
        {"data header cut off",
         cutOff(RiffImage().chunk("fmt ", fmt).chunk("data", data).bytes(), 12 + 24 + 6),
         WaveIOErrBadFile},
        {"huge fmt chunk",
         RiffImage().chunk("fmt ", testing::patternBytes(70000)).chunk("data", data).bytes(),
         WaveIOErrBadFile},
        {"huge LIST before the data swallows it",
         RiffImage()
             .chunk("fmt ", fmt)
             .chunk("LIST", Bytes{'I', 'N', 'F', 'O'}, true, 0x7FFFFFF0)
             .chunk("data", data)
             .bytes(),
         WaveIOErrBadFile},
        {"odd chunk without its pad byte",
         RiffImage()
             .chunk("fmt ", fmt)
             .chunk("junk", Bytes(5, 'j'), false)
             .chunk("data", data)
             .patchRiffSize()
             .bytes(),
         WaveIOErrBadFile},
    };
}

TEST_F(WaveIOTest, BadFilesGiveTheirErrorCodeAndNoRecord) {
    for (const BadFileCase& bad : badFiles()) {
        SCOPED_TRACE(bad.what);
        RecordGuard guard;
        EXPECT_EQ(parse(image(bad.bytes), guard), bad.expected);
        EXPECT_EQ(guard.info, nullptr);
        EXPECT_FALSE(IsWaveFile(image(bad.bytes)));
        // The wave component turns every such code into one message.
        TMMWave wave;
        try {
            wave.SetFileName(image(bad.bytes));
            ADD_FAILURE() << "no exception";
        } catch (const EMMWaveError& error) {
            EXPECT_STREQ(error.what(), "Invalid wave file...");
        }
    }
}

TEST_F(WaveIOTest, FuzzerFindingsParseWithoutFault) {
    // Inputs the fuzzer once broke the layer with; each must parse or fail cleanly, and what
    // parses must read no further than its data.
    const std::filesystem::path fixtures = std::filesystem::path(VANTREL_FILES_FIXTURES) / "fuzz";
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(fixtures)) {
        SCOPED_TRACE(entry.path().filename().string());
        ++seen;
        RecordGuard guard;
        if (parse(entry.path().string(), guard) != 0)
            continue;
        EXPECT_LE(readRegion(guard.info).size(), guard.info->dataSize);
        // One block written in the parsed format reads back as exactly one block.
        const TWaveFormatEx& format = *guard.info->waveFormat;
        writeWave(folder.file("rewritten.wav"), format, Bytes(format.nBlockAlign, 1));
        RecordGuard again;
        ASSERT_EQ(parse(folder.file("rewritten.wav"), again), 0);
        EXPECT_EQ(again.info->dataSize, format.nBlockAlign);
    }
    EXPECT_GT(seen, 0);
}

TEST_F(WaveIOTest, UnpatchedRecordingRunsToTheEndOfTheFileInWholeBlocks) {
    const Bytes data = testing::patternBytes(4 * 100 + 3);
    RecordGuard guard;
    ASSERT_EQ(parse(image(RiffImage(0)
                              .chunk("fmt ", testing::pcmFormatBody(2, 44100, 16))
                              .chunk("data", data, false, 0)
                              .bytes()),
                    guard),
              0);
    EXPECT_EQ(guard.info->dataSize, 400u);
    EXPECT_EQ(guard.info->totalSamples, 100u);
}

TEST_F(WaveIOTest, HugeDeclaredSizesAreCutToTheFile) {
    const Bytes data = testing::patternBytes(400);
    RecordGuard guard;
    ASSERT_EQ(parse(image(RiffImage(0xFFFFFFFF)
                              .chunk("fmt ", testing::pcmFormatBody(2, 44100, 16))
                              .chunk("data", data, false, 0xFFFFFFF0)
                              .bytes()),
                    guard),
              0);
    EXPECT_EQ(guard.info->dataSize, 400u);
    EXPECT_EQ(readRegion(guard.info), data);
}

// A sparse file of 3 GiB: the data region stops where the engine's signed 32-bit positions
// end, and writing there is refused instead of wrapping the sizes.
TEST_F(WaveIOTest, DataBeyondTwoGibibytesIsCutAndNotWrittenTo) {
    const std::string name = image(RiffImage(0xFFFFFFFF)
                                       .chunk("fmt ", testing::pcmFormatBody(2, 44100, 16))
                                       .chunk("data", {}, false, 0xFFFFFFF0)
                                       .bytes());
    std::filesystem::resize_file(name, 3ull << 30);
    RecordGuard guard;
    ASSERT_EQ(parse(name, guard), 0);
    EXPECT_EQ(guard.info->dataSize, 0x7FFFFFFCu);
    ASSERT_EQ(OpenWaveIO(guard.info), 0);
    ASSERT_EQ(SeekWaveIO(guard.info, static_cast<std::int32_t>(guard.info->totalSamples)), 0);
    const char frame[8] = {};
    EXPECT_EQ(WriteWaveIO(guard.info, frame, 8), 0);
    EXPECT_EQ(CloseWaveIO(guard.info), 0);
    EXPECT_EQ(std::filesystem::file_size(name), 3ull << 30);
}

TEST_F(WaveIOTest, DataEndsAtTheHeaderOfTheNextChunkWithoutItsPadByte) {
    const Bytes data = testing::patternBytes(101);
    const Bytes info = {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 2, 0, 0, 0, 'x', 0};
    RecordGuard guard;
    ASSERT_EQ(parse(image(RiffImage()
                              .chunk("fmt ", testing::pcmFormatBody(1, 8000, 8))
                              .chunk("data", data)
                              .chunk("LIST", info)
                              .patchRiffSize()
                              .bytes()),
                    guard),
              0);
    EXPECT_EQ(guard.info->dataSize, 101u);
    EXPECT_EQ(infoText(guard.info->infoList, 14), "x"); // INAM
}

TEST_F(WaveIOTest, PcmBlockAlignAndByteRateAreRecomputed) {
    RecordGuard guard;
    ASSERT_EQ(parse(image(RiffImage()
                              .chunk("fmt ", testing::formatBody(1, 2, 44100, 16, 2, 1234))
                              .chunk("data", testing::patternBytes(400))
                              .patchRiffSize()
                              .bytes()),
                    guard),
              0);
    EXPECT_EQ(guard.info->waveFormat->nBlockAlign, 4);
    EXPECT_EQ(guard.info->waveFormat->nAvgBytesPerSec, 176400u);
    EXPECT_EQ(guard.info->totalSamples, 100u); // the file's block of 2 rounded the data
}

TEST_F(WaveIOTest, SecondFormatDataOrFactChunkEndsTheWalk) {
    const Bytes fmt = testing::pcmFormatBody(1, 8000, 16);
    const Bytes otherFmt = testing::pcmFormatBody(2, 48000, 16);
    const Bytes fact = {10, 0, 0, 0};
    const Bytes data = testing::patternBytes(200);
    const Bytes info = {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 2, 0, 0, 0, 'x', 0};
    struct {
        const char* what;
        RiffImage image;
    } cases[] = {
        {"second fmt", RiffImage()
                           .chunk("fmt ", fmt)
                           .chunk("data", data)
                           .chunk("fmt ", otherFmt)
                           .chunk("LIST", info)},
        {"second data", RiffImage()
                            .chunk("fmt ", fmt)
                            .chunk("data", data)
                            .chunk("data", data)
                            .chunk("LIST", info)},
        {"second fact", RiffImage()
                            .chunk("fmt ", fmt)
                            .chunk("fact", fact)
                            .chunk("data", data)
                            .chunk("fact", fact)
                            .chunk("LIST", info)},
    };
    for (auto& each : cases) {
        SCOPED_TRACE(each.what);
        RecordGuard guard;
        ASSERT_EQ(parse(image(each.image.patchRiffSize().bytes()), guard), 0);
        EXPECT_EQ(guard.info->waveFormat->nChannels, 1);
        EXPECT_EQ(guard.info->dataSize, 200u);             // up to the chunk that ended the walk
        EXPECT_EQ(infoText(guard.info->infoList, 14), ""); // the LIST behind it was not read
    }
}

TEST_F(WaveIOTest, SeekingBeyondTheRegionClampsToItsLastFrame) {
    const std::string name = folder.file("seek.wav");
    writeWave(name, pcmFormat(16, 1, 8000), testing::patternBytes(2 * 50));
    RecordGuard guard;
    ASSERT_EQ(parse(name, guard), 0);
    ASSERT_EQ(OpenWaveIO(guard.info), 0);
    ASSERT_EQ(SeekWaveIO(guard.info, 1000), 0);
    EXPECT_EQ(guard.info->position, 49u);
    EXPECT_EQ(guard.info->bytesRemaining, 2);
    EXPECT_EQ(CloseWaveIO(guard.info), 0);
}

TEST_F(WaveIOTest, ReadingAndClosingLeavesAFileByteForByteUnchanged) {
    const Bytes original =
        RiffImage()
            .chunk("fmt ", testing::pcmFormatBody(2, 8000, 16))
            .chunk("LIST", {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 3, 0, 0, 0, 'a', 'b', 0})
            .chunk("data", testing::patternBytes(800))
            .patchRiffSize()
            .bytes();
    const std::string name = image(original);
    RecordGuard guard;
    ASSERT_EQ(parse(name, guard), 0);
    readRegion(guard.info);
    EXPECT_EQ(testing::readFile(name), original);
}

TEST_F(WaveIOTest, InfoListKeepsKnownIdsInTableOrderWhenRewritten) {
    const Bytes info = {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 3,   0,   0,   0,   's',
                        'w', 0,   0,   'X', 'Y', 'Z', 'W', 2,   0,   0,   0,   'q', 0,
                        'I', 'A', 'R', 'T', 4,   0,   0,   0,   'a', 'r', 't', 0};
    RecordGuard source;
    ASSERT_EQ(parse(image(RiffImage()
                              .chunk("fmt ", testing::pcmFormatBody(1, 8000, 8))
                              .chunk("LIST", info)
                              .chunk("DISP", {1, 0, 0, 0, 'h', 'i', 0})
                              .chunk("data", testing::patternBytes(10))
                              .patchRiffSize()
                              .bytes()),
                    source),
              0);
    RecordGuard copy;
    ASSERT_EQ(NewWaveInfo(copy.info, source.info->waveFormat.get()), 0);
    ASSERT_EQ(CopyWaveInfoLists(copy.info, source.info), 0);
    const std::string name = folder.file("copy.wav");
    ASSERT_EQ(CreateWaveFile(copy.info, name), 0);
    ASSERT_EQ(CloseWaveIO(copy.info), 0);

    const Bytes file = testing::readFile(name);
    const std::size_t disp = 12 + 24 + 8;
    EXPECT_EQ(testing::idAt(file, disp), "DISP");
    EXPECT_EQ(std::string(file.data() + disp + 12, 3), std::string("hi\0", 3));
    const std::size_t list = disp + 8 + 8;
    ASSERT_EQ(testing::idAt(file, list), "LIST");
    EXPECT_EQ(testing::idAt(file, list + 8), "INFO");
    EXPECT_EQ(testing::idAt(file, list + 12), "IART");
    EXPECT_EQ(testing::u32At(file, list + 16), 4u);
    EXPECT_EQ(testing::idAt(file, list + 24), "ISFT");
    EXPECT_EQ(testing::u32At(file, list + 4), 4u + 12 + 12);
    EXPECT_EQ(file.size(), list + 8 + 28);
}

TEST_F(WaveIOTest, RewritingAnExistingFileKeepsItsSamplesAndCutsWhatWasBehind) {
    const std::string name = folder.file("rewrite.wav");
    writeWave(name, pcmFormat(16, 1, 8000), testing::patternBytes(2 * 100));
    RecordGuard guard;
    ASSERT_EQ(parse(name, guard), 0);
    guard.info->infoList.entries[14].replacement = std::string(5000, 'n'); // a long INAM
    ASSERT_EQ(OpenWaveIO(guard.info), 0);
    const Bytes tail = testing::patternBytes(2 * 10, 7);
    ASSERT_EQ(SeekWaveIO(guard.info, 95), 0);
    ASSERT_EQ(WriteWaveIO(guard.info, tail.data(), 20), 20);
    ASSERT_EQ(CloseWaveIO(guard.info), 0);

    RecordGuard again;
    ASSERT_EQ(parse(name, again), 0);
    EXPECT_EQ(again.info->totalSamples, 105u);
    EXPECT_EQ(again.info->fileSize, testing::readFile(name).size());
    EXPECT_EQ(infoText(again.info->infoList, 14), std::string(5000, 'n'));
}

TEST_F(WaveIOTest, TemporaryNamesLieBesideTheDestinationAndAreUnused) {
    std::string name = folder.file("target.wav");
    ASSERT_TRUE(MakeTempWaveName(name));
    const std::filesystem::path made(name);
    EXPECT_EQ(made.parent_path(), folder.path());
    EXPECT_EQ(made.filename().string().front(), 'w');
    EXPECT_FALSE(std::filesystem::exists(made));
}

// --- Files of other programs -----------------------------------------------------------------

struct ToolFileCase {
    const char* what;
    const char* tool;
    std::string writeCommand; // writes "in.wav"
    std::uint16_t tag;
    std::uint16_t channels;
    std::uint16_t bits;
};

std::vector<ToolFileCase> toolFiles() {
    const std::string soxSynth = " synth 0.0503 sine 440 sine 1000";
    const std::string ffmpegSine = "ffmpeg -v error -y -f lavfi -i sine=f=440:d=0.0503 -ar 8000 ";
    return {
        {"sox 8-bit", "sox", "sox -n -r 8000 -c 1 -b 8 -e unsigned in.wav" + soxSynth, 1, 1, 8},
        {"sox 16-bit", "sox", "sox -n -r 8000 -c 2 -b 16 in.wav" + soxSynth, 1, 2, 16},
        {"sox 24-bit", "sox", "sox -n -r 8000 -c 2 -b 24 in.wav" + soxSynth, 0xFFFE, 2, 24},
        {"sox 32-bit", "sox", "sox -n -r 8000 -c 1 -b 32 -e signed in.wav" + soxSynth, 0xFFFE, 1,
         32},
        {"sox float with fact", "sox", "sox -n -r 8000 -c 2 -b 32 -e float in.wav" + soxSynth, 3, 2,
         32},
        {"sox odd-sized 8-bit data", "sox",
         "sox -n -r 8000 -c 1 -b 8 -e unsigned in.wav synth 9s sine 440", 1, 1, 8},
        {"ffmpeg 16-bit with LIST/INFO", "ffmpeg",
         ffmpegSine + "-c:a pcm_s16le -metadata title=Odd -metadata artist=Abcd in.wav", 1, 1, 16},
        {"ffmpeg 8-bit odd-sized", "ffmpeg", ffmpegSine + "-c:a pcm_u8 -metadata title=T in.wav", 1,
         1, 8},
        {"ffmpeg extensible 24-bit", "ffmpeg", ffmpegSine + "-ac 3 -c:a pcm_s24le in.wav", 0xFFFE,
         3, 24},
        {"ffmpeg float extensible with fact", "ffmpeg", ffmpegSine + "-c:a pcm_f32le in.wav",
         0xFFFE, 1, 32},
        {"ffmpeg 32-bit", "ffmpeg", ffmpegSine + "-c:a pcm_s32le in.wav", 0xFFFE, 1, 32},
    };
}

TEST_F(WaveIOTest, FilesOfSoxAndFfmpegParseWithTheirFormatAndData) {
    for (const ToolFileCase& each : toolFiles()) {
        SCOPED_TRACE(each.what);
        if (!testing::toolAvailable(each.tool) || !testing::toolAvailable("ffmpeg"))
            GTEST_SKIP() << each.tool << " or ffmpeg is not installed";
        const std::string cd = "cd " + testing::quoted(folder.path().string()) + " && ";
        ASSERT_TRUE(testing::run(cd + each.writeCommand));
        // ffmpeg's own reading of the stored sample bytes is the reference.
        ASSERT_TRUE(
            testing::run(cd + "ffmpeg -v error -y -i in.wav -map 0:a -c copy -f data in.raw"));

        RecordGuard guard;
        ASSERT_EQ(parse(folder.file("in.wav"), guard), 0);
        const TWaveFormatEx& format = *guard.info->waveFormat;
        EXPECT_EQ(format.wFormatTag, each.tag);
        EXPECT_EQ(format.nChannels, each.channels);
        EXPECT_EQ(format.wBitsPerSample, each.bits);
        EXPECT_EQ(format.nSamplesPerSec, 8000u);
        EXPECT_EQ(readRegion(guard.info), testing::readFile(folder.file("in.raw")));
    }
}

// A null test against two independent readers: what they decode from our file must be the
// samples we wrote.
TEST_F(WaveIOTest, OurFilesReadBackBySoxAndFfmpegWithTheSameSamples) {
    VANTREL_REQUIRE_TOOL("sox");
    VANTREL_REQUIRE_TOOL("ffmpeg");
    struct {
        TWaveFormatEx format;
        const char* ffmpegRaw;
    } cases[] = {
        {pcmFormat(8, 1, 8000), "u8"},
        {pcmFormat(16, 2, 44100), "s16le"},
        {pcmFormat(24, 2, 48000), "s24le"},
        {{3, 2, 8000, 64000, 8, 32, 0}, "f32le"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.ffmpegRaw);
        const std::size_t frames = 1001;
        const Bytes data = each.format.wFormatTag == 3
                               ? testing::exactFloatBytes(frames * each.format.nChannels)
                               : testing::patternBytes(each.format.nBlockAlign * frames);
        const std::string name = folder.file("ours.wav");
        writeWave(name, each.format, data);
        const std::string cd = "cd " + testing::quoted(folder.path().string()) + " && ";
        ASSERT_TRUE(testing::run(cd + "sox ours.wav -t raw sox.raw"));
        ASSERT_TRUE(testing::run(cd + "ffmpeg -v error -y -i ours.wav -f " + each.ffmpegRaw +
                                 " -c:a copy ffmpeg.raw"));
        EXPECT_EQ(testing::readFile(folder.file("sox.raw")), data);
        EXPECT_EQ(testing::readFile(folder.file("ffmpeg.raw")), data);
    }
}

} // namespace
} // namespace vantrel
