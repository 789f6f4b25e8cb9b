#include "EQBandLayout.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace vantrel {

EQBandLayout ComputeEQBandLayout(double startHz, double endHz, double q) {
    if (!(startHz > 0) || !(endHz > 0) || startHz == endHz)
        throw std::invalid_argument("The band layout needs two different frequencies above 0 Hz");
    // Extended precision keeps the centres that land on whole numbers (20, 200, 2000 Hz) there.
    const long double fA = startHz;
    const long double bandsPerOctave =
        (EQBandCount - 1) / (std::log2(static_cast<long double>(endHz)) - std::log2(fA));
    const long double ratio = std::pow(2.0L, 1.0L / bandsPerOctave);
    const long double quality = bandsPerOctave + q;
    // Half the bandwidth in octaves: asinh(1 / (2 E)) / ln 2.
    const long double halfWidth =
        std::log((std::sqrt(4 * quality * quality + 1) + 1) / (2 * quality)) / std::log(2.0L);
    const long double edgeFactor = std::pow(2.0L, halfWidth);

    EQBandLayout layout;
    long double f = fA / ratio;
    for (int i = 0; i < EQBandCount; ++i) {
        f *= ratio;
        char label[32];
        std::snprintf(label, sizeof label, "%5.0Lf", f);
        layout.labels[static_cast<std::size_t>(i)] = label;
        const auto centre = static_cast<long double>(static_cast<long long>(f));
        layout.centre[static_cast<std::size_t>(i)] = static_cast<int>(centre);
        layout.lower[static_cast<std::size_t>(i)] =
            static_cast<int>(std::nearbyint(centre / edgeFactor));
        layout.upper[static_cast<std::size_t>(i)] =
            static_cast<int>(std::nearbyint(centre * edgeFactor));
    }
    return layout;
}

} // namespace vantrel
