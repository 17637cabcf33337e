#pragma once
// The central handler for errors raised while an event is handled (a socket
// notice, a timer tick): the place where an error that nobody caught is
// shown to the operator. The window shows a message box, the headless front
// prints it; until one of them installs its handler, the text goes to
// standard error.
//
// RunGuarded is what every entry point from the event loop goes through, so
// that no exception ever escapes into the event loop.

#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace parlivo {

// sender: the object whose event raised the error (may be null).
using UnhandledErrorHandler = std::function<void(const void* sender, std::string_view message)>;

// Installs `handler` (an empty one restores the default) and returns the
// one it replaces.
UnhandledErrorHandler SetUnhandledErrorHandler(UnhandledErrorHandler handler);

// Passes the error to the installed handler. Never throws.
void HandleUnhandledError(const void* sender, std::string_view message) noexcept;

// Runs `action`; any exception it raises goes to the central handler.
template <typename Action>
void RunGuarded(const void* sender, Action&& action) noexcept {
  try {
    action();
  } catch (const std::exception& error) {
    HandleUnhandledError(sender, error.what());
  } catch (...) {
    HandleUnhandledError(sender, "Unknown error");
  }
}

}  // namespace parlivo
