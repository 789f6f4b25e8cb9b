// What the wave layer does when no sound server answers, or when the server goes away while
// devices are open. Each case runs in a fresh process (a death-test child that re-executes this
// program), because the layer connects once per process, on first use.
#include "WaveDevices.h"
#include "WaveTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <sstream>

namespace vantrel {
namespace {

using test::Buffer;
using test::makeBuffer;
using test::Notifications;
using test::pcm;

// Checks inside the child process: reports a failed one on stderr and leaves with code 1.
void check(bool condition, const char* what) {
    if (!condition) {
        std::cerr << "failed: " << what << std::endl;
        std::exit(1);
    }
}

class SoundServerState : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

void runWithoutServer() {
    setenv("PULSE_SERVER", "unix:/nonexistent/vantrel-test/native", 1);
    const WaveInFunctions& in = waveInFunctions();
    const WaveOutFunctions& out = waveOutFunctions();
    check(!soundServerAvailable(), "no server is reported");
    check(test::deviceNames(in) == std::vector<std::string>{"Virtual Cable", "Test Signal"},
          "only the virtual inputs remain");
    check(test::deviceNames(out) == std::vector<std::string>{"Virtual Cable", "Null Output"},
          "only the virtual outputs remain");
    WaveDeviceCaps caps;
    check(in.getDevCaps(MapperId, caps) == MMSYSERR_NOERROR &&
              caps.productName == "Default Device (Virtual Cable)",
          "the default input is the virtual cable");
    check(out.getDevCaps(MapperId, caps) == MMSYSERR_NOERROR &&
              caps.productName == "Default Device (Null Output)",
          "the default output is the null output");

    const TWaveFormatEx format = pcm(16, 2, 48000);
    Buffer buffer = makeBuffer(4800);
    Notifications notes;
    test::OpenDevice<WaveOutFunctions> device(out, MapperId, format, notes);
    check(device.result() == MMSYSERR_NOERROR, "the default output opens");
    check(device.queue(buffer) == MMSYSERR_NOERROR && notes.waitForDone(1),
          "the default output plays");
    device.close();
    std::exit(0);
}

TEST_F(SoundServerState, WithoutAServerTheVirtualDevicesRemainAndServeAsDefaults) {
    EXPECT_EXIT(runWithoutServer(), ::testing::ExitedWithCode(0), "");
}

// Starts a private server with scripts/pulse-test-server and points this process at it; false
// when none could be started.
bool startPrivateServer() {
    const std::string command =
        std::string(VANTREL_SOURCE_DIR) + "/scripts/pulse-test-server start";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return false;
    std::string output;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr)
        output += chunk;
    if (pclose(pipe) != 0)
        return false;
    // "export NAME=value NAME=value ..."
    std::istringstream words(output);
    std::string word;
    while (words >> word) {
        const auto equals = word.find('=');
        if (equals != std::string::npos)
            setenv(word.substr(0, equals).c_str(), word.substr(equals + 1).c_str(), 1);
    }
    return std::getenv("VANTREL_PULSE_TEST_DIR") != nullptr;
}

void stopPrivateServer() {
    const std::string command = std::string(VANTREL_SOURCE_DIR) + "/scripts/pulse-test-server stop";
    check(std::system(command.c_str()) == 0, "the private server stops");
}

void runWithServerGoingAway() {
    check(startPrivateServer(), "a private server starts");
    const WaveInFunctions& in = waveInFunctions();
    const WaveOutFunctions& out = waveOutFunctions();
    check(soundServerAvailable(), "the private server answers");
    const TMMDeviceId card = test::findDevice(out, "Test Card");
    const TMMDeviceId monitor = test::findDevice(in, "Monitor of Test Card");
    check(card != InvalidId && monitor != InvalidId, "the null sink and its monitor are listed");

    const TWaveFormatEx format = pcm(16, 2, 48000);
    std::vector<Buffer> played, recorded;
    for (int i = 0; i < 3; ++i) {
        played.push_back(makeBuffer(format.nAvgBytesPerSec * 10));
        recorded.push_back(makeBuffer(format.nAvgBytesPerSec * 10));
    }
    Notifications outputNotes, inputNotes;
    test::OpenDevice<WaveOutFunctions> output(out, card, format, outputNotes);
    test::OpenDevice<WaveInFunctions> input(in, monitor, format, inputNotes);
    check(output.result() == MMSYSERR_NOERROR && input.result() == MMSYSERR_NOERROR,
          "both devices open");
    for (int i = 0; i < 3; ++i)
        check(output.queue(played[i]) == MMSYSERR_NOERROR &&
                  input.queue(recorded[i]) == MMSYSERR_NOERROR,
              "buffers are queued");
    check(in.start(input.handle()) == MMSYSERR_NOERROR, "recording starts");

    stopPrivateServer();
    check(outputNotes.waitForDone(3) && inputNotes.waitForDone(3),
          "every queued buffer comes back when the server has gone");
    Buffer another = makeBuffer(4800);
    check(out.prepareHeader(output.handle(), another.get()) == MMSYSERR_NOERROR &&
              out.write(output.handle(), another.get()) == MMSYSERR_NODRIVER,
          "further buffers are refused with MMSYSERR_NODRIVER");
    check(out.reset(output.handle()) == MMSYSERR_NOERROR &&
              out.close(output.handle()) == MMSYSERR_NOERROR,
          "the lost output still closes");
    check(outputNotes.waitFor(WaveMessage::Closed), "the lost output reports its close");
    input.close();
    check(in.getNumDevs() == 2 && !soundServerAvailable(),
          "the next device count finds only the virtual devices");
    std::exit(0);
}

TEST_F(SoundServerState, ServerGoingAwayHandsBackEveryBufferAndFailsFurtherCalls) {
    if (std::system("command -v pulseaudio >/dev/null") != 0)
        GTEST_SKIP() << "pulseaudio is not installed";
    EXPECT_EXIT(runWithServerGoingAway(), ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace vantrel
