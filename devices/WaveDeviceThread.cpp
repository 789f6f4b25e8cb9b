#include "WaveDeviceThread.h"

#include "Application.h"
#include "MainThread.h"

#include <atomic>
#include <system_error>
#include <thread>

namespace vantrel {

namespace {

constexpr std::uint32_t threadStartStopTimeoutMs = 5000;
constexpr int bufferBackChecks = 65000;
constexpr std::uint32_t bufferBackStepMs = 2;

} // namespace

WaveDeviceThread::WaveDeviceThread(TMMDSPComponent* owner, std::size_t capacity, Handler handler,
                                   FailureHandler onFailure)
    : TMMDSPThread(owner), handler_(std::move(handler)), onFailure_(std::move(onFailure)),
      ring_(std::max<std::size_t>(capacity, 1)) {}

WaveDeviceThread::~WaveDeviceThread() {
    stop();
}

bool WaveDeviceThread::start(TThreadPriority priority) {
    SetPriority(priority);
    try {
        Resume();
    } catch (const std::system_error&) {
        return false;
    }
    return WaitForWorker(startedEnded_, threadStartStopTimeoutMs);
}

void WaveDeviceThread::stop() {
    {
        std::lock_guard lock(mutex_);
        if (quit_)
            return;
        quit_ = true;
    }
    posted_.notify_all();
    if (!Suspended() && !failed())
        WaitForWorker(startedEnded_, threadStartStopTimeoutMs);
    Terminate();
    if (!Suspended())
        WaitFor();
}

void WaveDeviceThread::post(const WaveDoneMessage& message) {
    {
        std::lock_guard lock(mutex_);
        if (quit_ || count_ == ring_.size())
            return;
        ring_[(head_ + count_) % ring_.size()] = message;
        ++count_;
    }
    posted_.notify_one();
}

bool WaveDeviceThread::next(WaveDoneMessage& message) {
    std::unique_lock lock(mutex_);
    posted_.wait(lock, [this] { return quit_ || count_ > 0; });
    if (quit_)
        return false;
    message = ring_[head_];
    head_ = (head_ + 1) % ring_.size();
    --count_;
    return true;
}

void WaveDeviceThread::Execute() {
    startedEnded_.Set();
    WaveDoneMessage message;
    while (next(message)) {
        try {
            handler_(message);
        } catch (...) {
            failed_.store(true, std::memory_order_release);
            onFailure_(std::current_exception());
            return;
        }
    }
    startedEnded_.Set();
}

// ---------------------------------------------------------------------------------------------

bool pollUntil(const std::function<bool()>& done, int tries, std::uint32_t stepMs, bool pump) {
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (done())
            return true;
        WaitMs(stepMs, pump);
    }
    return done();
}

bool onHandlerThread(TMMCBMode mode, const WaveDeviceThread* worker) {
    if (mode != cmThread) {
        MainThreadSeam* seam = mainThread();
        return seam == nullptr || seam->isMainThread();
    }
    return worker != nullptr && worker->ThreadID() == std::this_thread::get_id();
}

void waitForHandlers(const std::function<bool()>& handlersRunning) {
    pollUntil([&] { return !handlersRunning(); }, 2500, 2, true);
}

bool waitForBufferBack(PWaveHdr buffer) {
    return pollUntil(
        [buffer] {
            return (std::atomic_ref<std::uint32_t>(buffer->wh.dwFlags)
                        .load(std::memory_order_acquire) &
                    WHDR_INQUEUE) == 0;
        },
        bufferBackChecks, bufferBackStepMs, false);
}

bool callbackModeAllowed(const std::string& caption) {
    if (OSFlags.Win95)
        return true;
    ApplicationMessageBox("\"CallBacks\" are called at interrupt time !\n\rThis is currently only "
                          "supported under Windows 95",
                          caption);
    return false;
}

} // namespace vantrel
