// The FFT overlap-add filter behind the equalizer: filters 16-bit PCM (mono or stereo) with a
// magnitude response given as gains in dB over frequency ranges.
//
// From the per-bin gains it designs a linear-phase FIR kernel of N/2 + 1 taps (frequency
// sampling, then a window) and convolves each channel with it by overlap-add, two half-blocks
// of N/2 samples per complex FFT of N points (one in the real, one in the imaginary part).
// The signal comes out delayed by the kernel's N/4 samples and scaled by 10^(6/20)/2 = 0.99763
// at 0 dB. Buffers of any length are accepted; what does not fill a block waits for the next.
//
// Threads: ProcessFFTFilter runs on the audio thread; SetFFTFilterBand and SetFFTFilterWindow
// may run on another thread at any time. The lock is held while the response is rebuilt and
// while one block is filtered, so every block sees one consistent response. ResetFFTFilter
// must not run while a buffer is being processed.
#pragma once

#include "MMFFT.h"
#include "MMObj.h"
#include "MMUtils.h"

#include <array>
#include <cstdint>
#include <vector>

namespace vantrel {

inline constexpr std::int32_t MaxFFTFilterLength = 1024; // largest FFT length N
inline constexpr std::size_t FFTFilterCapacity = 1026;   // entries of the per-bin arrays

struct TFFTFilter {
    std::int32_t sampleRate = 0; // frames per second of the format given at creation
    std::int32_t channels = 0;   // 1 or 2
    std::int32_t n = 0;          // FFT length, a power of two, 2 ... 1024
    std::int32_t half = 0;       // n / 2: new samples per half-block
    std::int32_t Bits = 0;       // log2 n
    ComplexFFTPlanPtr plan;

    std::int32_t MaxBytes = 0;      // largest buffer one ProcessFFTFilter call takes at once
    std::vector<char> inBuffer;     // interleaved frames not yet filtered
    std::int32_t inFill = 0;        // bytes
    std::vector<char> outBuffer;    // filtered interleaved frames not yet returned
    std::int32_t outFill = 0;       // bytes
    std::int32_t silenceFrames = 0; // silence returned ahead of the filtered stream since reset
    bool padToFullBlock = false;    // a call found too little output: run a block behind

    TMMFFTWindow window = fwHamming; // window of the kernel design

    // Per channel, the last n/2 values of the previous block's second half-block convolution,
    // added to the next block.
    std::array<std::array<float, FFTFilterCapacity>, 2> Tail{};
    alignas(32) std::array<float, FFTFilterCapacity> Gains{};        // linear, bins 0 ... n/2
    alignas(32) std::array<float, 2 * FFTFilterCapacity> Response{}; // H[0 ... n-1], complex
    alignas(32) std::array<float, 2 * FFTFilterCapacity> work{};     // transform scratch

    // Guards window, Gains, Response, work and the filtering of a block.
    TMMCriticalSection lock;
};

// A new filter for `Format` (16-bit PCM, 1 or 2 channels), owned by the caller (free it with
// FreeFFTFilter), or null when memory runs out or `Length` is below 2. N is the largest power
// of two not above Min(Length, 1024). `MaxBytes` is the largest buffer the caller hands to one
// call of ProcessFFTFilter. The filter starts reset, with every bin at 0 dB and a Hamming
// window. Throws std::invalid_argument for a missing format or one the filter cannot take
// (not 16 bits, not 1 or 2 channels, or a sample rate of 0).
TFFTFilter* CreateFFTFilter(const TWaveFormatEx* Format, std::int32_t Length,
                            std::int32_t MaxBytes);

// Frees the filter, if any, and empties the reference.
void FreeFFTFilter(TFFTFilter*& filter) noexcept;

// Sets every FFT bin from F1 to F2 (Hz, both ends included) to Gain (dB) and rebuilds the
// response. Edges beyond half the sample rate are pulled back to it; a later band overwrites
// the bins it shares with an earlier one.
void SetFFTFilterBand(TFFTFilter* filter, float F1, float F2, float Gain);

// Chooses the window of the kernel design and rebuilds the response from the present gains.
void SetFFTFilterWindow(TFFTFilter* filter, TMMFFTWindow Window);

// Drops the buffered audio and the overlap tails: the next buffer starts a new stream.
void ResetFFTFilter(TFFTFilter* filter);

// Filters `Length` bytes of interleaved 16-bit frames in place: chBoth filters every channel,
// chLeft channel 0, chRight channel 1 (channel 0 in mono); other channels pass unchanged and
// undelayed. While blocks are still filling, the filtered channels return silence. Returns
// true when an output sample of this call had to be clipped to the 16-bit range.
bool ProcessFFTFilter(TFFTFilter* filter, TMMChannel Channel, void* Buffer, std::int32_t Length);

struct FFTFilterDeleter {
    void operator()(TFFTFilter* filter) const noexcept { FreeFFTFilter(filter); }
};
using FFTFilterPtr = std::unique_ptr<TFFTFilter, FFTFilterDeleter>;

} // namespace vantrel
