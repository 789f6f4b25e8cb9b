#include "MMLame.h"

#include "FileTestSupport.h"
#include "LameEncoderLibrary.h"
#include "MMAudio.h"
#include "MMWave.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

namespace vantrel {
namespace {

using namespace vantrel::testing;

constexpr std::uint32_t Rate = 44100;

// The head of the chain: hands its format on and pushes PCM buffers.
class PcmSource : public TMMDSPComponent {
public:
    PcmSource() { publishLinks(false, true); }
    void push(const std::int16_t* samples, std::size_t values) {
        PWaveHdr buffer = allocateBuffer(static_cast<std::uint32_t>(values * 2));
        std::memcpy(buffer->wh.lpData, samples, values * 2);
        buffer->wh.dwBytesRecorded = static_cast<std::uint32_t>(values * 2);
        GetOutput()->BufferReady(buffer);
        freeBuffer(buffer);
    }
};

// `frames` stereo frames of a 1 kHz tone at half scale.
std::vector<std::int16_t> stereoTone(std::size_t frames) {
    std::vector<std::int16_t> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const double value = 16000.0 * std::sin(2.0 * M_PI * 1000.0 * double(i) / Rate);
        samples[2 * i] = samples[2 * i + 1] = static_cast<std::int16_t>(value);
    }
    return samples;
}

// Frames of 16-bit stereo ffmpeg decodes from `file`; -1 when it cannot decode it.
long long decodedFrames(const std::string& file) {
    const std::string raw = file + ".raw";
    if (!run("ffmpeg -v error -y -i " + quoted(file) + " -f s16le -ac 2 " + quoted(raw)))
        return -1;
    return static_cast<long long>(std::filesystem::file_size(raw) / 4);
}

// The frame count, encoder delay and padding of the Info/Xing tag frame that starts `stream`.
struct TagFrame {
    bool found = false;
    std::uint32_t frames = 0;
    std::uint32_t delay = 0;
    std::uint32_t padding = 0;
};

TagFrame readTagFrame(const Bytes& stream) {
    TagFrame tag;
    const std::string text(stream.begin(),
                           stream.begin() + std::min<std::size_t>(stream.size(), 400));
    std::size_t at = text.find("Info");
    if (at == std::string::npos)
        at = text.find("Xing");
    if (at == std::string::npos)
        return tag;
    auto byte = [&](std::size_t i) {
        return static_cast<unsigned char>(stream.at(i));
    };
    const std::uint32_t flags = byte(at + 7);
    if ((flags & 1) == 0)
        return tag;
    tag.frames = byte(at + 8) << 24 | byte(at + 9) << 16 | byte(at + 10) << 8 | byte(at + 11);
    const std::size_t lame = text.find("LAME", at);
    if (lame == std::string::npos)
        return tag;
    const std::size_t gap = lame + 21; // 12-bit delay, 12-bit padding
    tag.delay = byte(gap) << 4 | byte(gap + 1) >> 4;
    tag.padding = (byte(gap + 1) & 0x0F) << 8 | byte(gap + 2);
    tag.found = true;
    return tag;
}

class EncoderTest : public ::testing::Test {
protected:
    EncoderTest() {
        BuildPCMFormat(format, 16, 2, Rate);
        encoder.SetInput(&source);
        source.SetWaveFormat(&format);
    }

    // Opens, starts, pushes `samples` in buffers of `valuesPerBuffer` values, stops and closes.
    void encode(const std::vector<std::int16_t>& samples, std::size_t valuesPerBuffer) {
        encoder.NotifyOpened();
        encoder.NotifyStarted();
        for (std::size_t at = 0; at < samples.size() && encoder.IsEncoderOpen();
             at += valuesPerBuffer)
            source.push(samples.data() + at, std::min(valuesPerBuffer, samples.size() - at));
        encoder.NotifyStopped();
        encoder.NotifyClosed();
    }

    ScratchFolder folder;
    TWaveFormatEx format{};
    PcmSource source;
    TMMMP3Encoder encoder;
};

TEST(MP3EncoderConfigTest, ChannelModeFollowsInputChannelsModeAndBitrate) {
    struct Case {
        int channels;
        TMMChannelMode mode;
        std::int32_t bitrate;
        std::int32_t expected;
    } cases[] = {{2, cmAuto, 320, 0},       {2, cmAuto, 128, 1}, {1, cmStereo, 320, 3},
                 {1, cmDualChannel, 64, 3}, {2, cmMono, 320, 0}, {2, cmJointStereo, 320, 1},
                 {2, cmDualChannel, 320, 2}};
    for (const Case& c : cases) {
        TWaveFormatEx format{};
        BuildPCMFormat(format, 16, c.channels, 48000);
        TMMMP3Encoder encoder;
        encoder.SetChannelMode(c.mode);
        encoder.SetBitrate(c.bitrate);
        EXPECT_EQ(encoder.BuildConfig(format).nMode, c.expected)
            << c.channels << " channels, mode " << c.mode << ", " << c.bitrate << " kbit/s";
    }
}

TEST(MP3EncoderConfigTest, RecordCarriesTheSettingsAtTheirOffsets) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, 16, 2, 48000);
    TMMMP3Encoder encoder;
    encoder.SetMpegVersion(v2);
    encoder.SetBitrate(320);
    encoder.SetVBRMethod(vbrABR);
    encoder.SetCRC(true);
    encoder.SetQuality(7);
    const BE_CONFIG config = encoder.BuildConfig(format);
    Bytes raw(sizeof config);
    std::memcpy(raw.data(), &config, sizeof config);
    ASSERT_EQ(raw.size(), 331u);
    EXPECT_EQ(u32At(raw, 0), 256u);
    EXPECT_EQ(u32At(raw, 8), 331u);
    EXPECT_EQ(u32At(raw, 12), 48000u);
    EXPECT_EQ(u32At(raw, 24), 320u);
    EXPECT_EQ(u32At(raw, 32), 0xFFFFFFFFu); // no preset
    EXPECT_EQ(u32At(raw, 36), 0u);          // MPEG-2
    EXPECT_EQ(u32At(raw, 52), 0xFFFFFFFFu); // CRC
    EXPECT_EQ(u32At(raw, 64), 0xFFFFFFFFu); // VBR header
    EXPECT_EQ(u32At(raw, 76), 320u);        // ABR mean bitrate
    EXPECT_EQ(u32At(raw, 80), 4u);          // ABR method
    EXPECT_EQ(raw[92], 7);
    EXPECT_EQ(raw[93], 0);
}

TEST(MP3EncoderConfigTest, ContainerFormatDeclaresBitrateAndFrameBlockSize) {
    struct Case {
        std::uint32_t rate;
        std::int32_t kbps;
        std::uint32_t avgBytes;
        std::uint16_t blockSize;
    } cases[] = {{44100, 320, 40000, 1044}, {48000, 320, 40000, 960}, {22050, 64, 8000, 208}};
    for (const Case& c : cases) {
        const TMMWaveFormatPtr format = BuildMP3WaveFormat(c.rate, 2, c.kbps, false);
        Bytes raw(30);
        std::memcpy(raw.data(), format.get(), raw.size());
        EXPECT_EQ(format->wFormatTag, 0x55);
        EXPECT_EQ(format->nAvgBytesPerSec, c.avgBytes);
        EXPECT_EQ(format->nBlockAlign, 1);
        EXPECT_EQ(format->cbSize, 12);
        EXPECT_EQ(u32At(raw, 20), 2u) << "padding off without VBR";
        EXPECT_EQ(static_cast<std::uint16_t>(u32At(raw, 24)), c.blockSize) << c.rate;
    }
}

TEST_F(EncoderTest, PlainFileDecodesToTheInputLengthAndItsTagGivesTheDuration) {
    VANTREL_REQUIRE_TOOL("ffmpeg");
    const std::string file = folder.file("tone.mp3");
    encoder.SetFileName(file);
    encoder.SetBitrate(192);
    const std::size_t frames = Rate * 3 / 2 + 123; // not a whole number of chunks
    // Buffers smaller and larger than a chunk, so that chunks are cut across buffers.
    encode(stereoTone(frames), 1000);

    const TagFrame tag = readTagFrame(readFile(file));
    ASSERT_TRUE(tag.found);
    EXPECT_EQ(tag.frames * 1152ll - tag.delay - tag.padding, static_cast<long long>(frames));
    const long long decoded = decodedFrames(file);
    EXPECT_NEAR(decoded, static_cast<long long>(frames), 1152 + 529);
}

TEST_F(EncoderTest, WaveContainerHoldsTheStreamAsMpegLayer3) {
    VANTREL_REQUIRE_TOOL("ffprobe");
    const std::string file = folder.file("tone.wav");
    encoder.SetFileName(file);
    encoder.SetFileType(ftWAV);
    encoder.SetBitrate(320);
    const std::size_t frames = Rate;
    encode(stereoTone(frames), 5000);

    TMMWave wave;
    wave.SetFileName(file);
    EXPECT_EQ(wave.GetFormatTag(), 0x55);
    EXPECT_EQ(wave.GetSampleRate(), static_cast<std::int32_t>(Rate));
    EXPECT_TRUE(
        run("ffprobe -v error -show_streams " + quoted(file) + " | grep -q codec_name=mp3"));
    // Readers of WAVE files do not trim the encoder delay and padding, and decode the tag frame
    // as one frame of silence.
    EXPECT_NEAR(decodedFrames(file), static_cast<long long>(frames), 3 * 1152);

    TMMAudioFile source;
    source.SetFileName(file);
    EXPECT_EQ(source.GetFileType(), ftMpeg) << "read back as MPEG audio";
    EXPECT_NEAR(source.GetFileLength(), 1000, 60) << "ms";
}

TEST_F(EncoderTest, WithoutFileNameBlocksStillReachListenersAndNoFileIsMade) {
    std::size_t encodedBytes = 0;
    encoder.OnBufferReady = [&](TMMDSPComponent*, PWaveHdr block) {
        encodedBytes += block->wh.dwBytesRecorded;
    };
    encode(stereoTone(Rate / 2), 4096);
    EXPECT_GT(encodedBytes, 0u);
    EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

TEST_F(EncoderTest, FullVolumeClosesTheEncoderAndLeavesADecodableFile) {
    VANTREL_REQUIRE_TOOL("ffmpeg");
    const std::string file = folder.file("full.mp3");
    encoder.SetFileName(file);
    // The volume has room for about 20 kB of stream beyond the writer's reserve.
    encoder.SetFreeSpaceQuery([&](const std::filesystem::path& path) -> std::uint64_t {
        const std::uint64_t used =
            std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0;
        const std::uint64_t volume = 20000 + DiskSpaceReserve;
        return used >= volume ? 0 : volume - used;
    });
    const std::size_t frames = Rate * 10;
    EXPECT_NO_THROW(encode(stereoTone(frames), 8192));
    EXPECT_FALSE(encoder.IsEncoderOpen());
    // The plain file's stdio buffer may still hold one block when the volume is asked.
    EXPECT_LE(std::filesystem::file_size(file), 20000u + BUFSIZ);
    const long long decoded = decodedFrames(file);
    EXPECT_GT(decoded, static_cast<long long>(Rate / 2));
    EXPECT_LT(decoded, static_cast<long long>(frames));
}

TEST_F(EncoderTest, ExistingFileIsReplacedAtOpen) {
    const std::string file = folder.file("old.mp3");
    writeFile(file, Bytes(100000, 'x'));
    encoder.SetFileName(file);
    encode(stereoTone(1000), 2000);
    const Bytes written = readFile(file);
    EXPECT_LT(written.size(), 100000u);
    EXPECT_EQ(std::count(written.begin(), written.end(), 'x'), 0);
}

TEST_F(EncoderTest, FileSettingsCannotChangeWhileOpen) {
    encoder.SetFileName(folder.file("a.mp3"));
    encoder.NotifyOpened();
    EXPECT_THROW(
        try { encoder.SetFileType(ftWAV); } catch (const EMMError& error) {
            EXPECT_STREQ(error.what(), "Change to property while device was open");
            throw;
        },
        EMMError);
    EXPECT_EQ(encoder.GetFileType(), ftRAW);
    EXPECT_THROW(encoder.SetFileName(folder.file("b.mp3")), EMMError);
    EXPECT_NO_THROW(encoder.SetFileName(folder.file("a.mp3"))) << "the same name again";
    encoder.NotifyClosed();
}

TEST_F(EncoderTest, InputOtherThanSixteenBitPcmIsRefusedAtOpen) {
    TWaveFormatEx eightBit{};
    BuildPCMFormat(eightBit, 8, 2, Rate);
    source.SetWaveFormat(&eightBit);
    try {
        encoder.NotifyOpened();
        FAIL() << "opened with 8-bit input";
    } catch (const EMMError& error) {
        EXPECT_STREQ(error.what(), "Unsupported Input Format");
    }
    EXPECT_FALSE(encoder.IsEncoderOpen());
}

TEST_F(EncoderTest, MissingLibraryIsReportedAndLoadedOnceItIsThere) {
    SetLameEncoderFile("no_such_lame_enc.so");
    try {
        encoder.NotifyOpened();
        FAIL() << "opened without the library";
    } catch (const EMMError& error) {
        EXPECT_STREQ(error.what(), "Unable to load Lame Encoder DLL (Lame_Enc.dll)");
    }
    encoder.NotifyClosed();
    SetLameEncoderFile(DefaultLameEncoderFile);
    encoder.NotifyOpened();
    EXPECT_TRUE(encoder.IsEncoderOpen());
    encoder.NotifyClosed();
}

} // namespace
} // namespace vantrel
