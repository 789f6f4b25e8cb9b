// The seam through which engine code reaches the program's main thread: worker threads hand it
// work that must run where the user interface lives, and stops requested from inside buffer
// handling complete there later. The program installs one backed by its event loop; tests and
// command-line tools install the built-in loop they pump themselves.
#pragma once

#include <chrono>
#include <functional>

namespace vantrel {

class MainThreadSeam {
public:
    virtual ~MainThreadSeam() = default;

    // Queues `call` to run on the main thread after the calls queued before it; returns at once.
    virtual void post(std::function<void()> call) = 0;
    // Runs `call` on the main thread and returns once it has run; rethrows what it threw.
    // On the main thread itself it runs `call` directly.
    virtual void runAndWait(std::function<void()> call) = 0;
    virtual bool isMainThread() const = 0;
    // On the main thread: waits at most `maxWait` for queued calls and runs those that are due.
    virtual void processPending(std::chrono::milliseconds maxWait) = 0;
};

// The seam in effect, or null before the program or the test has installed one.
MainThreadSeam* mainThread();
// Installs `seam` (not owned; null uninstalls). Done once at start-up, before worker threads run.
void installMainThread(MainThreadSeam* seam);

} // namespace vantrel
