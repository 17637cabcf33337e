#pragma once
// The desktop seams for a server without a window: there is no
// notification area to hide into (so the start path hides nothing) and no
// file dialog to show.

#include "desktop/file_dialog_platform.h"
#include "desktop/notify_shell.h"
#include "desktop/tray_platform.h"
#include "app/main_form.h"

namespace parlivo {

class HeadlessNotifyShell final : public NotifyShell {
 public:
  bool Notify(tray::NotifyOperation, const NotifyIconData&) override { return true; }
  bool Available() const override { return false; }
};

class HeadlessTrayPlatform final : public TrayPlatform {
 public:
  TIcon ApplicationIcon() const override { return {}; }
  std::string ApplicationTitle() const override { return "Parlivo Server"; }
  TShiftState KeyboardShift() const override { return 0; }
  TPoint CursorPos() const override { return {}; }
  void SetForegroundWindow() override {}
  void ProcessMessages() override {}
  std::uint32_t ShellRestartMessage() const override { return parlivo::ShellRestartMessage(); }
};

class HeadlessFileDialogPlatform final : public FileDialogPlatform {
 public:
  unsigned MajorVersion() const override { return 10; }
  std::unique_ptr<FileOpenDialogObject> CreateFileOpenDialog() override { return nullptr; }
  std::unique_ptr<ShellItem> CreateItemFromParsingName(const std::string&) override { return nullptr; }
};

// The three together, for the form.
struct HeadlessDesktop {
  HeadlessNotifyShell shell;
  HeadlessTrayPlatform trayPlatform;
  HeadlessFileDialogPlatform fileDialogs;
  DesktopServices Services() { return DesktopServices{shell, trayPlatform, fileDialogs, {}, nullptr}; }
};

}  // namespace parlivo
