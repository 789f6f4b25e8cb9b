#include "WaveDevices.h"

namespace vantrel {

namespace {

struct ErrorText {
    MMResult code;
    const char* text;
};

constexpr ErrorText errorTexts[] = {
    {MMSYSERR_NOERROR, "The operation completed successfully."},
    {MMSYSERR_ERROR, "The sound device reported an unspecified error."},
    {MMSYSERR_BADDEVICEID, "The device number is out of range or the device no longer exists."},
    {MMSYSERR_ALLOCATED, "The device is already in use."},
    {MMSYSERR_INVALHANDLE, "The device handle is invalid or the device has been closed."},
    {MMSYSERR_NODRIVER, "The sound server is not available."},
    {MMSYSERR_NOMEM, "Not enough memory for the device."},
    {MMSYSERR_INVALFLAG, "An invalid flag was passed to the device."},
    {MMSYSERR_INVALPARAM, "An invalid parameter was passed to the device."},
    {WAVERR_BADFORMAT, "The device does not support this wave format."},
    {WAVERR_STILLPLAYING, "Buffers are still queued at the device."},
    {WAVERR_UNPREPARED, "The buffer has not been prepared."},
    {WAVERR_FORMATMISMATCH, "The other end of the virtual cable is open with a different wave "
                            "format; both ends must use the same format."},
};

} // namespace

std::string waveErrorText(MMResult code) {
    for (const ErrorText& entry : errorTexts)
        if (entry.code == code)
            return entry.text;
    return {};
}

} // namespace vantrel
