// Speed of playing files through the audio file source: PCM (the envelope alone), our ADPCM
// decoders, a codec stream (A-law through FFmpeg) and MPEG Layer III (libmpg123). Each case
// plays 10 s of a 44.1 kHz stereo tone that sox (and lame) make at start; the "realtime"
// counter says how many times faster than playback it runs.
#include "MMAudio.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using namespace vantrel;

constexpr double Seconds = 10.0;

const std::filesystem::path& folder() {
    static const std::filesystem::path path = [] {
        auto made = std::filesystem::temp_directory_path() / "vantrel-audio-bench";
        std::filesystem::create_directories(made);
        return made;
    }();
    return path;
}

// Makes `name` with `command` ({tone} is the 16-bit source) once; empty when a tool is missing.
std::string file(const std::string& name, const std::string& command) {
    const std::string tone = (folder() / "tone.wav").string();
    const std::string target = (folder() / name).string();
    if (!std::filesystem::exists(tone) &&
        std::system(("sox -D -n -r 44100 -c 2 -b 16 " + tone + " synth " + std::to_string(Seconds) +
                     " sine 440 sine 660 vol 0.5 2>/dev/null")
                        .c_str()) != 0)
        return {};
    std::string line = command;
    line.replace(line.find("{tone}"), 6, tone);
    if (!std::filesystem::exists(target) &&
        std::system((line + " " + target + " 2>/dev/null").c_str()) != 0)
        return {};
    return target;
}

void notifyChain(TMMDSPComponent& top, void (TMMDSPComponent::*notification)()) {
    for (TMMDSPComponent* component = &top; component != nullptr;
         component = component->GetOutput())
        (component->*notification)();
}

void playFile(benchmark::State& state, const std::string& name, const std::string& command) {
    const std::string path = file(name, command);
    if (path.empty()) {
        state.SkipWithError("sox or lame is missing");
        return;
    }
    TMMAudioFile audio;
    audio.SetFileName(path);
    audio.SetVolume(12000); // a real gain, so that the envelope does its work
    PWaveHdr buffer = allocateBuffer(8192);
    notifyChain(*audio.GetReader(), &TMMDSPComponent::NotifyOpened);
    std::int64_t bytes = 0;
    for (auto _ : state) {
        notifyChain(*audio.GetReader(), &TMMDSPComponent::NotifyStarted);
        for (bool more = true; more;) {
            more = false;
            buffer->wh.dwBytesRecorded = 0;
            audio.BufferLoad(buffer, more);
            bytes += buffer->wh.dwBytesRecorded;
        }
        notifyChain(*audio.GetReader(), &TMMDSPComponent::NotifyStopped);
        audio.SetPosition(0);
    }
    notifyChain(*audio.GetReader(), &TMMDSPComponent::NotifyClosed);
    freeBuffer(buffer);
    state.SetBytesProcessed(bytes);
    state.counters["realtime"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * Seconds, benchmark::Counter::kIsRate);
}

void BM_PlayPcm(benchmark::State& state) {
    playFile(state, "pcm.wav", "cp {tone}");
}
void BM_PlayMsAdpcm(benchmark::State& state) {
    playFile(state, "ms.wav", "sox {tone} -e ms-adpcm");
}
void BM_PlayImaAdpcm(benchmark::State& state) {
    playFile(state, "ima.wav", "sox {tone} -e ima-adpcm");
}
void BM_PlayALawThroughCodec(benchmark::State& state) {
    playFile(state, "alaw.wav", "sox {tone} -e a-law");
}
void BM_PlayMp3(benchmark::State& state) {
    playFile(state, "tone.mp3", "lame --quiet -b 192 {tone}");
}

BENCHMARK(BM_PlayPcm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlayMsAdpcm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlayImaAdpcm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlayALawThroughCodec)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlayMp3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
