// The dsp_enh library as its host sees it: loaded by the plug-in host from the program folder,
// with and without a window to parent its controls to.
#include "MMPlugIn.h"

#include <QApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QSettings>
#include <QTest>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <numbers>
#include <vector>

// Fontconfig keeps a cache it never frees; it is not ours to fix.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace vantrel {
namespace {

constexpr std::int32_t bufferBytes = 4096;

// Settings of this test run live in a folder of their own, never in the user's.
class IsolatedSettings : public ::testing::Environment {
public:
    void SetUp() override {
        const auto folder = std::filesystem::temp_directory_path() /
                            ("dsp_enh_settings_" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 0); // a caller may ask for a real display
        folder_ = folder;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

private:
    std::filesystem::path folder_;
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new IsolatedSettings);

void forgetStoredSettings() {
    QSettings(QSettings::IniFormat, QSettings::UserScope, "Kelvory", "dsp_enh").clear();
}

// A 16-bit stream of `channels` channels at `rate` Hz: one sine, the same on every channel.
std::vector<std::int16_t> sine(std::uint32_t rate, int channels, std::size_t frames, double db) {
    std::vector<std::int16_t> samples(frames * channels);
    const double amplitude = 32768.0 * std::pow(10.0, db / 20.0);
    for (std::size_t n = 0; n < frames; ++n)
        for (int c = 0; c < channels; ++c)
            samples[n * channels + c] = static_cast<std::int16_t>(std::clamp(
                std::lround(amplitude * std::sin(2 * std::numbers::pi * 440.0 * n / rate)), -32768L,
                32767L));
    return samples;
}

// The plug-in host on dsp_enh.so, the module initialised for `rate` Hz and `channels` channels.
class DspEnhHost {
public:
    explicit DspEnhHost(void* window = nullptr) {
        host_.SetParentWindow(window);
        setFormat(48000, 2);
        host_.SetBufferSize(bufferBytes);
        EXPECT_TRUE(host_.LoadPlugin("dsp_enh.so"));
        host_.NotifyOpened();
        host_.SelectModule(0);
        host_.InitModule();
    }

    void setFormat(std::uint32_t rate, int channels) {
        TWaveFormatEx format{};
        BuildPCMFormat(format, 16, channels, rate);
        host_.NotifyClosed();
        host_.SetWaveFormat(&format);
        host_.NotifyOpened();
    }

    // Pushes `samples` through the host in buffers of bufferBytes; answers what came out.
    std::vector<std::int16_t> push(std::vector<std::int16_t> samples) {
        PWaveHdr buffer = allocateBuffer(bufferBytes);
        const std::size_t perBuffer = bufferBytes / 2;
        for (std::size_t done = 0; done < samples.size(); done += perBuffer) {
            const std::size_t count = std::min(perBuffer, samples.size() - done);
            std::copy_n(samples.data() + done, count,
                        reinterpret_cast<std::int16_t*>(buffer->wh.lpData));
            buffer->wh.dwBytesRecorded = static_cast<std::uint32_t>(count * 2);
            host_.BufferReady(buffer);
            EXPECT_EQ(buffer->wh.dwBytesRecorded, count * 2) << "the frame count stays";
            std::copy_n(reinterpret_cast<std::int16_t*>(buffer->wh.lpData), count,
                        samples.data() + done);
        }
        freeBuffer(buffer);
        return samples;
    }

    TMMDSPPlugin& host() { return host_; }

private:
    TMMDSPPlugin host_;
};

int peakOf(const std::vector<std::int16_t>& samples) {
    int peak = 0;
    for (std::int16_t s : samples)
        peak = std::max(peak, std::abs(static_cast<int>(s)));
    return peak;
}

// The number of samples by which `output` is `input` delayed behind silence, or SIZE_MAX when it
// is not such a copy.
std::size_t delayedCopyOffset(const std::vector<std::int16_t>& input,
                              const std::vector<std::int16_t>& output) {
    for (std::size_t delay = 0; delay < output.size(); ++delay) {
        if (output[delay] != 0 || delay + 1 == output.size()) {
            // the sine starts at 0: its first non-zero sample may come a frame later
            for (std::size_t start = delay - std::min<std::size_t>(delay, 8); start <= delay;
                 ++start)
                if (std::equal(output.begin() + static_cast<std::ptrdiff_t>(start), output.end(),
                               input.begin()))
                    return start;
            return SIZE_MAX;
        }
    }
    return SIZE_MAX;
}

constexpr int ceilingSample = 29204; // -1 dBFS, the default ceiling

TEST(DspEnhModule, IsFoundAndProcessesWithoutAnyWindow) {
    forgetStoredSettings();
    DspEnhHost plugin;
    EXPECT_EQ(plugin.host().ModuleNames(), std::vector<std::string>{"Compressor / Limiter"});
    ASSERT_TRUE(plugin.host().ModuleInitialized());
    EXPECT_EQ(QCoreApplication::instance(), nullptr) << "a host without a GUI gets none";
    const std::vector<std::int16_t> loud = sine(48000, 2, 24000, 0.0);
    const std::vector<std::int16_t> output = plugin.push(loud);
    EXPECT_LE(peakOf(output), ceilingSample);
    EXPECT_GT(peakOf(output), ceilingSample / 4);
}

TEST(DspEnhModule, StartsEveryNewStreamFromSilence) {
    forgetStoredSettings();
    DspEnhHost plugin;
    plugin.push(sine(48000, 2, 24000, 0.0)); // reduces the gain, fills the look-ahead

    // A new stream shape: nothing of the old stream, no leftover reduction.
    plugin.setFormat(22050, 1);
    const std::vector<std::int16_t> quiet = sine(22050, 1, 11025, -30.0);
    const std::size_t offset = delayedCopyOffset(quiet, plugin.push(quiet));
    EXPECT_LE(offset, 22050u * 5 / 1000) << "at most 5 ms of look-ahead, then the input as it was";

    // A module shut down and initialised again, as the main window's "Config" does.
    plugin.push(sine(22050, 1, 11025, 0.0));
    plugin.host().QuitModule();
    plugin.host().InitModule();
    EXPECT_EQ(delayedCopyOffset(quiet, plugin.push(quiet)), offset);
}

// --- With a window ------------------------------------------------------------------------

// Made once and never destroyed: Qt's own statics may go first at exit.
QApplication& application() {
    static int argc = 1;
    static char name[] = "dsp_enh_tests";
    static char* argv[] = {name, nullptr};
    static auto* app = new QApplication(argc, argv);
    return *app;
}

QWidget* controlWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->windowTitle() == "Compressor / Limiter" && widget->isVisible())
            return widget;
    return nullptr;
}

TEST(DspEnhWindow, AppearsOverItsHostAndDrivesTheSound) {
    application();
    forgetStoredSettings();
    QWidget mainWindow;
    mainWindow.setWindowTitle("Sonavel");
    mainWindow.resize(800, 500);
    mainWindow.show();
    DspEnhHost plugin(&mainWindow);

    QWidget* window = controlWindow();
    ASSERT_NE(window, nullptr) << "shown when the module is initialised";
    EXPECT_EQ(window->parentWidget(), &mainWindow);
    auto* threshold = window->findChild<QDoubleSpinBox*>("Threshold");
    ASSERT_NE(threshold, nullptr);
    EXPECT_DOUBLE_EQ(threshold->value(), -18.0);

    // Peaks of the second half, once the gain has settled.
    const std::vector<std::int16_t> moderate = sine(48000, 2, 48000, -20.0);
    const auto settledPeak = [&] {
        const std::vector<std::int16_t> output = plugin.push(moderate);
        return peakOf(
            {output.begin() + static_cast<std::ptrdiff_t>(output.size() / 2), output.end()});
    };
    const int untouched = settledPeak();
    threshold->setValue(-40.0);
    const int compressed = settledPeak();
    EXPECT_LT(compressed, untouched / 2) << "the window's value reached the audio path";

    const auto meterShowsReduction = [window] {
        const QList<QLabel*> labels = window->findChildren<QLabel*>();
        return std::any_of(labels.begin(), labels.end(), [](QLabel* label) {
            return label->text().startsWith("GR ") && label->text() != "GR 0.0 dB";
        });
    };
    EXPECT_TRUE(QTest::qWaitFor(meterShowsReduction, 5000)) << "the meter's timer shows it";

    const QString screenshot = QDir::current().absoluteFilePath("dsp_enh_window.png");
    EXPECT_TRUE(window->grab().save(screenshot));
    window->move(123, 77);
    plugin.host().QuitModule();
    EXPECT_EQ(controlWindow(), nullptr) << "the window goes with the module";
}

TEST(DspEnhWindow, RemembersItsValuesAndPosition) {
    application();
    forgetStoredSettings();
    QWidget mainWindow;
    mainWindow.show();
    {
        DspEnhHost plugin(&mainWindow);
        QWidget* window = controlWindow();
        ASSERT_NE(window, nullptr);
        window->findChild<QDoubleSpinBox*>("Ceiling")->setValue(-3.5);
        window->move(140, 90);
    } // the host unloads the library
    DspEnhHost plugin(&mainWindow);
    QWidget* window = controlWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_DOUBLE_EQ(window->findChild<QDoubleSpinBox*>("Ceiling")->value(), -3.5);
    EXPECT_EQ(window->pos(), QPoint(140, 90));
}

} // namespace
} // namespace vantrel
