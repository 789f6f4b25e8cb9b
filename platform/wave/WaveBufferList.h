// A first-in first-out list of buffers linked through the WAVEHDR's lpNext field, which belongs to
// the device layer while it holds a buffer. Moving buffers between lists never allocates, so the
// audio threads can do it.
#pragma once

#include "MMUtils.h"

namespace vantrel {

class WaveBufferList {
public:
    bool empty() const { return head_ == nullptr; }
    PWaveHdr front() const { return head_; }

    void push(PWaveHdr buffer) {
        buffer->wh.lpNext = nullptr;
        if (tail_ == nullptr)
            head_ = buffer;
        else
            tail_->wh.lpNext = &buffer->wh;
        tail_ = buffer;
    }

    // Removes and returns the oldest buffer, or null.
    PWaveHdr pop() {
        PWaveHdr buffer = head_;
        if (buffer == nullptr)
            return nullptr;
        // wh is the first member of the buffer record, so the two addresses are one.
        head_ = reinterpret_cast<PWaveHdr>(buffer->wh.lpNext);
        if (head_ == nullptr)
            tail_ = nullptr;
        buffer->wh.lpNext = nullptr;
        return buffer;
    }

    // Moves every buffer of `other` behind this list's buffers, keeping their order.
    void splice(WaveBufferList& other) {
        if (other.empty())
            return;
        if (tail_ == nullptr)
            head_ = other.head_;
        else
            tail_->wh.lpNext = &other.head_->wh;
        tail_ = other.tail_;
        other.head_ = other.tail_ = nullptr;
    }

private:
    PWaveHdr head_ = nullptr;
    PWaveHdr tail_ = nullptr;
};

} // namespace vantrel
