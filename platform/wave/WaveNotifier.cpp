#include "WaveNotifier.h"

#include "WaveStream.h"

#include <atomic>

namespace vantrel {

namespace {

// The buffer goes back to its owner: from here on the layer never touches it again. The flags
// are written atomically because device code polls WHDR_DONE from other threads.
void markDone(PWaveHdr buffer) {
    std::atomic_ref<std::uint32_t> flags(buffer->wh.dwFlags);
    flags.store((flags.load(std::memory_order_relaxed) & ~WHDR_INQUEUE) | WHDR_DONE,
                std::memory_order_release);
}

void call(const WaveStream& stream, WaveMessage message, PWaveHdr buffer) {
    const WaveClient& client = stream.client();
    if (client.callback != nullptr)
        client.callback(stream.handle(), message, client.user, buffer);
}

} // namespace

WaveNotifier::WaveNotifier() : thread_([this] { run(); }) {}

WaveNotifier::~WaveNotifier() {
    shutdown();
}

void WaveNotifier::opened(WaveStream& stream) {
    std::lock_guard lock(mutex_);
    stream.pending_.opened = true;
    markReady(stream);
}

void WaveNotifier::bufferDone(WaveStream& stream, PWaveHdr buffer) {
    std::lock_guard lock(mutex_);
    stream.pending_.done.push(buffer);
    markReady(stream);
}

void WaveNotifier::buffersDone(WaveStream& stream, WaveBufferList& buffers) {
    if (buffers.empty())
        return;
    std::lock_guard lock(mutex_);
    stream.pending_.done.splice(buffers);
    markReady(stream);
}

void WaveNotifier::closed(std::shared_ptr<WaveStream> stream) {
    std::lock_guard lock(mutex_);
    WaveStream& target = *stream;
    target.pending_.closing = std::move(stream);
    markReady(target);
}

void WaveNotifier::forget(WaveStream& stream) {
    std::unique_lock lock(mutex_);
    deliveryEnded_.wait(lock, [&] { return delivering_ != &stream; });
    WaveStream** link = &readyHead_;
    WaveStream* previous = nullptr;
    while (*link != nullptr && *link != &stream) {
        previous = *link;
        link = &previous->pending_.nextReady;
    }
    if (*link == &stream) {
        *link = stream.pending_.nextReady;
        if (readyTail_ == &stream)
            readyTail_ = previous;
    }
    stream.pending_ = {};
}

void WaveNotifier::shutdown() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    // Closed streams wait here for their last notification; without delivery they are released.
    std::unique_lock lock(mutex_);
    while (readyHead_ != nullptr) {
        WaveStream* stream = readyHead_;
        readyHead_ = stream->pending_.nextReady;
        stream->pending_.nextReady = nullptr;
        stream->pending_.ready = false;
        std::shared_ptr<WaveStream> closing = std::move(stream->pending_.closing);
        lock.unlock();
        closing.reset();
        lock.lock();
    }
    readyTail_ = nullptr;
}

void WaveNotifier::markReady(WaveStream& stream) {
    if (stream.pending_.ready)
        return;
    stream.pending_.ready = true;
    stream.pending_.nextReady = nullptr;
    if (readyTail_ == nullptr)
        readyHead_ = &stream;
    else
        readyTail_->pending_.nextReady = &stream;
    readyTail_ = &stream;
    wake_.notify_one();
}

void WaveNotifier::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || readyHead_ != nullptr; });
        if (quit_)
            return;
        WaveStream* stream = readyHead_;
        readyHead_ = stream->pending_.nextReady;
        if (readyHead_ == nullptr)
            readyTail_ = nullptr;
        stream->pending_.nextReady = nullptr;
        delivering_ = stream;
        deliverAll(*stream, lock);
        delivering_ = nullptr;
        deliveryEnded_.notify_all();
    }
}

// Delivers everything pending for `stream` in order; `lock` is released around each callback.
// The stream stays marked ready meanwhile, so notifications queued during a callback are
// delivered by this loop and not listed a second time.
void WaveNotifier::deliverAll(WaveStream& stream, std::unique_lock<std::mutex>& lock) {
    WavePendingNotifications& pending = stream.pending_;
    for (;;) {
        if (pending.opened) {
            pending.opened = false;
            lock.unlock();
            call(stream, WaveMessage::Opened, nullptr);
            lock.lock();
        } else if (PWaveHdr buffer = pending.done.pop()) {
            lock.unlock();
            markDone(buffer);
            call(stream, WaveMessage::Done, buffer);
            lock.lock();
        } else if (pending.closing) {
            std::shared_ptr<WaveStream> closing = std::move(pending.closing);
            pending.ready = false;
            delivering_ = nullptr;
            lock.unlock();
            call(stream, WaveMessage::Closed, nullptr);
            closing.reset(); // may destroy the stream, which calls forget()
            lock.lock();
            return;
        } else {
            pending.ready = false;
            return;
        }
    }
}

} // namespace vantrel
