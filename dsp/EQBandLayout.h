// The layout of the 31-band graphic equalizer: centre frequencies, band edges and frequency
// labels from a start frequency, an end frequency and a Q factor, as the main window and the
// renderer lay out their bands.
#pragma once

#include <array>
#include <string>

namespace vantrel {

inline constexpr int EQBandCount = 31;

// Layout parameters and their defaults (hertz, hertz, Q) and the ranges they are clamped to.
inline constexpr int DefaultEQStartFrequency = 20;
inline constexpr int DefaultEQEndFrequency = 20000;
inline constexpr int DefaultEQQFactor = 6;
inline constexpr int MaxEQFrequency = 22000;
inline constexpr int MinEQQFactor = 3;
inline constexpr int MaxEQQFactor = 99;

// Entries 0 ... 30 hold bands 1 ... 31; entry 31 stays 0 (the automatic correction reads 32).
struct EQBandLayout {
    std::array<int, EQBandCount + 1> centre{};   // hertz, truncated
    std::array<int, EQBandCount + 1> lower{};    // hertz, rounded halves to even
    std::array<int, EQBandCount + 1> upper{};    // hertz, rounded halves to even
    std::array<std::string, EQBandCount> labels; // the centre rounded, right-aligned in 5 places
};

// Band 1 at `startHz`, band 31 at `endHz`, geometrically spaced; each band's width follows from
// the bands per octave plus `q`. A start above the end lays the bands out descending. Throws
// std::invalid_argument unless both frequencies are above 0 and differ.
EQBandLayout ComputeEQBandLayout(double startHz, double endHz, double q);

} // namespace vantrel
