#include "WaveStream.h"

#include "WaveNotifier.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace vantrel {

namespace {

constexpr int MaxChannels = 8;
constexpr std::uint32_t MinRate = 8000;   // Hz
constexpr std::uint32_t MaxRate = 100000; // Hz

std::uint32_t loadFlags(TMMBufferHeader& buffer) {
    // Atomic because the delivery thread writes WHDR_DONE while device code may look.
    return std::atomic_ref<std::uint32_t>(buffer.wh.dwFlags).load(std::memory_order_acquire);
}

} // namespace

bool isSupportedWaveFormat(const TWaveFormatEx& format) {
    const int bits = format.wBitsPerSample;
    const int channels = format.nChannels;
    return format.wFormatTag == WAVE_FORMAT_PCM && (bits == 8 || bits == 16) && channels >= 1 &&
           channels <= MaxChannels && format.nSamplesPerSec >= MinRate &&
           format.nSamplesPerSec <= MaxRate && format.nBlockAlign == channels * bits / 8 &&
           format.nAvgBytesPerSec == format.nSamplesPerSec * format.nBlockAlign;
}

unsigned char silenceByte(const TWaveFormatEx& format) {
    return format.wBitsPerSample == 8 ? 0x80 : 0x00;
}

// ---------------------------------------------------------------------------------------------
// WaveStream

WaveStream::WaveStream(WaveNotifier& notifier, const TWaveFormatEx& format)
    : frameBytes_(format.nBlockAlign), notifier_(notifier), format_(format) {
    format_.cbSize = 0;
}

WaveStream::~WaveStream() {
    notifier_.forget(*this);
}

void WaveStream::bind(WaveHandle handle, TMMDeviceId device, const WaveClient& client) {
    handle_ = handle;
    device_ = device;
    client_ = client;
    notifier_.opened(*this);
}

MMResult WaveStream::usable() const {
    if (closed_)
        return MMSYSERR_INVALHANDLE;
    if (lost_)
        return MMSYSERR_NODRIVER;
    return MMSYSERR_NOERROR;
}

MMResult WaveStream::prepare(PWaveHdr buffer) {
    if (buffer == nullptr || buffer->wh.lpData == nullptr)
        return MMSYSERR_INVALPARAM;
    std::lock_guard lock(mutex_);
    if (closed_)
        return MMSYSERR_INVALHANDLE;
    if ((loadFlags(*buffer) & WHDR_INQUEUE) != 0)
        return WAVERR_STILLPLAYING;
    buffer->wh.dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMResult WaveStream::unprepare(PWaveHdr buffer) {
    if (buffer == nullptr)
        return MMSYSERR_INVALPARAM;
    std::lock_guard lock(mutex_);
    if (closed_)
        return MMSYSERR_INVALHANDLE;
    if ((loadFlags(*buffer) & WHDR_INQUEUE) != 0)
        return WAVERR_STILLPLAYING;
    buffer->wh.dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMResult WaveStream::position(WavePosition& position) {
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
    }
    position.samples = positionFrames();
    position.bytes = position.samples * static_cast<std::int64_t>(frameBytes_);
    return MMSYSERR_NOERROR;
}

MMResult WaveStream::close() {
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        if (!queue_.empty())
            return WAVERR_STILLPLAYING;
        closed_ = true;
    }
    deviceClosing();
    return MMSYSERR_NOERROR;
}

void WaveStream::deviceLost() {
    std::lock_guard lock(mutex_);
    lost_ = true;
    giveBackAll();
}

MMResult WaveStream::acceptBuffer(PWaveHdr buffer) {
    if (MMResult result = usable(); result != MMSYSERR_NOERROR)
        return result;
    const std::uint32_t flags = loadFlags(*buffer);
    if ((flags & WHDR_PREPARED) == 0)
        return WAVERR_UNPREPARED;
    if ((flags & WHDR_INQUEUE) != 0)
        return WAVERR_STILLPLAYING;
    buffer->wh.dwFlags = (flags & ~WHDR_DONE) | WHDR_INQUEUE;
    return MMSYSERR_NOERROR;
}

void WaveStream::giveBack(PWaveHdr buffer) {
    notifier_.bufferDone(*this, buffer);
}

void WaveStream::giveBackAll() {
    notifier_.buffersDone(*this, queue_);
}

// ---------------------------------------------------------------------------------------------
// WaveInputStream

MMResult WaveInputStream::addBuffer(PWaveHdr buffer) {
    if (buffer == nullptr || buffer->wh.lpData == nullptr ||
        buffer->wh.dwBufferLength < frameBytes_)
        return MMSYSERR_INVALPARAM;
    std::lock_guard lock(mutex_);
    if (MMResult result = acceptBuffer(buffer); result != MMSYSERR_NOERROR)
        return result;
    buffer->wh.dwBytesRecorded = 0;
    queue_.push(buffer);
    return MMSYSERR_NOERROR;
}

MMResult WaveInputStream::start() {
    {
        std::lock_guard lock(mutex_);
        if (MMResult result = usable(); result != MMSYSERR_NOERROR)
            return result;
        if (started_)
            return MMSYSERR_NOERROR;
        started_ = true;
    }
    const MMResult result = deviceStarted();
    if (result != MMSYSERR_NOERROR) {
        std::lock_guard lock(mutex_);
        started_ = false;
    }
    return result;
}

MMResult WaveInputStream::stop() {
    {
        std::lock_guard lock(mutex_);
        if (closed())
            return MMSYSERR_INVALHANDLE;
    }
    deviceStopped();
    std::lock_guard lock(mutex_);
    started_ = false;
    if (!queue_.empty() && queue_.front()->wh.dwBytesRecorded > 0)
        giveBack(queue_.pop());
    return MMSYSERR_NOERROR;
}

MMResult WaveInputStream::reset() {
    {
        std::lock_guard lock(mutex_);
        if (closed())
            return MMSYSERR_INVALHANDLE;
    }
    deviceStopped();
    std::lock_guard lock(mutex_);
    started_ = false;
    framesRecorded_ = 0;
    giveBackAll();
    return MMSYSERR_NOERROR;
}

std::size_t WaveInputStream::record(const char* data, std::size_t frames) {
    std::lock_guard lock(mutex_);
    if (!started_ || usable() != MMSYSERR_NOERROR)
        return 0;
    std::size_t stored = 0;
    while (stored < frames && !queue_.empty()) {
        TWaveHdr& buffer = queue_.front()->wh;
        const std::size_t room = (buffer.dwBufferLength - buffer.dwBytesRecorded) / frameBytes_;
        const std::size_t count = std::min(room, frames - stored);
        char* target = buffer.lpData + buffer.dwBytesRecorded;
        const std::size_t bytes = count * frameBytes_;
        if (data != nullptr)
            std::memcpy(target, data + stored * frameBytes_, bytes);
        else
            std::memset(target, silenceByte(format()), bytes);
        buffer.dwBytesRecorded += static_cast<std::uint32_t>(bytes);
        stored += count;
        if (buffer.dwBufferLength - buffer.dwBytesRecorded < frameBytes_)
            giveBack(queue_.pop());
    }
    framesRecorded_ += static_cast<std::int64_t>(stored);
    return stored;
}

bool WaveInputStream::recording() {
    std::lock_guard lock(mutex_);
    return started_ && usable() == MMSYSERR_NOERROR;
}

std::int64_t WaveInputStream::positionFrames() {
    std::lock_guard lock(mutex_);
    return framesRecorded_;
}

// ---------------------------------------------------------------------------------------------
// WaveOutputStream

MMResult WaveOutputStream::write(PWaveHdr buffer) {
    if (buffer == nullptr || buffer->wh.lpData == nullptr)
        return MMSYSERR_INVALPARAM;
    {
        std::lock_guard lock(mutex_);
        if (MMResult result = acceptBuffer(buffer); result != MMSYSERR_NOERROR)
            return result;
        queue_.push(buffer);
    }
    bufferQueued();
    return MMSYSERR_NOERROR;
}

MMResult WaveOutputStream::pause() {
    return setPaused(true);
}

MMResult WaveOutputStream::restart() {
    return setPaused(false);
}

MMResult WaveOutputStream::setPaused(bool paused) {
    {
        std::lock_guard lock(mutex_);
        if (MMResult result = usable(); result != MMSYSERR_NOERROR)
            return result;
        paused_ = paused;
    }
    return paused ? devicePaused() : deviceRestarted();
}

MMResult WaveOutputStream::reset() {
    {
        std::lock_guard lock(mutex_);
        if (closed())
            return MMSYSERR_INVALHANDLE;
        giveBackAll();
        headOffset_ = 0;
        framesConsumed_ = 0;
    }
    deviceReset();
    return MMSYSERR_NOERROR;
}

std::size_t WaveOutputStream::play(char* destination, std::size_t frames) {
    std::lock_guard lock(mutex_);
    if (paused_ || usable() != MMSYSERR_NOERROR)
        return 0;
    std::size_t taken = 0;
    while (taken < frames && !queue_.empty()) {
        const TWaveHdr& buffer = queue_.front()->wh;
        const std::size_t left = (buffer.dwBufferLength - headOffset_) / frameBytes_;
        const std::size_t count = std::min(left, frames - taken);
        const std::size_t bytes = count * frameBytes_;
        if (destination != nullptr)
            std::memcpy(destination + taken * frameBytes_, buffer.lpData + headOffset_, bytes);
        headOffset_ += static_cast<std::uint32_t>(bytes);
        taken += count;
        if (buffer.dwBufferLength - headOffset_ < frameBytes_) {
            headOffset_ = 0;
            giveBack(queue_.pop());
        }
    }
    framesConsumed_ += static_cast<std::int64_t>(taken);
    return taken;
}

std::int64_t WaveOutputStream::positionFrames() {
    return framesConsumed();
}

std::int64_t WaveOutputStream::framesConsumed() {
    std::lock_guard lock(mutex_);
    return framesConsumed_;
}

} // namespace vantrel
