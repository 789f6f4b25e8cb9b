// The command line of vantrel-render: IN OUT [options].
#pragma once

#include "FileRenderer.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace vantrel {

// A command line that cannot be used; the text says why.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RenderOptions {
    bool help = false;
    RenderSettings settings;
};

// The text --help prints.
std::string RenderUsage();

// Reads the arguments after the program name. Gains come from --gains, or from --preset in
// the equalizer data file (--presets, else "Equalizer.dat" beside the program). Throws
// UsageError.
RenderOptions ParseRenderOptions(const std::vector<std::string>& arguments);

} // namespace vantrel
