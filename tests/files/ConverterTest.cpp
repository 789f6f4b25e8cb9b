// The format converters, checked against sox: files sox encodes must decode to what sox itself
// decodes them to; the codec converter's chains, push path and properties; and the clear error
// for data nothing can decode.
#include "ChainTestSupport.h"
#include "MMACMCvt.h"
#include "MMADCvt.h"
#include "MMWave.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace vantrel {
namespace {

using namespace vantrel::testing;

// A sox-made WAVE file read through the file reader and both converters of the audio file
// source.
class ConversionChain {
public:
    explicit ConversionChain(const std::string& file) {
        reader.GetWave().SetFileName(file);
        reader.SetOutput(&adpcm);
        adpcm.SetOutput(&pcm);
    }
    Samples decodeAll() {
        openAndStart(reader);
        return toSamples(pullAll(pcm, 3000));
    }
    TMMWaveFile reader;
    TMMADPCMConverter adpcm;
    TMMPCMConverter pcm;
};

struct SoxCase {
    const char* name;
    const char* encoding; // sox output options
    int rate;
    int channels;
    bool ourAdpcmDecoder; // decoded by the ADPCM converter, else through the codec seam
};

void PrintTo(const SoxCase& c, std::ostream* out) {
    *out << c.name;
}

class SoxDecodeTest : public ::testing::TestWithParam<SoxCase> {};

// A tone of 0.3 s, two different tones for stereo, at half scale.
std::string makeTone(const ScratchFolder& folder, const SoxCase& c) {
    const std::string file = folder.file(std::string(c.name) + ".wav");
    const std::string tones = c.channels == 1 ? "sine 440" : "sine 440 sine 660";
    const bool made =
        run("sox -D -n -r " + std::to_string(c.rate) + " -c " + std::to_string(c.channels) + " " +
            c.encoding + " " + quoted(file) + " synth 0.3 " + tones + " vol 0.5");
    EXPECT_TRUE(made) << "sox could not write " << c.name;
    return file;
}

TEST_P(SoxDecodeTest, DecodesWithinOneLsbOfSox) {
    VANTREL_REQUIRE_TOOL("sox");
    const SoxCase& c = GetParam();
    ScratchFolder folder;
    const std::string file = makeTone(folder, c);
    const Samples expected = soxDecode(folder, file);
    ASSERT_FALSE(expected.empty());

    ConversionChain chain(file);
    EXPECT_EQ(chain.adpcm.GetConversionNeeded(), c.ourAdpcmDecoder);
    EXPECT_EQ(chain.pcm.GetConversionNeeded(), !c.ourAdpcmDecoder);
    const TWaveFormatEx* out = chain.pcm.GetWaveFormat();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(out->wBitsPerSample, 16);
    EXPECT_EQ(out->nChannels, c.channels);
    EXPECT_EQ(out->nSamplesPerSec, static_cast<std::uint32_t>(c.rate));

    const Samples decoded = chain.decodeAll();
    // Block formats may end on a padded block: a few frames more than sox keeps.
    ASSERT_GE(decoded.size(), expected.size());
    EXPECT_LE(decoded.size() - expected.size(), std::size_t{2048} * c.channels);
    EXPECT_LE(maxDifference(decoded, expected), 1);
}

INSTANTIATE_TEST_SUITE_P(
    SoxFiles, SoxDecodeTest,
    ::testing::Values(SoxCase{"ms_adpcm_mono", "-e ms-adpcm", 22050, 1, true},
                      SoxCase{"ms_adpcm_stereo", "-e ms-adpcm", 44100, 2, true},
                      SoxCase{"ima_adpcm_mono", "-e ima-adpcm", 22050, 1, true},
                      SoxCase{"ima_adpcm_stereo", "-e ima-adpcm", 44100, 2, true},
                      SoxCase{"a_law", "-e a-law", 8000, 1, false},
                      SoxCase{"u_law_stereo", "-e u-law", 8000, 2, false},
                      SoxCase{"pcm_24_bit", "-b 24", 44100, 2, false},
                      SoxCase{"float_32_bit", "-e floating-point -b 32", 48000, 2, false},
                      SoxCase{"gsm", "-e gsm-full-rate", 8000, 1, false}),
    [](const ::testing::TestParamInfo<SoxCase>& info) { return std::string(info.param.name); });

TEST(ADPCMConverterTest, ReducesToEightBitsByTruncatingTowardsZero) {
    VANTREL_REQUIRE_TOOL("sox");
    ScratchFolder folder;
    const std::string file = makeTone(folder, {"ima8", "-e ima-adpcm", 22050, 1, true});
    ConversionChain wide(file);
    const Samples sixteen = wide.decodeAll();

    ConversionChain narrow(file);
    narrow.adpcm.SetBitLength(b8Bit);
    EXPECT_EQ(narrow.pcm.GetWaveFormat()->wBitsPerSample, 8);
    openAndStart(narrow.reader);
    const Bytes eight = pullAll(narrow.pcm, 3000);
    ASSERT_EQ(eight.size(), sixteen.size());
    for (std::size_t i = 0; i < eight.size(); ++i)
        ASSERT_EQ(static_cast<unsigned char>(eight[i]), sixteen[i] / 256 + 128) << "sample " << i;
}

TEST(PCMConverterTest, PlaysAgainAfterARunThatReachedTheEnd) {
    VANTREL_REQUIRE_TOOL("sox");
    ScratchFolder folder;
    const std::string file = makeTone(folder, {"again", "-e a-law", 8000, 1, false});
    ConversionChain chain(file);
    const Samples first = chain.decodeAll();
    notifyChain(chain.reader, &TMMDSPComponent::NotifyStopped);
    notifyChain(chain.reader, &TMMDSPComponent::NotifyStarted);
    EXPECT_EQ(toSamples(pullAll(chain.pcm, 3000)), first);
}

TEST(ADPCMConverterTest, LeavesNonStandardCoefficientsToTheCodecs) {
    VANTREL_REQUIRE_TOOL("sox");
    ScratchFolder folder;
    const std::string file = makeTone(folder, {"ms_custom", "-e ms-adpcm", 22050, 1, true});
    Bytes bytes = readFile(file);
    // The last coefficient pair of the "fmt " chunk's extra bytes: 20 + 18 + 4 + 6 * 4.
    const std::size_t lastPair = 20 + 18 + 4 + 6 * 4;
    bytes[lastPair] = 0x10;
    writeFile(file, bytes);

    ConversionChain chain(file);
    EXPECT_FALSE(chain.adpcm.GetConversionNeeded());
    EXPECT_TRUE(chain.pcm.GetConversionNeeded());
    EXPECT_TRUE(chain.pcm.GetConversionPossible());
}

TEST(PCMConverterTest, PassesPcmThroughBothConvertersUntouched) {
    ScratchFolder folder;
    const Bytes data = patternBytes(10000);
    const std::string file = folder.file("pcm.wav");
    writeFile(file, RiffImage()
                        .chunk("fmt ", pcmFormatBody(2, 44100, 16))
                        .chunk("data", data)
                        .patchRiffSize()
                        .bytes());
    ConversionChain chain(file);
    EXPECT_FALSE(chain.adpcm.GetConversionNeeded());
    EXPECT_FALSE(chain.pcm.GetConversionNeeded());
    EXPECT_EQ(FormatRecordSize(chain.pcm.GetWaveFormat()), 18);
    EXPECT_EQ(std::memcmp(chain.pcm.GetWaveFormat(), chain.reader.GetWaveFormat(), 16), 0);
    openAndStart(chain.reader);
    EXPECT_EQ(pullAll(chain.pcm, 3000), data);
}

TEST(PCMConverterTest, ClampsItsProperties) {
    TMMPCMConverter converter;
    converter.SetSampleRate(96000);
    EXPECT_EQ(converter.GetSampleRate(), 88200);
    converter.SetSampleRate(100);
    EXPECT_EQ(converter.GetSampleRate(), 8000);
    converter.SetMode(mStereo);
    converter.SetMode(mMultiChannel);
    EXPECT_EQ(converter.GetMode(), mStereo);

    TWaveFormatEx bad{};
    BuildPCMFormat(bad, 12, 1, 8000);
    try {
        converter.SetWaveFormat(&bad);
        FAIL() << "an invalid format was taken";
    } catch (const EMMConverterError& error) {
        EXPECT_STREQ(error.what(), "Invalid WaveFormat");
    }
}

// Counts the swings of one channel from below -threshold to above +threshold and back: a
// tone's frequency survives resampling, and codec noise around zero does not count.
int zeroCrossings(const Samples& samples, int channels, int channel) {
    constexpr int threshold = 2000;
    int crossings = 0;
    int side = 0;
    for (std::size_t i = static_cast<std::size_t>(channel); i < samples.size();
         i += static_cast<std::size_t>(channels)) {
        const int now = samples[i] > threshold ? 1 : samples[i] < -threshold ? -1 : side;
        crossings += side != 0 && now != side;
        side = now;
    }
    return crossings;
}

TEST(PCMConverterTest, ChainsADecoderAndAResamplerForAnotherRateAndChannels) {
    VANTREL_REQUIRE_TOOL("sox");
    ScratchFolder folder;
    const std::string file = makeTone(folder, {"gsm_up", "-e gsm-full-rate", 8000, 1, false});
    ConversionChain chain(file);
    chain.pcm.SetAutoConvert(false);
    chain.pcm.SetSampleRate(22050);
    chain.pcm.SetMode(mStereo);
    chain.pcm.SetBitLength(b16Bit);
    ASSERT_TRUE(chain.pcm.GetConversionPossible());
    const Samples out = chain.decodeAll();
    ASSERT_EQ(chain.pcm.StageFormats().size(), 2u); // GSM -> PCM 8000 mono -> PCM 22050 stereo
    EXPECT_EQ(chain.pcm.StageFormats()[0].nSamplesPerSec, 8000u);

    const double seconds = static_cast<double>(out.size()) / 2 / 22050;
    EXPECT_NEAR(seconds, 0.3, 0.03);
    // 440 Hz for 0.3 s crosses zero 264 times, in both channels alike.
    EXPECT_NEAR(zeroCrossings(out, 2, 0), 264, 6);
    EXPECT_EQ(zeroCrossings(out, 2, 0), zeroCrossings(out, 2, 1));
}

// Hands a format on and pushes buffers.
class PushSource : public TMMDSPComponent {
public:
    PushSource() { publishLinks(false, true); }
    void push(const char* data, std::uint32_t bytes) {
        OwnedBuffer buffer(bytes);
        std::memcpy(buffer.header->wh.lpData, data, bytes);
        buffer.header->wh.dwBytesRecorded = bytes;
        GetOutput()->BufferReady(buffer.header);
    }
};

class Sink : public TMMDSPComponent {
public:
    Sink() { publishLinks(true, false); }
    void BufferReady(PWaveHdr buffer) override {
        received.insert(received.end(), buffer->wh.lpData,
                        buffer->wh.lpData + buffer->wh.dwBytesRecorded);
        largest = std::max(largest, buffer->wh.dwBytesRecorded);
    }
    Bytes received;
    std::uint32_t largest = 0;
};

TEST(ACMConverterTest, ConvertsPushedDataInBuffersOfItsOwnSize) {
    VANTREL_REQUIRE_TOOL("sox");
    ScratchFolder folder;
    const std::string file = makeTone(folder, {"push", "-e a-law", 8000, 1, false});
    TMMWave wave;
    wave.SetFileName(file);
    const PWaveIOInfo info = wave.GetWaveIOInfo();
    const Bytes bytes = readFile(file);
    const Bytes alaw(bytes.begin() + info->dataOffset,
                     bytes.begin() + info->dataOffset + info->dataSize);

    PushSource source;
    TMMACMConverter converter;
    Sink sink;
    source.SetOutput(&converter);
    converter.SetOutput(&sink);
    source.SetWaveFormat(wave.GetWaveFormat());
    TWaveFormatEx pcm{};
    BuildPCMFormat(pcm, 16, 1, 8000);
    converter.SetWaveFormat(&pcm);
    converter.SetBufferSize(1000);
    ASSERT_TRUE(converter.GetConversionPossible());
    openAndStart(source);
    for (std::size_t at = 0; at < alaw.size(); at += 777)
        source.push(alaw.data() + at,
                    static_cast<std::uint32_t>(std::min<std::size_t>(777, alaw.size() - at)));

    EXPECT_EQ(sink.largest, 1000u);
    const Samples expected = soxDecode(folder, file);
    EXPECT_EQ(toSamples(sink.received).size(), expected.size());
    EXPECT_LE(maxDifference(toSamples(sink.received), expected), 1);
}

TEST(ACMConverterTest, RefusesToOpenOnDataNothingDecodes) {
    ScratchFolder folder;
    const std::string file = folder.file("unknown.wav");
    writeFile(file, RiffImage()
                        .chunk("fmt ", formatBody(0x1234, 1, 8000, 4, 40, 4000, 0))
                        .chunk("data", patternBytes(4000))
                        .patchRiffSize()
                        .bytes());
    ConversionChain chain(file);
    EXPECT_TRUE(chain.pcm.GetConversionNeeded());
    EXPECT_FALSE(chain.pcm.GetConversionPossible());
    try {
        openAndStart(chain.reader);
        FAIL() << "the chain opened";
    } catch (const EMMConverterError& error) {
        EXPECT_STREQ(error.what(), "Unable to convert to destination format");
    }
}

} // namespace
} // namespace vantrel
