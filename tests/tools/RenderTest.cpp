#include "FileRenderer.h"
#include "ProgramFolder.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace vantrel {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t Rate = 48000;
constexpr int FilterDelay = 128;       // frames: a quarter of the equalizer's 512-point transform
constexpr double FilterGain = 0.99763; // 10^(6/20) / 2 at 0 dB

using Samples = std::vector<std::int16_t>; // interleaved stereo

class Scratch {
public:
    Scratch()
        : path_(fs::temp_directory_path() /
                ("vantrel-render-" + std::to_string(std::random_device()()))) {
        fs::create_directories(path_);
    }
    ~Scratch() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

void put32(std::ofstream& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.put(static_cast<char>(value >> (8 * i)));
}
void put16(std::ofstream& out, std::uint16_t value) {
    out.put(static_cast<char>(value));
    out.put(static_cast<char>(value >> 8));
}

// A plain 16-bit stereo WAVE file, written independently of the code under test.
void writeWave(const std::string& name, const Samples& samples) {
    std::ofstream out(name, std::ios::binary);
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    out.write("RIFF", 4);
    put32(out, 36 + dataBytes);
    out.write("WAVEfmt ", 8);
    put32(out, 16);
    put16(out, 1);
    put16(out, 2);
    put32(out, Rate);
    put32(out, Rate * 4);
    put16(out, 4);
    put16(out, 16);
    out.write("data", 4);
    put32(out, dataBytes);
    out.write(reinterpret_cast<const char*>(samples.data()), dataBytes);
}

// The samples of the "data" chunk of a 16-bit WAVE file.
Samples readWave(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        std::uint32_t size = 0;
        std::memcpy(&size, bytes.data() + at + 4, 4);
        if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            Samples samples(std::min<std::size_t>(size, bytes.size() - at - 8) / 2);
            std::memcpy(samples.data(), bytes.data() + at + 8, samples.size() * 2);
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

Samples whiteNoise(std::size_t frames) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> value(-8000, 8000);
    Samples samples(frames * 2);
    for (auto& sample : samples)
        sample = static_cast<std::int16_t>(value(random));
    return samples;
}

Samples tones(std::size_t frames, std::initializer_list<double> frequencies, double amplitude) {
    Samples samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        double value = 0;
        for (double f : frequencies)
            value += amplitude * std::sin(2 * M_PI * f * double(i) / Rate);
        samples[2 * i] = samples[2 * i + 1] = static_cast<std::int16_t>(std::lround(value));
    }
    return samples;
}

// Amplitude of the component at `frequency` in the left channel from frame `from` on, by
// correlation with a sine and a cosine over a whole number of its periods.
double amplitudeAt(const Samples& samples, double frequency, std::size_t from) {
    const std::size_t frames = samples.size() / 2 - from;
    const auto length =
        static_cast<std::size_t>(std::floor(frames * frequency / Rate) * Rate / frequency);
    double re = 0, im = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const double phase = 2 * M_PI * frequency * double(i) / Rate;
        re += samples[2 * (from + i)] * std::cos(phase);
        im += samples[2 * (from + i)] * std::sin(phase);
    }
    return 2 * std::hypot(re, im) / double(length);
}

std::string shellQuoted(const std::string& text) {
    return "'" + text + "'";
}

// Runs the program with `arguments`; its exit status, with what it printed in `output`.
int runRenderer(const std::string& arguments, std::string& output) {
    const std::string command =
        shellQuoted(programFolder() + "/vantrel-render") + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    output.clear();
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr)
        output += chunk;
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RenderTest, FlatEqualizerWithoutCompressorNullsAgainstTheInput) {
    Scratch scratch;
    const Samples input = whiteNoise(Rate);
    writeWave(scratch.file("in.wav"), input);
    RenderSettings settings;
    settings.input = scratch.file("in.wav");
    settings.output = scratch.file("out.wav");
    settings.compressor = false;
    const RenderResult result = RenderFile(settings);
    EXPECT_NEAR(result.seconds, 1.0, 1e-9);

    const Samples output = readWave(settings.output);
    const std::size_t delay = 2 * FilterDelay; // samples: two a frame
    ASSERT_GE(output.size(), input.size() + delay) << "the delayed tail is complete";
    int worst = 0;
    // The audio file source ramps the first millisecond in, so that a start never clicks.
    const std::size_t ramp = 2 * Rate / 1000;
    for (std::size_t i = ramp; i < input.size(); ++i) {
        const double difference = output[i + delay] - input[i] * FilterGain;
        worst = std::max(worst, static_cast<int>(std::lround(std::abs(difference))));
    }
    EXPECT_LE(worst, 2) << "largest difference in 16-bit steps";
}

TEST(RenderTest, PresetBandAtPlusTwelveDecibelsRaisesItsFrequencyByTwelveDecibels) {
    Scratch scratch;
    // 10031.25 Hz is an FFT bin amid band 28 (9482 ... 10595 Hz), which spans a dozen bins of
    // the equalizer's 512-point transform; 4 kHz lies in no raised band.
    const Samples input = tones(Rate, {10031.25, 4000}, 1000);
    writeWave(scratch.file("in.wav"), input);
    std::ofstream(scratch.file("Equalizer.dat"), std::ios::binary)
        << "[OpenDlg]\r\nInitialDir=c:\\\r\n[Loud 10k]\r\nFader28=12\r\n";
    std::string printed;
    ASSERT_EQ(runRenderer(shellQuoted(scratch.file("in.wav")) + " " +
                              shellQuoted(scratch.file("out.wav")) +
                              " --no-compressor --preset 'loud 10K' --presets " +
                              shellQuoted(scratch.file("Equalizer.dat")),
                          printed),
              0)
        << printed;
    const Samples output = readWave(scratch.file("out.wav"));
    const auto gainDb = [&](double frequency) {
        return 20 * std::log10(amplitudeAt(output, frequency, 4096) /
                               amplitudeAt(input, frequency, 4096));
    };
    EXPECT_NEAR(gainDb(10031.25), 12.0, 0.5);
    EXPECT_NEAR(gainDb(4000), 0.0, 0.5);
}

TEST(RenderTest, CompressedMp3RenderDecodesToTheInputLengthAndRendersBack) {
    Scratch scratch;
    writeWave(scratch.file("in.wav"), tones(Rate * 2, {440}, 12000));
    std::string printed;
    ASSERT_EQ(runRenderer(shellQuoted(scratch.file("in.wav")) + " " +
                              shellQuoted(scratch.file("out.MP3")) + " --bitrate 128",
                          printed),
              0)
        << printed;
    EXPECT_NE(printed.find("out.MP3"), std::string::npos) << "says where the result went";
    const std::string raw = scratch.file("out.raw");
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i " + shellQuoted(scratch.file("out.MP3")) +
                           " -f s16le " + shellQuoted(raw))
                              .c_str()),
              0);
    EXPECT_NEAR(static_cast<double>(fs::file_size(raw) / 4), 2.0 * Rate, 1152 + 529);

    // The MP3 renders back into WAV through the MPEG reader.
    ASSERT_EQ(runRenderer(shellQuoted(scratch.file("out.MP3")) + " " +
                              shellQuoted(scratch.file("back.wav")) + " --no-compressor",
                          printed),
              0)
        << printed;
    EXPECT_NEAR(static_cast<double>(readWave(scratch.file("back.wav")).size() / 2), 2.0 * Rate,
                2 * 1152);
}

TEST(RenderTest, CommandLineErrorsAreReportedAndTheInputIsNeverOverwritten) {
    Scratch scratch;
    const std::string input = scratch.file("in.wav");
    writeWave(input, tones(Rate / 10, {440}, 1000));
    fs::create_hard_link(input, scratch.file("same.wav"));
    writeWave(scratch.file("empty.wav"), {});
    const auto before = fs::file_size(input);
    struct Case {
        std::string arguments;
        int status;
        std::string says;
    } cases[] = {
        {shellQuoted(input) + " " + shellQuoted(input), 1, "Refusing to overwrite the input"},
        {shellQuoted(input) + " " + shellQuoted(scratch.file("same.wav")), 1,
         "Refusing to overwrite the input"},
        {shellQuoted(scratch.file("missing.wav")) + " " + shellQuoted(scratch.file("o.wav")), 1,
         "does not exist"},
        {shellQuoted(input) + " /nonexistent-folder/o.wav", 1, "Cannot write the output file"},
        {shellQuoted(scratch.file("empty.wav")) + " " + shellQuoted(scratch.file("o.wav")), 1,
         "holds no audio"},
        {shellQuoted(input) + " " + shellQuoted(scratch.file("o.flac")), 1,
         "must end in .wav or .mp3"},
        {shellQuoted(input) + " " + shellQuoted(scratch.file("o.wav")) + " --loud", 2,
         "Unknown option --loud"},
        {shellQuoted(input) + " " + shellQuoted(scratch.file("o.mp3")) + " --bitrate 300", 2,
         "--bitrate"},
        {shellQuoted(input) + " " + shellQuoted(scratch.file("o.wav")) + " --gains 1,2,3", 2,
         "31 values"},
        {shellQuoted(input), 2, "an input file and an output file"},
        {"--help", 0, "Usage: vantrel-render IN OUT"},
    };
    for (const Case& c : cases) {
        std::string printed;
        EXPECT_EQ(runRenderer(c.arguments, printed), c.status) << c.arguments;
        EXPECT_NE(printed.find(c.says), std::string::npos) << c.arguments << ": " << printed;
    }
    EXPECT_EQ(fs::file_size(input), before);
    EXPECT_FALSE(fs::exists(scratch.file("o.wav")));
}

TEST(RenderTest, FullVolumeLeavesAPlayableFileAndAnError) {
    // Free bytes beyond each writer's reserve: room for some of the output, not for all of it
    // (2.3 MB of WAV, written in the renderer's buffers of 1 MiB; 480 kB of MP3).
    const struct {
        const char* name;
        std::uint64_t room;
    } cases[] = {{"full.wav", 1500000}, {"full.mp3", 200000}};
    for (const auto& [name, room] : cases) {
        Scratch scratch;
        writeWave(scratch.file("in.wav"), tones(Rate * 12, {440}, 8000));
        RenderSettings settings;
        settings.input = scratch.file("in.wav");
        settings.output = scratch.file(name);
        settings.compressor = false;
        settings.freeSpace = [&](const fs::path& path) -> std::uint64_t {
            const std::uint64_t used = fs::exists(path) ? fs::file_size(path) : 0;
            const std::uint64_t volume = room + 32768 + 10240;
            return used >= volume ? 0 : volume - used;
        };
        try {
            RenderFile(settings);
            ADD_FAILURE() << name << ": rendered into a full volume without an error";
        } catch (const RenderError& error) {
            EXPECT_NE(std::string(error.what()).find("volume is full"), std::string::npos)
                << error.what();
        }
        const std::string raw = scratch.file("out.raw");
        ASSERT_EQ(std::system(("ffmpeg -v error -y -i " + shellQuoted(settings.output) +
                               " -f s16le " + shellQuoted(raw))
                                  .c_str()),
                  0)
            << name << " does not play";
        const double seconds = static_cast<double>(fs::file_size(raw)) / 4 / Rate;
        EXPECT_GT(seconds, 1.0) << name;
        EXPECT_LT(seconds, 11.0) << name;
    }
}

} // namespace
} // namespace vantrel
