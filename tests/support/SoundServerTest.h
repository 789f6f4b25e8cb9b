// Tests against a real PulseAudio server: scripts/pulse-test-server starts a private one with two
// null sinks, and scripts/test runs the suite under it with VANTREL_REQUIRE_PULSE set.
#pragma once

#include "WaveDevices.h"

#include <cstdlib>
#include <gtest/gtest.h>

// In a test's SetUp: skips the test when no server answers, or fails it when the run asked for
// a server. A macro because GoogleTest's skip and failure return from the calling function.
#define SKIP_WITHOUT_SOUND_SERVER()                                                                \
    do {                                                                                           \
        if (::vantrel::soundServerAvailable())                                                     \
            break;                                                                                 \
        if (std::getenv("VANTREL_REQUIRE_PULSE") != nullptr)                                       \
            FAIL() << "No PulseAudio server answers at " << std::getenv("PULSE_SERVER");           \
        GTEST_SKIP() << "No PulseAudio server answers; run the tests under "                       \
                        "scripts/pulse-test-server (scripts/test does)";                           \
    } while (false)
