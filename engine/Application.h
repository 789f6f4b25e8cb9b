// The two application services engine code reports to: the handler for exceptions that escape a
// callback, a worker thread or a posted call, and the modal message box. The program installs
// handlers backed by its windows; tests install their own; without one both write to stderr.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace vantrel {

using ApplicationExceptionHandler = std::function<void(std::exception_ptr error)>;
using MessageBoxHandler = std::function<void(const std::string& text, const std::string& caption)>;

// Installs the handler (an empty one restores the default). Done at start-up or in a test fixture.
void installApplicationExceptionHandler(ApplicationExceptionHandler handler);
void installMessageBoxHandler(MessageBoxHandler handler);

// Passes an exception nobody else can handle to the application's handler. Any thread; the
// handler must cope with being called off the main thread.
void ApplicationHandleException(std::exception_ptr error) noexcept;

// Shows `text` in a box with an OK button and `caption` as its title; returns when dismissed.
void ApplicationMessageBox(const std::string& text, const std::string& caption);

} // namespace vantrel
