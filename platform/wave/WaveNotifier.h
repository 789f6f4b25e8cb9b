// Delivers the Opened, Done and Closed notifications of every open wave stream from a thread of
// its own. Backends hand buffers over from their audio threads without waiting and without
// allocating; the callbacks then run here with no lock of the layer held, so a device may take
// its own locks in them while another of its threads calls into the layer.
#pragma once

#include "MMUtils.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace vantrel {

class WaveStream;
class WaveBufferList;

class WaveNotifier {
public:
    WaveNotifier();
    ~WaveNotifier();
    WaveNotifier(const WaveNotifier&) = delete;
    WaveNotifier& operator=(const WaveNotifier&) = delete;

    void opened(WaveStream& stream);
    // Queues buffers for their Done notification, in order.
    void bufferDone(WaveStream& stream, PWaveHdr buffer);
    void buffersDone(WaveStream& stream, WaveBufferList& buffers);
    // Queues the Closed notification behind the stream's pending ones; the notifier keeps the
    // stream alive until it is delivered.
    void closed(std::shared_ptr<WaveStream> stream);
    // Drops whatever is pending for a stream that is being destroyed.
    void forget(WaveStream& stream);
    // Ends the delivery thread; what is still pending is not delivered.
    void shutdown();

private:
    void markReady(WaveStream& stream); // under mutex_
    void run();
    void deliverAll(WaveStream& stream, std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable wake_;
    WaveStream* readyHead_ = nullptr;
    WaveStream* readyTail_ = nullptr;
    WaveStream* delivering_ = nullptr; // the stream whose callback may be running right now
    std::condition_variable deliveryEnded_;
    bool quit_ = false;
    std::thread thread_;
};

} // namespace vantrel
