// vantrel-testsignal OUT [SECONDS]: writes a 16-bit stereo 44.1 kHz WAVE file with a signal that
// shows what the equalizer and the compressor do: a logarithmic sweep from 20 Hz to 20 kHz in
// the left channel and pink-tinted noise in bursts of rising level in the right. Default 10 s.
#include "MMWave.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t Rate = 44100;
constexpr int FramesPerWrite = 4096;

class SignalGenerator {
public:
    explicit SignalGenerator(double seconds) : frames_(seconds * Rate) {}

    // The next frame: the sweep left, the noise bursts right.
    void frame(std::int16_t& left, std::int16_t& right) {
        const double t = static_cast<double>(index_) / Rate;
        const double duration = frames_ / Rate;
        // Phase of a sweep whose frequency rises from 20 Hz by a factor 1000 over the duration.
        const double k = std::log(1000.0) / duration;
        const double phase = 2 * std::numbers::pi * 20.0 * (std::exp(k * t) - 1) / k;
        left = static_cast<std::int16_t>(std::lround(0.5 * 32767 * std::sin(phase)));
        // Kellet's economy pink filter on white noise; four bursts per run, each 6 dB louder.
        const double white = noise_(random_);
        pink_ = 0.97 * pink_ + 0.03 * white;
        const int burst = static_cast<int>(4 * t / duration);
        const bool on = std::fmod(4 * t / duration, 1.0) < 0.7;
        const double level = on ? 0.05 * std::pow(2.0, burst) : 0;
        right = static_cast<std::int16_t>(
            std::lround(std::clamp(level * (pink_ * 4 + white * 0.2), -1.0, 1.0) * 32767));
        ++index_;
    }
    bool done() const { return static_cast<double>(index_) >= frames_; }

private:
    double frames_;
    std::int64_t index_ = 0;
    std::mt19937 random_{2024};
    std::normal_distribution<double> noise_{0.0, 0.3};
    double pink_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    using namespace vantrel;
    double seconds = 10;
    if (argc < 2 || argc > 3 ||
        (argc == 3 &&
         (std::from_chars(argv[2], argv[2] + std::char_traits<char>::length(argv[2]), seconds).ec !=
              std::errc() ||
          seconds <= 0 || seconds > 3600))) {
        std::cerr << "Usage: vantrel-testsignal OUT.wav [SECONDS (0 ... 3600, default 10)]\n";
        return 2;
    }
    try {
        TWaveFormatEx format{};
        BuildPCMFormat(format, 16, 2, Rate);
        TMMWave wave;
        wave.CreateFile(argv[1], &format);
        SignalGenerator generator(seconds);
        std::vector<std::int16_t> block;
        while (!generator.done()) {
            block.clear();
            for (int i = 0; i < FramesPerWrite && !generator.done(); ++i) {
                std::int16_t left = 0, right = 0;
                generator.frame(left, right);
                block.push_back(left);
                block.push_back(right);
            }
            const auto bytes = static_cast<std::int32_t>(block.size() * 2);
            if (wave.WriteData(reinterpret_cast<const char*>(block.data()), bytes) != bytes)
                throw EMMWaveError("Cannot write " + std::string(argv[1]));
        }
        wave.Close();
        std::cout << "Wrote a " << seconds << " s test signal to " << wave.GetFileName() << "\n";
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "vantrel-testsignal: " << error.what() << "\n";
        return 1;
    }
}
