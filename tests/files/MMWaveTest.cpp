#include "MMWave.h"

#include "FileTestSupport.h"
#include "MMObj.h"
#include "MainThreadFixture.h"
#include "StreamWorker.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vantrel {
namespace {

using testing::Bytes;
using testing::ScratchFolder;

TWaveFormatEx pcmFormat(int bits, int channels, std::uint32_t rate) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, bits, channels, rate);
    return format;
}

// A buffer record that frees itself.
struct Buffer {
    explicit Buffer(std::uint32_t bytes) : header(allocateBuffer(bytes)) {}
    ~Buffer() { freeBuffer(header); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Bytes valid() const {
        return Bytes(header->wh.lpData, header->wh.lpData + header->wh.dwBytesRecorded);
    }
    PWaveHdr header;
};

// The head of a recording chain: hands its format on and pushes buffers.
class PushSource : public TMMDSPComponent {
public:
    PushSource() { publishLinks(false, true); }
    void push(const Bytes& data) {
        Buffer buffer(static_cast<std::uint32_t>(data.size()));
        std::memcpy(buffer.header->wh.lpData, data.data(), data.size());
        buffer.header->wh.dwBytesRecorded = static_cast<std::uint32_t>(data.size());
        GetOutput()->BufferReady(buffer.header);
    }
};

// The end of a chain: keeps what reaches it.
class Sink : public TMMDSPComponent {
public:
    Sink() { publishLinks(true, false); }
    void BufferReady(PWaveHdr buffer) override {
        received.insert(received.end(), buffer->wh.lpData,
                        buffer->wh.lpData + buffer->wh.dwBytesRecorded);
    }
    Bytes received;
};

// source -> recorder -> sink, with the recorder's file in a scratch folder.
class RecorderTest : public ::testing::Test {
protected:
    RecorderTest() {
        recorder.SetInput(&source);
        recorder.SetOutput(&sink);
        recorder.GetWave().SetFileMustExist(false);
        recorder.OnOpen = [this](TMMDSPComponent*) {
            events.push_back("open");
        };
        recorder.OnClose = [this](TMMDSPComponent*) {
            events.push_back("close");
        };
        source.SetWaveFormat(&format);
    }

    void startRecording(const std::string& name) {
        recorder.GetWave().SetFileName(folder.file(name));
        recorder.NotifyOpened();
        recorder.NotifyStarted();
    }

    ScratchFolder folder;
    TWaveFormatEx format = pcmFormat(16, 2, 8000);
    PushSource source;
    TMMWaveFile recorder;
    Sink sink;
    std::vector<std::string> events;
};

// What sox reads from `file`, as raw samples in the file's own encoding.
Bytes soxSamples(const ScratchFolder& folder, const std::string& file) {
    const std::string raw = folder.file("sox.raw");
    if (!testing::run("sox " + testing::quoted(folder.file(file)) + " -t raw " +
                      testing::quoted(raw)))
        return {};
    return testing::readFile(raw);
}

Bytes ffmpegSamples(const ScratchFolder& folder, const std::string& file) {
    const std::string raw = folder.file("ffmpeg.raw");
    if (!testing::run("ffmpeg -v error -y -i " + testing::quoted(folder.file(file)) +
                      " -map 0:a -c copy -f data " + testing::quoted(raw)))
        return {};
    return testing::readFile(raw);
}

std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EMMWaveError& error) {
        return error.what();
    }
    return "no error";
}

// --- TMMWave ---------------------------------------------------------------------------------

TEST(WaveTest, NamingAFileChecksItExistsAndIsWave) {
    ScratchFolder folder;
    testing::writeFile(folder.file("text.wav"), Bytes(100, 'x'));
    struct {
        const char* file;
        bool mustExist;
        const char* error;
    } cases[] = {
        {"missing.wav", false, "no error"},
        {"missing.wav", true, "Error reading wave file"},
        {"text.wav", false, "Invalid wave file..."},
        {"text.wav", true, "Invalid wave file..."},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(::testing::Message() << each.file << " must exist " << each.mustExist);
        TMMWave wave;
        wave.SetFileMustExist(each.mustExist);
        EXPECT_EQ(errorOf([&] { wave.SetFileName(folder.file(each.file)); }), each.error);
        EXPECT_EQ(wave.GetWaveIOInfo(), nullptr);
    }
    TMMWave target;
    target.SetFileMustExist(false);
    target.SetFileName(folder.file("missing.wav"));
    EXPECT_EQ(target.GetFileName(), folder.file("missing.wav"));
}

TEST(WaveTest, PropertiesFollowTheFile) {
    ScratchFolder folder;
    TMMWave wave;
    EXPECT_EQ(wave.GetSampleRate(), 11025);
    EXPECT_EQ(wave.GetFormatString(), "Unknown");
    wave.SetIOBufferSize(1000);
    EXPECT_EQ(wave.GetIOBufferSize(), 8192);

    const TWaveFormatEx format = pcmFormat(16, 1, 44100);
    wave.CreateFile(folder.file("second.wav"), &format);
    const Bytes second = testing::patternBytes(2 * 44100);
    ASSERT_EQ(wave.WriteData(second.data(), static_cast<std::int32_t>(second.size())), 88200);
    wave.Close();
    wave.SetTimeFormat(tfMillisecond);
    EXPECT_EQ(wave.GetDataSize(), 1000);
    wave.SetTimeFormat(tfByte);
    EXPECT_EQ(wave.GetDataSize(), 88200);
    EXPECT_EQ(wave.GetFileSize(), 44 + 88200);
    EXPECT_EQ(wave.GetMode(), mMono);
    EXPECT_EQ(wave.GetFormatString(), "PCM");

    int reports = 0;
    const int token = wave.Subscribe([&] { ++reports; });
    TMMWave copy;
    copy.Subscribe([&] { ++reports; });
    copy.Assign(wave);
    EXPECT_EQ(copy.GetDataSize(), 88200);
    EXPECT_EQ(reports, 1); // one report for the whole assignment
    wave.Unsubscribe(token);
    wave.Clear();
    EXPECT_EQ(reports, 1);
}

// --- Recording -------------------------------------------------------------------------------

TEST_F(RecorderTest, RecordsPushedBuffersAndPassesThemOnUnchanged) {
    startRecording("take.wav");
    Bytes pushed;
    for (unsigned i = 0; i < 10; ++i) {
        const Bytes data = testing::patternBytes(4 * 250, i);
        source.push(data);
        pushed.insert(pushed.end(), data.begin(), data.end());
    }
    recorder.NotifyClosed();

    EXPECT_EQ(sink.received, pushed);
    EXPECT_EQ(events, (std::vector<std::string>{"open", "close"}));
    VANTREL_REQUIRE_TOOL("sox");
    EXPECT_EQ(soxSamples(folder, "take.wav"), pushed);
}

TEST_F(RecorderTest, RecordingWithoutBuffersLeavesAFourByteDataChunk) {
    startRecording("empty.wav");
    recorder.NotifyClosed();
    const Bytes file = testing::readFile(folder.file("empty.wav"));
    ASSERT_EQ(file.size(), 48u);
    EXPECT_EQ(testing::idAt(file, 36), "data");
    EXPECT_EQ(testing::u32At(file, 40), 4u);
    VANTREL_REQUIRE_TOOL("sox");
    EXPECT_EQ(soxSamples(folder, "empty.wav"), Bytes(4, 0));
}

TEST_F(RecorderTest, OverwritingReplacesAnExistingFile) {
    startRecording("take.wav");
    source.push(testing::patternBytes(40000));
    recorder.NotifyClosed();

    recorder.GetWave().SetFileName(folder.file("take.wav"));
    recorder.NotifyOpened();
    recorder.NotifyStarted();
    const Bytes second = testing::patternBytes(400, 9);
    source.push(second);
    recorder.NotifyClosed();

    PWaveIOInfo info = nullptr;
    ASSERT_EQ(ReadWaveInfo(info, folder.file("take.wav"), FormWave, WaveIOModeFile), 0);
    EXPECT_EQ(info->dataSize, 400u);
    EXPECT_EQ(info->fileSize, 444u);
    FreeWaveInfo(info);
}

// The volume is simulated: it holds `capacity` bytes and the recording is all that is on it.
TEST_F(RecorderTest, FullVolumeClosesTheRecordingAndLeavesAReadableFile) {
    constexpr std::uint64_t capacity = 100000;
    const std::string name = folder.file("full.wav");
    recorder.GetWave().SetFreeSpaceQuery([&](const std::filesystem::path& path) -> std::uint64_t {
        EXPECT_EQ(path, name);
        return capacity - 44 - recorder.GetWave().GetWaveIOInfo()->dataSize;
    });
    startRecording("full.wav");
    const std::uint64_t buffer = 4000;
    Bytes kept;
    Bytes pushed;
    for (unsigned i = 0; i < 30; ++i) {
        const Bytes data = testing::patternBytes(buffer, i);
        // Before each write: free >= buffer + I/O buffer + 10240, or the file is closed.
        const std::uint64_t written = 44 + kept.size();
        if (recorder.IsFileOpen() && capacity - written >= buffer + 32768 + 10240)
            kept.insert(kept.end(), data.begin(), data.end());
        source.push(data);
        pushed.insert(pushed.end(), data.begin(), data.end());
    }
    EXPECT_FALSE(recorder.IsFileOpen());
    EXPECT_EQ(events, (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ(sink.received, pushed); // the chain goes on without the recording
    EXPECT_EQ(kept.size(), 56000u);
    recorder.NotifyClosed(); // the device closing later changes nothing

    PWaveIOInfo info = nullptr;
    ASSERT_EQ(ReadWaveInfo(info, name, FormWave, WaveIOModeFile), 0);
    EXPECT_EQ(info->dataSize, kept.size());
    FreeWaveInfo(info);
    VANTREL_REQUIRE_TOOL("sox");
    VANTREL_REQUIRE_TOOL("ffmpeg");
    EXPECT_EQ(soxSamples(folder, "full.wav"), kept);
    EXPECT_EQ(ffmpegSamples(folder, "full.wav"), kept);
}

class RecorderOnWorkerTest : public MainThreadFixture {
protected:
    ScratchFolder folder;
    TWaveFormatEx format = pcmFormat(16, 2, 8000);
    PushSource source;
    TMMWaveFile recorder;
};

TEST_F(RecorderOnWorkerTest, FullVolumeOnAStreamWorkerReportsTheCloseOnTheMainThread) {
    recorder.SetInput(&source);
    source.SetWaveFormat(&format);
    recorder.GetWave().SetFileMustExist(false);
    recorder.GetWave().SetFileName(folder.file("worker.wav"));
    recorder.GetWave().SetFreeSpaceQuery([](const std::filesystem::path&) { return 0; });
    std::atomic<bool> closedOnMain{false};
    recorder.OnClose = [&](TMMDSPComponent*) {
        closedOnMain = loop.isMainThread();
    };
    recorder.NotifyOpened();
    recorder.NotifyStarted();

    TMMEvent pushed;
    test::StreamWorker worker(&source, [&] {
        source.push(testing::patternBytes(400));
        pushed.Set();
    });
    worker.Resume();
    ASSERT_TRUE(pumpUntil([&] { return pushed.WaitFor(0); }));
    worker.WaitFor();
    EXPECT_TRUE(closedOnMain);
    EXPECT_FALSE(recorder.IsFileOpen());
    PWaveIOInfo info = nullptr;
    ASSERT_EQ(ReadWaveInfo(info, folder.file("worker.wav"), FormWave, WaveIOModeFile), 0);
    EXPECT_EQ(info->dataSize, 4u); // nothing fitted: the 4 bytes that keep the chunk valid
    FreeWaveInfo(info);
}

TEST_F(RecorderTest, SavingAfterRecordingRewritesThroughATemporaryFileAndLosesNothing) {
    startRecording("take.wav");
    Bytes pushed;
    for (unsigned i = 0; i < 20; ++i) {
        const Bytes data = testing::patternBytes(4 * 1000, i);
        source.push(data);
        pushed.insert(pushed.end(), data.begin(), data.end());
    }
    recorder.NotifyClosed();

    TMMWave& wave = recorder.GetWave();
    std::vector<std::string> temporaries;
    wave.OnProgress = [&](TMMWave*, std::int32_t, std::int32_t total, bool&) {
        EXPECT_EQ(total, static_cast<std::int32_t>(pushed.size()));
        for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
            if (entry.path().extension() == ".tmp")
                temporaries.push_back(entry.path().filename().string());
    };
    wave.SaveToFile(wave.GetFileName());

    ASSERT_FALSE(temporaries.empty());
    EXPECT_EQ(temporaries.front().front(), 'w');
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        EXPECT_NE(entry.path().extension(), ".tmp");
    EXPECT_EQ(wave.GetDataSize(), 20000);
    VANTREL_REQUIRE_TOOL("sox");
    EXPECT_EQ(soxSamples(folder, "take.wav"), pushed);
}

TEST_F(RecorderTest, FailedOrCancelledSaveLeavesTheFileUntouched) {
    startRecording("take.wav");
    for (unsigned i = 0; i < 5; ++i)
        source.push(testing::patternBytes(4 * 4000, i));
    recorder.NotifyClosed();
    const Bytes before = testing::readFile(folder.file("take.wav"));
    TMMWave& wave = recorder.GetWave();

    wave.OnProgress = [](TMMWave*, std::int32_t, std::int32_t, bool& cancel) {
        cancel = true;
    };
    EXPECT_EQ(errorOf([&] { wave.SaveToFile(wave.GetFileName()); }), "Saving was aborted");
    wave.OnProgress = nullptr;
    wave.SetFreeSpaceQuery([](const std::filesystem::path&) { return std::uint64_t{40000}; });
    EXPECT_EQ(errorOf([&] { wave.SaveToFile(wave.GetFileName()); }), "Unable to save wave file");
    EXPECT_EQ(errorOf([&] { wave.SaveToFile(""); }), "Invalid param passed!");

    EXPECT_EQ(testing::readFile(folder.file("take.wav")), before);
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        EXPECT_NE(entry.path().extension(), ".tmp");
}

// --- Reading ---------------------------------------------------------------------------------

class ReaderTest : public ::testing::Test {
protected:
    // A file of `frames` frames of 8-bit stereo, loaded by the reader.
    void load(std::size_t frames) {
        data = testing::patternBytes(2 * frames);
        TMMWave writer;
        const TWaveFormatEx format = pcmFormat(8, 2, 8000);
        writer.CreateFile(folder.file("play.wav"), &format);
        writer.WriteData(data.data(), static_cast<std::int32_t>(data.size()));
        writer.Close();
        reader.GetWave().SetFileName(folder.file("play.wav"));
    }
    // Pulls one buffer as an output device would.
    Bytes pull(Buffer& buffer, bool& more) {
        buffer.header->wh.dwBytesRecorded = 0;
        more = false;
        reader.BufferLoad(buffer.header, more);
        return buffer.valid();
    }

    ScratchFolder folder;
    TMMWaveFile reader;
    Bytes data;
};

TEST_F(ReaderTest, ServesTheFileInPulledBuffersAndEndsWithoutMore) {
    load(1500);
    reader.NotifyOpened();
    reader.NotifyStarted();
    Buffer buffer(1000);
    Bytes served;
    bool more = true;
    while (more) {
        const Bytes got = pull(buffer, more);
        ASSERT_FALSE(got.empty());
        served.insert(served.end(), got.begin(), got.end());
    }
    EXPECT_EQ(served, data);
    EXPECT_TRUE(pull(buffer, more).empty());
    EXPECT_FALSE(more);
}

TEST_F(ReaderTest, StoppedReaderServesSilence) {
    load(100);
    ASSERT_EQ(reader.GetWaveFormat()->wBitsPerSample, 8);
    reader.NotifyOpened();
    Buffer buffer(64);
    bool more = false;
    EXPECT_EQ(pull(buffer, more), Bytes(64, static_cast<char>(128)));
    EXPECT_TRUE(more);
}

TEST_F(ReaderTest, LoopsAsOftenAsTheBufferAsks) {
    load(100);
    int loops = 0;
    reader.OnLooping = [&](TMMDSPComponent*) {
        ++loops;
    };
    reader.NotifyOpened();
    reader.NotifyStarted();
    Buffer buffer(200);
    buffer.header->LoopEnabled = MMTrue;
    buffer.header->LoopCount = 2;
    buffer.header->LoopsLeft = 2;
    bool more = true;
    std::size_t served = 0;
    for (int pulls = 0; more && pulls < 10; ++pulls)
        served += pull(buffer, more).size();
    EXPECT_EQ(loops, 2);
    EXPECT_EQ(served, 3 * data.size());
    EXPECT_EQ(buffer.header->LoopRestarted, MMTrue);
}

TEST_F(ReaderTest, FileCutShortEndsWithOneSmallBlockOfSilence) {
    load(1000);
    std::filesystem::resize_file(folder.file("play.wav"), 44 + 500); // after it was parsed
    reader.NotifyOpened();
    reader.NotifyStarted();
    Buffer buffer(400);
    bool more = false;
    EXPECT_EQ(pull(buffer, more).size(), 400u);
    EXPECT_EQ(pull(buffer, more).size(), 100u);
    EXPECT_EQ(pull(buffer, more), Bytes(4, 0));
    EXPECT_FALSE(more);
    EXPECT_TRUE(pull(buffer, more).empty());
}

} // namespace
} // namespace vantrel
