// The plug-in's control window: a slider and a number box per control, the true-peak switch and
// a live gain-reduction meter. It lives on the GUI thread; the audio thread is reached only
// through the ControlState atomics.
#pragma once

#include "ControlState.h"

#include <QTimer>
#include <QWidget>
#include <vector>

class QCheckBox;
class QDoubleSpinBox;
class QGridLayout;
class QLabel;
class QSlider;

namespace vantrel::dspenh {

class GainReductionMeter;

class ControlWindow : public QWidget {
public:
    // A tool window of `parent` (the host's main window) showing and setting `state`, which
    // must outlive it. Starts hidden at its remembered position.
    ControlWindow(QWidget* parent, ControlState& state);
    ~ControlWindow() override;

    static constexpr const char* title = "Compressor / Limiter";

protected:
    void hideEvent(QHideEvent* event) override;

private:
    struct Control {
        float Settings::*field;
        Range range;
        bool logarithmic;
        QSlider* slider;
        QDoubleSpinBox* box;
    };

    void addControl(QGridLayout* grid, const char* name, float Settings::*field, Range range,
                    int decimals, const char* suffix, bool logarithmic);
    void showSettings(const Settings& settings);
    void publishControls();
    void updateMeter();
    void placeWindow();

    ControlState& state_;
    std::vector<Control> controls_;
    QCheckBox* truePeak_ = nullptr;
    GainReductionMeter* meter_ = nullptr;
    QLabel* meterText_ = nullptr;
    QTimer meterTimer_;
    QTimer saveTimer_;     // stores the values a while after the last change
    bool showing_ = false; // controls are being set from settings, not by the user
};

} // namespace vantrel::dspenh
