// An expectation of a fuzz target: a broken one ends the run with its line, so that the crash
// report names what went wrong rather than only where the process stopped.
#pragma once

#include <cstdio>
#include <cstdlib>

#define require(condition)                                                                         \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "expectation failed, line %d: %s\n", __LINE__, #condition);       \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
