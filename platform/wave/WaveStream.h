// One open wave device as the backends see it: the queue of buffers the device user handed over,
// the device's state (started, paused) and position, and the way buffers go back (through the
// notifier, in queue order). The backends derive from WaveInputStream and WaveOutputStream and
// move audio with record() and play(); the function tables call the public operations.
//
// Locking: every stream has one lock around its queue and state, held only briefly. A backend's
// own lock (the PulseAudio main loop lock, the virtual backend's lock) is always taken before a
// stream's lock, never after it; the hooks a backend overrides run without the stream's lock.
#pragma once

#include "MMUtils.h"
#include "WaveBufferList.h"
#include "WaveDevices.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace vantrel {

class WaveNotifier;
class WaveStream;

// Where a stream's notifications go: the callback given at open and its user data.
struct WaveClient {
    WaveCallback callback = nullptr;
    void* user = nullptr;
};

// Notifications of one stream waiting for delivery; guarded by the notifier's lock.
struct WavePendingNotifications {
    bool opened = false;
    WaveBufferList done;
    std::shared_ptr<WaveStream> closing; // keeps a closed stream alive until Closed is delivered
    WaveStream* nextReady = nullptr;
    bool ready = false; // in the notifier's list of streams with something to deliver
};

// PCM formats every backend takes: 8 or 16 bits, 1 to 8 channels, 8000 to 100000 Hz, with
// consistent block align and byte rate.
bool isSupportedWaveFormat(const TWaveFormatEx& format);
// The byte that makes silence in `format` (0x80 for 8-bit, 0 for 16-bit samples).
unsigned char silenceByte(const TWaveFormatEx& format);

class WaveStream {
public:
    WaveStream(WaveNotifier& notifier, const TWaveFormatEx& format);
    virtual ~WaveStream();
    WaveStream(const WaveStream&) = delete;
    WaveStream& operator=(const WaveStream&) = delete;

    // Called once by the function table after a successful open, before any notification.
    void bind(WaveHandle handle, TMMDeviceId device, const WaveClient& client);
    WaveHandle handle() const { return handle_; }
    TMMDeviceId device() const { return device_; }
    const WaveClient& client() const { return client_; }
    const TWaveFormatEx& format() const { return format_; }

    MMResult prepare(PWaveHdr buffer);
    MMResult unprepare(PWaveHdr buffer);
    MMResult position(WavePosition& position);
    // Ends the stream (refused while buffers are queued); the backend no longer serves it after.
    MMResult close();

    // Backend side: the device went away (server gone, stream failed). Every queued buffer comes
    // back and further buffers are refused with MMSYSERR_NODRIVER.
    void deviceLost();

protected:
    // Checks a buffer handed over for queueing and marks it held; under the stream's lock.
    MMResult acceptBuffer(PWaveHdr buffer);
    // Hands buffers back through the notifier; under the stream's lock.
    void giveBack(PWaveHdr buffer);
    void giveBackAll();
    // Under the stream's lock: the state in which operations are refused.
    MMResult usable() const;
    bool closed() const { return closed_; }

    // Runs once when the stream closes, without the stream's lock: the backend stops serving it.
    virtual void deviceClosing() = 0;
    // The current position in frames; called without the stream's lock.
    virtual std::int64_t positionFrames() = 0;

    std::mutex mutex_;
    WaveBufferList queue_;
    std::size_t frameBytes_;

private:
    friend class WaveNotifier;

    WaveNotifier& notifier_;
    TWaveFormatEx format_;
    WaveHandle handle_ = 0;
    TMMDeviceId device_ = InvalidId;
    WaveClient client_;
    bool closed_ = false;
    bool lost_ = false;
    WavePendingNotifications pending_;
};

class WaveInputStream : public WaveStream {
public:
    using WaveStream::WaveStream;

    MMResult addBuffer(PWaveHdr buffer);
    MMResult start();
    MMResult stop();
    MMResult reset();

    // Backend side: stores `frames` frames of `data` (null: silence) in the queued buffers while
    // recording; a buffer filled up comes back. Returns the frames stored; audio that finds no
    // buffer, or arrives while stopped, is dropped.
    std::size_t record(const char* data, std::size_t frames);
    // Backend side: whether record() would store anything now.
    bool recording();

protected:
    // Hooks for the backend, run without the stream's lock.
    virtual MMResult deviceStarted() { return MMSYSERR_NOERROR; }
    virtual void deviceStopped() {}

    std::int64_t positionFrames() override;

private:
    bool started_ = false;
    std::int64_t framesRecorded_ = 0;
};

class WaveOutputStream : public WaveStream {
public:
    using WaveStream::WaveStream;

    MMResult write(PWaveHdr buffer);
    MMResult pause();
    MMResult restart();
    MMResult reset();

    // Backend side: copies up to `frames` frames of the queued audio to `destination` (null:
    // drops them) unless paused; a buffer played to its end comes back. Returns the frames taken.
    std::size_t play(char* destination, std::size_t frames);

protected:
    // Hooks for the backend, run without the stream's lock.
    virtual void bufferQueued() {}
    virtual MMResult devicePaused() { return MMSYSERR_NOERROR; }
    virtual MMResult deviceRestarted() { return MMSYSERR_NOERROR; }
    virtual void deviceReset() {}

    std::int64_t positionFrames() override;
    // Frames taken by play() since open or the last reset.
    std::int64_t framesConsumed();

private:
    // Pause and restart: the same check and switch, then the backend's hook.
    MMResult setPaused(bool paused);

    bool paused_ = false;
    std::uint32_t headOffset_ = 0; // bytes of the first queued buffer already played
    std::int64_t framesConsumed_ = 0;
};

} // namespace vantrel
