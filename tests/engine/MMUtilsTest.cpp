#include "MMUtils.h"

#include <cstring>
#include <gtest/gtest.h>
#include <limits>

namespace vantrel {
namespace {

TWaveFormatEx pcm(int bits, int channels, std::uint32_t rate) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, bits, channels, rate);
    return format;
}

TEST(PCMFormat, BuildFillsDerivedFields) {
    const TWaveFormatEx format = pcm(16, 2, 48000);
    EXPECT_EQ(format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(format.nBlockAlign, 4);
    EXPECT_EQ(format.nAvgBytesPerSec, 192000u);
    EXPECT_EQ(format.cbSize, 0);
    EXPECT_TRUE(IsValidPCMFormat(&format));

    const TWaveFormatEx mono8 = pcm(8, 1, 8000);
    EXPECT_EQ(mono8.nBlockAlign, 1);
    EXPECT_EQ(mono8.nAvgBytesPerSec, 8000u);
}

TEST(PCMFormat, ValidityChecksBitsChannelsAndRate) {
    struct Case {
        int bits, channels;
        std::uint32_t rate;
        bool valid;
    };
    const Case cases[] = {
        {24, 2, 44100, false}, {16, 3, 44100, false}, {16, 2, 3999, false},  {16, 2, 100001, false},
        {16, 4, 100000, true}, {8, 1, 4000, true},    {16, 0, 44100, false},
    };
    for (const Case& c : cases) {
        const TWaveFormatEx format = pcm(c.bits, c.channels, c.rate);
        EXPECT_EQ(IsValidPCMFormat(&format), c.valid)
            << c.bits << " bits, " << c.channels << " channels, " << c.rate << " Hz";
    }
    EXPECT_FALSE(IsValidPCMFormat(nullptr));
    TWaveFormatEx adpcm = pcm(16, 2, 44100);
    adpcm.wFormatTag = 2;
    EXPECT_FALSE(IsValidPCMFormat(&adpcm));
}

TEST(PCMFormat, CopyIsOwnedBlockWithPcmExtraCleared) {
    TWaveFormatEx format = pcm(16, 2, 44100);
    format.cbSize = 22;
    EXPECT_EQ(FormatRecordSize(&format), 18);
    const TMMWaveFormatPtr copy = CopyWaveFormat(&format);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), &format);
    EXPECT_EQ(copy->cbSize, 0);
    EXPECT_EQ(copy->nAvgBytesPerSec, format.nAvgBytesPerSec);

    EXPECT_EQ(CopyWaveFormat(nullptr), nullptr);
    EXPECT_EQ(FormatRecordSize(nullptr), 0);
}

TEST(PCMFormat, CopyOfCompressedFormatKeepsItsExtraBytes) {
    // An ADPCM-style record: 18 bytes followed by 4 bytes of codec data.
    TMMWaveFormatPtr source = allocateWaveFormat(22);
    source->wFormatTag = 2;
    source->cbSize = 4;
    auto* extra = reinterpret_cast<unsigned char*>(source.get()) + 18;
    std::memcpy(extra, "\x01\x02\x03\x04", 4);

    const TMMWaveFormatPtr copy = CopyWaveFormat(source.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(FormatRecordSize(copy.get()), 22);
    EXPECT_EQ(std::memcmp(reinterpret_cast<unsigned char*>(copy.get()) + 18, extra, 4), 0);
}

TEST(Arithmetic, MulDivRoundRoundsHalvesAwayFromZero) {
    struct Case {
        std::int32_t x, m, d, expected;
    };
    const Case cases[] = {
        {5, 1, 2, 3},
        {-5, 1, 2, -3},
        {4, 1, 3, 1},
        {-4, 1, 3, -1},
        {7, 1, 3, 2},
        // The product overflows 32 bits but not the result.
        {2000000000, 1000, 1000, 2000000000},
        {1000000007, 44100, 176400, 250000002},
        {std::numeric_limits<std::int32_t>::max(), 3, 3, std::numeric_limits<std::int32_t>::max()},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MulDivRound(c.x, c.m, c.d), c.expected) << c.x << " * " << c.m << " / " << c.d;
}

TEST(Arithmetic, UnsignedMulDivRoundKeepsTheProductIn64Bits) {
    EXPECT_EQ(mulDivRoundUnsigned(5, 1, 2), 3u);
    EXPECT_EQ(mulDivRoundUnsigned(4000000000u, 1000, 2000), 2000000000u);
}

TEST(Conversions, RoundAndAlignAsSpecified) {
    const TWaveFormatEx cd = pcm(16, 2, 44100); // 176400 bytes per second
    EXPECT_EQ(MsToBytes(cd, 1), 176);
    EXPECT_EQ(MsToBytes(cd, 3), 532); // 529 rounded up to whole frames
    EXPECT_EQ(MsToSamples(cd, 10), 441);
    EXPECT_EQ(SamplesToMs(cd, 441), 10);
    EXPECT_EQ(SamplesToMs(cd, 22), 0); // 0.4988 ms
    EXPECT_EQ(SamplesToMs(cd, 23), 1); // 0.5215 ms
    EXPECT_EQ(SamplesToBytes(cd, 100), 400);
    EXPECT_EQ(BytesToSamples(cd, 400), 100);
    EXPECT_EQ(BytesToSamples(cd, 402), 101); // half a frame rounds up
    EXPECT_EQ(BytesToMs(cd, 176400), 1000);

    // An hour of samples overflows 32-bit byte counts on high rates; the 64-bit forms do not.
    const TWaveFormatEx hiRes = pcm(16, 2, 96000);
    const std::int64_t tenHours = 96000LL * 3600 * 10;
    EXPECT_EQ(SamplesToBytes64(hiRes, tenHours), tenHours * 4);
    EXPECT_EQ(SamplesToMs64(hiRes, tenHours), 36000000LL);
    EXPECT_EQ(SamplesToMs64(cd, 44099), 999); // truncated, not rounded
}

TEST(Conversions, ThreeByteFramesRoundUpToWholeFrames) {
    TWaveFormatEx odd = pcm(8, 1, 8000);
    odd.nChannels = 3;
    odd.nBlockAlign = 3;
    odd.nAvgBytesPerSec = 24000;
    EXPECT_EQ(MsToBytes(odd, 1), 24);
    EXPECT_EQ(SamplesToBytes64(odd, 1), 3);
    TWaveFormatEx twoThirds = odd;
    twoThirds.nAvgBytesPerSec = 16000; // gives 16 bytes for 1 ms: not a multiple of 3
    EXPECT_EQ(MsToBytes(twoThirds, 1), 18);
}

TEST(BufferRecord, HeaderAndDataFormOneZeroFilledBlock) {
    PWaveHdr buffer = allocateBuffer(4096);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->wh.lpData, reinterpret_cast<char*>(buffer) + sizeof(TMMBufferHeader));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer->wh.lpData) % 16, 0u);
    EXPECT_EQ(buffer->wh.dwBufferLength, 4096u);
    EXPECT_EQ(buffer->wh.dwBytesRecorded, 0u);
    EXPECT_EQ(buffer->wh.dwFlags, 0u);
    EXPECT_EQ(buffer->NextHeader, nullptr);
    EXPECT_EQ(buffer->LoopEnabled, 0);
    for (std::uint32_t i = 0; i < buffer->wh.dwBufferLength; ++i)
        ASSERT_EQ(buffer->wh.lpData[i], 0) << "byte " << i;
    freeBuffer(buffer);
    EXPECT_EQ(buffer, nullptr);
    freeBuffer(buffer); // freeing nothing is harmless
}

TEST(DeviceId, NamedValuesRoundTripAsWords) {
    EXPECT_EQ(deviceIdToString(MapperId), "MapperId");
    EXPECT_EQ(deviceIdToString(InvalidId), "InvalidId");
    EXPECT_EQ(deviceIdToString(3), "3");
    EXPECT_EQ(stringToDeviceId("MapperId"), MapperId);
    EXPECT_EQ(stringToDeviceId("InvalidId"), InvalidId);
    EXPECT_EQ(stringToDeviceId("7"), 7);
    EXPECT_EQ(stringToDeviceId("7x"), InvalidId);
    EXPECT_EQ(stringToDeviceId(""), InvalidId);
}

TEST(TimeText, FormatsByRange) {
    struct Case {
        std::int64_t ms;
        const char* withMs;
        const char* withoutMs;
    };
    const Case cases[] = {
        {0, "0:00.000", "0:00"},
        {59999, "0:59.999", "0:59"},
        {3599999, "59:59.999", "59:59"},
        {3723004, "1:02:03.004", "1:02:03"},
        {86400000LL + 3723004, "1:01:02:03.004", "1:01:02:03"},
        {-5, "0:00.000", "0:00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(timeToText(c.ms), c.withMs);
        EXPECT_EQ(timeToText(c.ms, false), c.withoutMs);
    }
}

TEST(Messages, TableHoldsTheEngineTexts) {
    EXPECT_EQ(LoadEngineString(60), "Change to property while device was open");
    EXPECT_EQ(LoadEngineString(79), "Unabele to restart device");
    EXPECT_EQ(LoadEngineString(87), "The actual device can't record this format");
    EXPECT_EQ(LoadEngineString(163), "Unable to close device");
    EXPECT_EQ(LoadEngineString(12345), "");
}

TEST(Messages, DeviceErrorTextFallsBackToUnknownError) {
    EXPECT_EQ(deviceErrorText("WaveOutOpen", "Device busy"), "WaveOutOpen:\n\rDevice busy");
    EXPECT_EQ(deviceErrorText("WaveInStart", ""),
              "WaveInStart:\n\rSpecified error number is out of range (unknown error)");
}

TEST(Clock, MicrosecondClockAdvances) {
    const std::int64_t before = microsecondClock();
    WaitMs(2, false);
    EXPECT_GE(microsecondClock() - before, 2000);
}

} // namespace
} // namespace vantrel
