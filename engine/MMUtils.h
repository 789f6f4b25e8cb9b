// Audio format and buffer records, the enumerations the stream components publish, and the
// numeric, memory, clock and text helpers every unit of the engine shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace vantrel {

// ---------------------------------------------------------------------------------------------
// Format record

inline constexpr std::uint16_t WAVE_FORMAT_PCM = 1;

// The system's WAVEFORMATEX: field order and widths as the device and file layers expect them,
// packed because WAVE files store it byte for byte.
#pragma pack(push, 1)
struct TWaveFormatEx {
    std::uint16_t wFormatTag;
    std::uint16_t nChannels;
    std::uint32_t nSamplesPerSec; // frames per second
    std::uint32_t nAvgBytesPerSec;
    std::uint16_t nBlockAlign; // bytes per frame
    std::uint16_t wBitsPerSample;
    std::uint16_t cbSize; // extra bytes that follow the record
};
#pragma pack(pop)
static_assert(sizeof(TWaveFormatEx) == 18);

using PWaveFormatEx = TWaveFormatEx*;

// Frees a format block obtained from CopyWaveFormat or allocateWaveFormat.
struct WaveFormatDeleter {
    void operator()(TWaveFormatEx* format) const noexcept;
};
// A format record in a block of its own; the block may be longer than 18 bytes (cbSize extra).
using TMMWaveFormatPtr = std::unique_ptr<TWaveFormatEx, WaveFormatDeleter>;

bool IsValidPCMFormat(const TWaveFormatEx* format);
void BuildPCMFormat(TWaveFormatEx& format, int bits, int channels, std::uint32_t rate);
// Bytes a record occupies: 0 for none, 18 for PCM, 18 + cbSize otherwise.
int FormatRecordSize(const TWaveFormatEx* format);
// A zero-filled block of `bytes` bytes for a format record (at least the 18 of the record).
TMMWaveFormatPtr allocateWaveFormat(std::size_t bytes);
// A copy in a new block, or none when `format` is absent; cbSize is 0 in PCM copies.
TMMWaveFormatPtr CopyWaveFormat(const TWaveFormatEx* format);

// ---------------------------------------------------------------------------------------------
// Buffer record

inline constexpr std::uint32_t WHDR_DONE = 0x00000001;
inline constexpr std::uint32_t WHDR_PREPARED = 0x00000002;

// The system's WAVEHDR; the pointer-sized fields keep this platform's pointer size.
struct TWaveHdr {
    char* lpData;
    std::uint32_t dwBufferLength;  // capacity of the data area, bytes
    std::uint32_t dwBytesRecorded; // valid bytes; 0 means no data
    std::uintptr_t dwUser;         // free for the buffer's owner
    std::uint32_t dwFlags;
    std::uint32_t dwLoops;
    TWaveHdr* lpNext;
    std::uintptr_t reserved;
};

inline constexpr std::int32_t MMTrue = -1; // the 32-bit boolean "true" of the loop fields

// A WAVEHDR followed by the fields the stream components add. Aligned so that the data area
// that follows it in the same block is aligned for vector loads.
struct alignas(16) TMMBufferHeader {
    TWaveHdr wh;
    std::uint32_t SavedBytes;    // dwBytesRecorded kept across the device write call
    TMMBufferHeader* NextHeader; // the buffer that plays after this one
    std::int32_t LoopEnabled;    // 0 or MMTrue: the source wraps at its end
    std::int32_t LoopCount;      // loops asked for; 0 = endless
    std::int32_t LoopsLeft;      // loops still to go
    std::int32_t LoopRestarted;  // 0 or MMTrue: the source wrapped while filling this buffer
};
static_assert(sizeof(TMMBufferHeader) % 16 == 0);

using PWaveHdr = TMMBufferHeader*;

// One zero-filled block holding a buffer record and, right behind it, `dataBytes` bytes of data;
// lpData points at the data and dwBufferLength is `dataBytes`. Free it with freeBuffer.
PWaveHdr allocateBuffer(std::uint32_t dataBytes);
void freeBuffer(PWaveHdr& buffer) noexcept;
// Total size of the block allocateBuffer makes for `dataBytes` bytes of data.
std::size_t bufferBlockSize(std::uint32_t dataBytes);
// Lays a buffer record out at the start of `block` (bufferBlockSize(dataBytes) bytes at least,
// aligned for TMMBufferHeader, owned by the caller): a cleared record whose data area of
// `dataBytes` bytes follows it. For blocks that come from a pool.
PWaveHdr placeBuffer(void* block, std::uint32_t dataBytes);

// ---------------------------------------------------------------------------------------------
// Enumerations (their order is the order of their values, from 0)

enum TMMTimeFormats { tfMillisecond, tfByte, tfSample };
enum TMMBits { b8Bit, b16Bit };
enum TMMMode { mMono, mStereo, mMultiChannel };
enum TMMChannel { chBoth, chLeft, chRight };
enum TMMDecayMode { dmNone, dmStepUp, dmExponential, dmUniform };
enum TMMCBMode { cmWindow, cmCallback, cmThread };
enum TMMFFTWindow {
    fwRectangular,
    fwHamming,
    fwHanning,
    fwBlackman,
    fwGaussian,
    fwWelch,
    fwParzen
};

inline constexpr int bitsOf(TMMBits bits) {
    return (static_cast<int>(bits) + 1) * 8;
}

// Device numbers: 0 and up address installed devices.
using TMMDeviceId = std::int32_t;
inline constexpr TMMDeviceId MapperId = -1;  // the default device
inline constexpr TMMDeviceId InvalidId = -2; // no usable device

// The words stored settings use for the two named device numbers; other numbers are digits.
std::string deviceIdToString(TMMDeviceId id);
// Accepts "MapperId", "InvalidId" or a decimal number; anything else is InvalidId.
TMMDeviceId stringToDeviceId(const std::string& text);

// ---------------------------------------------------------------------------------------------
// Arithmetic

// x * m / d with the product in 64 bits, halves rounded away from zero.
std::int32_t MulDivRound(std::int32_t x, std::int32_t m, std::int32_t d);
// (x * m + d / 2) / d with the product in 64 bits.
std::uint32_t mulDivRoundUnsigned(std::uint32_t x, std::uint32_t m, std::uint32_t d);

// ---------------------------------------------------------------------------------------------
// Conversions between bytes, sample frames and milliseconds. They take a present, valid format.

std::int32_t BytesToSamples(const TWaveFormatEx& format, std::int32_t bytes);
std::int32_t BytesToMs(const TWaveFormatEx& format, std::int32_t bytes);
std::int32_t SamplesToBytes(const TWaveFormatEx& format, std::int32_t samples);
std::int32_t SamplesToMs(const TWaveFormatEx& format, std::int32_t samples);
std::int32_t MsToSamples(const TWaveFormatEx& format, std::int32_t ms);
std::int32_t MsToBytes(const TWaveFormatEx& format, std::int32_t ms);
// 64-bit forms for long files, computed in extended precision and truncated.
std::int64_t SamplesToBytes64(const TWaveFormatEx& format, std::int64_t samples);
std::int64_t SamplesToMs64(const TWaveFormatEx& format, std::int64_t samples);

// ---------------------------------------------------------------------------------------------
// Memory

// A zero-filled block of `bytes` bytes; throws std::bad_alloc when refused.
void* allocateZeroed(std::size_t bytes);
void freeRaw(void* p) noexcept;
// Frees the block `p` points to, if any, and sets `p` to null.
template <typename T> void freeAndClear(T*& p) noexcept {
    freeRaw(const_cast<void*>(static_cast<const void*>(p)));
    p = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Clock, waiting and text

// Microseconds from a steady clock; only differences are meaningful.
std::int64_t microsecondClock();

// Waits `ms` milliseconds. With `pump`, calls queued for the main thread run meanwhile
// (only when called on the main thread; elsewhere it sleeps).
void WaitMs(std::uint32_t ms, bool pump);

// "m:ss.mmm", "h:mm:ss.mmm" or "d:hh:mm:ss.mmm" by range; without milliseconds when asked.
std::string timeToText(std::int64_t ms, bool withMilliseconds = true);

// ---------------------------------------------------------------------------------------------
// Operating-system flags. This platform is a current system of the NT family, which the devices
// treat as such (the function callback mode is refused there).

struct TMMOSFlags {
    bool Win95 = false;
    bool Win98 = false;
    bool WinMe = false;
    bool NT3 = false;
    bool NT4 = false;
    bool Win2000 = false;
    bool WinNTLater = true;
    constexpr bool Win95Family() const { return Win95 || Win98 || WinMe; }
    constexpr bool NT4OrLater() const { return NT4 || Win2000 || WinNTLater; }
};
inline constexpr TMMOSFlags OSFlags{};

// ---------------------------------------------------------------------------------------------
// Errors and the numbered message table

// Base of every engine exception; each unit derives its own (EMMWaveInError, ...).
class EMMError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The text of engine message `n` (string resource 28000 + n); empty for an unknown number.
std::string LoadEngineString(int n);

// The error text of a failed device call: the call's name, ":\n\r", then the system's text for
// the code, or message 86 where the system has none.
std::string deviceErrorText(const std::string& callName, const std::string& systemText);

} // namespace vantrel
