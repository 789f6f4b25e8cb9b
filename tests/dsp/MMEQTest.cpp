#include "MMEQ.h"

#include "EqualizerHarness.h"
#include "SampleSource.h"
#include "Spectrum.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace vantrel {
namespace {

using namespace test;

// Level change (dB) from input to output channel `channel` in each of `bands`, with the
// output's delay (frames) taken out.
std::vector<double> bandChanges(const Samples& in, const Samples& out, std::size_t channel,
                                int delay, const std::vector<spectrum::Band>& bands) {
    spectrum::Signal before = spectrum::channelOf(in, 2, channel);
    spectrum::Signal after = spectrum::channelOf(out, 2, channel);
    after.erase(after.begin(), after.begin() + delay);
    before.resize(after.size());
    const std::vector<double> a = spectrum::bandLevelsDb(before, Rate, bands);
    const std::vector<double> b = spectrum::bandLevelsDb(after, Rate, bands);
    std::vector<double> changes;
    for (std::size_t i = 0; i < a.size(); ++i)
        changes.push_back(b[i] - a[i]);
    return changes;
}

std::vector<spectrum::Band> layoutBands() {
    std::vector<spectrum::Band> bands;
    for (const auto& band : spectrum::defaultEqualizerLayout())
        bands.push_back({static_cast<double>(band.lower), static_cast<double>(band.upper)});
    return bands;
}

// --- Response --------------------------------------------------------------------------------

TEST(EqualizerResponse, FlatBandsLeavePinkNoiseAtZeroDbInEveryBand) {
    OpenEqualizer open;
    open.addLayoutBands(std::vector<float>(31, 0.0f));
    const Samples in = stereoPinkNoise(Rate * 3);
    const Samples out = open.push(in);
    for (std::size_t channel = 0; channel < 2; ++channel) {
        const std::vector<double> changes = bandChanges(in, out, channel, 128, layoutBands());
        for (std::size_t i = 0; i < changes.size(); ++i)
            EXPECT_NEAR(changes[i], 0.0, 0.1) << "band " << i + 1 << " channel " << channel;
    }
}

// The kernel of N/2 + 1 taps, windowed, blurs each band edge over about 4 bins of the N-point
// transform to either side, and the layout leaves 0 dB gaps between its narrow bands. So each
// band is measured inside its edges less those 4 bins, where that leaves at least 2 bins: the
// upper bands at 512 points, more of them at 1024. Neighbouring gains alternate in sign.
TEST(EqualizerResponse, CurveChangesEachResolvedBandByItsGainWithinOneDb) {
    std::vector<float> gains;
    for (int i = 0; i < 31; ++i)
        gains.push_back(static_cast<float>(std::lround(12 * std::sin(i * 0.9))));
    const Samples in = stereoPinkNoise(Rate * 3);
    for (const std::int32_t n : {512, 1024}) {
        OpenEqualizer open(2, n);
        open.addLayoutBands(gains);
        const Samples out = open.push(in);
        const double blur = 4.0 * Rate / n;
        std::vector<spectrum::Band> resolved;
        std::vector<float> expected;
        for (std::size_t i = 0; i < gains.size(); ++i) {
            const spectrum::Band inner{layoutBands()[i].low + blur, layoutBands()[i].high - blur};
            if (inner.high - inner.low >= blur / 2) {
                resolved.push_back(inner);
                expected.push_back(gains[i]);
            }
        }
        EXPECT_GE(resolved.size(), n == 512 ? 5u : 8u) << n << " points";
        for (std::size_t channel = 0; channel < 2; ++channel) {
            const std::vector<double> changes = bandChanges(in, out, channel, n / 4, resolved);
            for (std::size_t i = 0; i < changes.size(); ++i)
                EXPECT_NEAR(changes[i], expected[i], 1.0)
                    << "band at " << resolved[i].low << " Hz, " << n << " points, channel "
                    << channel;
        }
    }
}

// Band 27 (7532 ... 8416 Hz) with a tone at 8000 Hz inside it.
constexpr float ToneHz = 8000;
double toneGainDb(OpenEqualizer& open) {
    const Samples in =
        spectrum::interleave({spectrum::toPcm16(spectrum::sine(Rate / 2, ToneHz, Rate, 0.1)),
                              spectrum::toPcm16(spectrum::sine(Rate / 2, ToneHz, Rate, 0.1))});
    const Samples out = open.push(in);
    const std::vector<spectrum::Band> band{{ToneHz - 50, ToneHz + 50}};
    return spectrum::bandLevelsDb(spectrum::channelOf(out, 2, 0), Rate, band)[0] -
           spectrum::bandLevelsDb(spectrum::channelOf(in, 2, 0), Rate, band)[0];
}

TEST(EqualizerResponse, LaterOverlappingBandWinsAndDisablingResetsItsRangeUntilApplied) {
    OpenEqualizer open;
    open.eq.Filters().Add(new TMMEQFilter(4000, 12000, 12));
    open.eq.Filters().Add(new TMMEQFilter(6000, 10000, -12));
    EXPECT_NEAR(toneGainDb(open), -12, 0.5);

    open.eq.Filters().Band(1)->SetEnabled(false); // its range goes to 0 dB at once
    EXPECT_NEAR(toneGainDb(open), 0, 0.5);

    open.eq.ApplyFilters(); // the earlier band takes its bins back
    EXPECT_NEAR(toneGainDb(open), 12, 0.5);
}

// --- Passing through -------------------------------------------------------------------------

TEST(EqualizerPassing, DisabledPassesBitExactAndEnabledFiltersOnPushAndPull) {
    OpenEqualizer open;
    open.eq.Filters().Add(new TMMEQFilter(100, 5000, 12));
    open.eq.SetEnabled(false);
    const Samples in = stereoPinkNoise(20000);
    EXPECT_EQ(open.push(in, 4000), in);

    // The pull path, from a source upstream.
    const Samples block(in.begin(), in.begin() + 2048);
    test::SampleSource source(block);
    const TWaveFormatEx stereo = pcm(16, 2);
    source.SetWaveFormat(&stereo);
    source.SetOutput(&open.eq);
    PWaveHdr buffer = allocateBuffer(4096);
    bool more = false;
    open.eq.BufferLoad(buffer, more);
    EXPECT_EQ(std::memcmp(buffer->wh.lpData, block.data(), 4096), 0);

    // Enabled again, the pull path filters as the push path does.
    open.eq.SetEnabled(true);
    open.eq.BufferLoad(buffer, more);
    OpenEqualizer pushed;
    pushed.eq.Filters().Add(new TMMEQFilter(100, 5000, 12));
    const Samples expected = pushed.push(block, 4096);
    EXPECT_NE(expected, block);
    EXPECT_EQ(std::memcmp(buffer->wh.lpData, expected.data(), 4096), 0);
    freeBuffer(buffer);
}

// Switching Enabled drops what the filter held: the stream after it comes out as from a filter
// that never saw the earlier audio.
TEST(EqualizerPassing, SwitchingEnabledStartsTheFilterAfresh) {
    const Samples first = stereoPinkNoise(300); // not a whole block: stays in the filter
    const Samples second = stereoPinkNoise(4096);
    OpenEqualizer switched;
    switched.push(first);
    switched.eq.SetEnabled(false);
    switched.eq.SetEnabled(true);
    OpenEqualizer fresh;
    EXPECT_EQ(switched.push(second), fresh.push(second));
}

// --- Properties and formats ------------------------------------------------------------------

TEST(EqualizerProperties, FFTLengthAndSampleRateAreClamped) {
    TMMEqualizer eq;
    EXPECT_EQ(eq.GetFFTLength(), 256);
    EXPECT_EQ(eq.GetSampleRate(), 4000);
    struct Case {
        std::int32_t set, expected;
    };
    for (const Case c : {Case{5000, 4096}, Case{3000, 2048}, Case{7, 8}, Case{-1, 8}}) {
        eq.SetFFTLength(c.set);
        EXPECT_EQ(eq.GetFFTLength(), c.expected) << c.set;
    }
    eq.SetSampleRate(200000);
    EXPECT_EQ(eq.GetSampleRate(), 100000);
    eq.SetSampleRate(100);
    EXPECT_EQ(eq.GetSampleRate(), 4000);
}

TEST(EqualizerProperties, RefusesFormatsItCannotFilter) {
    TMMEqualizer eq;
    TWaveFormatEx adpcm = pcm(16, 2);
    adpcm.wFormatTag = 2;
    for (const TWaveFormatEx& format : {pcm(8, 2), pcm(16, 4), adpcm, pcm(16, 2, 3999)}) {
        try {
            eq.SetWaveFormat(&format);
            ADD_FAILURE() << "accepted " << format.wBitsPerSample << " bits, " << format.nChannels
                          << " channels";
        } catch (const EMMEqualizerError& error) {
            EXPECT_STREQ(error.what(), "Invalid WaveFormat");
        }
    }
    EXPECT_EQ(eq.GetWaveFormat(), nullptr);
    const TWaveFormatEx mono = pcm(16, 1, 22050);
    eq.SetWaveFormat(&mono);
    EXPECT_EQ(eq.GetSampleRate(), 22050);
}

TEST(EqualizerProperties, ChangesOfBandsAndListsReportOnceEach) {
    TMMEqualizer eq;
    int changes = 0;
    eq.OnChange = [&](TMMEqualizer*) {
        ++changes;
    };
    eq.Filters().Add(new TMMEQFilter(100, 200, 3));
    EXPECT_EQ(changes, 1);
    eq.Filters().Band(0)->SetValue(2, 6);
    EXPECT_EQ(eq.Filters().Band(0)->GetGain(), 6);
    EXPECT_EQ(changes, 2);
    eq.Filters().Band(0)->SetValues(100, 200, 6); // unchanged
    EXPECT_EQ(changes, 2);

    TMMEqualizer other;
    for (int i = 0; i < 5; ++i)
        other.Filters().Add(new TMMEQFilter(100.0f * i, 100.0f * i + 50, 1.0f * i));
    other.Filters().Band(3)->SetEnabled(false);
    eq.SetFilters(other.Filters());
    EXPECT_EQ(changes, 3);
    ASSERT_EQ(eq.Filters().Count(), 5);
    EXPECT_NE(eq.Filters().Band(3), other.Filters().Band(3));
    EXPECT_FALSE(eq.Filters().Band(3)->GetEnabled());
    EXPECT_EQ(eq.Filters().Band(4)->GetF2(), 450);

    other.SetDescription("Copy");
    other.SetFFTLength(1024);
    other.SetWindow(fwBlackman);
    other.SetChannel(chRight);
    other.SetEnabled(false);
    other.SetSampleRate(48000);
    eq.Assign(other);
    EXPECT_EQ(eq.GetDescription(), "Copy");
    EXPECT_EQ(eq.GetFFTLength(), 1024);
    EXPECT_EQ(eq.GetWindow(), fwBlackman);
    EXPECT_EQ(eq.GetChannel(), chRight);
    EXPECT_FALSE(eq.GetEnabled());
    EXPECT_EQ(eq.GetSampleRate(), 48000);
    EXPECT_EQ(eq.Filters().Count(), 5);
}

// --- Band list stream ------------------------------------------------------------------------

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (const int value : values)
        text.push_back(static_cast<char>(value));
    return text;
}

// "Untitled", FFTLength 512, one enabled band 20 ... 25 Hz at 0 dB.
const std::string exampleList = bytes({'E', 'Q', 'U', 0, 1, 8, 0, 0, 0}) + "Untitled" +
                                bytes({0, 2, 0, 0, 1, 0, 11}) + "TMMEQFilter" +
                                bytes({1, 0, 0, 0xA0, 0x41, 0, 0, 0xC8, 0x41, 0, 0, 0, 0});

TEST(EqualizerBandList, ReadsAndWritesTheStoredLayoutByteForByte) {
    ASSERT_EQ(exampleList.size(), 48u);
    TMMEqualizer eq;
    std::istringstream in(exampleList);
    eq.Filters().ReadData(in);
    EXPECT_EQ(eq.GetDescription(), "Untitled");
    EXPECT_EQ(eq.GetFFTLength(), 512);
    ASSERT_EQ(eq.Filters().Count(), 1);
    const TMMEQFilter& band = *eq.Filters().Band(0);
    EXPECT_EQ(band.GetF1(), 20);
    EXPECT_EQ(band.GetF2(), 25);
    EXPECT_EQ(band.GetGain(), 0);
    EXPECT_TRUE(band.GetEnabled());
    std::ostringstream out;
    eq.Filters().WriteData(out);
    EXPECT_EQ(out.str(), exampleList);
}

TEST(EqualizerBandList, SurvivesAStreamRoundTrip) {
    TMMEqualizer eq;
    eq.SetDescription("Speech, warm");
    eq.SetFFTLength(1024);
    const auto& layout = spectrum::defaultEqualizerLayout();
    for (std::size_t i = 0; i < layout.size(); ++i)
        eq.Filters().Add(new TMMEQFilter(static_cast<float>(layout[i].lower),
                                         static_cast<float>(layout[i].upper),
                                         static_cast<float>(i) - 12.5f));
    eq.Filters().Band(7)->SetEnabled(false);
    std::ostringstream stored;
    eq.Filters().WriteData(stored);

    TMMEqualizer loaded;
    int changes = 0;
    loaded.OnChange = [&](TMMEqualizer*) {
        ++changes;
    };
    std::istringstream in(stored.str());
    loaded.Filters().ReadData(in);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(loaded.GetDescription(), "Speech, warm");
    EXPECT_EQ(loaded.GetFFTLength(), 1024);
    ASSERT_EQ(loaded.Filters().Count(), 31);
    for (int i = 0; i < 31; ++i) {
        const TMMEQFilter& a = *eq.Filters().Band(i);
        const TMMEQFilter& b = *loaded.Filters().Band(i);
        EXPECT_EQ(a.GetF1(), b.GetF1());
        EXPECT_EQ(a.GetF2(), b.GetF2());
        EXPECT_EQ(a.GetGain(), b.GetGain());
        EXPECT_EQ(a.GetEnabled(), b.GetEnabled());
    }
    std::ostringstream again;
    loaded.Filters().WriteData(again);
    EXPECT_EQ(again.str(), stored.str());
}

TEST(EqualizerBandList, EmptyListIsValid) {
    TMMEqualizer eq;
    eq.Filters().Add(new TMMEQFilter(1, 2, 3));
    std::istringstream in(bytes({'E', 'Q', 'U', 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}));
    eq.Filters().ReadData(in);
    EXPECT_EQ(eq.Filters().Count(), 0);
    EXPECT_EQ(eq.GetFFTLength(), 256);
    EXPECT_EQ(eq.GetDescription(), "Untitled");
}

TEST(EqualizerBandList, DamagedStreamsRaiseAndKeepWhatTheListHeld) {
    TMMEqualizer eq;
    eq.Filters().Add(new TMMEQFilter(1, 2, 3));
    int changes = 0;
    eq.OnChange = [&](TMMEqualizer*) {
        ++changes;
    };

    std::string objMagic = exampleList;
    objMagic.replace(0, 3, "OBJ");
    std::istringstream wrongMagic(objMagic);
    try {
        eq.Filters().ReadData(wrongMagic);
        ADD_FAILURE() << "accepted OBJ magic";
    } catch (const EStreamError& error) {
        EXPECT_STREQ(error.what(), "Invalid Object stream");
    }
    ASSERT_EQ(eq.Filters().Count(), 1);
    EXPECT_EQ(eq.Filters().Band(0)->GetGain(), 3);

    // Two bands, the second of a class nobody registered: the first stays.
    std::string unknownClass = exampleList + bytes({7}) + "TMMNone";
    unknownClass[13 + 8] = 2;
    std::istringstream unknown(unknownClass);
    try {
        eq.Filters().ReadData(unknown);
        ADD_FAILURE() << "accepted an unknown class";
    } catch (const EClassNotFound& error) {
        EXPECT_STREQ(error.what(), "Class <TMMNone> not registered");
    }
    ASSERT_EQ(eq.Filters().Count(), 1);
    EXPECT_EQ(eq.Filters().Band(0)->GetF2(), 25);

    std::istringstream cut(exampleList.substr(0, 40));
    EXPECT_THROW(eq.Filters().ReadData(cut), EReadError);
    EXPECT_EQ(eq.Filters().UpdateCount(), 0);
    EXPECT_EQ(changes, 3); // every attempt ended its update once
}

} // namespace
} // namespace vantrel
