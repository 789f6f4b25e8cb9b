// The plug-in's own per-user settings (organisation "Kelvory", application "dsp_enh"): the
// control values and where the control window was, kept between runs.
#pragma once

#include "CompressorLimiter.h"

#include <QPoint>
#include <optional>

namespace vantrel::dspenh {

// The stored values; defaults where nothing (or nothing valid) is stored.
Settings loadSettings();
void saveSettings(const Settings& settings);

// Where the control window stood when it was last closed, if it was ever shown.
std::optional<QPoint> loadWindowPosition();
void saveWindowPosition(const QPoint& position);

} // namespace vantrel::dspenh
