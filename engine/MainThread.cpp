#include "MainThread.h"

#include <atomic>

namespace vantrel {

namespace {
std::atomic<MainThreadSeam*> installedSeam{nullptr};
}

MainThreadSeam* mainThread() {
    return installedSeam.load(std::memory_order_acquire);
}

void installMainThread(MainThreadSeam* seam) {
    installedSeam.store(seam, std::memory_order_release);
}

} // namespace vantrel
