#pragma once
// What the operator's form asks of the view that shows it, and what it
// tells the view. The window implements it with real widgets; the headless
// front prints the log and ignores the rest; tests record the calls.
// Every method has a do-nothing default.

#include <string>

namespace parlivo {

class FormView {
 public:
  virtual ~FormView() = default;

  // --- Requests of the start path and the tray behaviour.
  // Minimises the application; when it was not minimised already the view
  // runs the form's ApplicationMinimize.
  virtual void MinimizeApplication() {}
  virtual void ShowTaskbarButton(bool /*shown*/) {}
  // Brings the application back from its minimised state, and its main
  // window to the front.
  virtual void RestoreApplication() {}
  virtual void BringToFront() {}
  // Closes the main window (which asks the form's FormCloseQuery).
  virtual void CloseMainWindow() {}
  // Opens a file the way the desktop would: runs a program, or hands any
  // other file to its default application. Failures stay silent.
  virtual void OpenFile(const std::string& /*path*/) {}

  // --- Notifications.
  virtual void LogAppended(const std::string& /*line*/) {}
  virtual void RosterChanged() {}
  // Captions, check states, colours, enabled flags or geometry changed.
  virtual void ControlsChanged() {}
  // The server went offline after an error. `restartPending` tells whether
  // an automatic restart is on its way.
  virtual void ServerWentOffline(bool /*restartPending*/) {}
};

}  // namespace parlivo
