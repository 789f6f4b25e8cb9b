#include "ControlWindow.h"

#include "GainReductionMeter.h"
#include "StoredSettings.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QVBoxLayout>
#include <cmath>

namespace vantrel::dspenh {

namespace {

constexpr int sliderSteps = 1000;
constexpr int meterIntervalMs = 50;
constexpr int saveDelayMs = 500; // a dragged slider is stored once, when it stops

int sliderPosition(float value, Range range, bool logarithmic) {
    const double share =
        logarithmic ? std::log(value / range.minimum) / std::log(range.maximum / range.minimum)
                    : (value - range.minimum) / (range.maximum - range.minimum);
    return static_cast<int>(std::lround(share * sliderSteps));
}

float sliderValue(int position, Range range, bool logarithmic) {
    const double share = static_cast<double>(position) / sliderSteps;
    const double value = logarithmic
                             ? range.minimum * std::pow(range.maximum / range.minimum, share)
                             : range.minimum + share * (range.maximum - range.minimum);
    return static_cast<float>(value);
}

} // namespace

ControlWindow::ControlWindow(QWidget* parent, ControlState& state)
    : QWidget(parent, Qt::Tool), state_(state) {
    setWindowTitle(title);
    setObjectName("dsp_enh");

    auto* grid = new QGridLayout;
    grid->setColumnStretch(1, 1);
    grid->setHorizontalSpacing(10);
    addControl(grid, "Threshold", &Settings::thresholdDb, thresholdRange, 1, " dBFS", false);
    addControl(grid, "Ratio", &Settings::ratio, ratioRange, 1, " : 1", true);
    addControl(grid, "Knee", &Settings::kneeDb, kneeRange, 1, " dB", false);
    addControl(grid, "Attack", &Settings::attackMs, attackRange, 1, " ms", true);
    addControl(grid, "Release", &Settings::releaseMs, releaseRange, 0, " ms", true);
    addControl(grid, "Make-up gain", &Settings::makeUpDb, makeUpRange, 1, " dB", false);
    addControl(grid, "Ceiling", &Settings::ceilingDb, ceilingRange, 1, " dBFS", false);

    truePeak_ = new QCheckBox("True peak (oversampled detection)");
    truePeak_->setObjectName("TruePeak");
    connect(truePeak_, &QCheckBox::toggled, this, [this] { publishControls(); });
    grid->addWidget(truePeak_, grid->rowCount(), 1, 1, 2);

    // The meter lines up with the sliders above it.
    meter_ = new GainReductionMeter;
    meterText_ = new QLabel;
    meterText_->setMinimumWidth(fontMetrics().horizontalAdvance("GR 24.0 dB"));
    meterText_->setAlignment(Qt::AlignRight | Qt::AlignTop);
    const int meterRow = grid->rowCount();
    grid->setRowMinimumHeight(meterRow, 8);
    grid->addWidget(new QLabel("Gain reduction"), meterRow + 1, 0, Qt::AlignTop);
    grid->addWidget(meter_, meterRow + 1, 1);
    grid->addWidget(meterText_, meterRow + 1, 2, Qt::AlignTop);

    auto* defaults = new QPushButton("Defaults");
    connect(defaults, &QPushButton::clicked, this, [this] {
        showSettings(Settings{});
        publishControls();
    });
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(defaults);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);

    showSettings(state_.current());
    updateMeter();
    connect(&meterTimer_, &QTimer::timeout, this, [this] { updateMeter(); });
    meterTimer_.start(meterIntervalMs);
    saveTimer_.setSingleShot(true);
    saveTimer_.setInterval(saveDelayMs);
    connect(&saveTimer_, &QTimer::timeout, this, [this] { saveSettings(state_.current()); });
    resize(sizeHint().expandedTo(QSize(460, 0)));
    placeWindow();
}

ControlWindow::~ControlWindow() {
    if (saveTimer_.isActive())
        saveSettings(state_.current());
    if (isVisible())
        saveWindowPosition(pos());
}

void ControlWindow::addControl(QGridLayout* grid, const char* name, float Settings::*field,
                               Range range, int decimals, const char* suffix, bool logarithmic) {
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(0, sliderSteps);
    auto* box = new QDoubleSpinBox;
    box->setObjectName(name);
    box->setRange(range.minimum, range.maximum);
    box->setDecimals(decimals);
    box->setSuffix(suffix);
    box->setSingleStep(logarithmic ? std::pow(10.0, -decimals) * 5 : 0.5);
    box->setAlignment(Qt::AlignRight);
    box->setKeyboardTracking(false);

    const int row = grid->rowCount();
    grid->addWidget(new QLabel(name), row, 0);
    grid->addWidget(slider, row, 1);
    grid->addWidget(box, row, 2);
    controls_.push_back({field, range, logarithmic, slider, box});

    connect(slider, &QSlider::valueChanged, this, [this, box, range, logarithmic](int position) {
        if (!showing_)
            box->setValue(sliderValue(position, range, logarithmic));
    });
    connect(box, &QDoubleSpinBox::valueChanged, this,
            [this, slider, range, logarithmic](double value) {
                if (showing_)
                    return;
                const QSignalBlocker block(slider);
                slider->setValue(sliderPosition(static_cast<float>(value), range, logarithmic));
                publishControls();
            });
}

void ControlWindow::showSettings(const Settings& settings) {
    showing_ = true;
    for (const Control& control : controls_) {
        const float value = settings.*control.field;
        control.box->setValue(value);
        control.slider->setValue(sliderPosition(value, control.range, control.logarithmic));
    }
    truePeak_->setChecked(settings.truePeak);
    showing_ = false;
}

void ControlWindow::publishControls() {
    if (showing_)
        return;
    Settings settings;
    for (const Control& control : controls_)
        settings.*control.field = static_cast<float>(control.box->value());
    settings.truePeak = truePeak_->isChecked();
    settings = clamped(settings);
    state_.publish(settings);
    saveTimer_.start(); // once the control has come to rest
}

void ControlWindow::updateMeter() {
    const float db = state_.gainReduction();
    meter_->setGainReduction(db);
    meterText_->setText(QString("GR %1 dB").arg(static_cast<double>(meter_->shownDb()), 0, 'f', 1));
}

// The remembered position when it is still on a screen, else centred over the host's window.
void ControlWindow::placeWindow() {
    if (const std::optional<QPoint> stored = loadWindowPosition();
        stored && QGuiApplication::screenAt(*stored + QPoint(20, 20)) != nullptr) {
        move(*stored);
        return;
    }
    const QWidget* host = parentWidget();
    const QRect area = host != nullptr ? host->frameGeometry()
                                       : QGuiApplication::primaryScreen()->availableGeometry();
    move(area.center() - rect().center());
}

void ControlWindow::hideEvent(QHideEvent* event) {
    saveWindowPosition(pos());
    QWidget::hideEvent(event);
}

} // namespace vantrel::dspenh
