// Throughput of the fade ramp and of the WAVE layer's buffered writing and reading, in bytes of
// 16-bit stereo audio per second (44100 Hz stereo is 176400 bytes per second of audio).
#include "MMFade.h"
#include "MMWaveIO.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <string>
#include <vector>

namespace vantrel {
namespace {

constexpr std::int32_t BufferBytes = 4096;

TWaveFormatEx stereo16() {
    TWaveFormatEx format{};
    BuildPCMFormat(format, 16, 2, 44100);
    return format;
}

// A ramp that never ends within the run: every buffer is scaled (no unity shortcut).
void fadeRamp(benchmark::State& state) {
    const TWaveFormatEx format = stereo16();
    std::vector<char> buffer(BufferBytes, 0x40);
    TMMFadeList list;
    list.AddPoint({0, 0, 0, 0, 0});
    list.AddPoint({0x7FFFFFFF, 32768, 32768, 32768, 0});
    list.SetCursor(0, 0, 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(list.ApplyFade(format, buffer.data(), BufferBytes));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * BufferBytes);
}
BENCHMARK(fadeRamp);

std::string scratchFile() {
    return (std::filesystem::temp_directory_path() / "vantrel-files-bench.wav").string();
}

// Writes 10 s of audio in buffers of 4096 bytes through a 32768-byte I/O buffer, then closes.
std::int64_t writeTenSecondFile(const std::string& name) {
    const TWaveFormatEx format = stereo16();
    const std::vector<char> buffer(BufferBytes, 0x11);
    const std::int64_t bytes = 10 * format.nAvgBytesPerSec;
    PWaveIOInfo info = nullptr;
    NewWaveInfo(info, &format);
    CreateWaveFile(info, name);
    SetWaveIOBuffer(info, 32768);
    for (std::int64_t done = 0; done < bytes; done += BufferBytes)
        WriteWaveIO(info, buffer.data(), BufferBytes);
    CloseWaveIO(info);
    FreeWaveInfo(info);
    return bytes;
}

void writeTenSeconds(benchmark::State& state) {
    std::int64_t total = 0;
    for (auto _ : state)
        total += writeTenSecondFile(scratchFile());
    state.SetBytesProcessed(total);
    std::filesystem::remove(scratchFile());
}
BENCHMARK(writeTenSeconds)->Unit(benchmark::kMillisecond);

// Parses a file of 10 s and reads all of it in buffers of 4096 bytes.
void parseAndReadTenSeconds(benchmark::State& state) {
    writeTenSecondFile(scratchFile());
    std::vector<char> buffer(BufferBytes);
    std::int64_t total = 0;
    for (auto _ : state) {
        PWaveIOInfo info = nullptr;
        ReadWaveInfo(info, scratchFile(), FormWave, WaveIOModeFile);
        OpenWaveIO(info);
        SetWaveIOBuffer(info, 32768);
        for (std::int32_t got; (got = ReadWaveIO(info, buffer.data(), BufferBytes)) > 0;)
            total += got;
        CloseWaveIO(info);
        FreeWaveInfo(info);
    }
    state.SetBytesProcessed(total);
    std::filesystem::remove(scratchFile());
}
BENCHMARK(parseAndReadTenSeconds)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace vantrel
