#include "Application.h"

#include <cstdio>
#include <mutex>

namespace vantrel {

namespace {

struct Handlers {
    std::mutex mutex;
    ApplicationExceptionHandler onException;
    MessageBoxHandler onMessageBox;
};

Handlers& handlers() {
    static Handlers instance;
    return instance;
}

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

} // namespace

void installApplicationExceptionHandler(ApplicationExceptionHandler handler) {
    std::lock_guard lock(handlers().mutex);
    handlers().onException = std::move(handler);
}

void installMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard lock(handlers().mutex);
    handlers().onMessageBox = std::move(handler);
}

void ApplicationHandleException(std::exception_ptr error) noexcept {
    if (!error)
        return;
    ApplicationExceptionHandler handler;
    {
        std::lock_guard lock(handlers().mutex);
        handler = handlers().onException;
    }
    try {
        if (handler) {
            handler(error);
            return;
        }
    } catch (...) {
        // A failing handler must not take the calling thread down; report both below.
    }
    std::fprintf(stderr, "Vantrel: %s\n", describe(error).c_str());
}

void ApplicationMessageBox(const std::string& text, const std::string& caption) {
    MessageBoxHandler handler;
    {
        std::lock_guard lock(handlers().mutex);
        handler = handlers().onMessageBox;
    }
    if (handler)
        handler(text, caption);
    else
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

} // namespace vantrel
