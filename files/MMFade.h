// Gain envelopes along a PCM stream: a sorted list of gain points and a cursor that remembers
// where the stream is and which gains are in effect there. Applying the list ramps each
// channel's gain linearly from point to point in integer arithmetic, clipping at full scale.
#pragma once

#include "MMObjLst.h"
#include "MMUtils.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

// One gain point (five signed 32-bit values, in this order).
struct TMMFadePoint {
    std::int32_t position; // bytes from the start of the file, in the stream's own format
    std::int32_t volume;   // 0 ... 32768, 16384 = unity
    std::int32_t left;     // gain of the left (or only) channel, same scale
    std::int32_t right;    // gain of the right channel, same scale
    std::int32_t reserved; // always 0
};

// A persistent object. Not thread-safe: the owner keeps rebuilding the list and applying it
// apart.
class TMMFadeList : public TMMObject {
public:
    static constexpr std::int32_t UnityGain = 16384;

    std::string ClassName() const override { return "TMMFadeList"; }

    // --- Points ------------------------------------------------------------------------------
    void Clear();
    // Appends a copy of `point`; returns its index.
    int AddPoint(const TMMFadePoint& point);
    // Orders the points by position; points at equal positions keep their order.
    void SortPoints();
    // -1 for an empty list; Count() when `position` lies at or after the last point; else the
    // index of the first point after `position`.
    int FindPoint(std::int32_t position) const;
    // The volume at `position` (bytes), interpolated between the points around it; 0 before the
    // first point, the last point's volume after it.
    std::int32_t VolumeAt(std::int32_t position) const;
    // Copies the points of `other` (with their fifth value 0); the cursor is left alone.
    void Assign(const TMMFadeList& other);

    int Count() const { return static_cast<int>(points_.size()); }
    int Capacity() const { return capacity_; }
    // Raises EListError for an index outside 0 ... Count() - 1.
    const TMMFadePoint& Points(int index) const;

    // --- Cursor ------------------------------------------------------------------------------
    // Places the stream at `position` (bytes) with the gains in effect there.
    void SetCursor(std::int32_t position, std::int32_t left, std::int32_t right);
    int CurrentIndex() const { return currentIndex_; }
    std::int32_t CurrentPosition() const { return currentPosition_; }
    std::int32_t CurrentLeft() const { return currentLeft_; }
    std::int32_t CurrentRight() const { return currentRight_; }

    // Applies the gains to `bytes` bytes of 8- or 16-bit PCM at `data` in place, starting at the
    // cursor, and moves the cursor on. Returns true when a sample had to be clipped. Other
    // formats are left untouched. Does not allocate.
    bool ApplyFade(const TWaveFormatEx& format, char* data, std::int32_t bytes);

private:
    void grow();
    // Ramps `bytes` bytes from the cursor towards `target`, channel by channel.
    bool rampSegment(const TWaveFormatEx& format, char* data, std::int32_t bytes,
                     const TMMFadePoint& target);

    std::vector<TMMFadePoint> points_;
    int capacity_ = 0;
    int currentIndex_ = 0;
    std::int32_t currentPosition_ = 0; // bytes
    std::int32_t currentLeft_ = 0;
    std::int32_t currentRight_ = 0;
};

} // namespace vantrel
