// The signal path of the dsp_enh plug-in: a stereo-linked compressor feeding a look-ahead
// brick-wall limiter. Plain C++ so that tests and benchmarks run it without Qt or a host.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace vantrel::dspenh {

// The range a control offers.
struct Range {
    float minimum;
    float maximum;
};
inline constexpr Range thresholdRange{-60.0f, 0.0f}; // dBFS
inline constexpr Range ratioRange{1.0f, 20.0f};
inline constexpr Range kneeRange{0.0f, 24.0f};      // dB
inline constexpr Range attackRange{0.1f, 500.0f};   // ms
inline constexpr Range releaseRange{5.0f, 5000.0f}; // ms
inline constexpr Range makeUpRange{-12.0f, 24.0f};  // dB
inline constexpr Range ceilingRange{-20.0f, 0.0f};  // dBFS

// What the engineer sets. Out-of-range values are brought into range by clamped().
struct Settings {
    float thresholdDb = -18.0f; // dBFS where compression starts (centre of the knee)
    float ratio = 3.0f;         // input dB per output dB above the threshold, >= 1
    float kneeDb = 6.0f;        // width of the soft knee, 0 for a hard knee
    float attackMs = 10.0f;     // time constant of rising gain reduction
    float releaseMs = 150.0f;   // time constant of falling gain reduction
    float makeUpDb = 0.0f;      // gain after the compressor
    float ceilingDb = -1.0f;    // dBFS no output sample exceeds
    bool truePeak = false;      // also limit the peaks between samples (8x oversampled detection)

    bool operator==(const Settings&) const = default;
};

// `settings` with every value inside the range the controls offer.
Settings clamped(const Settings& settings);

// Processes interleaved 16-bit frames in place. Holds all its memory from construction on, so
// configure, setSettings and process never allocate. Not thread-safe: one audio thread drives it.
class CompressorLimiter {
public:
    static constexpr int maxChannels = 8;
    static constexpr std::uint32_t minRate = 8000;   // Hz
    static constexpr std::uint32_t maxRate = 192000; // Hz
    static constexpr float lookAheadMs = 3.0f;       // limiter attack; latency adds 3 frames
    static constexpr float limiterReleaseMs = 60.0f; // time constant of the limiter's recovery

    CompressorLimiter();
    CompressorLimiter(const CompressorLimiter&) = delete;
    CompressorLimiter& operator=(const CompressorLimiter&) = delete;

    // Whether a stream of `rate` Hz and `channels` channels can be processed.
    static bool accepts(std::uint32_t rate, int channels);
    // Prepares for a stream the processor accepts and clears all state.
    void configure(std::uint32_t rate, int channels);
    std::uint32_t rate() const { return rate_; }
    int channels() const { return channels_; }

    // Takes new settings; gain changes they cause are smoothed, never stepped. Before the first
    // frame after configure or reset they apply at once.
    void setSettings(const Settings& settings);
    const Settings& settings() const { return settings_; }

    // Forgets everything heard: silence in the look-ahead, no gain reduction.
    void reset();

    // Processes `frames` interleaved frames of the configured channel count in place.
    void process(std::int16_t* samples, std::int32_t frames);

    // Frames by which the output lags the input.
    std::int32_t latencyFrames() const { return lookAhead_ + interpolationDelay; }
    // Gain reduction during the last process call: the compressor's largest plus the limiter's
    // largest, dB (0 when neither acted).
    float gainReductionDb() const { return lastGainReductionDb_; }

private:
    static constexpr int interpolationTaps = 8;  // input frames per interpolated value
    static constexpr int interpolationDelay = 4; // frames the detector looks back

    struct MinimumEntry {
        float value;
        std::uint64_t expires; // first frame index whose window no longer holds the entry
    };

    void updateCoefficients();
    void followCeiling();
    float compressorGain(float level);
    float detectedPeak() const;
    static std::size_t historyOffset(int channel) { return 2 * interpolationTaps * channel; }
    float limiterGain(float requiredGain);
    void processFrame(std::int16_t* frame);

    Settings settings_;
    std::uint32_t rate_ = 48000;
    int channels_ = 2;
    std::int32_t lookAhead_ = 0; // frames of the limiter's gain ramp

    // Compressor. gr: smoothed gain reduction (dB); makeUp: smoothed make-up gain (dB).
    float gr_ = 0.0f;
    float makeUp_ = 0.0f;
    float attackCoef_ = 0.0f;  // per-frame pole of rising gain reduction
    float releaseCoef_ = 0.0f; // per-frame pole of falling gain reduction
    float makeUpCoef_ = 0.0f;  // per-frame pole of make-up changes
    float kneeStart_ = 0.0f;   // linear level below which the compressor does nothing

    // Limiter. history: per channel a ring of the last 8 frames for the detector, each written
    // twice (slot and slot + 8) so that the 8 frames always lie side by side; delay: the
    // look-ahead line;
    // minimum: running minimum of the required gain (monotonic queue); recovered: gain after
    // the release; ramp: the last lookAhead_ recovered gains, summed in rampSum_.
    std::vector<float> history_;
    std::vector<float> delay_;
    std::int32_t delayFrames_ = 0;
    std::int32_t delayPos_ = 0;
    std::vector<MinimumEntry> minimum_;
    std::int32_t minimumHead_ = 0;
    std::int32_t minimumCount_ = 0;
    std::vector<float> ramp_;
    std::int32_t rampPos_ = 0;
    double rampSum_ = 0.0;
    double rampScale_ = 1.0; // 1 / lookAhead_
    float recovered_ = 1.0f;
    float limiterReleaseCoef_ = 0.0f;
    // A new ceiling is reached smoothly: ceilingDb_ glides to the set one (ceilingCoef_ per frame)
    // and ceiling_ is its linear value, which the detector limits to.
    float ceilingDb_ = 0.0f;
    float ceilingCoef_ = 0.0f;
    float ceiling_ = 1.0f;
    // The hard bound of every output sample (16-bit units). While the ceiling glides down it stays
    // at the former one, until the frames limited to that have left the look-ahead.
    std::int32_t outputLimit_ = 32767;
    std::int32_t ceilingSettle_ = 0; // frames until outputLimit_ follows ceiling_
    std::uint64_t frameIndex_ = 0;

    float lastGainReductionDb_ = 0.0f;
    float blockMaximumGr_ = 0.0f;      // compressor, dB, in the current call
    float blockMinimumLimiter_ = 1.0f; // limiter gain, in the current call
};

} // namespace vantrel::dspenh
