// Equalizer presets as the equalizer data file "Equalizer.dat" stores them: one profile section
// per preset, named by the preset, with the keys "Fader1" ... "Fader31" holding the slider
// positions in whole decibels.
#pragma once

#include "EQBandLayout.h"
#include "ProfileFile.h"

#include <array>
#include <string>

namespace vantrel {

inline constexpr const char* EqualizerDataFileName = "Equalizer.dat";
inline constexpr int MinEQFaderGain = -12; // dB
inline constexpr int MaxEQFaderGain = 12;  // dB

// Slider positions of bands 1 ... 31, dB.
using EQPreset = std::array<int, EQBandCount>;

// The preset `name` of `file` (names compare without regard to letter case). A missing file,
// section or key, or a value that is not a whole number, reads as 0 dB; values are clamped to
// the sliders' range.
EQPreset ReadEQPreset(const ProfileFile& file, const std::string& name);

} // namespace vantrel
