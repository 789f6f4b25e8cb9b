// A fixture whose test body runs on the main thread of a built-in main-thread loop, with the
// application's exception handler recording what reaches it.
#pragma once

#include "Application.h"
#include "MainThreadLoop.h"

#include <chrono>
#include <exception>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel {

class MainThreadFixture : public ::testing::Test {
protected:
    // Generous: a loaded CI machine must not fail a correct test.
    static constexpr std::chrono::milliseconds patience{10000};

    MainThreadFixture() {
        installMainThread(&loop);
        installApplicationExceptionHandler([this](std::exception_ptr error) {
            std::lock_guard lock(errorsMutex_);
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                errors_.emplace_back(e.what());
            }
        });
    }
    ~MainThreadFixture() override {
        installApplicationExceptionHandler({});
        installMainThread(nullptr);
    }

    bool pumpUntil(const std::function<bool()>& done) { return loop.pumpUntil(done, patience); }

    std::vector<std::string> handledErrors() {
        std::lock_guard lock(errorsMutex_);
        return errors_;
    }

    MainThreadLoop loop;

private:
    std::mutex errorsMutex_;
    std::vector<std::string> errors_;
};

} // namespace vantrel
