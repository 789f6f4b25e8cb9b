#include "MMFade.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace vantrel {
namespace {

constexpr std::int32_t Unity = TMMFadeList::UnityGain;

TWaveFormatEx pcm(int bits, int channels) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, bits, channels, 44100);
    return format;
}

TMMFadePoint point(std::int32_t position, std::int32_t left, std::int32_t right = -1) {
    return {position, left, left, right < 0 ? left : right, 0};
}

// A list of points with the cursor at `start` holding the first point's gains.
void build(TMMFadeList& list, const std::vector<TMMFadePoint>& points, std::int32_t start = 0) {
    for (const TMMFadePoint& each : points)
        list.AddPoint(each);
    list.SortPoints();
    list.SetCursor(start, points.front().left, points.front().right);
}

std::vector<std::int16_t> applied16(TMMFadeList& list, std::vector<std::int16_t> samples,
                                    int channels, bool* clipped = nullptr) {
    const bool clip =
        list.ApplyFade(pcm(16, channels), reinterpret_cast<char*>(samples.data()),
                       static_cast<std::int32_t>(samples.size() * sizeof(std::int16_t)));
    if (clipped != nullptr)
        *clipped = clip;
    return samples;
}

TEST(FadeListTest, UnityPointsLeaveTheDataBitForBitUnchanged) {
    TMMFadeList list;
    build(list, {point(0, Unity), point(4000, Unity)});
    std::vector<std::int16_t> samples(1000);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(i * 977);
    EXPECT_EQ(applied16(list, samples, 2), samples);
    EXPECT_EQ(list.CurrentPosition(), 2000);
}

TEST(FadeListTest, RampRisesLinearlyAndReachesItsTargetExactly) {
    TMMFadeList list;
    build(list, {point(0, 0), point(88, Unity)}); // 44 frames of 16-bit mono
    const std::vector<std::int16_t> out = applied16(list, std::vector<std::int16_t>(44, 20000), 1);
    EXPECT_EQ(list.CurrentLeft(), Unity);
    for (int i = 0; i < 44; ++i) {
        const double expected = 20000.0 * i / 44;
        EXPECT_NEAR(out[static_cast<std::size_t>(i)], expected, 2.0) << "frame " << i;
    }
}

TEST(FadeListTest, RampSplitAcrossBuffersStaysOnOneLine) {
    TMMFadeList whole;
    TMMFadeList split;
    const std::vector<TMMFadePoint> points = {point(0, Unity, 0), point(4000, 0, Unity)};
    build(whole, points);
    build(split, points);
    const std::vector<std::int16_t> input(2000, 30000); // 1000 stereo frames
    const std::vector<std::int16_t> inOne = applied16(whole, input, 2);
    std::vector<std::int16_t> inParts;
    for (std::size_t part = 0; part < 4; ++part) {
        const std::vector<std::int16_t> piece(
            input.begin() + static_cast<std::ptrdiff_t>(part * 500),
            input.begin() + static_cast<std::ptrdiff_t>(part * 500 + 500));
        const auto out = applied16(split, piece, 2);
        inParts.insert(inParts.end(), out.begin(), out.end());
    }
    for (std::size_t i = 0; i < input.size(); ++i)
        EXPECT_NEAR(inParts[i], inOne[i], 2) << "sample " << i;
    // Left falls while right rises: the channels ramp separately.
    EXPECT_GT(inOne[0], 29000);
    EXPECT_LT(inOne[1], 100);
    EXPECT_LT(inOne[1998], 100);
    EXPECT_GT(inOne[1999], 29000);
}

TEST(FadeListTest, SixteenBitGainsScaleAndClipAtFullScale) {
    struct {
        std::int16_t sample;
        std::int32_t gain;
        std::int16_t expected;
        bool clipped;
    } cases[] = {
        {30000, 32768, 32767, true}, {30000, Unity, 30000, false},  {30000, 8192, 15000, false},
        {-1, 8192, -1, false},       {-30000, 32768, -32768, true}, {-32768, Unity, -32768, false},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(::testing::Message() << each.sample << " x " << each.gain);
        TMMFadeList list;
        build(list, {point(0, each.gain), point(100, each.gain)});
        bool clipped = false;
        EXPECT_EQ(applied16(list, {each.sample}, 1, &clipped)[0], each.expected);
        EXPECT_EQ(clipped, each.clipped);
    }
}

TEST(FadeListTest, EightBitSamplesScaleAroundTheirMidpoint) {
    struct {
        std::uint8_t sample;
        std::int32_t gain;
        std::uint8_t expected;
        bool clipped;
    } cases[] = {
        {128, 32768, 128, false}, {128, 0, 128, false}, {228, 8192, 178, false},
        {228, 32768, 255, true},  {10, 32768, 0, true}, {200, 0, 128, false},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(::testing::Message() << int{each.sample} << " x " << each.gain);
        TMMFadeList list;
        build(list, {point(0, each.gain), point(100, each.gain)});
        std::uint8_t sample = each.sample;
        EXPECT_EQ(list.ApplyFade(pcm(8, 1), reinterpret_cast<char*>(&sample), 1), each.clipped);
        EXPECT_EQ(sample, each.expected);
    }
}

TEST(FadeListTest, PointsBehindTheCursorChangeNothing) {
    TMMFadeList list;
    build(list, {point(0, 0), point(100, 0)}, 200);
    const std::vector<std::int16_t> samples(50, 1234);
    EXPECT_EQ(applied16(list, samples, 1), samples);
}

TEST(FadeListTest, OtherFormatsAreLeftAlone) {
    TMMFadeList list;
    build(list, {point(0, 0), point(100, 0)});
    TWaveFormatEx floatFormat{3, 1, 44100, 176400, 4, 32, 0};
    std::vector<char> data(40, 7);
    EXPECT_FALSE(list.ApplyFade(floatFormat, data.data(), 40));
    EXPECT_EQ(data, std::vector<char>(40, 7));
    EXPECT_EQ(list.CurrentPosition(), 0);
}

TEST(FadeListTest, FindPointAndVolumeAtFollowThePoints) {
    TMMFadeList list;
    EXPECT_EQ(list.FindPoint(0), -1);
    build(list, {point(1000, Unity), point(0, 0), point(2000, 0)}); // sorted by position
    EXPECT_EQ(list.FindPoint(0), 1); // a point's own position gives the index after it
    EXPECT_EQ(list.FindPoint(999), 1);
    EXPECT_EQ(list.FindPoint(1000), 2);
    EXPECT_EQ(list.FindPoint(2000), 3);
    EXPECT_EQ(list.VolumeAt(500), 8192);
    EXPECT_EQ(list.VolumeAt(1500), 8192);
    EXPECT_EQ(list.VolumeAt(-5), 0);
    EXPECT_EQ(list.VolumeAt(5000), 0); // the last point's volume
}

TEST(FadeListTest, CapacityGrowsInTheListStepsAndBadIndexesRaise) {
    TMMFadeList list;
    std::vector<int> capacities;
    for (int i = 0; i < 48; ++i) {
        list.AddPoint(point(i, Unity));
        if (capacities.empty() || capacities.back() != list.Capacity())
            capacities.push_back(list.Capacity());
    }
    EXPECT_EQ(capacities, (std::vector<int>{4, 8, 16, 32, 48}));
    EXPECT_THROW(list.Points(48), EListError);
    try {
        list.Points(-1);
    } catch (const EListError& error) {
        EXPECT_STREQ(error.what(), "List index out of bounds (-1)");
    }
    TMMFadeList copy;
    TMMFadePoint marked = point(7, 1);
    marked.reserved = 99;
    list.Clear();
    list.AddPoint(marked);
    copy.Assign(list);
    EXPECT_EQ(copy.Points(0).reserved, 0);
    EXPECT_EQ(copy.Points(0).position, 7);
}

} // namespace
} // namespace vantrel
