#include "MMFade.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace vantrel {

namespace {

// Gains run in 16.16 fixed point: G = gain * 4, so that unity (16384) is 65536.
constexpr std::int32_t FixedPointFactor = 4;

bool overflows32(std::int64_t value) {
    return value > std::numeric_limits<std::int32_t>::max() ||
           value < std::numeric_limits<std::int32_t>::min();
}

void scale16(char* sample, std::int32_t gain, bool& clipped) {
    std::int16_t s;
    std::memcpy(&s, sample, sizeof s);
    const std::int64_t product = std::int64_t{s} * gain;
    if (overflows32(product)) {
        s = s >= 0 ? std::numeric_limits<std::int16_t>::max()
                   : std::numeric_limits<std::int16_t>::min();
        clipped = true;
    } else {
        s = static_cast<std::int16_t>(static_cast<std::int32_t>(product) >> 16);
    }
    std::memcpy(sample, &s, sizeof s);
}

void scale8(char* sample, std::int32_t gain, bool& clipped) {
    const std::int32_t t = (static_cast<unsigned char>(*sample) - 128) * 256;
    const std::int64_t product = std::int64_t{t} * gain;
    std::int32_t result;
    if (overflows32(product)) {
        result = t > 0 ? 255 : 0;
        clipped = true;
    } else {
        result = (static_cast<std::int32_t>(product) >> 24) + 128;
    }
    *sample = static_cast<char>(result);
}

// One channel's samples inside a block of interleaved frames.
struct ChannelSamples {
    char* first;       // the channel's first sample
    std::int32_t step; // bytes from one frame to the next
    std::int32_t count;
    int bytesPerSample; // 1 or 2
};

// Ramps the gain of one channel from g0 to g1 over `span` frames, of which the samples given
// are the first ones; returns the gain reached.
// G: current gain (16.16); step/rem: whole and fractional gain change per frame; error: the
// Bresenham accumulator that spreads rem over the span.
std::int32_t rampChannel(const ChannelSamples& samples, std::int32_t g0, std::int32_t g1,
                         std::int32_t span, bool& clipped) {
    const bool eightBit = samples.bytesPerSample == 1;
    if (g0 == TMMFadeList::UnityGain && g1 == TMMFadeList::UnityGain)
        return g1;
    if (g0 == 0 && g1 == 0) {
        const char silence = eightBit ? static_cast<char>(128) : 0;
        for (std::int32_t i = 0; i < samples.count; ++i)
            std::memset(samples.first + std::int64_t{i} * samples.step, silence,
                        static_cast<std::size_t>(samples.bytesPerSample));
        return 0;
    }
    const std::int32_t diff = std::abs(g1 - g0);
    const std::int32_t step = diff / span;
    const std::int32_t rem = diff % span;
    const std::int32_t direction = g1 >= g0 ? 1 : -1;
    std::int32_t error = span / 2;
    std::int32_t gain = g0 * FixedPointFactor;
    for (std::int32_t i = 0; i < samples.count; ++i) {
        char* sample = samples.first + std::int64_t{i} * samples.step;
        if (eightBit)
            scale8(sample, gain, clipped);
        else
            scale16(sample, gain, clipped);
        if (diff > 0) {
            gain += FixedPointFactor * direction * step;
            error -= rem;
            if (error < 0) {
                error += span;
                gain += FixedPointFactor * direction;
            }
        }
    }
    return gain / FixedPointFactor;
}

} // namespace

void TMMFadeList::Clear() {
    points_.clear();
    points_.shrink_to_fit();
    capacity_ = 0;
}

// The growth steps of the engine's lists: by 4 while small, by 8, then by 16.
void TMMFadeList::grow() {
    capacity_ += capacity_ < 5 ? 4 : capacity_ < 9 ? 8 : 16;
    points_.reserve(static_cast<std::size_t>(capacity_));
}

int TMMFadeList::AddPoint(const TMMFadePoint& point) {
    if (Count() == capacity_)
        grow();
    points_.push_back(point);
    return Count() - 1;
}

void TMMFadeList::SortPoints() {
    std::stable_sort(
        points_.begin(), points_.end(),
        [](const TMMFadePoint& a, const TMMFadePoint& b) { return a.position < b.position; });
}

int TMMFadeList::FindPoint(std::int32_t position) const {
    if (points_.empty())
        return -1;
    if (position >= points_.back().position)
        return Count();
    const auto after = std::upper_bound(
        points_.begin(), points_.end(), position,
        [](std::int32_t value, const TMMFadePoint& point) { return value < point.position; });
    return static_cast<int>(after - points_.begin());
}

std::int32_t TMMFadeList::VolumeAt(std::int32_t position) const {
    int i = FindPoint(position);
    if (i <= 0)
        return 0;
    if (i == Count())
        return points_.back().volume;
    const TMMFadePoint& from = points_[static_cast<std::size_t>(i - 1)];
    const TMMFadePoint& to = points_[static_cast<std::size_t>(i)];
    if (from.position >= to.position)
        return 0;
    return static_cast<std::int32_t>(from.volume + std::int64_t{to.volume - from.volume} *
                                                       (position - from.position) /
                                                       (to.position - from.position));
}

void TMMFadeList::Assign(const TMMFadeList& other) {
    if (&other == this)
        return;
    Clear();
    for (TMMFadePoint point : other.points_) {
        point.reserved = 0;
        AddPoint(point);
    }
}

const TMMFadePoint& TMMFadeList::Points(int index) const {
    if (index < 0 || index >= Count())
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    return points_[static_cast<std::size_t>(index)];
}

void TMMFadeList::SetCursor(std::int32_t position, std::int32_t left, std::int32_t right) {
    currentPosition_ = position;
    currentLeft_ = left;
    currentRight_ = right;
    currentIndex_ = std::max(FindPoint(position) - 1, 0);
}

bool TMMFadeList::ApplyFade(const TWaveFormatEx& format, char* data, std::int32_t bytes) {
    const bool supported = format.wFormatTag == WAVE_FORMAT_PCM && format.nChannels > 0 &&
                           (format.wBitsPerSample == 8 || format.wBitsPerSample == 16);
    if (!supported)
        return false;
    bool clipped = false;
    currentIndex_ = std::max(FindPoint(currentPosition_) - 1, 0);
    while (bytes > 0 && currentIndex_ < Count()) {
        const TMMFadePoint& target = points_[static_cast<std::size_t>(currentIndex_)];
        const std::int32_t m = static_cast<std::int32_t>(
            std::min<std::int64_t>(bytes, std::int64_t{target.position} - currentPosition_));
        if (m > 0) {
            clipped |= rampSegment(format, data, m, target);
            data += m;
            bytes -= m;
            currentPosition_ += m;
        }
        if (currentPosition_ >= target.position)
            ++currentIndex_;
    }
    return clipped;
}

bool TMMFadeList::rampSegment(const TWaveFormatEx& format, char* data, std::int32_t bytes,
                              const TMMFadePoint& target) {
    const int bytesPerSample = format.wBitsPerSample / 8;
    const std::int32_t frameBytes = bytesPerSample * format.nChannels;
    const std::int32_t span = std::max((target.position - currentPosition_) / frameBytes, 1);
    bool clipped = false;
    std::int32_t reachedLeft = currentLeft_;
    std::int32_t reachedRight = currentRight_;
    for (int channel = 0; channel < format.nChannels; ++channel) {
        const std::int32_t offset = channel * bytesPerSample;
        const std::int32_t count = bytes >= offset + bytesPerSample
                                       ? (bytes - offset - bytesPerSample) / frameBytes + 1
                                       : 0;
        const ChannelSamples samples{data + offset, frameBytes, count, bytesPerSample};
        // Channels beyond the second take the left or right gain by their parity.
        const bool right = channel % 2 == 1;
        const std::int32_t reached = rampChannel(samples, right ? currentRight_ : currentLeft_,
                                                 right ? target.right : target.left, span, clipped);
        if (channel == 0)
            reachedLeft = reached;
        else if (channel == 1)
            reachedRight = reached;
    }
    currentLeft_ = reachedLeft;
    currentRight_ = reachedRight;
    return clipped;
}

} // namespace vantrel
