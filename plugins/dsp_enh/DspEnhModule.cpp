// The library's face to its host: the second-layout header and module 0, "Compressor /
// Limiter". The host initialises, feeds and quits the module under its own lock, so these entries
// never run at the same time; only the control window runs beside them, on the GUI thread.
#include "ControlWindow.h"
#include "MMPlugInRecords.h"
#include "StoredSettings.h"

#include <QApplication>
#include <QPointer>
#include <QThread>
#include <memory>

namespace vantrel::dspenh {

namespace {

// Everything one initialised module holds.
struct ModuleState {
    CompressorLimiter processor;
    ControlState controls;
    QPointer<ControlWindow> window;
};

std::unique_ptr<ModuleState> state;

// The host's window as a widget, when the host has one and calls from its GUI thread. The handle
// is trusted only when it is a living widget of this application.
QWidget* hostWindow(void* handle) {
    if (handle == nullptr || qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return nullptr;
    if (QThread::currentThread() != QCoreApplication::instance()->thread())
        return nullptr;
    for (QWidget* widget : QApplication::allWidgets())
        if (widget == handle)
            return widget;
    return nullptr;
}

std::int32_t init(TMMPlugInModule2* module);
std::int32_t modifySamples(TMMPlugInModule2* module, std::int16_t* samples, std::int32_t frames,
                           std::int32_t bits, std::int32_t channels, std::int32_t rate);
void config(TMMPlugInModule2* module);
void quit(TMMPlugInModule2* module);

TMMPlugInModule2 compressorLimiter = {
    "Compressor / Limiter", nullptr, nullptr, config, init, modifySamples, quit, nullptr,
};

std::int32_t init(TMMPlugInModule2* module) {
    try {
        state = std::make_unique<ModuleState>();
        const Settings settings = loadSettings();
        state->controls.publish(settings);
        state->processor.setSettings(settings);
        if (QWidget* parent = hostWindow(module->hwndParent)) {
            state->window = new ControlWindow(parent, state->controls);
            state->window->show();
        }
        return 0;
    } catch (...) {
        state.reset();
        return 1;
    }
}

std::int32_t modifySamples(TMMPlugInModule2*, std::int16_t* samples, std::int32_t frames,
                           std::int32_t bits, std::int32_t channels, std::int32_t rate) {
    if (state == nullptr || bits != 16 || rate <= 0 || frames <= 0 ||
        !CompressorLimiter::accepts(static_cast<std::uint32_t>(rate), channels))
        return frames;
    CompressorLimiter& processor = state->processor;
    // A new stream shape starts from silence: nothing of the old stream comes out.
    if (processor.rate() != static_cast<std::uint32_t>(rate) || processor.channels() != channels)
        processor.configure(static_cast<std::uint32_t>(rate), channels);
    state->controls.applyTo(processor);
    processor.process(samples, frames);
    state->controls.setGainReduction(processor.gainReductionDb());
    return frames;
}

void config(TMMPlugInModule2*) {
    if (state != nullptr && state->window != nullptr) {
        state->window->show();
        state->window->raise();
    }
}

void quit(TMMPlugInModule2*) {
    if (state == nullptr)
        return;
    delete state->window.data();
    state.reset();
}

void* moduleAt(std::int32_t index) {
    return index == 0 ? &compressorLimiter : nullptr;
}

TMMPlugInHeader header = {MMPLUGIN_MIN_HEADER_VERSION, "Sonavel broadcast processor", moduleAt};

} // namespace

} // namespace vantrel::dspenh

extern "C" __attribute__((visibility("default"))) TMMPlugInHeader* winampDSPGetHeader2() {
    return &vantrel::dspenh::header;
}
