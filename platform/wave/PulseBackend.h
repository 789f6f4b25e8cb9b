// The devices of a PulseAudio server (libpulse with its threaded main loop): every source,
// monitors of sinks included (which is how the system's playback is recorded), as an input
// device, every sink as an output device, the server's default source and sink as the default
// devices. The server converts formats and rates, so a format query checks the sample spec the
// format makes. Output positions come from the stream timing (what was written less what the
// server still holds); a written buffer comes back as soon as the server has taken its audio.
//
// The connection is made on the first refresh, with a short time-out and without starting a
// server; when none answers the backend offers no devices and tries again at the next refresh.
// A server that goes away fails the open streams: their buffers come back and further calls
// return MMSYSERR_NODRIVER.
#pragma once

#include "WaveBackend.h"

#include <atomic>
#include <chrono>
#include <pulse/pulseaudio.h>
#include <string>
#include <vector>

namespace vantrel {

class WaveNotifier;

// Holds the lock of a PulseAudio threaded main loop; never taken on the main loop's own thread.
class PulseLock {
public:
    explicit PulseLock(pa_threaded_mainloop* loop) : loop_(loop) {
        pa_threaded_mainloop_lock(loop_);
    }
    ~PulseLock() { pa_threaded_mainloop_unlock(loop_); }
    PulseLock(const PulseLock&) = delete;
    PulseLock& operator=(const PulseLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

class PulseBackend : public WaveBackend {
public:
    static constexpr std::chrono::milliseconds Timeout{2000}; // connecting, listing, opening

    explicit PulseBackend(WaveNotifier& notifier);
    ~PulseBackend() override;
    PulseBackend(const PulseBackend&) = delete;
    PulseBackend& operator=(const PulseBackend&) = delete;

    void refresh() override;
    bool available() const override { return connected_.load(); }
    std::vector<WaveDeviceInfo> devices(WaveDirection direction) const override;
    WaveDeviceInfo defaultDevice(WaveDirection direction) const override;
    std::uint32_t driverVersion() const override { return driverVersion_; }
    MMResult query(WaveDirection direction, int device, const TWaveFormatEx& format) override;
    MMResult open(WaveDirection direction, int device, const TWaveFormatEx& format,
                  std::shared_ptr<WaveStream>& stream) override;

    // For the streams. The main loop exists once the backend has been refreshed.
    pa_threaded_mainloop* mainLoop() const { return loop_; }
    pa_context* context() const { return context_; }
    // With the main loop locked: waits until `done()` holds or the time-out passes; true when
    // `done()` holds.
    template <typename Done> bool waitUntil(Done done, std::chrono::milliseconds timeout);
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }

    struct Device {
        std::string name; // the server's name, which streams connect to
        std::string description;
        std::uint16_t channels = 0;
    };
    struct DeviceLists {
        std::vector<Device> sinks;
        std::vector<Device> sources;
        std::string defaultSink;
        std::string defaultSource;
        std::string serverVersion;
        int pending = 0; // replies still to come
    };

private:
    bool connect();
    void dropContext();
    bool readDevices();
    const std::vector<Device>& list(WaveDirection direction) const;
    static void onContextState(pa_context* context, void* self);

    WaveNotifier& notifier_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::atomic<bool> connected_{false};
    DeviceLists lists_;
    std::uint32_t driverVersion_ = 0;
};

template <typename Done>
bool PulseBackend::waitUntil(Done done, std::chrono::milliseconds timeout) {
    struct Deadline {
        PulseBackend* backend;
        bool passed = false;
    } deadline{this};
    const pa_usec_t at = pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * 1000;
    pa_time_event* event = pa_context_rttime_new(
        context_, at,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
            auto* reached = static_cast<Deadline*>(data);
            reached->passed = true;
            reached->backend->signal();
        },
        &deadline);
    if (event == nullptr)
        return done();
    while (!done() && !deadline.passed)
        pa_threaded_mainloop_wait(loop_);
    pa_threaded_mainloop_get_api(loop_)->time_free(event);
    return done();
}

} // namespace vantrel
