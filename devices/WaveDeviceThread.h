// What the wave input and output devices share: the worker thread that runs a device's done
// handler in thread callback mode, the bounded polls of their open, close and drain sequences,
// the callback-mode check and the device name look-up.
#pragma once

#include "MMDSPObj.h"
#include "MMObj.h"
#include "WaveDevices.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel {

// A returned buffer on its way to the done handler. `epoch` tells which run of the device it
// belongs to, so that notifications of an earlier open or of a reset are dropped.
struct WaveDoneMessage {
    PWaveHdr buffer = nullptr;
    std::uint64_t epoch = 0;
};

// The worker of a device in cmThread mode: the layer's callback posts each returned buffer and
// the thread hands them to the device in order. The queue is sized once for the device's
// buffers, so posting never allocates; every buffer is in it at most once.
class WaveDeviceThread : public TMMDSPThread {
public:
    using Handler = std::function<void(const WaveDoneMessage& message)>;
    // Runs on the worker when the handler threw; the thread ends after it.
    using FailureHandler = std::function<void(std::exception_ptr error)>;

    WaveDeviceThread(TMMDSPComponent* owner, std::size_t capacity, Handler handler,
                     FailureHandler onFailure);
    ~WaveDeviceThread() override;

    // Main thread: starts the thread with `priority` and waits up to 5000 ms for it to run.
    // False when it could not be created or did not signal in time.
    bool start(TThreadPriority priority);
    // Main thread: asks the thread to end and waits up to 5000 ms (running main-thread calls
    // meanwhile), then joins it.
    void stop();
    // Any thread. A full queue drops the message (it cannot fill: see above).
    void post(const WaveDoneMessage& message);
    bool failed() const { return failed_.load(std::memory_order_acquire); }

protected:
    void Execute() override;

private:
    bool next(WaveDoneMessage& message);

    const Handler handler_;
    const FailureHandler onFailure_;
    std::mutex mutex_;
    std::condition_variable posted_;
    std::vector<WaveDoneMessage> ring_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    bool quit_ = false;
    std::atomic<bool> failed_{false};
    TMMEvent startedEnded_;
};

// Whether the calling thread is the one that runs the device's done handlers in `mode` (the main
// thread in cmWindow mode, `worker` in cmThread mode): a stop asked for there must not wait for
// the handler it is called from.
bool onHandlerThread(TMMCBMode mode, const WaveDeviceThread* worker);

// Waits (running main-thread calls meanwhile) until `handlersRunning` returns false, at most
// 5000 ms; for a stop asked for while a handler runs on another thread.
void waitForHandlers(const std::function<bool()>& handlersRunning);

// Checks `done` up to `tries` times, waiting `stepMs` ms between checks (running main-thread
// calls meanwhile when `pump` is set and the caller is the main thread). True when it held.
bool pollUntil(const std::function<bool()>& done, int tries, std::uint32_t stepMs, bool pump);

// Waits until the layer no longer holds `buffer` (at most 65000 checks 2 ms apart); false when it
// still does.
bool waitForBufferBack(PWaveHdr buffer);

// The callback-function mode runs handlers at interrupt time, which only the oldest systems
// allowed: true when it may be chosen; otherwise the user is told in a box titled `caption`.
bool callbackModeAllowed(const std::string& caption);

// The name of device `device` of a function table: empty unless -1 <= device < device count and
// the capabilities can be read.
template <typename Functions>
std::string waveDeviceName(const Functions& functions, TMMDeviceId device) {
    const auto count = static_cast<TMMDeviceId>(functions.getNumDevs());
    if (device < MapperId || device >= count)
        return {};
    WaveDeviceCaps caps;
    if (functions.getDevCaps(device, caps) != MMSYSERR_NOERROR)
        return {};
    return caps.productName;
}

// The error text of a failed device call: `callName`, ":\n\r", the layer's text for `code`.
template <typename Functions>
std::string waveCallErrorText(const Functions& functions, const std::string& callName,
                              MMResult code) {
    return deviceErrorText(callName, functions.getErrorText(code));
}

} // namespace vantrel
