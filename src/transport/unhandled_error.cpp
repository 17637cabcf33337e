#include "transport/unhandled_error.h"

#include <cstdio>

namespace parlivo {
namespace {

void PrintToStandardError(const void*, std::string_view message) {
  std::fprintf(stderr, "Parlivo Server: %.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
}

UnhandledErrorHandler& InstalledHandler() {
  static UnhandledErrorHandler handler = PrintToStandardError;
  return handler;
}

}  // namespace

UnhandledErrorHandler SetUnhandledErrorHandler(UnhandledErrorHandler handler) {
  UnhandledErrorHandler previous = std::move(InstalledHandler());
  InstalledHandler() = handler ? std::move(handler) : UnhandledErrorHandler(PrintToStandardError);
  return previous;
}

void HandleUnhandledError(const void* sender, std::string_view message) noexcept {
  try {
    InstalledHandler()(sender, message);
  } catch (...) {
    // A handler that fails itself has nowhere left to report to.
    PrintToStandardError(sender, message);
  }
}

}  // namespace parlivo
