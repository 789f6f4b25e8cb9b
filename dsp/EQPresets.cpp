#include "EQPresets.h"

#include <algorithm>

namespace vantrel {

EQPreset ReadEQPreset(const ProfileFile& file, const std::string& name) {
    EQPreset preset{};
    for (int band = 1; band <= EQBandCount; ++band) {
        const int gain = file.ReadInteger(name, "Fader" + std::to_string(band), 0);
        preset[static_cast<std::size_t>(band - 1)] =
            std::clamp(gain, MinEQFaderGain, MaxEQFaderGain);
    }
    return preset;
}

} // namespace vantrel
