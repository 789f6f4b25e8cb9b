// Stand-ins for the components around a queue or a trigger: devices that push and pull when the
// test says so, a finite source and a recording sink, all moving numbered buffers.
//
// Every 32-bit word of buffer n holds n (from 1), so a buffer read back tells which one it was,
// whether it arrived whole, or whether it is silence.
#pragma once

#include "MMDSPObj.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

namespace vantrel {

inline void fillNumbered(char* data, std::uint32_t bytes, std::uint32_t number) {
    for (std::uint32_t offset = 0; offset + 4 <= bytes; offset += 4)
        std::memcpy(data + offset, &number, 4);
}

// The number of a whole numbered buffer, 0 for silence, -1 for a mix of buffers or a torn one.
inline std::int64_t numberOf(const char* data, std::uint32_t bytes) {
    std::uint32_t first = 0;
    std::memcpy(&first, data, 4);
    for (std::uint32_t offset = 4; offset + 4 <= bytes; offset += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, data + offset, 4);
        if (word != first)
            return -1;
    }
    return first;
}

inline TWaveFormatEx pcmFormat(int bits = 16, int channels = 2, std::uint32_t rate = 48000) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, bits, channels, rate);
    return format;
}

// A device that only moves buffers when told: as an input it pushes numbered buffers down its
// chain, as an output it pulls from its Input. Opening, starting and stopping it drives its
// segment as a wave device would.
class FakeDevice : public TMMCustomSoundComponent {
public:
    enum Role { input, output };
    explicit FakeDevice(Role role) : role_(role) { publishLinks(role == output, role == input); }
    ~FakeDevice() override { freeBuffer(buffer_); }

    // Also run when the device upstream opens its segment.
    void NotifyOpened() override {
        TMMCustomSoundComponent::NotifyOpened();
        freeBuffer(buffer_);
        buffer_ = allocateBuffer(static_cast<std::uint32_t>(GetRealBufferSize()));
    }

    void open() { NotifyOpened(); }
    void start() { NotifyStarted(); }
    void stop() { NotifyStopped(); }
    void close() { NotifyClosed(); }

    // Input: pushes buffer `number` (RealBufferSize bytes) down the chain.
    void push(std::uint32_t number) {
        fillNumbered(buffer_->wh.lpData, buffer_->wh.dwBufferLength, number);
        buffer_->wh.dwBytesRecorded = buffer_->wh.dwBufferLength;
        TMMDSPComponent::BufferReady(buffer_);
    }
    // Output: pulls up to `bytes` bytes (RealBufferSize by default); the buffer holds the answer.
    PWaveHdr pull(std::uint32_t bytes = 0) {
        buffer_->wh.dwBufferLength =
            bytes != 0 ? bytes : static_cast<std::uint32_t>(GetRealBufferSize());
        buffer_->wh.dwBytesRecorded = 0;
        buffer_->LoopEnabled = loops > 0 ? MMTrue : 0;
        buffer_->LoopCount = loops;
        buffer_->LoopsLeft = loops;
        buffer_->LoopRestarted = 0;
        lastMoreBuffers = false;
        TMMDSPComponent::BufferLoad(buffer_, lastMoreBuffers);
        return buffer_;
    }
    bool lastMoreBuffers = false;
    std::int32_t loops = 0; // times a pulled source is asked to wrap to its beginning

    void SetNumBuffers(std::int32_t) override {}
    std::int32_t GetNumBuffers() const override { return 2; }
    void SetDeviceID(TMMDeviceId) override {}
    TMMDeviceId GetDeviceID() const override { return 0; }
    void SetProductName(const std::string&) override {}
    std::string GetProductName() const override { return role_ == input ? "in" : "out"; }
    void SetCallBackMode(TMMCBMode) override {}
    TMMCBMode GetCallBackMode() const override { return cmThread; }

private:
    const Role role_;
    PWaveHdr buffer_ = nullptr;
};

// A source of `count` numbered buffers (1..count) of `bufferBytes` bytes each (fewer when the
// puller asks for less) that reports its end with the last one; a count of 0 gives nothing at
// all. A pull that asks for looping while loops are left wraps to buffer 1 and marks it
// restarted. `beforeLoad` runs at the start of every pull.
class NumberedSource : public TMMDSPComponent {
public:
    NumberedSource(std::uint32_t count, std::uint32_t bufferBytes)
        : count_(count), bufferBytes_(bufferBytes) {
        publishLinks(false, true);
    }

    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override {
        if (beforeLoad)
            beforeLoad();
        const bool mayWrap = lpWaveHdr->LoopEnabled != 0 && lpWaveHdr->LoopsLeft > 0;
        std::uint32_t number = next_.load();
        if (number > count_ && mayWrap) {
            --lpWaveHdr->LoopsLeft;
            lpWaveHdr->LoopRestarted = MMTrue;
            number = 1;
        }
        if (number > count_) {
            lpWaveHdr->wh.dwBytesRecorded = 0;
            return;
        }
        next_.store(number + 1);
        const std::uint32_t bytes = std::min(lpWaveHdr->wh.dwBufferLength, bufferBytes_);
        fillNumbered(lpWaveHdr->wh.lpData, bytes, number);
        lpWaveHdr->wh.dwBytesRecorded = bytes;
        MoreBuffers = number < count_ || endsWithEmptyPull || mayWrap;
    }
    std::uint32_t delivered() const { return next_.load() - 1; }

    // The source does not know its last buffer; it tells of its end by delivering nothing.
    bool endsWithEmptyPull = false;
    std::function<void()> beforeLoad;

private:
    const std::uint32_t count_;
    const std::uint32_t bufferBytes_;
    std::atomic<std::uint32_t> next_{1};
};

// Records the number of every buffer pushed into it (and all the bytes); `onBuffer` runs
// for each one, on the pushing thread.
class RecordingSink : public TMMDSPComponent {
public:
    RecordingSink() { publishLinks(true, true); }

    void BufferReady(PWaveHdr lpWaveHdr) override {
        {
            std::lock_guard lock(mutex_);
            const char* data = lpWaveHdr->wh.lpData;
            bytes_.insert(bytes_.end(), data, data + lpWaveHdr->wh.dwBytesRecorded);
            numbers_.push_back(numberOf(data, lpWaveHdr->wh.dwBytesRecorded));
        }
        if (onBuffer)
            onBuffer(lpWaveHdr);
        TMMDSPComponent::BufferReady(lpWaveHdr);
    }

    std::vector<std::int64_t> numbers() const {
        std::lock_guard lock(mutex_);
        return numbers_;
    }
    std::vector<char> bytes() const {
        std::lock_guard lock(mutex_);
        return bytes_;
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return numbers_.size();
    }
    void clear() {
        std::lock_guard lock(mutex_);
        numbers_.clear();
        bytes_.clear();
    }

    std::function<void(PWaveHdr)> onBuffer;

private:
    mutable std::mutex mutex_;
    std::vector<std::int64_t> numbers_;
    std::vector<char> bytes_;
};

// The numbers of the whole 4-byte words in `bytes`, one entry per run of equal words of
// `runBytes` bytes: how a stream cut into differently sized pieces reads back.
inline std::vector<std::int64_t> numbersInStream(const std::vector<char>& bytes,
                                                 std::uint32_t runBytes) {
    std::vector<std::int64_t> numbers;
    for (std::size_t offset = 0; offset + runBytes <= bytes.size(); offset += runBytes)
        numbers.push_back(numberOf(bytes.data() + offset, runBytes));
    return numbers;
}

} // namespace vantrel
