#include "MMUtils.h"

#include "MainThread.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

namespace vantrel {

// ---------------------------------------------------------------------------------------------
// Format record

void WaveFormatDeleter::operator()(TWaveFormatEx* format) const noexcept {
    freeRaw(format);
}

bool IsValidPCMFormat(const TWaveFormatEx* format) {
    if (format == nullptr || format->wFormatTag != WAVE_FORMAT_PCM)
        return false;
    const bool bitsOk = format->wBitsPerSample == 8 || format->wBitsPerSample == 16;
    const bool channelsOk =
        format->nChannels == 1 || format->nChannels == 2 || format->nChannels == 4;
    const bool rateOk = format->nSamplesPerSec >= 4000 && format->nSamplesPerSec <= 100000;
    return bitsOk && channelsOk && rateOk;
}

void BuildPCMFormat(TWaveFormatEx& format, int bits, int channels, std::uint32_t rate) {
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = static_cast<std::uint16_t>(channels);
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = static_cast<std::uint16_t>(bits);
    format.nBlockAlign = static_cast<std::uint16_t>((channels * bits) / 8);
    format.nAvgBytesPerSec = format.nBlockAlign * rate;
    format.cbSize = 0;
}

int FormatRecordSize(const TWaveFormatEx* format) {
    if (format == nullptr)
        return 0;
    if (format->wFormatTag == WAVE_FORMAT_PCM)
        return static_cast<int>(sizeof(TWaveFormatEx));
    return static_cast<int>(sizeof(TWaveFormatEx)) + format->cbSize;
}

TMMWaveFormatPtr allocateWaveFormat(std::size_t bytes) {
    bytes = std::max(bytes, sizeof(TWaveFormatEx));
    return TMMWaveFormatPtr(static_cast<TWaveFormatEx*>(allocateZeroed(bytes)));
}

TMMWaveFormatPtr CopyWaveFormat(const TWaveFormatEx* format) {
    const int size = FormatRecordSize(format);
    if (size <= 0)
        return nullptr;
    TMMWaveFormatPtr copy = allocateWaveFormat(static_cast<std::size_t>(size));
    std::memcpy(copy.get(), format, static_cast<std::size_t>(size));
    if (copy->wFormatTag == WAVE_FORMAT_PCM)
        copy->cbSize = 0;
    return copy;
}

// ---------------------------------------------------------------------------------------------
// Buffer record

std::size_t bufferBlockSize(std::uint32_t dataBytes) {
    return sizeof(TMMBufferHeader) + dataBytes;
}

PWaveHdr placeBuffer(void* block, std::uint32_t dataBytes) {
    auto* header = new (block) TMMBufferHeader{};
    header->wh.lpData = static_cast<char*>(block) + sizeof(TMMBufferHeader);
    header->wh.dwBufferLength = dataBytes;
    return header;
}

PWaveHdr allocateBuffer(std::uint32_t dataBytes) {
    return placeBuffer(allocateZeroed(bufferBlockSize(dataBytes)), dataBytes);
}

void freeBuffer(PWaveHdr& buffer) noexcept {
    freeAndClear(buffer);
}

// ---------------------------------------------------------------------------------------------
// Device numbers

std::string deviceIdToString(TMMDeviceId id) {
    if (id == MapperId)
        return "MapperId";
    if (id == InvalidId)
        return "InvalidId";
    return std::to_string(id);
}

TMMDeviceId stringToDeviceId(const std::string& text) {
    if (text == "MapperId")
        return MapperId;
    if (text == "InvalidId")
        return InvalidId;
    TMMDeviceId id = InvalidId;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size())
        return InvalidId;
    return id;
}

// ---------------------------------------------------------------------------------------------
// Arithmetic

std::int32_t MulDivRound(std::int32_t x, std::int32_t m, std::int32_t d) {
    const std::int64_t product = static_cast<std::int64_t>(x) * m;
    const std::int64_t quotient = product / d;
    const std::int64_t remainder = product % d;
    return static_cast<std::int32_t>(quotient + (2 * remainder) / d);
}

std::uint32_t mulDivRoundUnsigned(std::uint32_t x, std::uint32_t m, std::uint32_t d) {
    const std::uint64_t product = static_cast<std::uint64_t>(x) * m;
    return static_cast<std::uint32_t>((product + d / 2) / d);
}

// ---------------------------------------------------------------------------------------------
// Conversions

namespace {

template <typename T> T roundUpToBlock(const TWaveFormatEx& format, T bytes) {
    const T block = format.nBlockAlign;
    if (block <= 1)
        return bytes;
    const T rest = bytes % block;
    return rest == 0 ? bytes : bytes + (block - rest);
}

std::int32_t avgBytes(const TWaveFormatEx& format) {
    return static_cast<std::int32_t>(format.nAvgBytesPerSec);
}
std::int32_t rate(const TWaveFormatEx& format) {
    return static_cast<std::int32_t>(format.nSamplesPerSec);
}

} // namespace

std::int32_t BytesToSamples(const TWaveFormatEx& format, std::int32_t bytes) {
    return MulDivRound(bytes, rate(format), avgBytes(format));
}

std::int32_t BytesToMs(const TWaveFormatEx& format, std::int32_t bytes) {
    return MulDivRound(bytes, 1000, avgBytes(format));
}

std::int32_t SamplesToBytes(const TWaveFormatEx& format, std::int32_t samples) {
    return roundUpToBlock(format, MulDivRound(samples, avgBytes(format), rate(format)));
}

std::int32_t SamplesToMs(const TWaveFormatEx& format, std::int32_t samples) {
    return MulDivRound(samples, 1000, rate(format));
}

std::int32_t MsToSamples(const TWaveFormatEx& format, std::int32_t ms) {
    return MulDivRound(ms, rate(format), 1000);
}

std::int32_t MsToBytes(const TWaveFormatEx& format, std::int32_t ms) {
    return roundUpToBlock(format, MulDivRound(ms, avgBytes(format), 1000));
}

std::int64_t SamplesToBytes64(const TWaveFormatEx& format, std::int64_t samples) {
    const long double bytes =
        static_cast<long double>(samples) * format.nAvgBytesPerSec / format.nSamplesPerSec;
    return roundUpToBlock(format, static_cast<std::int64_t>(bytes));
}

std::int64_t SamplesToMs64(const TWaveFormatEx& format, std::int64_t samples) {
    return static_cast<std::int64_t>(static_cast<long double>(samples) * 1000 /
                                     format.nSamplesPerSec);
}

// ---------------------------------------------------------------------------------------------
// Memory

void* allocateZeroed(std::size_t bytes) {
    void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

void freeRaw(void* p) noexcept {
    std::free(p);
}

// ---------------------------------------------------------------------------------------------
// Clock, waiting and text

std::int64_t microsecondClock() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void WaitMs(std::uint32_t ms, bool pump) {
    if (ms == 0)
        return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    MainThreadSeam* seam = mainThread();
    if (!pump || seam == nullptr || !seam->isMainThread()) {
        std::this_thread::sleep_until(deadline);
        return;
    }
    for (auto now = std::chrono::steady_clock::now(); now < deadline;
         now = std::chrono::steady_clock::now()) {
        seam->processPending(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    }
}

std::string timeToText(std::int64_t ms, bool withMilliseconds) {
    constexpr std::int64_t msPerMinute = 60 * 1000;
    constexpr std::int64_t msPerHour = 60 * msPerMinute;
    constexpr std::int64_t msPerDay = 24 * msPerHour;
    ms = std::max<std::int64_t>(ms, 0);
    const auto part = [ms](std::int64_t unit, std::int64_t range) {
        return static_cast<int>(ms / unit % range);
    };
    const int seconds = part(1000, 60);
    std::array<char, 64> text{};
    int length = 0;
    if (ms < msPerHour)
        length = std::snprintf(text.data(), text.size(), "%d:%2.2d",
                               static_cast<int>(ms / msPerMinute), seconds);
    else if (ms < msPerDay)
        length = std::snprintf(text.data(), text.size(), "%d:%2.2d:%2.2d",
                               static_cast<int>(ms / msPerHour), part(msPerMinute, 60), seconds);
    else
        length = std::snprintf(text.data(), text.size(), "%d:%2.2d:%2.2d:%2.2d",
                               static_cast<int>(ms / msPerDay), part(msPerHour, 24),
                               part(msPerMinute, 60), seconds);
    if (withMilliseconds)
        std::snprintf(text.data() + length, text.size() - static_cast<std::size_t>(length),
                      ".%3.3d", part(1, 1000));
    return text.data();
}

// ---------------------------------------------------------------------------------------------
// Messages

namespace {

struct EngineMessageText {
    int number;
    const char* text;
};

constexpr EngineMessageText engineMessages[] = {
    {60, "Change to property while device was open"},
    {61, "Invalid DeviceID"},
    {62, "Invalid WaveFormat"},
    {64, "Unable to allocate memory for wave header"},
    {66, "Unable to get device position"},
    {70, "The actual device can't play this format"},
    {71, "Unable to open device"},
    {72, "Unable to close device"},
    {77, "Unable to reset device"},
    {78, "Unable to pause device"},
    {79, "Unabele to restart device"},
    {80, "Unable to start device"},
    {81, "Error filling wave buffer"},
    {86, "Specified error number is out of range (unknown error)"},
    {87, "The actual device can't record this format"},
    {88, "Could not create thread"},
    {89, "Invalid wave format"},
    {90, "Unable to reset device"},
    {130, "Error reading wave file"},
    {131, "Can't write to MemoryWave"},
    {133, "Invalid wave file..."},
    {134, "Invalid param passed!"},
    {137, "Unable to setup file IO buffer"},
    {138, "Unable to open wave file"},
    {139, "Unable to create wave file"},
    {140, "Unable to save wave file"},
    {141, "Saving was aborted"},
    {147, "Error seeking file position"},
    {160, "No wave audio recording device found"},
    {161, "No wave audio playing device found"},
    {162, "Unable to open device"},
    {163, "Unable to close device"},
};

} // namespace

std::string LoadEngineString(int n) {
    for (const auto& message : engineMessages)
        if (message.number == n)
            return message.text;
    return {};
}

std::string deviceErrorText(const std::string& callName, const std::string& systemText) {
    return callName + ":\n\r" + (systemText.empty() ? LoadEngineString(86) : systemText);
}

} // namespace vantrel
