#include "MMFFTFilter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

namespace vantrel {

namespace {

constexpr std::int32_t BytesPerSample = 2;

std::int32_t frameBytes(const TFFTFilter& filter) {
    return filter.channels * BytesPerSample;
}

// Bits of the FFT length: the largest power of two not above Min(length, 1024).
std::int32_t filterBits(std::int32_t length) {
    std::int32_t bits = 0;
    for (std::int32_t c = std::min(length, MaxFFTFilterLength); c > 1; c /= 2)
        ++bits;
    return bits;
}

// A band gain in dB as the linear bin gain; the 6 dB make up for the halving of the one-sided
// kernel design, so that 0 dB passes the signal at 0.99763.
float linearGain(float gainDb) {
    return static_cast<float>(std::pow(10.0L, (static_cast<long double>(gainDb) + 6.0L) / 20.0L));
}

// Kernel design by frequency sampling. Called with the lock held.
//  1. The gains of bins 0 ... n/2 (both ends halved), each turned by k * pi/2, which puts the
//     centre of the kernel at tap n/4; the bins above n/2 stay empty.
//  2. A forward transform gives the kernel in the real part; it is windowed over taps
//     0 ... n/2 (a window of length n/2, so n/2 + 1 symmetric points) and cut there.
//  3. The kernel's transform divided by n is the response the blocks are multiplied with.
void rebuildResponse(TFFTFilter& filter) {
    float* work = filter.work.data();
    const std::int32_t n = filter.n, half = filter.half;
    static constexpr float quarterTurns[4][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    std::fill_n(work, 2 * n, 0.0f);
    for (std::int32_t k = 0; k <= half; ++k) {
        const float gain = (k == 0 || k == half) ? filter.Gains[k] / 2 : filter.Gains[k];
        work[2 * k] = gain * quarterTurns[k % 4][0];
        work[2 * k + 1] = gain * quarterTurns[k % 4][1];
    }
    DoComplexFFT(filter.plan.get(), work, 1);
    for (std::int32_t j = 0; j <= half; ++j) {
        work[2 * j] *= FFTWindowValue(filter.window, j, half);
        work[2 * j + 1] = 0.0f;
    }
    std::fill(work + 2 * (half + 1), work + 2 * n, 0.0f);
    DoComplexFFT(filter.plan.get(), work, -2);
    std::copy_n(work, 2 * n, filter.Response.data());
}

// A filtered value as an int32, truncated toward zero; values beyond the int32 range (and NaN)
// are held far outside the 16-bit range so that they are clipped and reported.
std::int32_t truncateSample(float value) {
    constexpr float limit = 1.0e9f;
    if (!(value > -limit))
        return static_cast<std::int32_t>(-limit);
    if (!(value < limit))
        return static_cast<std::int32_t>(limit);
    return static_cast<std::int32_t>(value);
}

std::int16_t readSample(const char* p) {
    std::int16_t sample;
    std::memcpy(&sample, p, sizeof sample);
    return sample;
}

void writeSample(char* p, std::int16_t sample) {
    std::memcpy(p, &sample, sizeof sample);
}

// Stores a filtered value as a 16-bit sample: truncated toward zero, then clipped. Returns 1
// when it had to be clipped.
unsigned writeClipped(char* p, float value) {
    const std::int32_t y = truncateSample(value);
    const std::int32_t sample = std::clamp<std::int32_t>(y, INT16_MIN, INT16_MAX);
    writeSample(p, static_cast<std::int16_t>(sample));
    return static_cast<unsigned>(sample != y);
}

// Filters one block of one channel: n samples from `in` to `out`, `stride` bytes apart. The two
// half-blocks go into the real and the imaginary part of one transform; the first half-block's
// convolution completes the previous block's tail, the second's own tail waits for the next
// block. Returns true when a sample was clipped. Sizes are held in locals: the sample stores
// would otherwise make the compiler reload them for every sample.
bool filterBlock(TFFTFilter& filter, float* tail, const char* in, char* out, std::size_t stride) {
    const std::lock_guard guard(filter.lock);
    float* work = filter.work.data();
    const std::size_t n = static_cast<std::size_t>(filter.n), half = n / 2;
    for (std::size_t i = 0; i < half; ++i) {
        work[2 * i] = readSample(in + i * stride);
        work[2 * i + 1] = readSample(in + (i + half) * stride);
    }
    std::fill(work + n, work + 2 * n, 0.0f);
    DoComplexFFT(filter.plan.get(), work, 1);
    ComplexMultiply(work, filter.Response.data(), filter.n);
    DoComplexFFT(filter.plan.get(), work, -1);
    unsigned clipped = 0;
    for (std::size_t j = 0; j < half; ++j) {
        clipped |= writeClipped(out + j * stride, work[2 * j] + tail[j]);
        clipped |= writeClipped(out + (j + half) * stride, work[2 * (j + half)] + work[2 * j + 1]);
        tail[j] = work[2 * (j + half) + 1];
    }
    return clipped != 0;
}

// Which channels a call filters, as a bit mask.
unsigned channelMask(const TFFTFilter& filter, TMMChannel channel) {
    switch (channel) {
    case chLeft:
        return 1u;
    case chRight:
        return filter.channels == 2 ? 2u : 1u;
    case chBoth:
        break;
    }
    return (1u << filter.channels) - 1u;
}

// Filters the whole blocks of channel `c` waiting in the input accumulator into the output
// accumulator (behind what it holds). Returns true when a sample was clipped.
bool filterChannelBlocks(TFFTFilter& filter, int c, std::int32_t blocks) {
    const std::size_t stride = static_cast<std::size_t>(frameBytes(filter));
    const std::size_t blockBytes = static_cast<std::size_t>(filter.n) * stride;
    float* tail = filter.Tail[static_cast<std::size_t>(c)].data();
    const char* in = filter.inBuffer.data() + c * BytesPerSample;
    char* out = filter.outBuffer.data() + filter.outFill + c * BytesPerSample;
    bool clipped = false;
    for (std::int32_t b = 0; b < blocks; ++b, in += blockBytes, out += blockBytes)
        clipped |= filterBlock(filter, tail, in, out, stride);
    return clipped;
}

// Frames of silence this call returns ahead of filtered output. As long as every call finds
// enough filtered output (buffers of whole blocks) there is none. The first call that finds
// too little switches the stream to run one block (n - 1 frames) behind, filling the gap with
// silence at once, so that later calls of any length never find too little again and the
// silence stays at the front of the stream instead of recurring in the middle of it.
std::int32_t silenceAhead(TFFTFilter& filter, std::int32_t frames, std::int32_t available) {
    if (available < frames)
        filter.padToFullBlock = true;
    if (!filter.padToFullBlock)
        return 0;
    const std::int32_t missing = frames - available;
    const std::int32_t toFullBlock = filter.n - 1 - filter.silenceFrames;
    const std::int32_t silence = std::clamp(std::max(missing, toFullBlock), 0, frames);
    filter.silenceFrames += silence;
    return silence;
}

// Returns `frames` frames into `buffer`: `silence` frames of silence, then filtered output from
// the front of the output accumulator, in the filtered channels only.
void returnOutput(TFFTFilter& filter, unsigned mask, char* buffer, std::int32_t frames,
                  std::int32_t silence) {
    const std::int32_t stride = frameBytes(filter);
    const std::int32_t delivered = frames - silence;
    char* target = buffer + silence * stride;
    if (mask == (1u << filter.channels) - 1u) {
        std::memset(buffer, 0, static_cast<std::size_t>(silence * stride));
        std::memcpy(target, filter.outBuffer.data(), static_cast<std::size_t>(delivered * stride));
    } else {
        for (int c = 0; c < filter.channels; ++c) {
            if ((mask & (1u << c)) == 0)
                continue;
            const std::size_t offset = static_cast<std::size_t>(c * BytesPerSample);
            for (std::int32_t i = 0; i < silence; ++i)
                writeSample(buffer + i * stride + offset, 0);
            for (std::int32_t i = 0; i < delivered; ++i)
                std::memcpy(target + i * stride + offset,
                            filter.outBuffer.data() + i * stride + offset, BytesPerSample);
        }
    }
    const std::int32_t used = delivered * stride;
    filter.outFill -= used;
    std::memmove(filter.outBuffer.data(), filter.outBuffer.data() + used,
                 static_cast<std::size_t>(filter.outFill));
}

// One call's worth of frames, at most MaxBytes of them.
bool processFrames(TFFTFilter& filter, unsigned mask, char* buffer, std::int32_t frames) {
    const std::int32_t stride = frameBytes(filter);
    std::memcpy(filter.inBuffer.data() + filter.inFill, buffer,
                static_cast<std::size_t>(frames * stride));
    filter.inFill += frames * stride;

    const std::int32_t blocks = filter.inFill / stride / filter.n;
    bool clipped = false;
    for (int c = 0; c < filter.channels; ++c)
        if ((mask & (1u << c)) != 0)
            clipped |= filterChannelBlocks(filter, c, blocks);
    const std::int32_t consumed = blocks * filter.n * stride;
    if (consumed > 0) {
        filter.outFill += consumed;
        filter.inFill -= consumed;
        std::memmove(filter.inBuffer.data(), filter.inBuffer.data() + consumed,
                     static_cast<std::size_t>(filter.inFill));
    }

    const std::int32_t silence = silenceAhead(filter, frames, filter.outFill / stride);
    returnOutput(filter, mask, buffer, frames, silence);
    return clipped;
}

} // namespace

TFFTFilter* CreateFFTFilter(const TWaveFormatEx* Format, std::int32_t Length,
                            std::int32_t MaxBytes) {
    if (Format == nullptr)
        throw std::invalid_argument("CreateFFTFilter: no format given");
    if (Format->wBitsPerSample != 16 || (Format->nChannels != 1 && Format->nChannels != 2))
        throw std::invalid_argument("CreateFFTFilter: the filter takes 16-bit mono or stereo");
    if (Format->nSamplesPerSec == 0 || Format->nSamplesPerSec > INT32_MAX)
        throw std::invalid_argument("CreateFFTFilter: the sample rate is out of range");
    const std::int32_t bits = filterBits(Length);
    if (bits == 0)
        return nullptr;
    try {
        FFTFilterPtr filter(new TFFTFilter);
        filter->sampleRate = static_cast<std::int32_t>(Format->nSamplesPerSec);
        filter->channels = Format->nChannels;
        filter->Bits = bits;
        filter->n = std::int32_t{1} << bits;
        filter->half = filter->n / 2;
        filter->plan.reset(CreateComplexFFT(bits));
        if (filter->plan == nullptr)
            return nullptr;
        // Room for one call on top of what waits between calls: less than a block of input,
        // and, on the output side, at most a block of delay plus the block just filtered.
        const std::int32_t stride = frameBytes(*filter);
        const std::int64_t callBytes = std::max<std::int64_t>(MaxBytes, stride);
        const std::int64_t capacity = callBytes + 2LL * filter->n * stride;
        if (capacity > INT32_MAX)
            return nullptr;
        filter->MaxBytes = static_cast<std::int32_t>(callBytes);
        filter->inBuffer.resize(static_cast<std::size_t>(capacity));
        filter->outBuffer.resize(static_cast<std::size_t>(capacity));
        ResetFFTFilter(filter.get());
        SetFFTFilterBand(filter.get(), 0.0f, static_cast<float>(filter->sampleRate / 2), 0.0f);
        return filter.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void FreeFFTFilter(TFFTFilter*& filter) noexcept {
    delete filter;
    filter = nullptr;
}

void SetFFTFilterBand(TFFTFilter* filter, float F1, float F2, float Gain) {
    if (filter == nullptr)
        return;
    const std::int32_t halfRate = filter->sampleRate / 2;
    if (!(halfRate > F1))
        F1 = static_cast<float>(halfRate - 1);
    if (!(halfRate >= F2))
        F2 = static_cast<float>(halfRate);
    if (F1 > F2)
        std::swap(F1, F2);
    if (F1 == F2)
        F2 += 1.0f;
    const float binWidth = static_cast<float>(filter->sampleRate) / static_cast<float>(filter->n);
    // Negative edges would address bins below 0; they mean the lowest bin.
    const auto bin = [&](float f) {
        return std::clamp(static_cast<std::int32_t>(std::max(f / binWidth, 0.0f)), 0, filter->half);
    };
    const std::int32_t k1 = bin(F1), k2 = bin(F2);
    const float gain = linearGain(Gain);

    const std::lock_guard guard(filter->lock);
    std::fill(filter->Gains.begin() + k1, filter->Gains.begin() + k2 + 1, gain);
    rebuildResponse(*filter);
}

void SetFFTFilterWindow(TFFTFilter* filter, TMMFFTWindow Window) {
    if (filter == nullptr)
        return;
    const std::lock_guard guard(filter->lock);
    filter->window = Window;
    rebuildResponse(*filter);
}

void ResetFFTFilter(TFFTFilter* filter) {
    if (filter == nullptr)
        return;
    filter->inFill = 0;
    filter->outFill = 0;
    filter->silenceFrames = 0;
    filter->padToFullBlock = false;
    for (auto& tail : filter->Tail)
        tail.fill(0.0f);
}

bool ProcessFFTFilter(TFFTFilter* filter, TMMChannel Channel, void* Buffer, std::int32_t Length) {
    if (filter == nullptr || Buffer == nullptr || Length <= 0)
        return false;
    const std::int32_t stride = frameBytes(*filter);
    const unsigned mask = channelMask(*filter, Channel);
    const std::int32_t framesPerCall = std::max(filter->MaxBytes / stride, 1);
    char* data = static_cast<char*>(Buffer);
    bool clipped = false;
    // A trailing part of a frame is left as it is; longer buffers than announced are taken in
    // MaxBytes pieces rather than overrunning the accumulators.
    for (std::int32_t frames = Length / stride; frames > 0;) {
        const std::int32_t piece = std::min(frames, framesPerCall);
        clipped |= processFrames(*filter, mask, data, piece);
        data += piece * stride;
        frames -= piece;
    }
    return clipped;
}

} // namespace vantrel
