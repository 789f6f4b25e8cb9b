// The platform's wave audio devices: one table of device functions per direction (input and
// output) with the operations and semantics of the system wave functions the wave input and
// output devices are written against.
//
// Device numbers run from 0 over every backend: first the devices of the PulseAudio server
// (when one answers; sources including the monitors of sinks for input, sinks for output, in the
// server's order), then the built-in virtual devices:
//   input:  "Virtual Cable" (what is played into the cable's output), "Test Signal"
//   output: "Virtual Cable" (feeds the cable's input), "Null Output" (plays into nothing)
// MapperId (-1) is the default device: the server's default sink or source, or, without a
// server, the virtual cable for input and the null output for output (so that a program
// recording its default input and playing to its default output never feeds itself).
//
// Buffers: a buffer handed over with addBuffer (input) or write (output) belongs to the layer,
// which marks it WHDR_INQUEUE, until its Done notification; buffers come back in the order they
// were queued. Right before the Done notification the layer clears WHDR_INQUEUE and sets
// WHDR_DONE (with an atomic store, so other threads may poll dwFlags through std::atomic_ref),
// and never touches the buffer again. Reset hands back every queued buffer.
//
// Notifications (Opened, Done, Closed) reach the callback given at open on a thread of the
// layer, never on the caller's thread and never while the layer holds a lock, so the callback
// may take the caller's own locks; they are delivered in order: Opened, the Done notifications,
// then Closed. They may arrive before the call that caused them has returned. After Closed the
// layer calls nothing more for that device; the callback itself should signal last (or under
// its own lock), since its user data may be freed as soon as the signal is seen.
#pragma once

#include "MMUtils.h"

#include <cstdint>
#include <string>

namespace vantrel {

// ---------------------------------------------------------------------------------------------
// Result codes; texts from getErrorText.

using MMResult = std::uint32_t;

inline constexpr MMResult MMSYSERR_NOERROR = 0;
inline constexpr MMResult MMSYSERR_ERROR = 1;
inline constexpr MMResult MMSYSERR_BADDEVICEID = 2;
inline constexpr MMResult MMSYSERR_ALLOCATED = 4;
inline constexpr MMResult MMSYSERR_INVALHANDLE = 5;
inline constexpr MMResult MMSYSERR_NODRIVER = 6;
inline constexpr MMResult MMSYSERR_NOMEM = 7;
inline constexpr MMResult MMSYSERR_INVALFLAG = 10;
inline constexpr MMResult MMSYSERR_INVALPARAM = 11;
inline constexpr MMResult WAVERR_BADFORMAT = 32;
inline constexpr MMResult WAVERR_STILLPLAYING = 33;
inline constexpr MMResult WAVERR_UNPREPARED = 34;
// The other end of the virtual cable is open with another format (the cable converts nothing).
inline constexpr MMResult WAVERR_FORMATMISMATCH = 36;

// The text for `code`, empty for a code the layer does not know (callers then use message 86).
std::string waveErrorText(MMResult code);

// ---------------------------------------------------------------------------------------------
// Records and flags

// Open flags.
inline constexpr std::uint32_t WAVE_FORMAT_QUERY = 0x0001; // only check the format, open nothing
inline constexpr std::uint32_t WAVE_MAPPED = 0x0004;       // accepted; every device here takes the
                                                     // program's formats, so it changes nothing

// Buffer flag: the buffer is held by the layer (queued, or returned and not yet notified).
inline constexpr std::uint32_t WHDR_INQUEUE = 0x00000010;

// Standard-format bits of the capabilities: rate class (11.025, 22.05, 44.1, 48, 96 kHz),
// mono/stereo, 8/16 bits.
inline constexpr std::uint32_t WAVE_FORMAT_1M08 = 0x00000001;
inline constexpr std::uint32_t WAVE_FORMAT_1S08 = 0x00000002;
inline constexpr std::uint32_t WAVE_FORMAT_1M16 = 0x00000004;
inline constexpr std::uint32_t WAVE_FORMAT_1S16 = 0x00000008;
inline constexpr std::uint32_t WAVE_FORMAT_2M08 = 0x00000010;
inline constexpr std::uint32_t WAVE_FORMAT_2S08 = 0x00000020;
inline constexpr std::uint32_t WAVE_FORMAT_2M16 = 0x00000040;
inline constexpr std::uint32_t WAVE_FORMAT_2S16 = 0x00000080;
inline constexpr std::uint32_t WAVE_FORMAT_4M08 = 0x00000100;
inline constexpr std::uint32_t WAVE_FORMAT_4S08 = 0x00000200;
inline constexpr std::uint32_t WAVE_FORMAT_4M16 = 0x00000400;
inline constexpr std::uint32_t WAVE_FORMAT_4S16 = 0x00000800;
inline constexpr std::uint32_t WAVE_FORMAT_48M08 = 0x00001000;
inline constexpr std::uint32_t WAVE_FORMAT_48S08 = 0x00002000;
inline constexpr std::uint32_t WAVE_FORMAT_48M16 = 0x00004000;
inline constexpr std::uint32_t WAVE_FORMAT_48S16 = 0x00008000;
inline constexpr std::uint32_t WAVE_FORMAT_96M08 = 0x00010000;
inline constexpr std::uint32_t WAVE_FORMAT_96S08 = 0x00020000;
inline constexpr std::uint32_t WAVE_FORMAT_96M16 = 0x00040000;
inline constexpr std::uint32_t WAVE_FORMAT_96S16 = 0x00080000;
inline constexpr std::uint32_t AllStandardWaveFormats = 0x000FFFFF;

struct WaveDeviceCaps {
    std::string productName;
    std::uint32_t driverVersion = 0; // major in the high byte, minor in the low byte
    std::uint32_t formats = 0;       // WAVE_FORMAT_* bits of the standard formats it takes
    std::uint16_t channels = 0;      // channels of the device itself
};

// Position since open or the last reset: what was played (output) or recorded into buffers
// (input). Both counts describe the same point; bytes = samples * nBlockAlign.
struct WavePosition {
    std::int64_t samples = 0; // sample frames
    std::int64_t bytes = 0;
};

// An open device; 0 is no device. Handles are never reused within a process.
using WaveHandle = std::uint32_t;

enum class WaveMessage { Opened, Closed, Done };

// `buffer` is the returned buffer for Done, null otherwise; `user` is what open was given. The
// callback must not throw: it runs on the layer's delivery thread, where nobody could catch it.
using WaveCallback = void (*)(WaveHandle handle, WaveMessage message, void* user,
                              PWaveHdr buffer) noexcept;

// ---------------------------------------------------------------------------------------------
// Function tables

// Functions of the input devices (pausing an input is stopping it; restarting is starting it).
// Every function but getNumDevs, getDevCaps and getErrorText
// returns MMSYSERR_INVALHANDLE for a handle that is not an open input device.
struct WaveInFunctions {
    // Counts the input devices; re-reads the server's device list, which renumbers devices.
    std::uint32_t (*getNumDevs)();
    // Capabilities of device `device` (MapperId: the default device).
    MMResult (*getDevCaps)(TMMDeviceId device, WaveDeviceCaps& caps);
    std::string (*getErrorText)(MMResult code);
    // Opens `device` for recording in `format` (PCM, 8 or 16 bits, 1 to 8 channels, 8000 to
    // 100000 Hz). With WAVE_FORMAT_QUERY only checks the format (`handle` may be null). The
    // device is stopped after open. `callback` may be null; `user` is passed back to it.
    MMResult (*open)(WaveHandle* handle, TMMDeviceId device, const TWaveFormatEx* format,
                     WaveCallback callback, void* user, std::uint32_t flags);
    // Closes the device; WAVERR_STILLPLAYING while buffers are queued (reset first).
    MMResult (*close)(WaveHandle handle);
    MMResult (*prepareHeader)(WaveHandle handle, PWaveHdr buffer);
    // WAVERR_STILLPLAYING while the buffer is held by the layer.
    MMResult (*unprepareHeader)(WaveHandle handle, PWaveHdr buffer);
    // Queues an empty buffer (prepared, at least one frame long) to be filled with whole frames;
    // dwBytesRecorded tells how much was recorded when it comes back.
    MMResult (*addBuffer)(WaveHandle handle, PWaveHdr buffer);
    // Starts recording into the queued buffers; audio that finds no buffer is lost.
    MMResult (*start)(WaveHandle handle);
    // Stops recording; the buffer being filled comes back when it holds data, the empty ones
    // stay queued.
    MMResult (*stop)(WaveHandle handle);
    // Stops recording, hands back every queued buffer and sets the position to 0.
    MMResult (*reset)(WaveHandle handle);
    MMResult (*getPosition)(WaveHandle handle, WavePosition& position);
    // The device number the handle was opened with.
    MMResult (*getId)(WaveHandle handle, TMMDeviceId& device);
};

// Functions of the output devices; handles as for input.
struct WaveOutFunctions {
    std::uint32_t (*getNumDevs)();
    MMResult (*getDevCaps)(TMMDeviceId device, WaveDeviceCaps& caps);
    std::string (*getErrorText)(MMResult code);
    // Opens `device` for playing `format`; see WaveInFunctions::open. The device plays what is
    // written at once (it is not paused after open).
    MMResult (*open)(WaveHandle* handle, TMMDeviceId device, const TWaveFormatEx* format,
                     WaveCallback callback, void* user, std::uint32_t flags);
    MMResult (*close)(WaveHandle handle);
    MMResult (*prepareHeader)(WaveHandle handle, PWaveHdr buffer);
    MMResult (*unprepareHeader)(WaveHandle handle, PWaveHdr buffer);
    // Queues a prepared buffer to play its first dwBufferLength bytes (whole frames; a trailing
    // part frame is skipped).
    MMResult (*write)(WaveHandle handle, PWaveHdr buffer);
    // Holds playback (written buffers stay queued, the position stands still) / goes on.
    MMResult (*pause)(WaveHandle handle);
    MMResult (*restart)(WaveHandle handle);
    // Drops what is playing, hands back every queued buffer and sets the position to 0; a paused
    // device stays paused.
    MMResult (*reset)(WaveHandle handle);
    MMResult (*getPosition)(WaveHandle handle, WavePosition& position);
    MMResult (*getId)(WaveHandle handle, TMMDeviceId& device);
};

// The platform's tables (the PulseAudio and virtual backends behind them).
const WaveInFunctions& waveInFunctions();
const WaveOutFunctions& waveOutFunctions();

// ---------------------------------------------------------------------------------------------
// Backend state and settings

// True when a PulseAudio server answered at the last device count (or first use). Without one
// the virtual devices remain; the server is tried again at a later device count.
bool soundServerAvailable();

// Runs the clock of the virtual devices `factor` times faster than real time (tests only; the
// default is 1). The environment variable VANTREL_VIRTUAL_CLOCK_SPEED sets the factor at start.
// Factors outside 0.01 to 100 are ignored.
void setVirtualClockSpeed(double factor);

} // namespace vantrel
