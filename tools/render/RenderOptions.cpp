#include "RenderOptions.h"

#include "ProgramFolder.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <optional>
#include <sstream>

namespace vantrel {

namespace {

// Bitrates MPEG audio layer 3 has, kbit/s (MPEG-2 and 2.5 below 32, MPEG-1 from 32).
constexpr std::array<int, 17> Bitrates{8,  16,  24,  32,  40,  48,  56,  64, 80,
                                       96, 112, 128, 160, 192, 224, 256, 320};

int parseWhole(const std::string& text, const std::string& what) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        throw UsageError(what + " must be a whole number, not \"" + text + "\"");
    return value;
}

EQPreset parseGains(const std::string& list) {
    EQPreset gains{};
    std::istringstream in(list);
    std::string item;
    std::size_t count = 0;
    while (std::getline(in, item, ',')) {
        if (count == gains.size())
            throw UsageError("--gains takes 31 values, got more");
        const int gain = parseWhole(item, "Each gain");
        if (gain < MinEQFaderGain || gain > MaxEQFaderGain)
            throw UsageError("Each gain must lie within -12 ... 12 dB, not " + item);
        gains[count++] = gain;
    }
    if (count != gains.size())
        throw UsageError("--gains takes 31 values, got " + std::to_string(count));
    return gains;
}

EQPreset readPreset(const std::string& name, const std::string& file) {
    if (!std::filesystem::exists(file))
        throw UsageError("The equalizer data file does not exist: " + file);
    return ReadEQPreset(ProfileFile(file), name);
}

} // namespace

std::string RenderUsage() {
    return "Usage: vantrel-render IN OUT [options]\n"
           "\n"
           "Renders IN (a WAV or MP3 file) through the 31-band graphic equalizer and the\n"
           "compressor/limiter into OUT, a new WAV or MP3 file chosen by its extension.\n"
           "OUT is replaced when it exists; it may never be IN.\n"
           "\n"
           "Options:\n"
           "  --gains G1,...,G31  the 31 band gains in whole dB (-12 ... 12), 20 Hz band first;\n"
           "                      all 0 when neither --gains nor --preset is given\n"
           "  --preset NAME       the gains of preset NAME in the equalizer data file\n"
           "  --presets FILE      the equalizer data file (default: Equalizer.dat beside the\n"
           "                      program)\n"
           "  --no-compressor     leave the compressor/limiter out\n"
           "  --bitrate KBPS      bitrate of MP3 output in kbit/s (default 320)\n"
           "  --help              show this text\n";
}

RenderOptions ParseRenderOptions(const std::vector<std::string>& arguments) {
    RenderOptions options;
    std::vector<std::string> files;
    std::optional<std::string> gains;
    std::optional<std::string> preset;
    std::string presetFile = programFilePath(EqualizerDataFileName);
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size())
                throw UsageError(argument + " needs a value");
            return arguments[++i];
        };
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            return options;
        } else if (argument == "--gains") {
            gains = value();
        } else if (argument == "--preset") {
            preset = value();
        } else if (argument == "--presets") {
            presetFile = value();
        } else if (argument == "--no-compressor") {
            options.settings.compressor = false;
        } else if (argument == "--bitrate") {
            options.settings.bitrate = parseWhole(value(), "--bitrate");
            if (std::find(Bitrates.begin(), Bitrates.end(), options.settings.bitrate) ==
                Bitrates.end())
                throw UsageError("--bitrate must be an MP3 bitrate (8 ... 320 kbit/s, such as 128, "
                                 "192 or 320)");
        } else if (argument.size() > 1 && argument[0] == '-') {
            throw UsageError("Unknown option " + argument);
        } else {
            files.push_back(argument);
        }
    }
    if (files.size() != 2)
        throw UsageError("Give an input file and an output file");
    if (gains && preset)
        throw UsageError("Give either --gains or --preset, not both");
    options.settings.input = files[0];
    options.settings.output = files[1];
    if (gains)
        options.settings.gains = parseGains(*gains);
    if (preset)
        options.settings.gains = readPreset(*preset, presetFile);
    return options;
}

} // namespace vantrel
