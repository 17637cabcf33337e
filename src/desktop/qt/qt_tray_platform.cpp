#include "desktop/qt/qt_tray_platform.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QIcon>

#include "desktop/qt/qt_icon_image.h"
#include "encoding/codepage_1252.h"

namespace parlivo {

QtTrayPlatform::QtTrayPlatform(QWidget* mainWindow, ErrorHandler errorHandler)
    : mainWindow_(mainWindow), errorHandler_(std::move(errorHandler)) {}

TIcon QtTrayPlatform::ApplicationIcon() const {
  const QIcon icon = QApplication::windowIcon();
  if (icon.isNull()) return TIcon();
  if (icon_.Empty() || icon.cacheKey() != iconKey_) {
    icon_ = FromQIcon(icon);
    iconKey_ = icon.cacheKey();
  }
  return icon_;
}

std::string QtTrayPlatform::ApplicationTitle() const {
  return Utf8ToWindows1252(QApplication::applicationDisplayName().toStdString());
}

TShiftState QtTrayPlatform::KeyboardShift() const {
  const Qt::KeyboardModifiers keys = QGuiApplication::keyboardModifiers();
  TShiftState shift = 0;
  if (keys.testFlag(Qt::ShiftModifier)) shift |= ssShift;
  if (keys.testFlag(Qt::ControlModifier)) shift |= ssCtrl;
  if (keys.testFlag(Qt::AltModifier)) shift |= ssAlt;
  return shift;
}

TPoint QtTrayPlatform::CursorPos() const {
  const QPoint at = QCursor::pos();
  return TPoint{at.x(), at.y()};
}

void QtTrayPlatform::SetForegroundWindow() {
  if (mainWindow_.isNull()) return;
  mainWindow_->raise();
  mainWindow_->activateWindow();
}

void QtTrayPlatform::ProcessMessages() { QCoreApplication::processEvents(); }

std::uint32_t QtTrayPlatform::ShellRestartMessage() const { return parlivo::ShellRestartMessage(); }

void QtTrayPlatform::HandleException(std::string_view message) noexcept {
  if (!errorHandler_) {
    TrayPlatform::HandleException(message);
    return;
  }
  try {
    errorHandler_(message);
  } catch (...) {
    TrayPlatform::HandleException(message);
  }
}

}  // namespace parlivo
