#include "desktop/tray_platform.h"

#include <QEvent>
#include <QtGlobal>
#include <atomic>

namespace parlivo {

namespace {
// Shared by every tray icon, like the platform's registered message.
std::atomic<std::uint32_t> registeredRestartMessage{0};
}  // namespace

void TrayPlatform::HandleException(std::string_view message) noexcept {
  qWarning("Tray icon: %.*s", static_cast<int>(message.size()), message.data());
}

std::uint32_t RegisterShellRestartMessage() {
  // registerEventType answers -1 once every number is taken.
  static const int registered = QEvent::registerEventType();
  static const std::uint32_t number = registered > 0 ? static_cast<std::uint32_t>(registered) : 0;
  registeredRestartMessage.store(number);
  return number;
}

std::uint32_t ShellRestartMessage() { return registeredRestartMessage.load(); }

}  // namespace parlivo
