// The function tables: device numbers laid out over the backends, handles of open streams, and
// the checks every call shares.
#include "WaveDevices.h"

#include "PulseBackend.h"
#include "VirtualBackend.h"
#include "WaveNotifier.h"
#include "WaveStream.h"

#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace vantrel {

namespace {

constexpr std::uint32_t KnownOpenFlags = WAVE_FORMAT_QUERY | WAVE_MAPPED;

struct DeviceSlot {
    WaveBackend* backend;
    int index; // in the backend's list; WaveBackend::DefaultDevice for the mapper
};

class WaveSystem {
public:
    static WaveSystem& instance() {
        static WaveSystem system;
        return system;
    }

    ~WaveSystem();
    WaveSystem(const WaveSystem&) = delete;
    WaveSystem& operator=(const WaveSystem&) = delete;

    std::uint32_t deviceCount(WaveDirection direction);
    MMResult caps(WaveDirection direction, TMMDeviceId device, WaveDeviceCaps& caps);
    MMResult open(WaveDirection direction, WaveHandle* handle, TMMDeviceId device,
                  const TWaveFormatEx* format, const WaveClient& client, std::uint32_t flags);
    MMResult close(WaveDirection direction, WaveHandle handle);
    // The open stream behind `handle` when it is of `direction`, else null.
    std::shared_ptr<WaveStream> find(WaveDirection direction, WaveHandle handle);
    bool serverAvailable();

private:
    struct OpenStream {
        WaveDirection direction;
        std::shared_ptr<WaveStream> stream;
    };

    WaveSystem() = default;
    void layOutLocked();
    std::vector<DeviceSlot>& slots(WaveDirection direction) {
        return direction == WaveDirection::Input ? inputs_ : outputs_;
    }
    // The backend and index `device` stands for, if any.
    bool resolveLocked(WaveDirection direction, TMMDeviceId device, DeviceSlot& slot);
    MMResult openLocked(WaveDirection direction, WaveHandle* handle, TMMDeviceId device,
                        const TWaveFormatEx& format, const WaveClient& client, bool query);

    // Destroyed last: streams and backends hand notifications to it until they are gone.
    WaveNotifier notifier_;
    PulseBackend pulse_{notifier_};
    VirtualBackend virtual_{notifier_};

    std::mutex layoutMutex_; // device lists; held while opening
    bool laidOut_ = false;
    std::vector<DeviceSlot> inputs_;
    std::vector<DeviceSlot> outputs_;

    std::mutex handleMutex_; // the open streams; held only for look-ups
    std::unordered_map<WaveHandle, OpenStream> streams_;
    WaveHandle nextHandle_ = 1;
};

WaveSystem::~WaveSystem() {
    // Streams still open at exit: no more notifications, and the backends let go of them.
    notifier_.shutdown();
    for (auto& [handle, open] : streams_) {
        open.stream->deviceLost();
        open.stream->close();
    }
    streams_.clear();
}

// PulseAudio's devices first, then the virtual ones, whose numbers thus stay the last.
void WaveSystem::layOutLocked() {
    pulse_.refresh();
    inputs_.clear();
    outputs_.clear();
    for (WaveBackend* backend :
         {static_cast<WaveBackend*>(&pulse_), static_cast<WaveBackend*>(&virtual_)}) {
        if (!backend->available())
            continue;
        for (WaveDirection direction : {WaveDirection::Input, WaveDirection::Output}) {
            const auto count = static_cast<int>(backend->devices(direction).size());
            for (int index = 0; index < count; ++index)
                slots(direction).push_back({backend, index});
        }
    }
    laidOut_ = true;
}

bool WaveSystem::resolveLocked(WaveDirection direction, TMMDeviceId device, DeviceSlot& slot) {
    if (!laidOut_)
        layOutLocked();
    if (device == MapperId) {
        slot = {pulse_.available() ? static_cast<WaveBackend*>(&pulse_) : &virtual_,
                WaveBackend::DefaultDevice};
        return true;
    }
    const std::vector<DeviceSlot>& list = slots(direction);
    if (device < 0 || static_cast<std::size_t>(device) >= list.size())
        return false;
    slot = list[static_cast<std::size_t>(device)];
    return true;
}

std::uint32_t WaveSystem::deviceCount(WaveDirection direction) {
    std::lock_guard lock(layoutMutex_);
    layOutLocked();
    return static_cast<std::uint32_t>(slots(direction).size());
}

MMResult WaveSystem::caps(WaveDirection direction, TMMDeviceId device, WaveDeviceCaps& caps) {
    std::lock_guard lock(layoutMutex_);
    DeviceSlot slot{};
    if (!resolveLocked(direction, device, slot))
        return MMSYSERR_BADDEVICEID;
    WaveDeviceInfo info;
    if (slot.index == WaveBackend::DefaultDevice) {
        info = slot.backend->defaultDevice(direction);
        info.productName = "Default Device (" + info.productName + ")";
    } else {
        info = slot.backend->devices(direction)[static_cast<std::size_t>(slot.index)];
    }
    caps.productName = std::move(info.productName);
    caps.channels = info.channels;
    caps.driverVersion = slot.backend->driverVersion();
    caps.formats = AllStandardWaveFormats;
    return MMSYSERR_NOERROR;
}

MMResult WaveSystem::open(WaveDirection direction, WaveHandle* handle, TMMDeviceId device,
                          const TWaveFormatEx* format, const WaveClient& client,
                          std::uint32_t flags) {
    if ((flags & ~KnownOpenFlags) != 0)
        return MMSYSERR_INVALFLAG;
    const bool query = (flags & WAVE_FORMAT_QUERY) != 0;
    if (format == nullptr || (!query && handle == nullptr))
        return MMSYSERR_INVALPARAM;
    try {
        std::lock_guard lock(layoutMutex_);
        return openLocked(direction, handle, device, *format, client, query);
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
}

MMResult WaveSystem::openLocked(WaveDirection direction, WaveHandle* handle, TMMDeviceId device,
                                const TWaveFormatEx& format, const WaveClient& client, bool query) {
    DeviceSlot slot{};
    if (!resolveLocked(direction, device, slot))
        return MMSYSERR_BADDEVICEID;
    if (query)
        return slot.backend->query(direction, slot.index, format);
    std::shared_ptr<WaveStream> stream;
    if (MMResult result = slot.backend->open(direction, slot.index, format, stream);
        result != MMSYSERR_NOERROR)
        return result;
    std::lock_guard lock(handleMutex_);
    const WaveHandle opened = nextHandle_++;
    streams_.emplace(opened, OpenStream{direction, stream});
    stream->bind(opened, device, client);
    *handle = opened;
    return MMSYSERR_NOERROR;
}

MMResult WaveSystem::close(WaveDirection direction, WaveHandle handle) {
    std::shared_ptr<WaveStream> stream = find(direction, handle);
    if (stream == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (MMResult result = stream->close(); result != MMSYSERR_NOERROR)
        return result;
    {
        std::lock_guard lock(handleMutex_);
        streams_.erase(handle);
    }
    notifier_.closed(std::move(stream));
    return MMSYSERR_NOERROR;
}

std::shared_ptr<WaveStream> WaveSystem::find(WaveDirection direction, WaveHandle handle) {
    std::lock_guard lock(handleMutex_);
    const auto found = streams_.find(handle);
    if (found == streams_.end() || found->second.direction != direction)
        return nullptr;
    return found->second.stream;
}

bool WaveSystem::serverAvailable() {
    std::lock_guard lock(layoutMutex_);
    if (!laidOut_)
        layOutLocked();
    return pulse_.available();
}

// ---------------------------------------------------------------------------------------------
// The tables

WaveSystem& wave() {
    return WaveSystem::instance();
}

// Runs `operation` on the open stream of type `Stream` behind `handle`.
template <typename Stream, typename Operation>
MMResult withStream(WaveHandle handle, Operation&& operation) {
    constexpr WaveDirection direction =
        std::is_base_of_v<WaveInputStream, Stream> ? WaveDirection::Input : WaveDirection::Output;
    const std::shared_ptr<WaveStream> stream = wave().find(direction, handle);
    if (stream == nullptr)
        return MMSYSERR_INVALHANDLE;
    return operation(static_cast<Stream&>(*stream));
}

template <typename Stream>
constexpr auto prepareHeader = [](WaveHandle handle, PWaveHdr buffer) {
    return withStream<Stream>(handle,
                              [buffer](WaveStream& stream) { return stream.prepare(buffer); });
};
template <typename Stream>
constexpr auto unprepareHeader = [](WaveHandle handle, PWaveHdr buffer) {
    return withStream<Stream>(handle,
                              [buffer](WaveStream& stream) { return stream.unprepare(buffer); });
};
template <typename Stream>
constexpr auto getPosition = [](WaveHandle handle, WavePosition& position) {
    return withStream<Stream>(
        handle, [&position](WaveStream& stream) { return stream.position(position); });
};
template <typename Stream>
constexpr auto getId = [](WaveHandle handle, TMMDeviceId& device) {
    return withStream<Stream>(handle, [&device](WaveStream& stream) {
        device = stream.device();
        return MMSYSERR_NOERROR;
    });
};
// A call without arguments, such as start or reset.
template <typename Stream, MMResult (Stream::*Call)()>
constexpr auto simpleCall = [](WaveHandle handle) {
    return withStream<Stream>(handle, [](Stream& stream) { return (stream.*Call)(); });
};
template <typename Stream, MMResult (Stream::*Call)(PWaveHdr)>
constexpr auto bufferCall = [](WaveHandle handle, PWaveHdr buffer) {
    return withStream<Stream>(handle, [buffer](Stream& stream) { return (stream.*Call)(buffer); });
};

template <WaveDirection Direction>
MMResult openDevice(WaveHandle* handle, TMMDeviceId device, const TWaveFormatEx* format,
                    WaveCallback callback, void* user, std::uint32_t flags) {
    return wave().open(Direction, handle, device, format, WaveClient{callback, user}, flags);
}

const WaveInFunctions inputFunctions = {
    [] { return wave().deviceCount(WaveDirection::Input); },
    [](TMMDeviceId device, WaveDeviceCaps& caps) {
        return wave().caps(WaveDirection::Input, device, caps);
    },
    waveErrorText,
    openDevice<WaveDirection::Input>,
    [](WaveHandle handle) { return wave().close(WaveDirection::Input, handle); },
    prepareHeader<WaveInputStream>,
    unprepareHeader<WaveInputStream>,
    bufferCall<WaveInputStream, &WaveInputStream::addBuffer>,
    simpleCall<WaveInputStream, &WaveInputStream::start>,
    simpleCall<WaveInputStream, &WaveInputStream::stop>,
    simpleCall<WaveInputStream, &WaveInputStream::reset>,
    getPosition<WaveInputStream>,
    getId<WaveInputStream>,
};

const WaveOutFunctions outputFunctions = {
    [] { return wave().deviceCount(WaveDirection::Output); },
    [](TMMDeviceId device, WaveDeviceCaps& caps) {
        return wave().caps(WaveDirection::Output, device, caps);
    },
    waveErrorText,
    openDevice<WaveDirection::Output>,
    [](WaveHandle handle) { return wave().close(WaveDirection::Output, handle); },
    prepareHeader<WaveOutputStream>,
    unprepareHeader<WaveOutputStream>,
    bufferCall<WaveOutputStream, &WaveOutputStream::write>,
    simpleCall<WaveOutputStream, &WaveOutputStream::pause>,
    simpleCall<WaveOutputStream, &WaveOutputStream::restart>,
    simpleCall<WaveOutputStream, &WaveOutputStream::reset>,
    getPosition<WaveOutputStream>,
    getId<WaveOutputStream>,
};

} // namespace

const WaveInFunctions& waveInFunctions() {
    return inputFunctions;
}

const WaveOutFunctions& waveOutFunctions() {
    return outputFunctions;
}

bool soundServerAvailable() {
    return wave().serverAvailable();
}

} // namespace vantrel
