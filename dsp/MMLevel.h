// The data side of a level meter: how a block of samples becomes a block peak, the ring of the
// most recent block peaks, and how a peak value becomes the bar and the held peak marker that the
// meter widget draws. Free of any GUI: the widget reads BarLength and PeakPosition when
// OnChange tells it to repaint, and drives the held peak with Tick every 25 ms.
//
// Threads: a level is fed on one thread at a time, normally the main thread through the
// connector; it takes no lock of its own.
#pragma once

#include "MMUtils.h"

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace vantrel {

class EMMLevelError : public EMMError {
public:
    using EMMError::EMMError;
};

class TMMLevel;
using TMMLevelEvent = std::function<void(TMMLevel* sender)>;

class TMMLevel {
public:
    static constexpr std::int32_t FullScale = 32767;
    static constexpr std::int32_t BlockFrames = 63;     // frames per block peak
    static constexpr std::int32_t BlockPeakCount = 127; // entries of BlockPeaks
    static constexpr std::int32_t RingEnd = 58;         // positions 1 ... 58 form the ring

    TMMLevel() = default;
    // Tells everyone who feeds the level that it is gone.
    ~TMMLevel();
    TMMLevel(const TMMLevel&) = delete;
    TMMLevel& operator=(const TMMLevel&) = delete;

    // --- Data format ---------------------------------------------------------------------
    // Takes over bits and channels of `Format`; raises EMMLevelError "Invalid WaveFormat"
    // unless it is valid PCM.
    void SetPCMFormat(const TWaveFormatEx* Format);
    TMMBits GetBitLength() const { return bitLength_; }
    // mMultiChannel for four channels; the first two are shown as left and right.
    TMMMode GetMode() const;
    // Bytes of data one block consumes: 63 frames.
    std::int32_t Step() const;

    TMMChannel GetChannel() const { return channel_; }
    void SetChannel(TMMChannel value) { channel_ = value; }
    // Added to the left and right samples before the peak is taken.
    std::int32_t GetDCOffsetL() const { return dcOffsetL_; }
    void SetDCOffsetL(std::int32_t value) { dcOffsetL_ = value; }
    std::int32_t GetDCOffsetR() const { return dcOffsetR_; }
    void SetDCOffsetR(std::int32_t value) { dcOffsetR_ = value; }
    // A disabled or invisible meter ignores new blocks.
    bool GetEnabled() const { return enabled_; }
    void SetEnabled(bool value) { enabled_ = value; }
    bool GetVisible() const { return visible_; }
    void SetVisible(bool value) { visible_ = value; }

    // --- Block peaks ---------------------------------------------------------------------
    // The block peak of 63 frames at `Data` (Step() bytes in the format set last), entered in
    // the ring and shown with UpdateLevel. A peak of full scale or more fires OnPcmOverflow.
    void ProcessPCMBlock(const void* Data);
    // Position 0 holds the very first block; positions 1 ... 58 the last 58 in ring order.
    const std::array<std::int32_t, BlockPeakCount>& BlockPeaks() const { return blockPeaks_; }
    std::int32_t BlockPos() const { return blockPos_; }

    // --- Display values ------------------------------------------------------------------
    // Shows the magnitude of `Value` (0 ... 32767 scale): smoothed by DecayMode, then turned
    // into the bar; a bar beyond the meter fires OnGainOverflow and is cut to it.
    void UpdateLevel(std::int32_t Value);
    // Clears the bar, the held peak and the decay state.
    void ResetLevel();
    // One 25 ms step of the held peak marker.
    void Tick();

    std::int32_t BarLength() const { return bar_; } // spots lit
    std::int32_t PeakPosition() const { return peak_; }

    TMMDecayMode GetDecayMode() const { return decayMode_; }
    void SetDecayMode(TMMDecayMode value);
    // Larger is slower: the envelope factor per step is 0.0001^(1/2^Decay).
    std::int32_t GetDecay() const { return decay_; }
    void SetDecay(std::int32_t value);
    bool GetLogAmp() const { return logAmp_; }
    void SetLogAmp(bool value) { logAmp_ = value; }
    // The level in dB (below full scale, negative) at which the bar starts.
    std::int32_t GetSensitivy() const { return sensitivy_; }
    void SetSensitivy(std::int32_t value) { sensitivy_ = value < 0 ? value : -1; }
    // Length of the meter in spots.
    std::int32_t GetSpots() const { return spots_; }
    void SetSpots(std::int32_t value) { spots_ = value > 0 ? value : 1; }
    // Ticks the held peak stays: PeakDelay * 2 + 1.
    std::int32_t GetPeakDelay() const { return peakDelay_; }
    void SetPeakDelay(std::int32_t value) { peakDelay_ = value >= 0 ? value : 0; }
    // Ticks per spot the held peak falls; 0 drops it at once.
    std::int32_t GetPeakSpeed() const { return peakSpeed_; }
    void SetPeakSpeed(std::int32_t value) { peakSpeed_ = value >= 0 ? value : 0; }

    TMMLevelEvent OnPcmOverflow;
    TMMLevelEvent OnGainOverflow;
    // The bar or the peak marker moved: the widget repaints.
    TMMLevelEvent OnChange;

    // Whoever feeds the level registers here to learn that it goes away (`owner` identifies
    // the registration).
    void AddFreeNotification(const void* owner, std::function<void()> notify);
    void RemoveFreeNotification(const void* owner);

private:
    std::int32_t blockPeak(const unsigned char* data) const;
    double smooth(double value);
    // k of the envelope: 0.0001^(1/2^Decay).
    double decayFactor() const;
    std::int32_t barFor(double value) const;
    void setDisplay(std::int32_t bar, std::int32_t peak);

    static constexpr std::int32_t maxUniformValues = 32;

    TMMBits bitLength_ = b16Bit;
    std::int32_t channels_ = 2;
    TMMChannel channel_ = chBoth;
    std::int32_t dcOffsetL_ = 0;
    std::int32_t dcOffsetR_ = 0;
    bool enabled_ = true;
    bool visible_ = true;
    std::array<std::int32_t, BlockPeakCount> blockPeaks_{};
    std::int32_t blockPos_ = 0;

    TMMDecayMode decayMode_ = dmNone;
    std::int32_t decay_ = 1;
    bool logAmp_ = true;
    std::int32_t sensitivy_ = -42;
    std::int32_t spots_ = 32;
    std::int32_t peakDelay_ = 20;
    std::int32_t peakSpeed_ = 10;

    double envelope_ = 0;
    std::array<double, maxUniformValues> recent_{}; // dmUniform: the last values, a ring
    std::int32_t recentPos_ = 0;
    std::int32_t bar_ = 0;
    std::int32_t peak_ = 0;
    std::int32_t holdTicks_ = 0; // ticks the peak marker still stays
    std::int32_t fallTicks_ = 0; // ticks since the marker last fell a spot

    struct FreeNotification {
        const void* owner;
        std::function<void()> notify;
    };
    std::vector<FreeNotification> freeNotifications_;
};

} // namespace vantrel
