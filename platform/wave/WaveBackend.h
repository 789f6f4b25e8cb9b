// What the function tables need of a family of devices: its device lists, its default devices,
// format checks and the opening of streams. Devices are addressed by their index in the
// backend's list as it stood at the last refresh; -1 is the backend's default device.
#pragma once

#include "WaveDevices.h"

#include <memory>
#include <string>
#include <vector>

namespace vantrel {

class WaveStream;

enum class WaveDirection { Input, Output };

struct WaveDeviceInfo {
    std::string productName;
    std::uint16_t channels = 0; // channels of the device itself
};

class WaveBackend {
public:
    static constexpr int DefaultDevice = -1;

    virtual ~WaveBackend() = default;

    // Re-reads the device lists (a backend without a server tries to reach it again).
    virtual void refresh() = 0;
    // True when the backend has devices to offer.
    virtual bool available() const = 0;
    virtual std::vector<WaveDeviceInfo> devices(WaveDirection direction) const = 0;
    // The device the backend's default stands for.
    virtual WaveDeviceInfo defaultDevice(WaveDirection direction) const = 0;
    virtual std::uint32_t driverVersion() const = 0;

    // WAVE_FORMAT_QUERY: would `device` take `format`?
    virtual MMResult query(WaveDirection direction, int device, const TWaveFormatEx& format) = 0;
    // Opens a stream of the given direction (a WaveInputStream or WaveOutputStream).
    virtual MMResult open(WaveDirection direction, int device, const TWaveFormatEx& format,
                          std::shared_ptr<WaveStream>& stream) = 0;
};

} // namespace vantrel
