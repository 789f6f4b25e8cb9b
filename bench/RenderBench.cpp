// Speed of the renderer: renders one minute of 48 kHz stereo noise through the equalizer (with
// every band at a different gain), with and without the compressor, into WAV and into MP3, and
// prints seconds of audio rendered per CPU second (all threads of the process) and per second
// of wall time.
#include "FileRenderer.h"
#include "MMWave.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace vantrel;
namespace fs = std::filesystem;

constexpr std::uint32_t Rate = 48000;
constexpr int Seconds = 60;

void writeNoise(const std::string& name) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, 16, 2, Rate);
    TMMWave wave;
    wave.CreateFile(name, &format);
    std::mt19937 random(1);
    std::normal_distribution<double> noise(0, 4000);
    std::vector<std::int16_t> block(2 * Rate);
    for (int s = 0; s < Seconds; ++s) {
        for (auto& sample : block)
            sample = static_cast<std::int16_t>(std::clamp(noise(random), -32768.0, 32767.0));
        wave.WriteData(reinterpret_cast<const char*>(block.data()),
                       static_cast<std::int32_t>(block.size() * 2));
    }
    wave.Close();
}

void measure(const char* name, RenderSettings settings) {
    const std::clock_t cpuStart = std::clock();
    const auto wallStart = std::chrono::steady_clock::now();
    const RenderResult result = RenderFile(settings);
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf("render %s audio_seconds_per_cpu_second=%.1f realtime_x=%.1f\n", name,
                result.seconds / cpu, result.seconds / wall);
}

} // namespace

int main() {
    const fs::path folder = fs::temp_directory_path() / "vantrel-render-bench";
    fs::create_directories(folder);
    const std::string input = (folder / "noise.wav").string();
    writeNoise(input);

    RenderSettings settings;
    settings.input = input;
    for (std::size_t band = 0; band < settings.gains.size(); ++band)
        settings.gains[band] = static_cast<int>(band % 25) - 12;
    settings.output = (folder / "eq.wav").string();
    settings.compressor = false;
    measure("eq_wav", settings);
    settings.compressor = true;
    measure("eq_compressor_wav", settings);
    settings.output = (folder / "eq.mp3").string();
    measure("eq_compressor_mp3", settings);
    fs::remove_all(folder);
}
