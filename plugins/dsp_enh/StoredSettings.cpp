#include "StoredSettings.h"

#include <QSettings>

namespace vantrel::dspenh {

namespace {

QSettings store() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, "Kelvory", "dsp_enh");
}

float readFloat(const QSettings& settings, const char* key, float fallback) {
    bool ok = false;
    const float value = settings.value(key).toFloat(&ok);
    return ok ? value : fallback;
}

} // namespace

Settings loadSettings() {
    const QSettings settings = store();
    const Settings defaults;
    Settings s;
    s.thresholdDb = readFloat(settings, "Threshold", defaults.thresholdDb);
    s.ratio = readFloat(settings, "Ratio", defaults.ratio);
    s.kneeDb = readFloat(settings, "Knee", defaults.kneeDb);
    s.attackMs = readFloat(settings, "Attack", defaults.attackMs);
    s.releaseMs = readFloat(settings, "Release", defaults.releaseMs);
    s.makeUpDb = readFloat(settings, "MakeUp", defaults.makeUpDb);
    s.ceilingDb = readFloat(settings, "Ceiling", defaults.ceilingDb);
    s.truePeak = settings.value("TruePeak", defaults.truePeak).toBool();
    return clamped(s);
}

void saveSettings(const Settings& s) {
    QSettings settings = store();
    settings.setValue("Threshold", s.thresholdDb);
    settings.setValue("Ratio", s.ratio);
    settings.setValue("Knee", s.kneeDb);
    settings.setValue("Attack", s.attackMs);
    settings.setValue("Release", s.releaseMs);
    settings.setValue("MakeUp", s.makeUpDb);
    settings.setValue("Ceiling", s.ceilingDb);
    settings.setValue("TruePeak", s.truePeak);
}

std::optional<QPoint> loadWindowPosition() {
    const QSettings settings = store();
    const QVariant position = settings.value("WindowPosition");
    if (!position.canConvert<QPoint>())
        return std::nullopt;
    return position.toPoint();
}

void saveWindowPosition(const QPoint& position) {
    QSettings settings = store();
    settings.setValue("WindowPosition", position);
}

} // namespace vantrel::dspenh
