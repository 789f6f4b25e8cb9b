// A stream worker thread, as the devices and queues run one, whose body the test gives: buffer
// handling on it counts as a worker's for SynchronizeFromWorker and the main-thread reports.
#pragma once

#include "MMObj.h"

#include <atomic>
#include <functional>
#include <utility>

namespace vantrel::test {

class StreamWorker : public TMMDSPThread {
public:
    // Created suspended; Resume() runs `body`, after which `done` is set.
    StreamWorker(TMMDSPComponent* owner, std::function<void()> body)
        : TMMDSPThread(owner), body_(std::move(body)) {}
    std::atomic<bool> done = false;

protected:
    void Execute() override {
        body_();
        done = true;
    }

private:
    std::function<void()> body_;
};

} // namespace vantrel::test
