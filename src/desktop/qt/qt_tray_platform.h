#pragma once
// QtTrayPlatform: the window layer beneath the tray icon, over Qt.
//
//   ApplicationIcon      the application's window icon (QApplication::windowIcon)
//   ApplicationTitle     QApplication::applicationDisplayName, as Windows-1252
//   KeyboardShift        QGuiApplication::keyboardModifiers
//   CursorPos            QCursor::pos
//   SetForegroundWindow  raises and activates the main window
//   ProcessMessages      QCoreApplication::processEvents
//   ShellRestartMessage  the number RegisterShellRestartMessage registered
//   HandleException      the error handler given at construction, else a warning

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string_view>

#include "desktop/tray_platform.h"

namespace parlivo {

class QtTrayPlatform final : public TrayPlatform {
 public:
  using ErrorHandler = std::function<void(std::string_view message)>;

  // `mainWindow` is brought to the front before the tray menu opens; it may
  // be null or be destroyed first. `errorHandler` receives the errors the
  // tray icon's handlers raise; empty: they are printed as warnings.
  explicit QtTrayPlatform(QWidget* mainWindow = nullptr, ErrorHandler errorHandler = {});

  TIcon ApplicationIcon() const override;
  std::string ApplicationTitle() const override;
  TShiftState KeyboardShift() const override;
  TPoint CursorPos() const override;
  void SetForegroundWindow() override;
  void ProcessMessages() override;
  std::uint32_t ShellRestartMessage() const override;
  void HandleException(std::string_view message) noexcept override;

 private:
  QPointer<QWidget> mainWindow_;
  ErrorHandler errorHandler_;
  // The application icon, converted once per window icon, so that the
  // shell keeps seeing the same handle for it.
  mutable qint64 iconKey_ = 0;
  mutable TIcon icon_;
};

}  // namespace parlivo
