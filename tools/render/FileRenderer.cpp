#include "FileRenderer.h"

#include "Application.h"
#include "EQBandLayout.h"
#include "MMAudio.h"
#include "MMEQ.h"
#include "MMLame.h"
#include "MMPlugIn.h"
#include "MMTrigg.h"
#include "MMWave.h"
#include "MainThreadLoop.h"
#include "StreamEndPadder.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>

namespace vantrel {

namespace {

namespace fs = std::filesystem;

constexpr const char* CompressorLibrary = "dsp_enh.so";
// The trigger pauses 1 ms after every buffer even when pulling as fast as the chain works, so
// the file window's 8 KiB buffers (43 ms of audio) would cap a render near 40 times real time;
// 1 MiB buffers (5.5 s at 48 kHz stereo) keep the pauses to a small share of even a render at
// a thousand times real time. The equalizer is the main window's: 512-point transforms and a
// Hanning window.
constexpr std::int32_t TriggerBufferBytes = 1048576;
constexpr std::int32_t EqualizerFFTLength = 512;
constexpr std::uint32_t EqualizerDelayFrames = EqualizerFFTLength / 4;
constexpr auto PumpInterval = std::chrono::milliseconds(100);

enum class OutputFormat { Wave, Mp3 };

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

OutputFormat outputFormatOf(const std::string& output) {
    const std::string extension = lowerCase(fs::path(output).extension().string());
    if (extension == ".wav")
        return OutputFormat::Wave;
    if (extension == ".mp3")
        return OutputFormat::Mp3;
    throw RenderError("The output file must end in .wav or .mp3: " + output);
}

void checkInputReadable(const std::string& input) {
    std::error_code error;
    if (!fs::exists(input, error))
        throw RenderError("The input file does not exist: " + input);
    if (fs::is_directory(input, error))
        throw RenderError("The input is a folder, not a file: " + input);
    std::ifstream probe(input, std::ios::binary);
    if (!probe)
        throw RenderError("Cannot read the input file " + input + ": " + std::strerror(errno));
}

// Refuses an output that is the input under another name, and one that cannot be written;
// an output that does not exist yet is not left behind by the check.
void checkOutputWritable(const std::string& input, const std::string& output) {
    std::error_code error;
    const bool exists = fs::exists(output, error);
    if (exists && fs::equivalent(input, output, error))
        throw RenderError("Refusing to overwrite the input file " + input);
    if (exists && fs::is_directory(output, error))
        throw RenderError("The output is a folder, not a file: " + output);
    std::ofstream probe(output, std::ios::binary | std::ios::app);
    if (!probe)
        throw RenderError("Cannot write the output file " + output + ": " + std::strerror(errno));
    probe.close();
    if (!exists)
        fs::remove(output, error);
}

void addBands(TMMEqualizer& equalizer, const EQPreset& gains) {
    const EQBandLayout layout =
        ComputeEQBandLayout(DefaultEQStartFrequency, DefaultEQEndFrequency, DefaultEQQFactor);
    for (std::size_t band = 0; band < gains.size(); ++band)
        equalizer.Filters().Add(new TMMEQFilter(static_cast<float>(layout.lower[band]),
                                                static_cast<float>(layout.upper[band]),
                                                static_cast<float>(gains[band])));
}

// The first error raised on the trigger's worker, reported to the caller once the chain is shut.
class WorkerErrors {
public:
    WorkerErrors() {
        installApplicationExceptionHandler([this](std::exception_ptr error) { keep(error); });
    }
    ~WorkerErrors() { installApplicationExceptionHandler({}); }
    WorkerErrors(const WorkerErrors&) = delete;
    WorkerErrors& operator=(const WorkerErrors&) = delete;

    void keep(std::exception_ptr error) {
        const std::lock_guard guard(lock_);
        if (!first_)
            first_ = error;
        failed_ = true;
    }
    bool failed() const { return failed_; }
    void rethrowFirst() {
        const std::lock_guard guard(lock_);
        if (first_)
            std::rethrow_exception(first_);
    }

private:
    std::mutex lock_;
    std::exception_ptr first_;
    std::atomic<bool> failed_ = false;
};

// The writer at the end of the chain: the wave recorder or the MP3 encoder.
class OutputWriter {
public:
    OutputWriter(const RenderSettings& settings, OutputFormat format) {
        std::error_code ignored;
        fs::remove(settings.output, ignored); // replaced, whatever it held
        if (format == OutputFormat::Wave) {
            auto recorder = std::make_unique<TMMWaveFile>();
            recorder->GetWave().SetFileMustExist(false);
            recorder->GetWave().SetFileName(settings.output);
            recorder->GetWave().SetFreeSpaceQuery(settings.freeSpace);
            recorder_ = recorder.get();
            component_ = std::move(recorder);
        } else {
            auto encoder = std::make_unique<TMMMP3Encoder>();
            encoder->SetFileName(settings.output);
            encoder->SetFileType(ftRAW);
            encoder->SetBitrate(settings.bitrate);
            encoder->SetFreeSpaceQuery(settings.freeSpace);
            encoder_ = encoder.get();
            component_ = std::move(encoder);
        }
    }
    TMMDSPComponent& component() { return *component_; }
    // False once the writer has closed itself (a full volume or a failed write).
    bool writing() const {
        return recorder_ != nullptr ? recorder_->IsFileOpen() : encoder_->IsEncoderOpen();
    }

private:
    std::unique_ptr<TMMDSPComponent> component_;
    TMMWaveFile* recorder_ = nullptr;
    TMMMP3Encoder* encoder_ = nullptr;
};

// The source of the chain: the audio file source, which reads WAV and MPEG audio files and
// delivers PCM.
class InputSource {
public:
    explicit InputSource(const std::string& input) {
        try {
            source_.SetFileName(input);
        } catch (const EMMError& error) {
            throw RenderError("Cannot read " + input + " as a WAV or MP3 file: " + error.what());
        }
        const TWaveFormatEx* format = source_.GetWaveFormat();
        if (source_.GetFileType() == ftNone || format == nullptr || source_.GetFileLength() == 0)
            throw RenderError("The input file holds no audio: " + input);
        if (format->wFormatTag != WAVE_FORMAT_PCM || format->wBitsPerSample != 16 ||
            format->nChannels > 2)
            throw RenderError("The input must decode to 16-bit PCM, mono or stereo: " + input);
        frames_ =
            static_cast<std::int64_t>(source_.GetFileLength()) * format->nSamplesPerSec / 1000;
    }
    TMMDSPComponent& component() { return source_; }
    const TWaveFormatEx& format() const { return *source_.GetWaveFormat(); }
    // Frames of the file, from its length in ms.
    std::int64_t frames() const { return frames_; }

private:
    TMMAudioFile source_;
    std::int64_t frames_ = 0;
};

class RenderChain {
public:
    RenderChain(const RenderSettings& settings, OutputFormat format)
        : source_(settings.input), writer_(settings, format) {
        equalizer_.SetFFTLength(EqualizerFFTLength);
        equalizer_.SetWindow(fwHanning);
        addBands(equalizer_, settings.gains);
        trigger_.SetBufferSize(TriggerBufferBytes);
        trigger_.SetInterval(0);
        trigger_.SetInput(&source_.component());
        trigger_.SetOutput(&padder_);
        padder_.SetOutput(&equalizer_);
        if (settings.compressor) {
            loadCompressor();
            equalizer_.SetOutput(&compressor_);
            compressor_.SetOutput(&writer_.component());
            compressor_.InitModule();
            compressor_.SetEnabled(true);
        } else {
            equalizer_.SetOutput(&writer_.component());
        }
        const std::int32_t blockAlign = source_.format().nBlockAlign;
        trigger_.OnBufferFilled = [this, blockAlign](TMMDSPComponent*, PWaveHdr buffer) {
            framesPulled_.fetch_add(buffer->wh.dwBytesRecorded / blockAlign,
                                    std::memory_order_relaxed);
        };
        trigger_.OnStop = [this](TMMDSPComponent*) {
            stopped_ = true;
        };
    }

    // Runs the chain to the end of the input (or the first error) and closes it, finishing the
    // output file. Returns the seconds of audio rendered.
    double run(const RenderProgress& progress, WorkerErrors& errors) {
        trigger_.Open();
        trigger_.Start();
        while (!stopped_ && !errors.failed()) {
            mainThread()->processPending(PumpInterval);
            if (progress && source_.frames() > 0)
                progress(std::min(1.0, static_cast<double>(framesPulled_.load()) /
                                           static_cast<double>(source_.frames())));
        }
        trigger_.Stop();
        // The worker is idle once stopped: what the writer did is settled.
        const bool writerClosedEarly = !writer_.writing();
        trigger_.Close();
        errors.rethrowFirst();
        const double seconds =
            static_cast<double>(framesPulled_.load()) / source_.format().nSamplesPerSec;
        if (writerClosedEarly)
            throw RenderError("The output volume is full: the output file was finished early "
                              "and holds only part of the rendering");
        if (progress)
            progress(1.0);
        return seconds;
    }

private:
    void loadCompressor() {
        compressor_.SetBufferSize(TriggerBufferBytes);
        if (!compressor_.LoadPlugin(CompressorLibrary))
            throw RenderError(std::string("The compressor plug-in ") + CompressorLibrary +
                              " is missing from " + programFolder() +
                              " (render without it with --no-compressor)");
        compressor_.OpenPlugin();
        compressor_.SelectModule(0);
    }

    InputSource source_;
    TMMTrigger trigger_;
    StreamEndPadder padder_{TriggerBufferBytes, EqualizerFFTLength, EqualizerDelayFrames};
    TMMEqualizer equalizer_;
    TMMDSPPlugin compressor_;
    OutputWriter writer_;
    std::atomic<std::int64_t> framesPulled_ = 0;
    bool stopped_ = false;
};

} // namespace

RenderResult RenderFile(const RenderSettings& settings, const RenderProgress& progress) {
    const OutputFormat format = outputFormatOf(settings.output);
    checkInputReadable(settings.input);
    checkOutputWritable(settings.input, settings.output);

    std::optional<MainThreadLoop> loop;
    if (mainThread() == nullptr) {
        loop.emplace();
        installMainThread(&*loop);
    }
    struct Uninstall {
        bool own;
        ~Uninstall() {
            if (own)
                installMainThread(nullptr);
        }
    } uninstall{loop.has_value()};

    WorkerErrors errors;
    try {
        RenderChain chain(settings, format);
        return RenderResult{chain.run(progress, errors)};
    } catch (const RenderError&) {
        throw;
    } catch (const std::exception& error) {
        throw RenderError(std::string("Rendering failed: ") + error.what());
    }
}

} // namespace vantrel
