#include "PulseBackend.h"

#include "WaveStream.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace vantrel {

namespace {

constexpr const char* ClientName = "Sonavel";
constexpr pa_usec_t PlaybackLatency = 100000; // microseconds the server holds ahead
constexpr pa_usec_t RecordFragment = 20000;   // microseconds per delivery from the server
constexpr std::uint16_t DefaultChannels = 2;

pa_sample_spec sampleSpec(const TWaveFormatEx& format) {
    pa_sample_spec spec{};
    spec.format = format.wBitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    spec.channels = static_cast<std::uint8_t>(format.nChannels);
    spec.rate = format.nSamplesPerSec;
    return spec;
}

// The result code for a stream or context that failed.
MMResult failureCode(pa_context* context) {
    switch (pa_context_errno(context)) {
    case PA_ERR_NOENTITY:
        return MMSYSERR_BADDEVICEID;
    case PA_ERR_INVALID:
    case PA_ERR_NOTSUPPORTED:
        return WAVERR_BADFORMAT;
    case PA_ERR_CONNECTIONREFUSED:
    case PA_ERR_CONNECTIONTERMINATED:
    case PA_ERR_KILLED:
        return MMSYSERR_NODRIVER;
    default:
        return MMSYSERR_ERROR;
    }
}

// "16.1" -> 0x1001.
std::uint32_t versionNumber(const std::string& text) {
    unsigned major = 0;
    unsigned minor = 0;
    const char* end = text.data() + text.size();
    auto parsed = std::from_chars(text.data(), end, major);
    if (parsed.ptr != end && *parsed.ptr == '.')
        std::from_chars(parsed.ptr + 1, end, minor);
    return (std::min(major, 255u) << 8) | std::min(minor, 255u);
}

// ---------------------------------------------------------------------------------------------
// Device list replies

void replyArrived(PulseBackend::DeviceLists& lists, PulseBackend& backend) {
    --lists.pending;
    backend.signal();
}

struct ListRequest {
    PulseBackend* backend;
    PulseBackend::DeviceLists* lists;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* data) {
    auto* request = static_cast<ListRequest*>(data);
    if (info != nullptr) {
        request->lists->defaultSink = info->default_sink_name ? info->default_sink_name : "";
        request->lists->defaultSource = info->default_source_name ? info->default_source_name : "";
        request->lists->serverVersion = info->server_version ? info->server_version : "";
    }
    replyArrived(*request->lists, *request->backend);
}

template <typename Info>
void addDevice(std::vector<PulseBackend::Device>& devices, const Info* info) {
    devices.push_back({info->name, info->description ? info->description : info->name,
                       info->sample_spec.channels});
}

void onSinkInfo(pa_context*, const pa_sink_info* info, int last, void* data) {
    auto* request = static_cast<ListRequest*>(data);
    if (last != 0)
        replyArrived(*request->lists, *request->backend);
    else
        addDevice(request->lists->sinks, info);
}

void onSourceInfo(pa_context*, const pa_source_info* info, int last, void* data) {
    auto* request = static_cast<ListRequest*>(data);
    if (last != 0)
        replyArrived(*request->lists, *request->backend);
    else
        addDevice(request->lists->sources, info);
}

// ---------------------------------------------------------------------------------------------
// One stream on the server: creation, connection, corking and release. Owned by a WaveStream,
// which it tells when the server fails the stream.

class PulseStreamLink {
public:
    PulseStreamLink(PulseBackend& backend, WaveStream& owner) : backend_(backend), owner_(owner) {}
    ~PulseStreamLink() { release(); }
    PulseStreamLink(const PulseStreamLink&) = delete;
    PulseStreamLink& operator=(const PulseStreamLink&) = delete;

    pa_stream* stream() const { return stream_; }

    // Connects to `device` (null: the server's default) and waits until the stream is ready.
    // `onData` is the write (output) or read (input) request callback, given `userData`.
    MMResult open(WaveDirection direction, const char* device, pa_stream_request_cb_t onData,
                  void* userData);
    MMResult cork(bool corked);
    void flush();
    void release();

private:
    static void onState(pa_stream* stream, void* self);

    PulseBackend& backend_;
    WaveStream& owner_;
    pa_stream* stream_ = nullptr;
    bool ready_ = false; // reached the ready state: a failure from here on loses the device
};

MMResult PulseStreamLink::open(WaveDirection direction, const char* device,
                               pa_stream_request_cb_t onData, void* userData) {
    const TWaveFormatEx& format = owner_.format();
    const pa_sample_spec spec = sampleSpec(format);
    pa_channel_map map;
    pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_WAVEEX);
    PulseLock lock(backend_.mainLoop());
    if (backend_.context() == nullptr ||
        pa_context_get_state(backend_.context()) != PA_CONTEXT_READY)
        return MMSYSERR_NODRIVER;
    const bool input = direction == WaveDirection::Input;
    stream_ = pa_stream_new(backend_.context(), input ? "Sonavel recording" : "Sonavel playback",
                            &spec, &map);
    if (stream_ == nullptr)
        return failureCode(backend_.context());
    pa_stream_set_state_callback(stream_, &PulseStreamLink::onState, this);
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
        (input ? PA_STREAM_START_CORKED : 0));
    int connected = 0;
    if (input) {
        pa_stream_set_read_callback(stream_, onData, userData);
        attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(RecordFragment, &spec));
        attributes.tlength = attributes.prebuf = static_cast<std::uint32_t>(-1);
        connected = pa_stream_connect_record(stream_, device, &attributes, flags);
    } else {
        pa_stream_set_write_callback(stream_, onData, userData);
        attributes.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(PlaybackLatency, &spec));
        // Start as soon as there is a frame: the devices queue their buffers while paused.
        attributes.prebuf = format.nBlockAlign;
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        connected =
            pa_stream_connect_playback(stream_, device, &attributes, flags, nullptr, nullptr);
    }
    const bool settled =
        connected == 0 && backend_.waitUntil(
                              [this] {
                                  const pa_stream_state_t state = pa_stream_get_state(stream_);
                                  return !PA_STREAM_IS_GOOD(state) || state == PA_STREAM_READY;
                              },
                              PulseBackend::Timeout);
    if (settled && pa_stream_get_state(stream_) == PA_STREAM_READY) {
        ready_ = true;
        return MMSYSERR_NOERROR;
    }
    const MMResult result = settled ? failureCode(backend_.context()) : MMSYSERR_ERROR;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
    return result;
}

MMResult PulseStreamLink::cork(bool corked) {
    PulseLock lock(backend_.mainLoop());
    if (stream_ == nullptr)
        return MMSYSERR_NODRIVER;
    pa_operation* operation = pa_stream_cork(stream_, corked ? 1 : 0, nullptr, nullptr);
    if (operation == nullptr)
        return MMSYSERR_NODRIVER;
    pa_operation_unref(operation);
    return MMSYSERR_NOERROR;
}

void PulseStreamLink::flush() {
    PulseLock lock(backend_.mainLoop());
    if (stream_ == nullptr)
        return;
    if (pa_operation* operation = pa_stream_flush(stream_, nullptr, nullptr))
        pa_operation_unref(operation);
}

void PulseStreamLink::release() {
    if (stream_ == nullptr)
        return;
    PulseLock lock(backend_.mainLoop());
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

void PulseStreamLink::onState(pa_stream* stream, void* self) {
    auto* link = static_cast<PulseStreamLink*>(self);
    if (link->ready_ && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
        link->owner_.deviceLost();
    link->backend_.signal();
}

// ---------------------------------------------------------------------------------------------
// Streams

class PulseInput final : public WaveInputStream {
public:
    PulseInput(PulseBackend& backend, WaveNotifier& notifier, const TWaveFormatEx& format)
        : WaveInputStream(notifier, format), link_(backend, *this) {}

    MMResult connect(const char* device) {
        return link_.open(WaveDirection::Input, device, &PulseInput::onRead, this);
    }

private:
    MMResult deviceStarted() override { return link_.cork(false); }
    void deviceStopped() override { link_.cork(true); }
    void deviceClosing() override { link_.release(); }

    // On the main loop's thread: moves what the server delivered into the queued buffers.
    static void onRead(pa_stream* stream, std::size_t, void* self) {
        auto* input = static_cast<PulseInput*>(self);
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
            // No data with a length is a hole in the recording: silence.
            input->record(static_cast<const char*>(data), bytes / input->frameBytes_);
            pa_stream_drop(stream);
        }
    }

    PulseStreamLink link_;
};

class PulseOutput final : public WaveOutputStream {
public:
    PulseOutput(PulseBackend& backend, WaveNotifier& notifier, const TWaveFormatEx& format)
        : WaveOutputStream(notifier, format), backend_(backend), link_(backend, *this) {}

    MMResult connect(const char* device) {
        return link_.open(WaveDirection::Output, device, &PulseOutput::onWrite, this);
    }

private:
    void bufferQueued() override { feedLocked(); }
    MMResult devicePaused() override { return link_.cork(true); }
    MMResult deviceRestarted() override {
        const MMResult result = link_.cork(false);
        feedLocked();
        return result;
    }
    void deviceReset() override {
        link_.flush();
        PulseLock lock(backend_.mainLoop());
        lastPosition_ = 0;
    }
    void deviceClosing() override { link_.release(); }
    std::int64_t positionFrames() override;
    std::optional<std::int64_t> heldFrames();

    void feedLocked() {
        PulseLock lock(backend_.mainLoop());
        feed();
    }
    // With the main loop locked: hands the server as much queued audio as it takes now.
    void feed();
    static void onWrite(pa_stream*, std::size_t, void* self) {
        static_cast<PulseOutput*>(self)->feed();
    }

    PulseBackend& backend_;
    PulseStreamLink link_;
    std::int64_t lastPosition_ = 0; // frames; guarded by the main loop lock
};

void PulseOutput::feed() {
    pa_stream* stream = link_.stream();
    if (stream == nullptr)
        return;
    std::size_t writable = pa_stream_writable_size(stream);
    while (writable != static_cast<std::size_t>(-1) && writable >= frameBytes_) {
        void* data = nullptr;
        std::size_t bytes = writable;
        if (pa_stream_begin_write(stream, &data, &bytes) < 0 || data == nullptr)
            return;
        const std::size_t frames = bytes / frameBytes_;
        const std::size_t taken = play(static_cast<char*>(data), frames);
        if (taken == 0) {
            pa_stream_cancel_write(stream);
            return;
        }
        if (pa_stream_write(stream, data, taken * frameBytes_, nullptr, 0, PA_SEEK_RELATIVE) < 0 ||
            taken < frames)
            return;
        writable -= taken * frameBytes_;
    }
}

// What was handed to the server less what the server still holds (its latency), never going
// back and never ahead of what was handed over. While nothing is being played (an underrun, or
// paused) only the audio still queued at the server counts, not the sink's own latency.
std::int64_t PulseOutput::positionFrames() {
    PulseLock lock(backend_.mainLoop());
    const std::int64_t consumed = framesConsumed();
    if (std::optional<std::int64_t> held = heldFrames())
        lastPosition_ = std::max(lastPosition_, consumed - *held);
    lastPosition_ = std::min(lastPosition_, consumed);
    return lastPosition_;
}

// With the main loop locked: frames written to the server and not yet heard, if known.
std::optional<std::int64_t> PulseOutput::heldFrames() {
    pa_stream* stream = link_.stream();
    if (stream == nullptr)
        return std::nullopt;
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    if (timing != nullptr && timing->playing == 0 && timing->read_index_corrupt == 0 &&
        timing->write_index_corrupt == 0)
        return std::max<std::int64_t>(timing->write_index - timing->read_index, 0) /
               static_cast<std::int64_t>(frameBytes_);
    pa_usec_t latency = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &latency, &negative) != 0)
        return std::nullopt;
    const auto frames = static_cast<std::int64_t>(latency * format().nSamplesPerSec / 1000000);
    return negative != 0 ? -frames : frames;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// PulseBackend

PulseBackend::PulseBackend(WaveNotifier& notifier) : notifier_(notifier) {}

PulseBackend::~PulseBackend() {
    if (loop_ == nullptr)
        return;
    {
        PulseLock lock(loop_);
        dropContext();
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

void PulseBackend::refresh() {
    if (loop_ == nullptr) {
        loop_ = pa_threaded_mainloop_new();
        if (loop_ == nullptr)
            return;
        pa_threaded_mainloop_set_name(loop_, "pulse-wave");
        if (pa_threaded_mainloop_start(loop_) < 0) {
            pa_threaded_mainloop_free(loop_);
            loop_ = nullptr;
            return;
        }
    }
    PulseLock lock(loop_);
    const bool ready =
        (context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY) || connect();
    connected_ = ready && readDevices();
    if (!connected_) {
        lists_ = {};
        driverVersion_ = 0;
    }
}

// With the main loop locked.
bool PulseBackend::connect() {
    dropContext();
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), ClientName);
    if (context_ == nullptr)
        return false;
    pa_context_set_state_callback(context_, &PulseBackend::onContextState, this);
    const bool connecting =
        pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0;
    const bool ready = connecting &&
                       waitUntil(
                           [this] {
                               const pa_context_state_t state = pa_context_get_state(context_);
                               return !PA_CONTEXT_IS_GOOD(state) || state == PA_CONTEXT_READY;
                           },
                           Timeout) &&
                       pa_context_get_state(context_) == PA_CONTEXT_READY;
    if (!ready)
        dropContext();
    return ready;
}

// With the main loop locked. Streams keep their own reference to the context they were made on.
void PulseBackend::dropContext() {
    connected_ = false;
    if (context_ == nullptr)
        return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

// With the main loop locked.
bool PulseBackend::readDevices() {
    DeviceLists lists;
    lists.pending = 3;
    ListRequest request{this, &lists};
    pa_operation* operations[] = {
        pa_context_get_server_info(context_, onServerInfo, &request),
        pa_context_get_sink_info_list(context_, onSinkInfo, &request),
        pa_context_get_source_info_list(context_, onSourceInfo, &request),
    };
    for (pa_operation* operation : operations)
        if (operation == nullptr)
            --lists.pending;
    const bool complete = waitUntil([&] { return lists.pending == 0; }, Timeout);
    for (pa_operation* operation : operations) {
        if (operation == nullptr)
            continue;
        if (!complete)
            pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
    const bool answered = complete && std::ranges::all_of(operations, [](pa_operation* operation) {
                              return operation != nullptr;
                          });
    if (!answered)
        return false;
    lists_ = std::move(lists);
    driverVersion_ = versionNumber(lists_.serverVersion);
    return true;
}

void PulseBackend::onContextState(pa_context* context, void* self) {
    auto* backend = static_cast<PulseBackend*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)))
        backend->connected_ = false;
    backend->signal();
}

const std::vector<PulseBackend::Device>& PulseBackend::list(WaveDirection direction) const {
    return direction == WaveDirection::Input ? lists_.sources : lists_.sinks;
}

std::vector<WaveDeviceInfo> PulseBackend::devices(WaveDirection direction) const {
    std::vector<WaveDeviceInfo> result;
    for (const Device& device : list(direction))
        result.push_back({device.description, device.channels});
    return result;
}

WaveDeviceInfo PulseBackend::defaultDevice(WaveDirection direction) const {
    const std::string& name =
        direction == WaveDirection::Input ? lists_.defaultSource : lists_.defaultSink;
    for (const Device& device : list(direction))
        if (device.name == name)
            return {device.description, device.channels};
    return {"Default", DefaultChannels};
}

MMResult PulseBackend::query(WaveDirection, int, const TWaveFormatEx& format) {
    if (!isSupportedWaveFormat(format))
        return WAVERR_BADFORMAT;
    const pa_sample_spec spec = sampleSpec(format);
    pa_channel_map map;
    if (!pa_sample_spec_valid(&spec) ||
        pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_WAVEEX) == nullptr ||
        !pa_channel_map_compatible(&map, &spec))
        return WAVERR_BADFORMAT;
    return available() ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
}

MMResult PulseBackend::open(WaveDirection direction, int device, const TWaveFormatEx& format,
                            std::shared_ptr<WaveStream>& stream) {
    if (MMResult result = query(direction, device, format); result != MMSYSERR_NOERROR)
        return result;
    const char* name = device == DefaultDevice
                           ? nullptr
                           : list(direction)[static_cast<std::size_t>(device)].name.c_str();
    MMResult result = MMSYSERR_NOERROR;
    if (direction == WaveDirection::Input) {
        auto input = std::make_shared<PulseInput>(*this, notifier_, format);
        result = input->connect(name);
        stream = std::move(input);
    } else {
        auto output = std::make_shared<PulseOutput>(*this, notifier_, format);
        result = output->connect(name);
        stream = std::move(output);
    }
    if (result != MMSYSERR_NOERROR)
        stream.reset();
    return result;
}

} // namespace vantrel
