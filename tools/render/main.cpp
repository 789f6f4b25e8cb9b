// vantrel-render IN OUT [options]: renders an audio file through the equalizer and the
// compressor/limiter into a new WAV or MP3 file. Exit status 0 on success, 1 when the render
// failed, 2 for a command line it cannot use.
#include "FileRenderer.h"
#include "RenderOptions.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int BarWidth = 40;

// Redraws a bar on the terminal when the percentage changes; silent when stderr is no terminal.
class ProgressBar {
public:
    ProgressBar() : terminal_(isatty(STDERR_FILENO) == 1) {}
    void show(double fraction) {
        const int percent = static_cast<int>(fraction * 100);
        if (!terminal_ || percent == shown_)
            return;
        shown_ = percent;
        const int filled = percent * BarWidth / 100;
        std::fprintf(
            stderr, "\r[%s%s] %3d%%", std::string(static_cast<std::size_t>(filled), '#').c_str(),
            std::string(static_cast<std::size_t>(BarWidth - filled), ' ').c_str(), percent);
        std::fflush(stderr);
    }
    void finish() {
        if (terminal_ && shown_ >= 0)
            std::fputc('\n', stderr);
    }

private:
    bool terminal_;
    int shown_ = -1;
};

} // namespace

int main(int argc, char** argv) {
    using namespace vantrel;
    RenderOptions options;
    try {
        options = ParseRenderOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::cerr << "vantrel-render: " << error.what() << "\n"
                  << "Try 'vantrel-render --help'.\n";
        return 2;
    }
    if (options.help) {
        std::cout << RenderUsage();
        return 0;
    }
    ProgressBar bar;
    try {
        const RenderResult result =
            RenderFile(options.settings, [&](double fraction) { bar.show(fraction); });
        bar.finish();
        std::cout << "Rendered " << result.seconds << " s of audio into " << options.settings.output
                  << "\n";
        return 0;
    } catch (const RenderError& error) {
        bar.finish();
        std::cerr << "vantrel-render: " << error.what() << "\n";
        return 1;
    }
}
