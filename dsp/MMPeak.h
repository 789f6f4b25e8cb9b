// The peak detector: a stream component that measures the spectrum of the audio going through it
// and keeps, for every FFT bin, the largest magnitude of the most recent buffer. Buffers pass
// unchanged.
//
// Threads: properties on the main thread; buffers on the thread that carries them. The bin
// peaks may be read from any thread without a lock: every buffer starts by clearing them, so a
// read during a buffer can see zeros or the maximum of part of that buffer.
#pragma once

#include "MMDSPObj.h"
#include "MMFFT.h"
#include "MMObj.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace vantrel {

class EMMPeakError : public EMMError {
public:
    using EMMError::EMMError;
};

class TMMPeakDetect;
// Fired on the processing thread for every bin of every analysed frame: the bin's index and its
// magnitude (full-scale sine on the bin = 32767 with the rectangular window).
using TMMPeakEvent =
    std::function<void(TMMPeakDetect* sender, std::int32_t index, std::int32_t Value)>;

class TMMPeakDetect : public TMMDSPComponent {
public:
    static constexpr std::int32_t MaxFFTLength = 32768;

    TMMPeakDetect();
    ~TMMPeakDetect() override;

    bool GetEnabled() const { return enabled_.load(std::memory_order_acquire); }
    void SetEnabled(bool value) { enabled_.store(value, std::memory_order_release); }
    // Samples per analysis frame: clamped to 8 ... 32768 and rounded down to a power of two.
    std::int32_t GetFFTLength() const { return fftLength_; }
    void SetFFTLength(std::int32_t value);
    TMMFFTWindow GetWindow() const { return window_; }
    void SetWindow(TMMFFTWindow value);
    // Which channel of stereo data is analysed; chBoth analyses their mean.
    TMMChannel GetChannel() const { return channel_; }
    void SetChannel(TMMChannel value);
    // Whether the largest sample per channel is measured as well (LeftPeak, RightPeak).
    bool GetDetectPeaks() const { return detectPeaks_.load(std::memory_order_acquire); }
    void SetDetectPeaks(bool value) { detectPeaks_.store(value, std::memory_order_release); }

    // Clears the bin peaks and sets the channel peaks to silence.
    void ResetPeaks();
    // Bins measured: FFTLength / 2 (bin 0 holds DC at twice its scale; Nyquist is not measured).
    std::int32_t PeakCount() const { return fftLength_ / 2; }
    // Hz per bin of the component's format; 0 without a format.
    float BinWidth() const;
    // The bin of `Freq` (Hz), at most PeakCount; 0 without a format or for negative values.
    std::int32_t FrequencyToIndex(float Freq) const;
    // The peak of bin `Index` in the last buffer, or 0 outside 0 ... PeakCount - 1.
    std::int32_t PeakValue(std::int32_t Index) const;
    // The largest sample of the last buffer per channel on the 16-bit scale (8-bit data is
    // measured from 128 and scaled by 256); mono data gives both the same. 0 without DetectPeaks.
    std::int32_t LeftPeak() const { return leftPeak_.load(std::memory_order_relaxed); }
    std::int32_t RightPeak() const { return rightPeak_.load(std::memory_order_relaxed); }

    // Becomes active when not yet and the format is valid PCM; only an active detector measures.
    void Activate();
    void Deactivate() { active_.store(false, std::memory_order_release); }
    bool IsActive() const { return active_.load(std::memory_order_acquire); }

    // Accepts none or valid PCM; raises EMMPeakError "Invalid WaveFormat" otherwise.
    void SetWaveFormat(const TWaveFormatEx* format) override;
    void NotifyOpened() override;
    void NotifyClosed() override;
    void NotifyStarted() override;
    void NotifyStopped() override;
    // Push: measures, then hands the buffer on.
    void BufferReady(PWaveHdr lpWaveHdr) override;
    // Pull: fills the buffer from upstream, then measures it.
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

    TMMPeakEvent OnPeakReady;

private:
    // What one analysis frame reads from the buffer: the layout and the channel picked.
    struct FrameLayout;

    void rebuildWindowTable();
    void process(PWaveHdr buffer);
    void measureChannelPeaks(const char* data, std::int32_t bytes, const FrameLayout& layout);
    void analyseFrame(const FrameLayout& layout);
    FrameLayout currentLayout() const;

    std::atomic<bool> enabled_ = true;
    std::atomic<bool> active_ = false;
    bool started_ = false;
    TMMFFTWindow window_ = fwHamming;
    TMMChannel channel_ = chBoth;
    std::atomic<bool> detectPeaks_ = true;
    std::int32_t fftLength_ = 0;
    std::uint8_t silence_ = 0; // fill byte of a short last frame: 128 for 8-bit data

    RealFFTPlanPtr plan_;
    std::vector<char> chunk_;                               // one analysis frame of raw PCM data
    std::vector<std::int32_t> windowTable_;                 // Q15 window of FFTLength samples
    std::vector<float> analysis_;                           // windowed samples, then the spectrum
    std::unique_ptr<std::atomic<std::int32_t>[]> binPeaks_; // MaxFFTLength / 2 bins
    std::atomic<std::int32_t> leftPeak_ = 0;
    std::atomic<std::int32_t> rightPeak_ = 0;

    // Held while a buffer is measured and while the plan or the window table change.
    TMMCriticalSection lock_;
};

} // namespace vantrel
