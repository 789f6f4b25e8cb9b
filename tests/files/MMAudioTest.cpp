// The audio file source: which reader plays a file, the clear refusal of what nothing can play,
// the gain envelope (volume, panning, start ramp, fade-out), positions, the end of a run and
// looping, and seeking from the main thread while another thread pulls.
#include "MMAudio.h"

#include "ChainTestSupport.h"

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace vantrel {
namespace {

using namespace vantrel::testing;

constexpr std::int16_t Level = 10000; // of the constant test signal

// A 16-bit PCM WAVE file holding `seconds` of the constant `Level` in every channel.
std::string makeConstantWave(const ScratchFolder& folder, const std::string& name, int channels,
                             int rate, double seconds) {
    const auto frames = static_cast<std::size_t>(seconds * rate);
    Bytes data(frames * static_cast<std::size_t>(channels) * 2);
    for (std::size_t i = 0; i < data.size(); i += 2) {
        data[i] = static_cast<char>(Level & 0xFF);
        data[i + 1] = static_cast<char>(Level >> 8);
    }
    const std::string file = folder.file(name);
    writeFile(file, RiffImage()
                        .chunk("fmt ", pcmFormatBody(static_cast<std::uint16_t>(channels),
                                                     static_cast<std::uint32_t>(rate), 16))
                        .chunk("data", data)
                        .patchRiffSize()
                        .bytes());
    return file;
}

void start(TMMAudioFile& audio) {
    ASSERT_NE(audio.GetReader(), nullptr);
    openAndStart(*audio.GetReader());
}

struct ReaderCase {
    const char* name;
    const char* command; // makes {out} from the 16-bit tone {in}
    TMMAudioFileType type;
};

TEST(AudioFileReaderTest, PicksTheReaderByContentAndPlaysPcm) {
    VANTREL_REQUIRE_TOOL("sox");
    VANTREL_REQUIRE_TOOL("ffmpeg");
    VANTREL_REQUIRE_TOOL("lame");
    ScratchFolder folder;
    const std::string tone = makeToneWave(folder, "tone.wav", 44100, 2, 1.0);
    const ReaderCase cases[] = {
        {"pcm.wav", "cp {in} {out}", ftWave},
        {"lame.mp3", "lame --quiet -b 128 {in} {out}", ftMpeg},
        {"pcm_wave_named.mp3", "cp {in} {out}", ftWave},
        {"ms_adpcm.wav", "sox {in} -e ms-adpcm {out}", ftWave},
        {"layer3_in_wave.mp3", "ffmpeg -v error -y -i {in} -c:a libmp3lame -f wav {out}", ftMpeg},
        {"layer3_in_wave.wav", "ffmpeg -v error -y -i {in} -c:a libmp3lame -f wav {out}", ftMpeg},
        {"layer2_in_wave.wav", "ffmpeg -v error -y -i {in} -c:a mp2 -f wav {out}", ftMpeg},
    };
    for (const ReaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = folder.file(c.name);
        ASSERT_TRUE(
            run(replaced(replaced(c.command, "{in}", quoted(tone)), "{out}", quoted(file))));
        TMMAudioFile audio;
        int loading = 0;
        int loaded = 0;
        audio.OnFileLoading = [&](TMMDSPComponent*) {
            ++loading;
        };
        audio.OnFileLoaded = [&](TMMDSPComponent*) {
            loaded += loading;
        };
        audio.SetFileName(file);
        EXPECT_EQ(loaded, 1);
        EXPECT_EQ(audio.GetFileType(), c.type);
        EXPECT_NEAR(audio.GetFileLength(), 1000, 60); // MPEG in WAVE keeps the encoder delay
        EXPECT_EQ(audio.GetFileSampleRate(), 44100);
        const TWaveFormatEx* format = audio.GetWaveFormat();
        ASSERT_NE(format, nullptr);
        EXPECT_TRUE(IsValidPCMFormat(format));
        start(audio);
        const double seconds =
            static_cast<double>(pullAll(audio, 8192).size()) / format->nAvgBytesPerSec;
        EXPECT_NEAR(seconds, 1.0, 0.06);
    }
}

TEST(AudioFileReaderTest, RefusesWhatNoReaderCanPlay) {
    ScratchFolder folder;
    const std::string wave = makeConstantWave(folder, "content.wav", 1, 8000, 0.1);
    const Bytes waveBytes = readFile(wave);
    const struct {
        const char* name;
        Bytes content;
    } cases[] = {
        {"empty.wav", {}},
        {"empty.mp3", {}},
        {"noise.mp3", patternBytes(20000, 7)},
        {"wave_named.txt", waveBytes},
        {"header_only.wav", Bytes(waveBytes.begin(), waveBytes.begin() + 30)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(folder.file(c.name), c.content);
        TMMAudioFile audio;
        try {
            audio.SetFileName(folder.file(c.name));
            ADD_FAILURE() << "the file was loaded";
        } catch (const EMMAudioError& error) {
            EXPECT_STREQ(error.what(), "This is not a valid Audiofile");
        }
        EXPECT_EQ(audio.GetReader(), nullptr);
        EXPECT_EQ(audio.GetFileType(), ftNone);
        EXPECT_EQ(audio.GetFileLength(), 0);
    }
}

TEST(AudioFileReaderTest, IgnoresAMissingFileAndUnloadsOnAnEmptyName) {
    ScratchFolder folder;
    TMMAudioFile audio;
    EXPECT_NO_THROW(audio.SetFileName(folder.file("missing.wav")));
    EXPECT_EQ(audio.GetReader(), nullptr);
    audio.SetFileName(makeConstantWave(folder, "a.wav", 1, 8000, 0.5));
    EXPECT_EQ(audio.GetFileLength(), 500);
    EXPECT_NO_THROW(audio.SetFileName(""));
    EXPECT_EQ(audio.GetReader(), nullptr);
    EXPECT_EQ(audio.GetFileLength(), 0);
    EXPECT_EQ(audio.GetWaveFormat(), nullptr);
}

TEST(AudioFileReaderTest, ListsTheReaderClassesInPriorityOrder) {
    const std::vector<TRegisterRec>& list = FileClassList();
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[0].fileClass->className, "TMMMPEGFile");
    EXPECT_EQ(list[0].priority, 1);
    EXPECT_EQ(list[1].fileClass->className, "TMMWaveFile");
    EXPECT_EQ(list[1].fileClass->fileFilter, "Wave Files(*.wav)|*.wav");
    const std::size_t size = list.size();
    RegisterFileClass(WaveFileClass(), 0); // listed already: not entered again
    EXPECT_EQ(FileClassList().size(), size);
}

struct GainCase {
    std::int32_t volume;
    std::int32_t panning;
    std::int16_t left;
    std::int16_t right;
};

TEST(AudioFileEnvelopeTest, AppliesVolumeAndPanningAfterARampOfOneMillisecond) {
    ScratchFolder folder;
    const std::string file = makeConstantWave(folder, "dc.wav", 2, 8000, 0.25);
    const GainCase cases[] = {{16384, 0, Level, Level},         {8192, 0, Level / 2, Level / 2},
                              {16384, 16384, Level / 2, Level}, {16384, -32768, Level, 0},
                              {40000, 0, 2 * Level, 2 * Level}, {0, 0, 0, 0}};
    for (const GainCase& c : cases) {
        SCOPED_TRACE("volume " + std::to_string(c.volume) + ", panning " +
                     std::to_string(c.panning));
        TMMAudioFile audio;
        audio.SetFileName(file);
        audio.SetVolume(c.volume);
        audio.SetPanning(c.panning);
        start(audio);
        const Samples out = toSamples(pullAll(audio, 800));
        ASSERT_EQ(out.size(), 2u * 2000);
        EXPECT_EQ(out[0], 0);
        EXPECT_EQ(out[1], 0);
        // The ramp reaches the gain one millisecond (8 frames) and a frame after the start.
        for (std::size_t frame = 1; frame < 16; ++frame) {
            EXPECT_GE(out[2 * frame], out[2 * frame - 2]);
            EXPECT_LE(std::abs(out[2 * frame]), std::abs(c.left) + 1);
        }
        for (std::size_t frame = 16; frame < 2000; frame += 61) {
            EXPECT_NEAR(out[2 * frame], c.left, 1) << "frame " << frame;
            EXPECT_NEAR(out[2 * frame + 1], c.right, 1) << "frame " << frame;
        }
    }
}

TEST(AudioFileEnvelopeTest, ClampsVolumeAndPanning) {
    TMMAudioFile audio;
    audio.SetVolume(40000);
    EXPECT_EQ(audio.GetVolume(), 32768);
    audio.SetVolume(-1);
    EXPECT_EQ(audio.GetVolume(), 0);
    audio.SetPanning(-40000);
    EXPECT_EQ(audio.GetPanning(), -32768);
    audio.SetPanning(40000);
    EXPECT_EQ(audio.GetPanning(), 32768);
}

TEST(AudioFileEnvelopeTest, FadesOutLinearlyAndEndsTheRunThere) {
    ScratchFolder folder;
    TMMAudioFile audio;
    audio.SetFileName(makeConstantWave(folder, "dc.wav", 1, 8000, 2.0));
    start(audio);
    bool more = false;
    for (int i = 0; i < 20; ++i) // 1 s in buffers of 50 ms
        pullOnce(audio, 800, more);
    EXPECT_EQ(audio.GetPosition(), 1000);
    audio.FadeOut(500);
    const Samples rest = toSamples(pullAll(audio, 800));
    // 500 ms of fade (4000 frames), ended with the buffer that reaches it.
    ASSERT_GE(rest.size(), 4000u);
    EXPECT_LT(rest.size(), 4000u + 400);
    EXPECT_NEAR(rest[0], Level, 10);
    EXPECT_NEAR(rest[1000], Level * 3 / 4, 30);
    EXPECT_NEAR(rest[2000], Level / 2, 30);
    EXPECT_NEAR(rest[3000], Level / 4, 30);
    for (std::size_t i = 4000; i < rest.size(); ++i)
        ASSERT_EQ(rest[i], 0) << "frame " << i << " after the fade";
}

TEST(AudioFilePositionTest, ClampsSeeksAndCountsPlayedBytes) {
    ScratchFolder folder;
    TMMAudioFile audio;
    audio.SetFileName(makeConstantWave(folder, "dc.wav", 1, 8000, 1.0));
    audio.SetPosition(-5000);
    EXPECT_EQ(audio.GetPosition(), 0);
    audio.SetPosition(999999);
    EXPECT_EQ(audio.GetPosition(), 1000);
    audio.SetPosition(250);
    start(audio);
    EXPECT_EQ(audio.GetPosition(), 250);
    bool more = false;
    pullOnce(audio, 1600, more); // 100 ms
    EXPECT_EQ(audio.GetPosition(), 350);
    audio.SetPosition(800);
    EXPECT_EQ(audio.GetPosition(), 800);
    const std::size_t rest = pullAll(audio, 1600).size();
    EXPECT_EQ(rest, 2u * 1600);
}

TEST(AudioFilePositionTest, SendsOneShortSilenceAfterTheLastData) {
    ScratchFolder folder;
    TMMAudioFile audio;
    audio.SetFileName(makeConstantWave(folder, "dc.wav", 1, 8000, 0.1));
    start(audio);
    EXPECT_EQ(pullAll(audio, 1000).size(), 1600u);
    bool more = true;
    EXPECT_EQ(pullOnce(audio, 1000, more), Bytes(4, 0));
    EXPECT_FALSE(more);
    EXPECT_TRUE(pullOnce(audio, 1000, more).empty());
}

TEST(AudioFilePositionTest, RestartsFromTheStartWhenTheBufferAsksToLoop) {
    ScratchFolder folder;
    TMMAudioFile audio;
    audio.SetFileName(makeConstantWave(folder, "dc.wav", 1, 8000, 0.1));
    start(audio);
    OwnedBuffer buffer(1000);
    buffer.header->LoopEnabled = MMTrue;
    buffer.header->LoopCount = 0; // endless
    int restarts = 0;
    for (int pull = 0; pull < 12; ++pull) {
        bool more = false;
        buffer.header->LoopRestarted = 0;
        audio.BufferLoad(buffer.header, more);
        ASSERT_TRUE(more);
        restarts += buffer.header->LoopRestarted != 0;
    }
    EXPECT_GE(restarts, 4);
    EXPECT_LT(audio.GetPosition(), 100);
}

TEST(AudioFileConcurrencyTest, SeeksChangesVolumeAndLoadsSafelyWhileAnotherThreadPullsAndLoops) {
    ScratchFolder folder;
    TMMAudioFile audio;
    const std::string first = makeConstantWave(folder, "first.wav", 2, 8000, 2.0);
    const std::string second = makeConstantWave(folder, "second.wav", 2, 8000, 2.5);
    audio.SetFileName(first);
    start(audio);
    std::atomic<bool> stop{false};
    std::atomic<int> pulls{0};
    std::atomic<bool> misaligned{false};
    std::thread device([&] {
        OwnedBuffer buffer(1024);
        buffer.header->LoopEnabled = MMTrue; // endless: restarts on this thread
        while (!stop) {
            bool more = false;
            buffer.header->wh.dwBytesRecorded = 0;
            audio.BufferLoad(buffer.header, more);
            misaligned = misaligned || buffer.header->wh.dwBytesRecorded % 4 != 0;
            ++pulls;
        }
    });
    for (int seek = 0; seek < 200; ++seek) {
        audio.SetPosition(seek * 37 % 2000);
        audio.SetVolume(8192 + seek);
        if (seek % 50 == 49) // a new file while the puller runs
            audio.SetFileName(seek % 100 == 49 ? second : first);
        const std::int32_t position = audio.GetPosition();
        EXPECT_GE(position, 0);
        EXPECT_LE(position, audio.GetFileLength());
    }
    while (pulls < 200)
        std::this_thread::yield();
    stop = true;
    device.join();
    EXPECT_FALSE(misaligned);
}

TEST(AudioFileRegressionTest, PlaysOrRefusesEveryInputTheFuzzerOnceBrokeItWith) {
    const std::filesystem::path fixtures =
        std::filesystem::path(VANTREL_FILES_FIXTURES) / "audio-fuzz";
    for (const auto& entry : std::filesystem::directory_iterator(fixtures)) {
        SCOPED_TRACE(entry.path().filename().string());
        TMMAudioFile audio;
        try {
            audio.SetFileName(entry.path().string());
            start(audio);
            pullAll(audio, 4096, 4000);
            audio.SetPosition(audio.GetFileLength() / 2);
            pullAll(audio, 4096, 4000);
        } catch (const EMMError&) {
            // a clear refusal is an answer too
        }
    }
}

} // namespace
} // namespace vantrel
