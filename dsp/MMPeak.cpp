#include "MMPeak.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>

namespace vantrel {

namespace {

constexpr std::int32_t minFFTLength = 8;
constexpr std::int32_t maxBins = TMMPeakDetect::MaxFFTLength / 2;

std::int32_t sampleAt(const char* frame, std::int32_t channel, std::int32_t bytesPerSample) {
    if (bytesPerSample == 1)
        return static_cast<std::uint8_t>(frame[channel]);
    std::int16_t sample;
    std::memcpy(&sample, frame + 2 * channel, sizeof sample);
    return sample;
}

} // namespace

// How the samples of one frame become the analysed value: the channel picked (or the mean of
// the first two), the offset of silence and the divisor that brings a windowed sample to the
// 16-bit scale.
struct TMMPeakDetect::FrameLayout {
    std::int32_t blockAlign;     // bytes per frame
    std::int32_t bytesPerSample; // 1 or 2
    std::int32_t channels;
    bool mean;            // chBoth on two or more channels
    std::int32_t picked;  // the channel analysed when not `mean`
    std::int32_t offset;  // 128 for 8-bit data
    std::int32_t divisor; // 128 for 8-bit data, 32768 for 16-bit data

    std::int32_t value(const char* frame) const {
        const std::int32_t raw =
            mean ? (sampleAt(frame, 0, bytesPerSample) + sampleAt(frame, 1, bytesPerSample)) / 2
                 : sampleAt(frame, picked, bytesPerSample);
        return raw - offset;
    }
};

TMMPeakDetect::TMMPeakDetect()
    : chunk_(static_cast<std::size_t>(MaxFFTLength) * 4),
      windowTable_(static_cast<std::size_t>(MaxFFTLength)),
      analysis_(static_cast<std::size_t>(MaxFFTLength)),
      binPeaks_(std::make_unique<std::atomic<std::int32_t>[]>(maxBins)) {
    publishLinks(true, true);
    SetFFTLength(128);
}

TMMPeakDetect::~TMMPeakDetect() {
    Deactivate();
}

// ---------------------------------------------------------------------------------------------
// Properties

void TMMPeakDetect::SetFFTLength(std::int32_t value) {
    const auto length = static_cast<std::int32_t>(
        std::bit_floor(static_cast<std::uint32_t>(std::clamp(value, minFFTLength, MaxFFTLength))));
    if (length == fftLength_)
        return;
    RealFFTPlanPtr plan(CreateRealFFT(std::countr_zero(static_cast<std::uint32_t>(length))));
    if (plan == nullptr)
        throw std::bad_alloc();
    std::lock_guard guard(lock_);
    plan_ = std::move(plan);
    fftLength_ = length;
    rebuildWindowTable();
    ResetPeaks();
}

void TMMPeakDetect::SetWindow(TMMFFTWindow value) {
    if (value == window_)
        return;
    std::lock_guard guard(lock_);
    window_ = value;
    rebuildWindowTable();
    ResetPeaks();
}

void TMMPeakDetect::SetChannel(TMMChannel value) {
    if (value == channel_)
        return;
    std::lock_guard guard(lock_);
    channel_ = value;
    ResetPeaks();
}

void TMMPeakDetect::rebuildWindowTable() {
    MakeWindowTable(windowTable_.data(), window_, plan_->Bits);
}

void TMMPeakDetect::ResetPeaks() {
    leftPeak_.store(0, std::memory_order_relaxed);
    rightPeak_.store(0, std::memory_order_relaxed);
    for (std::int32_t k = 0; k < maxBins; ++k)
        binPeaks_[static_cast<std::size_t>(k)].store(0, std::memory_order_relaxed);
}

float TMMPeakDetect::BinWidth() const {
    const TWaveFormatEx* format = GetWaveFormat();
    if (format == nullptr)
        return 0;
    return static_cast<float>(format->nSamplesPerSec) / static_cast<float>(fftLength_);
}

std::int32_t TMMPeakDetect::FrequencyToIndex(float Freq) const {
    const float width = BinWidth();
    if (width <= 0 || !(Freq > 0))
        return 0;
    const float index = std::trunc(Freq / width);
    return index >= static_cast<float>(PeakCount()) ? PeakCount()
                                                    : static_cast<std::int32_t>(index);
}

std::int32_t TMMPeakDetect::PeakValue(std::int32_t Index) const {
    if (Index < 0 || Index >= PeakCount())
        return 0;
    return binPeaks_[static_cast<std::size_t>(Index)].load(std::memory_order_relaxed);
}

void TMMPeakDetect::Activate() {
    if (!IsActive() && IsValidPCMFormat(GetWaveFormat()))
        active_.store(true, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// Chain

void TMMPeakDetect::SetWaveFormat(const TWaveFormatEx* format) {
    if (format != nullptr) {
        if (!IsValidPCMFormat(format))
            throw EMMPeakError(LoadEngineString(62));
        std::lock_guard guard(lock_);
        silence_ = format->wBitsPerSample == 8 ? 128 : 0;
        ResetPeaks();
    }
    TMMDSPComponent::SetWaveFormat(format);
}

void TMMPeakDetect::NotifyOpened() {
    Activate();
    TMMDSPComponent::NotifyOpened();
}

void TMMPeakDetect::NotifyClosed() {
    Deactivate();
    TMMDSPComponent::NotifyClosed();
}

void TMMPeakDetect::NotifyStarted() {
    if (IsActive() && !started_) {
        ResetPeaks();
        started_ = true;
    }
    TMMDSPComponent::NotifyStarted();
}

void TMMPeakDetect::NotifyStopped() {
    started_ = false;
    TMMDSPComponent::NotifyStopped();
}

void TMMPeakDetect::BufferReady(PWaveHdr lpWaveHdr) {
    process(lpWaveHdr);
    TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMPeakDetect::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
    TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
    process(lpWaveHdr);
}

// ---------------------------------------------------------------------------------------------
// Measuring

TMMPeakDetect::FrameLayout TMMPeakDetect::currentLayout() const {
    const TWaveFormatEx& format = *GetWaveFormat();
    const bool eightBit = format.wBitsPerSample == 8;
    const std::int32_t channels = format.nChannels;
    // Stereo pairs: the first two channels are left and right.
    const std::int32_t picked = channels == 1 ? 0 : (channel_ == chRight ? 1 : 0);
    return FrameLayout{format.nBlockAlign,
                       eightBit ? 1 : 2,
                       channels,
                       channels >= 2 && channel_ == chBoth,
                       picked,
                       eightBit ? 128 : 0,
                       eightBit ? 128 : 32768};
}

void TMMPeakDetect::process(PWaveHdr buffer) {
    if (!GetEnabled() || !IsActive())
        return;
    std::lock_guard guard(lock_);
    const TWaveFormatEx* format = GetWaveFormat();
    if (format == nullptr || format->nBlockAlign == 0)
        return;
    ResetPeaks();
    const FrameLayout layout = currentLayout();
    const char* data = buffer->wh.lpData;
    std::int32_t bytes = static_cast<std::int32_t>(buffer->wh.dwBytesRecorded);
    if (GetDetectPeaks())
        measureChannelPeaks(data, bytes, layout);
    const std::int32_t chunkBytes = layout.blockAlign * fftLength_;
    while (bytes > 0) {
        const std::int32_t n = std::min(bytes, chunkBytes);
        std::memcpy(chunk_.data(), data, static_cast<std::size_t>(n));
        std::memset(chunk_.data() + n, silence_, static_cast<std::size_t>(chunkBytes - n));
        data += n;
        bytes -= n;
        analyseFrame(layout);
    }
}

void TMMPeakDetect::measureChannelPeaks(const char* data, std::int32_t bytes,
                                        const FrameLayout& layout) {
    const std::int32_t scale = layout.bytesPerSample == 1 ? 256 : 1;
    std::int32_t peaks[2] = {0, 0};
    for (std::int32_t at = 0; at + layout.blockAlign <= bytes; at += layout.blockAlign)
        for (std::int32_t c = 0; c < std::min(layout.channels, 2); ++c)
            peaks[c] = std::max(
                peaks[c],
                std::abs(sampleAt(data + at, c, layout.bytesPerSample) - layout.offset) * scale);
    leftPeak_.store(peaks[0], std::memory_order_relaxed);
    rightPeak_.store(layout.channels == 1 ? peaks[0] : peaks[1], std::memory_order_relaxed);
}

// One frame of FFTLength samples from the chunk buffer: windowed on the 16-bit scale,
// transformed, and each bin's magnitude (amplitude of a sine on the bin) kept when larger.
void TMMPeakDetect::analyseFrame(const FrameLayout& layout) {
    const std::int32_t n = fftLength_;
    float* x = analysis_.data();
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int64_t value = layout.value(chunk_.data() + i * layout.blockAlign);
        x[i] =
            static_cast<float>(value * windowTable_[static_cast<std::size_t>(i)] / layout.divisor);
    }
    DoRealFFT(plan_.get(), x, 1);
    const float scale = static_cast<float>(n / 2);
    for (std::int32_t k = 0; k < n / 2; ++k) {
        const float re = x[2 * k] / scale;
        const float im = x[2 * k + 1] / scale;
        float m2 = re * re + im * im;
        if (!(m2 >= 0))
            m2 = 0;
        const auto v = static_cast<std::int32_t>(std::sqrt(m2));
        if (OnPeakReady)
            OnPeakReady(this, k, v);
        std::atomic<std::int32_t>& peak = binPeaks_[static_cast<std::size_t>(k)];
        if (v > peak.load(std::memory_order_relaxed))
            peak.store(v, std::memory_order_relaxed);
    }
}

} // namespace vantrel
