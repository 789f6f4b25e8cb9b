// Helpers of the wave device tests: buffers, formats, a collector of notifications and the
// lookup of devices by name.
#pragma once

#include "WaveDevices.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vantrel::test {

inline constexpr std::chrono::seconds Patience{20}; // generous: sanitizers and a busy machine

struct BufferDeleter {
    void operator()(TMMBufferHeader* buffer) const { freeBuffer(buffer); }
};
using Buffer = std::unique_ptr<TMMBufferHeader, BufferDeleter>;

inline Buffer makeBuffer(std::uint32_t bytes) {
    return Buffer(allocateBuffer(bytes));
}

inline TWaveFormatEx pcm(int bits, int channels, std::uint32_t rate) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, bits, channels, rate);
    return format;
}

// Collects what the layer reports for one open device.
class Notifications {
public:
    struct Event {
        WaveMessage message;
        PWaveHdr buffer;
    };

    static void callback(WaveHandle, WaveMessage message, void* user, PWaveHdr buffer) noexcept {
        auto* self = static_cast<Notifications*>(user);
        // Notified under the lock: a waiter that sees the Closed event may destroy this object
        // as soon as the lock is free, so the callback must not touch it after unlocking.
        std::lock_guard lock(self->mutex_);
        self->events_.push_back({message, buffer});
        self->changed_.notify_all();
    }

    // Waits until `count` buffers have come back; false on time-out.
    bool waitForDone(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, Patience, [&] { return doneLocked().size() >= count; });
    }
    bool waitFor(WaveMessage message) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, Patience, [&] {
            for (const Event& event : events_)
                if (event.message == message)
                    return true;
            return false;
        });
    }
    std::vector<PWaveHdr> done() {
        std::lock_guard lock(mutex_);
        return doneLocked();
    }
    std::vector<Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::vector<PWaveHdr> doneLocked() const {
        std::vector<PWaveHdr> buffers;
        for (const Event& event : events_)
            if (event.message == WaveMessage::Done)
                buffers.push_back(event.buffer);
        return buffers;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

// Number of the device called `name` in the table's list, or InvalidId.
template <typename Functions>
TMMDeviceId findDevice(const Functions& functions, const std::string& name) {
    const auto count = static_cast<TMMDeviceId>(functions.getNumDevs());
    for (TMMDeviceId device = 0; device < count; ++device) {
        WaveDeviceCaps caps;
        if (functions.getDevCaps(device, caps) == MMSYSERR_NOERROR && caps.productName == name)
            return device;
    }
    return InvalidId;
}

// An open device that is reset, closed and waited for when the test ends, so that the layer has
// handed back every buffer before the buffers are freed.
template <typename Functions> class OpenDevice {
public:
    OpenDevice(const Functions& functions, TMMDeviceId device, const TWaveFormatEx& format,
               Notifications& notifications)
        : functions_(functions), notifications_(notifications) {
        result_ =
            functions.open(&handle_, device, &format, &Notifications::callback, &notifications, 0);
    }
    ~OpenDevice() { close(); }
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;

    MMResult result() const { return result_; }
    WaveHandle handle() const { return handle_; }
    // Prepares and queues `buffer` (addBuffer or write).
    MMResult queue(Buffer& buffer) {
        if (MMResult result = functions_.prepareHeader(handle_, buffer.get()); result != 0)
            return result;
        if constexpr (requires { functions_.addBuffer; })
            return functions_.addBuffer(handle_, buffer.get());
        else
            return functions_.write(handle_, buffer.get());
    }
    WavePosition position() const {
        WavePosition position;
        functions_.getPosition(handle_, position);
        return position;
    }
    // Waits until the position reaches `samples` (frames); the position found then.
    std::int64_t waitForPosition(std::int64_t samples) const {
        const auto deadline = std::chrono::steady_clock::now() + Patience;
        std::int64_t reached = position().samples;
        while (reached < samples && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            reached = position().samples;
        }
        return reached;
    }
    // Resets and closes the device and waits for its Closed notification.
    void close() {
        if (handle_ == 0)
            return;
        functions_.reset(handle_);
        functions_.close(handle_);
        handle_ = 0;
        notifications_.waitFor(WaveMessage::Closed);
    }

private:
    const Functions& functions_;
    Notifications& notifications_;
    WaveHandle handle_ = 0;
    MMResult result_ = MMSYSERR_ERROR;
};

template <typename Functions> std::vector<std::string> deviceNames(const Functions& functions) {
    std::vector<std::string> names;
    const auto count = static_cast<TMMDeviceId>(functions.getNumDevs());
    for (TMMDeviceId device = 0; device < count; ++device) {
        WaveDeviceCaps caps;
        functions.getDevCaps(device, caps);
        names.push_back(caps.productName);
    }
    return names;
}

// 16-bit samples of a recorded or played buffer.
inline std::vector<std::int16_t> samples16(const TMMBufferHeader& buffer, std::uint32_t bytes) {
    std::vector<std::int16_t> samples(bytes / 2);
    std::memcpy(samples.data(), buffer.wh.lpData, samples.size() * 2);
    return samples;
}

} // namespace vantrel::test
