#include "MMPlugIn.h"

#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vantrel {
namespace {

constexpr std::int32_t bufferSize = 2048; // bytes: 512 stereo frames

// The call log of a test plug-in the host has open.
std::string pluginLog(const std::string& file) {
    void* library = dlopen(pluginPath(file).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr)
        return "(not loaded)";
    auto* log = reinterpret_cast<const char* (*)()>(dlsym(library, "testPluginLog"));
    std::string text = log != nullptr ? log() : "(no log)";
    dlclose(library);
    return text;
}

TWaveFormatEx stereo16(std::uint32_t rate = 48000) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, 16, 2, rate);
    return format;
}

// A source at the head of the chain: frame i holds the samples (i, -i), until `frames` frames
// have been served.
class CountingSource : public TMMDSPComponent {
public:
    explicit CountingSource(std::int64_t frames) : total_(frames) {
        publishLinks(false, true);
        const TWaveFormatEx format = stereo16();
        SetWaveFormat(&format);
    }

    void BufferLoad(PWaveHdr buffer, bool& more) override {
        auto* samples = reinterpret_cast<std::int16_t*>(buffer->wh.lpData);
        const std::int64_t frames =
            std::min<std::int64_t>(buffer->wh.dwBufferLength / 4, total_ - next_);
        for (std::int64_t i = 0; i < frames; ++i, ++next_) {
            samples[2 * i] = static_cast<std::int16_t>(next_);
            samples[2 * i + 1] = static_cast<std::int16_t>(-next_);
        }
        buffer->wh.dwBytesRecorded = static_cast<std::uint32_t>(frames * 4);
        more = next_ < total_;
    }

private:
    std::int64_t total_;
    std::int64_t next_ = 0;
};

// Frame values a pulled stream carried, left channel.
std::vector<std::int16_t> leftChannel(const PWaveHdr buffer) {
    const auto* samples = reinterpret_cast<const std::int16_t*>(buffer->wh.lpData);
    std::vector<std::int16_t> left;
    for (std::uint32_t i = 0; i < buffer->wh.dwBytesRecorded / 4; ++i) {
        EXPECT_EQ(samples[2 * i + 1], static_cast<std::int16_t>(-samples[2 * i]));
        left.push_back(samples[2 * i]);
    }
    return left;
}

struct BufferDeleter {
    void operator()(TMMBufferHeader* buffer) const { freeBuffer(buffer); }
};
using Buffer = std::unique_ptr<TMMBufferHeader, BufferDeleter>;

Buffer makeBuffer(std::uint32_t bytes) {
    return Buffer(allocateBuffer(bytes));
}

// A plug-in host fed by a counting source, opened for 48 kHz stereo with 2048-byte buffers.
class HostFixture : public ::testing::Test {
protected:
    void open(const std::string& file, std::int32_t module, std::int64_t sourceFrames = 1 << 20) {
        source_ = std::make_unique<CountingSource>(sourceFrames);
        host_.SetBufferSize(bufferSize);
        source_->SetOutput(&host_);
        ASSERT_TRUE(host_.LoadPlugin(file));
        host_.NotifyOpened();
        host_.SelectModule(module);
        host_.InitModule();
    }

    // Pulls buffers of `bytes` bytes until the source has ended; answers the left channel.
    std::vector<std::int16_t> pullAll(std::uint32_t bytes) {
        std::vector<std::int16_t> stream;
        Buffer buffer = makeBuffer(bytes);
        for (bool more = true; more;) {
            more = false;
            host_.BufferLoad(buffer.get(), more);
            const std::vector<std::int16_t> left = leftChannel(buffer.get());
            stream.insert(stream.end(), left.begin(), left.end());
            if (more) {
                EXPECT_EQ(buffer->wh.dwBytesRecorded, bytes) << "a full buffer while data remains";
            }
        }
        return stream;
    }

    TMMDSPPlugin host_;
    std::unique_ptr<CountingSource> source_;
};

// --- Finding and driving the two layouts --------------------------------------------------

struct LayoutCase {
    const char* file;
    const char* description;
    const char* expectedLog;
};

class LayoutTest : public HostFixture, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(LayoutTest, IsFoundThroughItsHeaderNameAndDrivenInOrder) {
    const LayoutCase& c = GetParam();
    open(c.file, 0);
    EXPECT_EQ(host_.PluginDescription(), c.description);
    EXPECT_EQ(host_.ModuleNames().front(), "Add one");
    EXPECT_TRUE(host_.ModuleInitialized());

    Buffer buffer = makeBuffer(bufferSize);
    buffer->wh.dwBytesRecorded = bufferSize;
    host_.BufferReady(buffer.get());
    EXPECT_EQ(reinterpret_cast<std::int16_t*>(buffer->wh.lpData)[0], 1) << "the module ran";
    EXPECT_EQ(buffer->wh.dwBytesRecorded, static_cast<std::uint32_t>(bufferSize));
    host_.QuitModule();
    EXPECT_FALSE(host_.ModuleInitialized());
    EXPECT_EQ(pluginLog(c.file), c.expectedLog);
}

constexpr const char* firstLayoutLog =
    "init Add one 48000 2 512;restart Add one 48000 2 512;samples 48000 2 512;quit Add one;";
constexpr const char* secondLayoutLog = "init Add one;samples 512 16 2 48000;quit Add one;";

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutTest,
    ::testing::Values(
        LayoutCase{"test_layout1.so", "Test plug-in (first layout)", firstLayoutLog},
        LayoutCase{"test_mm_layout1.so", "Test plug-in (first layout)", firstLayoutLog},
        LayoutCase{"test_layout2.so", "Test plug-in (second layout)", secondLayoutLog},
        LayoutCase{"test_both_layouts.so", "Test plug-in (first layout)", firstLayoutLog}),
    [](const auto& info) {
        std::string name = info.param.file;
        return name.substr(0, name.find('.'));
    });

TEST(PluginLoading, RefusesLibrariesWithoutAnAcceptableHeader) {
    for (const char* file :
         {"test_no_header.so", "test_version15.so", "no_such_plugin.so", "/proc/self/status"}) {
        TMMDSPPlugin host;
        EXPECT_FALSE(host.LoadPlugin(file)) << file;
        EXPECT_FALSE(host.PluginLoaded()) << file;
        EXPECT_FALSE(host.ModuleInitialized()) << file;
    }
}

TEST(PluginLoading, AGetterThatNeverEndsYieldsAHundredModules) {
    TMMDSPPlugin host;
    ASSERT_TRUE(host.LoadPlugin("test_endless.so"));
    EXPECT_EQ(host.ModuleNames().size(), 100u);
}

TEST(PluginLoading, UnloadingShutsInitialisedModulesDown) {
    TMMDSPPlugin host;
    ASSERT_TRUE(host.LoadPlugin("test_layout2.so"));
    host.InitModule();
    void* library = dlopen(pluginPath("test_layout2.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    host.UnloadPlugin();
    auto* log = reinterpret_cast<const char* (*)()>(dlsym(library, "testPluginLog"));
    EXPECT_EQ(std::string(log()), "init Add one;quit Add one;");
    dlclose(library);
    EXPECT_FALSE(host.PluginLoaded());
}

// --- Errors -------------------------------------------------------------------------------

TEST_F(HostFixture, RefusesAModuleIndexItDoesNotHave) {
    open("test_layout2.so", 0);
    for (std::int32_t index : {3, -1, 100})
        EXPECT_THROW(
            {
                try {
                    host_.SelectModule(index);
                } catch (const EMMPlugInError& error) {
                    EXPECT_STREQ(error.what(), "Invalid Module index");
                    throw;
                }
            },
            EMMPlugInError);
    host_.UnloadPlugin();
    EXPECT_THROW(host_.SelectModule(0), EMMPlugInError);
}

struct FailureCase {
    std::int32_t module;
    const char* message;
};

class ModuleFailureTest : public HostFixture, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ModuleFailureTest, RaisesItsText) {
    source_ = std::make_unique<CountingSource>(0);
    source_->SetOutput(&host_);
    ASSERT_TRUE(host_.LoadPlugin("test_layout1.so"));
    host_.SelectModule(GetParam().module);
    try {
        host_.InitModule();
        FAIL() << "no error";
    } catch (const EMMPlugInError& error) {
        EXPECT_STREQ(error.what(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(Modules, ModuleFailureTest,
                         ::testing::Values(FailureCase{1, "Unable to initialise Module"},
                                           FailureCase{2, "Unable to initialise Module"},
                                           FailureCase{3, "Unable to restart Module"}),
                         [](const auto& info) {
                             return "Module" + std::to_string(info.param.module);
                         });

TEST(PluginErrors, OpeningALibraryThatVanishedRaisesUnableToOpen) {
    const auto copy = std::filesystem::temp_directory_path() / "vantrel_vanishing_plugin.so";
    std::filesystem::copy_file(pluginPath("test_layout2.so"), copy,
                               std::filesystem::copy_options::overwrite_existing);
    TMMDSPPlugin host;
    ASSERT_TRUE(host.LoadPlugin(copy.string()));
    std::filesystem::remove(copy);
    try {
        host.OpenPlugin();
        FAIL() << "no error";
    } catch (const EMMPlugInError& error) {
        EXPECT_STREQ(error.what(), "Unable to open Module");
    }
}

TEST(PluginErrors, RefusesFormatsOtherThan16BitPCM) {
    TMMDSPPlugin host;
    TWaveFormatEx format{};
    BuildPCMFormat(format, 8, 2, 44100);
    try {
        host.SetWaveFormat(&format);
        FAIL() << "no error";
    } catch (const EMMPlugInError& error) {
        EXPECT_STREQ(error.what(), "Invalid WaveFormat");
    }
    BuildPCMFormat(format, 16, 1, 22050);
    EXPECT_NO_THROW(host.SetWaveFormat(&format));
}

// --- Passing buffers ----------------------------------------------------------------------

TEST_F(HostFixture, DisabledPassesBuffersBitExactBothWays) {
    open("test_layout2.so", 2); // doubles every frame while enabled
    host_.SetEnabled(false);

    Buffer pushed = makeBuffer(bufferSize);
    for (std::uint32_t i = 0; i < bufferSize; ++i)
        pushed->wh.lpData[i] = static_cast<char>(i * 37 + 11);
    pushed->wh.dwBytesRecorded = bufferSize;
    std::vector<char> before(pushed->wh.lpData, pushed->wh.lpData + bufferSize);
    host_.BufferReady(pushed.get());
    EXPECT_EQ(pushed->wh.dwBytesRecorded, static_cast<std::uint32_t>(bufferSize));
    EXPECT_EQ(std::memcmp(before.data(), pushed->wh.lpData, bufferSize), 0);

    Buffer pulled = makeBuffer(bufferSize);
    bool more = false;
    host_.BufferLoad(pulled.get(), more);
    const std::vector<std::int16_t> left = leftChannel(pulled.get());
    ASSERT_EQ(left.size(), 512u);
    for (std::size_t i = 0; i < left.size(); ++i)
        ASSERT_EQ(left[i], static_cast<std::int16_t>(i));
    EXPECT_EQ(pluginLog("test_layout2.so"), "init Double;");
}

TEST_F(HostFixture, AModuleThatIsNotInitialisedLetsBuffersThrough) {
    source_ = std::make_unique<CountingSource>(1000);
    source_->SetOutput(&host_);
    ASSERT_TRUE(host_.LoadPlugin("test_layout1.so"));
    host_.NotifyOpened();
    host_.SelectModule(1);
    EXPECT_THROW(host_.InitModule(), EMMPlugInError);
    const std::vector<std::int16_t> stream = pullAll(bufferSize);
    ASSERT_EQ(stream.size(), 1000u);
    EXPECT_EQ(stream.back(), 999);
}

// --- The pull path through the internal buffer --------------------------------------------

struct FrameChangeCase {
    std::int32_t module;
    std::uint32_t pullBytes;
};

class FrameChangeTest : public HostFixture,
                        public ::testing::WithParamInterface<FrameChangeCase> {};

TEST_P(FrameChangeTest, ServesEveryProcessedFrameOnceAndInOrder) {
    constexpr std::int64_t sourceFrames = 5000; // not a multiple of any buffer
    open("test_layout2.so", GetParam().module, sourceFrames);
    const std::vector<std::int16_t> stream = pullAll(GetParam().pullBytes);

    std::vector<std::int16_t> expected;
    for (std::int64_t frame = 0; frame < sourceFrames; ++frame) {
        if (GetParam().module == 1 && frame % 2 != 0)
            continue; // the halving module keeps the even frames
        expected.push_back(static_cast<std::int16_t>(frame));
        if (GetParam().module == 2)
            expected.push_back(static_cast<std::int16_t>(frame));
    }
    EXPECT_EQ(stream, expected);
}

INSTANTIATE_TEST_SUITE_P(Modules, FrameChangeTest,
                         ::testing::Values(FrameChangeCase{1, bufferSize},
                                           FrameChangeCase{2, bufferSize}, FrameChangeCase{2, 1500},
                                           FrameChangeCase{1, 4096}),
                         [](const auto& info) {
                             return std::string(info.param.module == 1 ? "Halving" : "Doubling") +
                                    "Into" + std::to_string(info.param.pullBytes) + "Bytes";
                         });

TEST_F(HostFixture, RestartDropsWhatTheInternalBufferHeld) {
    open("test_layout2.so", 2);
    Buffer buffer = makeBuffer(bufferSize);
    bool more = false;
    host_.BufferLoad(buffer.get(), more); // frames 0..255 doubled; 256..511 wait inside
    EXPECT_TRUE(more);
    host_.RestartModule();
    host_.BufferLoad(buffer.get(), more);
    EXPECT_EQ(leftChannel(buffer.get()).front(), 512) << "the next upstream buffer, not old data";
}

// A source that reports one wrap to its start, while filling its second buffer, as a looping
// file player does.
class LoopingSource : public CountingSource {
public:
    LoopingSource() : CountingSource(1 << 20) {}
    void BufferLoad(PWaveHdr buffer, bool& more) override {
        loopEnabledSeen = buffer->LoopEnabled;
        CountingSource::BufferLoad(buffer, more);
        if (++fills == 2) {
            buffer->LoopRestarted = MMTrue;
            buffer->LoopsLeft = 3;
        }
    }
    int fills = 0;
    std::int32_t loopEnabledSeen = 0;
};

TEST(PluginPull, ALoopRestartReachesTheCallerWithTheFollowingPull) {
    LoopingSource source;
    TMMDSPPlugin host;
    host.SetBufferSize(bufferSize);
    source.SetOutput(&host);
    ASSERT_TRUE(host.LoadPlugin("test_layout2.so"));
    host.NotifyOpened();
    host.InitModule();

    Buffer buffer = makeBuffer(bufferSize);
    buffer->LoopEnabled = MMTrue;
    bool more = false;
    host.BufferLoad(buffer.get(), more); // first upstream fill
    EXPECT_EQ(source.loopEnabledSeen, MMTrue) << "the caller's loop setting travels up";
    host.BufferLoad(buffer.get(), more); // second fill: the source wraps
    EXPECT_EQ(buffer->LoopRestarted, 0);
    host.BufferLoad(buffer.get(), more); // the restart is handed on with the next refill
    EXPECT_EQ(buffer->LoopRestarted, MMTrue);
    EXPECT_EQ(buffer->LoopsLeft, 3);
}

TEST_F(HostFixture, APushedBufferNeverClaimsMoreThanItsRoom) {
    open("test_layout2.so", 2);
    Buffer buffer = makeBuffer(2 * bufferSize); // room for what the module writes
    buffer->wh.dwBufferLength = bufferSize;
    buffer->wh.dwBytesRecorded = bufferSize;
    host_.BufferReady(buffer.get());
    EXPECT_EQ(buffer->wh.dwBytesRecorded, static_cast<std::uint32_t>(bufferSize));
}

} // namespace
} // namespace vantrel
