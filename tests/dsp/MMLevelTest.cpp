#include "MMLevel.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace vantrel {
namespace {

TWaveFormatEx pcm(int bits, int channels) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, bits, channels, 44100);
    return format;
}

// 63 frames of 16-bit data, every frame `frame`.
std::vector<std::int16_t> block16(std::vector<std::int16_t> frame) {
    std::vector<std::int16_t> data;
    for (int i = 0; i < TMMLevel::BlockFrames; ++i)
        data.insert(data.end(), frame.begin(), frame.end());
    return data;
}

std::vector<std::uint8_t> block8(std::vector<std::uint8_t> frame) {
    std::vector<std::uint8_t> data;
    for (int i = 0; i < TMMLevel::BlockFrames; ++i)
        data.insert(data.end(), frame.begin(), frame.end());
    return data;
}

TEST(LevelBlockPeak, PeakOfEachLayoutAndChannel) {
    struct Case {
        const char* what;
        int bits, channels;
        TMMChannel channel;
        std::int32_t dcL, dcR;
        std::vector<int> frame;
        std::int32_t peak;
    };
    const std::vector<Case> cases{
        {"16 mono", 16, 1, chBoth, 5, 0, {-1000}, 995},
        {"16 mono ignores chRight", 16, 1, chRight, 0, 0, {-1000}, 1000},
        {"16 stereo both", 16, 2, chBoth, 0, 0, {1000, 3001}, 2000},
        {"16 stereo both, opposite", 16, 2, chBoth, 0, 0, {30000, -30001}, 0},
        {"16 stereo left", 16, 2, chLeft, 10, -10, {-1000, 3000}, 990},
        {"16 stereo right", 16, 2, chRight, 10, -10, {-1000, 3000}, 2990},
        {"16 minimum", 16, 1, chBoth, 0, 0, {-32768}, 32768},
        {"8 mono", 8, 1, chBoth, 0, 0, {0}, 32768},
        {"8 mono offset", 8, 1, chBoth, 2, 0, {127}, 256},
        {"8 stereo both", 8, 2, chBoth, 0, 0, {228, 128}, 50 * 256},
        {"8 stereo right", 8, 2, chRight, 0, 1, {228, 100}, 27 * 256},
        {"4 channels, first pair", 16, 4, chRight, 0, 0, {1, 2000, 9000, 9000}, 2000},
    };
    for (const Case& c : cases) {
        TMMLevel level;
        const TWaveFormatEx format = pcm(c.bits, c.channels);
        level.SetPCMFormat(&format);
        level.SetChannel(c.channel);
        level.SetDCOffsetL(c.dcL);
        level.SetDCOffsetR(c.dcR);
        EXPECT_EQ(level.Step(), c.bits / 8 * c.channels * 63) << c.what;
        if (c.bits == 16) {
            std::vector<std::int16_t> frame(c.frame.begin(), c.frame.end());
            level.ProcessPCMBlock(block16(frame).data());
        } else {
            std::vector<std::uint8_t> frame(c.frame.begin(), c.frame.end());
            level.ProcessPCMBlock(block8(frame).data());
        }
        EXPECT_EQ(level.BlockPeaks()[0], c.peak) << c.what;
    }
}

TEST(LevelBlockPeak, OverflowFiresFromFullScale) {
    const TWaveFormatEx mono = pcm(16, 1);
    for (const std::int16_t sample :
         {std::int16_t{-32768}, std::int16_t{32767}, std::int16_t{32766}}) {
        TMMLevel level;
        level.SetPCMFormat(&mono);
        int overflows = 0;
        level.OnPcmOverflow = [&](TMMLevel* sender) {
            EXPECT_EQ(sender, &level);
            ++overflows;
        };
        level.ProcessPCMBlock(block16({sample}).data());
        EXPECT_EQ(overflows, sample == 32766 ? 0 : 1) << sample;
    }
}

TEST(LevelBlockPeak, RingKeepsTheLast58BlocksAndTheFirstAtZero) {
    TMMLevel level;
    const TWaveFormatEx mono = pcm(16, 1);
    level.SetPCMFormat(&mono);
    for (std::int16_t block = 1; block <= 60; ++block)
        level.ProcessPCMBlock(block16({block}).data());
    EXPECT_EQ(level.BlockPos(), 2);
    EXPECT_EQ(level.BlockPeaks()[0], 1);
    EXPECT_EQ(level.BlockPeaks()[1], 60);
    for (int position = 2; position <= 58; ++position)
        EXPECT_EQ(level.BlockPeaks()[position], position + 1);
    EXPECT_EQ(level.BlockPeaks()[59], 0);
}

TEST(LevelBlockPeak, DisabledOrInvisibleMeterIgnoresBlocks) {
    TMMLevel level;
    const TWaveFormatEx mono = pcm(16, 1);
    level.SetPCMFormat(&mono);
    level.SetEnabled(false);
    level.ProcessPCMBlock(block16({1000}).data());
    level.SetEnabled(true);
    level.SetVisible(false);
    level.ProcessPCMBlock(block16({1000}).data());
    EXPECT_EQ(level.BlockPos(), 0);
    EXPECT_EQ(level.BarLength(), 0);
}

TEST(LevelFormat, RefusesWhatItCannotShow) {
    TMMLevel level;
    TWaveFormatEx adpcm = pcm(16, 2);
    adpcm.wFormatTag = 2;
    for (const TWaveFormatEx& format : {adpcm, pcm(24, 2)}) {
        try {
            level.SetPCMFormat(&format);
            ADD_FAILURE() << "accepted a format it cannot show";
        } catch (const EMMLevelError& error) {
            EXPECT_STREQ(error.what(), "Invalid WaveFormat");
        }
    }
    const TWaveFormatEx eight = pcm(8, 1);
    level.SetPCMFormat(&eight);
    EXPECT_EQ(level.GetBitLength(), b8Bit);
    EXPECT_EQ(level.GetMode(), mMono);
}

// --- Display values --------------------------------------------------------------------------

TEST(LevelDisplay, LogarithmicBarCoversSensitivityToFullScale) {
    TMMLevel level;
    level.SetSpots(40);
    level.SetSensitivy(-40);
    struct Case {
        std::int32_t value, bar;
    };
    // -20 dB is halfway; the magnitude of a negative value counts.
    for (const Case c :
         {Case{32767, 40}, Case{3277, 20}, Case{-3277, 20}, Case{327, 0}, Case{0, 0}}) {
        level.UpdateLevel(c.value);
        EXPECT_EQ(level.BarLength(), c.bar) << c.value;
    }
    level.SetLogAmp(false); // linear from 32767 * 10^(-40/20) = 328 up
    level.UpdateLevel(16547);
    EXPECT_EQ(level.BarLength(), 20);
}

TEST(LevelDisplay, BarBeyondTheMeterOverflowsAndIsCut) {
    TMMLevel level;
    level.SetSpots(10);
    level.SetLogAmp(false);
    level.SetSensitivy(-6);
    int overflows = 0;
    level.OnGainOverflow = [&](TMMLevel*) {
        ++overflows;
    };
    level.UpdateLevel(32767);
    EXPECT_EQ(overflows, 0);
    level.UpdateLevel(-40000);
    EXPECT_EQ(overflows, 1);
    EXPECT_EQ(level.BarLength(), 10);
}

TEST(LevelDisplay, HeldPeakStaysThenFalls) {
    TMMLevel level;
    level.SetSpots(20);
    level.SetSensitivy(-40);
    level.SetPeakDelay(1); // held 3 ticks
    level.SetPeakSpeed(2); // then one spot every 2 ticks
    level.UpdateLevel(32767);
    level.UpdateLevel(0);
    EXPECT_EQ(level.BarLength(), 0);
    std::vector<std::int32_t> positions;
    for (int tick = 0; tick < 7; ++tick) {
        level.Tick();
        positions.push_back(level.PeakPosition());
    }
    EXPECT_EQ(positions, (std::vector<std::int32_t>{20, 20, 20, 20, 19, 19, 18}));
    level.SetPeakSpeed(0);
    level.Tick();
    EXPECT_EQ(level.PeakPosition(), 0);
}

TEST(LevelDisplay, DecayModesSmoothTheValue) {
    TMMLevel level;
    level.SetSpots(1000);
    level.SetSensitivy(-60);
    level.SetDecay(1); // k = 0.0001^(1/2) = 0.01
    level.SetDecayMode(dmStepUp);
    level.UpdateLevel(32767);
    level.UpdateLevel(0); // envelope 327.67: -40 dB
    EXPECT_EQ(level.BarLength(), 333);
    level.SetDecayMode(dmExponential); // resets the envelope
    level.UpdateLevel(32767);          // 0.99 of full scale
    EXPECT_NEAR(level.BarLength(), 999, 1);
    level.SetDecay(2); // mean of the last 2 values
    level.SetDecayMode(dmUniform);
    level.UpdateLevel(32767);
    level.UpdateLevel(0); // mean 16383.5: -6 dB
    EXPECT_EQ(level.BarLength(), 900);
    level.ResetLevel();
    EXPECT_EQ(level.BarLength(), 0);
    EXPECT_EQ(level.PeakPosition(), 0);
}

TEST(LevelDisplay, ChangesAreReportedForRepainting) {
    TMMLevel level;
    int changes = 0;
    level.OnChange = [&](TMMLevel*) {
        ++changes;
    };
    level.UpdateLevel(20000);
    level.UpdateLevel(20000);
    EXPECT_EQ(changes, 1);
    level.ResetLevel();
    EXPECT_EQ(changes, 2);
}

} // namespace
} // namespace vantrel
