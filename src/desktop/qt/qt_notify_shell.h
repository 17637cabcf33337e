#pragma once
// QtNotifyShell: the shell's notification area over QSystemTrayIcon.
//
// It maps the notification record onto one QSystemTrayIcon: the icon image
// (by its handle; the application's window icon when there is none), the
// tooltip (szTip while NIF_TIP is set), and a balloon (showMessage) while
// NIF_INFO is set. NIM_ADD shows the icon, NIM_DELETE hides it. Record
// texts are Windows-1252 bytes.
//
// The other way round, the icon's activations become the callback codes
// the record asks for (uCallbackMessage, with uID as WParam and the code as
// LParam), delivered to the message target:
//   Trigger      WM_LBUTTONDOWN, then WM_LBUTTONUP
//   DoubleClick  WM_LBUTTONDBLCLK
//   MiddleClick  WM_MBUTTONDOWN, then WM_MBUTTONUP
//   Context      WM_RBUTTONDOWN, then WM_RBUTTONUP
//   a click on the balloon  NIN_BALLOONUSERCLICK
// Qt never says when a balloon goes away, so the shell reports
// NIN_BALLOONTIMEOUT itself once the balloon's time-out has passed; until
// then the tray icon keeps asking for the balloon.
//
// No context menu is attached to the QSystemTrayIcon: the tray icon opens
// its own menu on the right-button release.
//
// Wiring, with the tray icon created after the shell and destroyed before it:
//   QtNotifyShell shell;
//   TTrayIcon trayIcon(owner, shell, platform);
//   shell.SetMessageTarget([&trayIcon](TrayMessage& m) { trayIcon.WindowProc(m); });

#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdint>
#include <functional>

#include "desktop/notify_shell.h"
#include "desktop/tray_message.h"

namespace parlivo {

class QtNotifyShell final : public NotifyShell {
 public:
  // Receives the icon's callbacks. It must not throw: it runs inside a Qt
  // signal. It may destroy the shell; nothing more is delivered then.
  using MessageTarget = std::function<void(TrayMessage&)>;

  // Needs a QApplication.
  QtNotifyShell();
  ~QtNotifyShell() override;

  QtNotifyShell(const QtNotifyShell&) = delete;
  QtNotifyShell& operator=(const QtNotifyShell&) = delete;

  // NIM_ADD fails when there is no notification area; NIM_MODIFY and
  // NIM_DELETE fail when the icon was not added. A refused NIM_MODIFY still
  // takes the icon and tooltip, so they are right when the icon is added.
  bool Notify(tray::NotifyOperation operation, const NotifyIconData& data) override;
  bool Available() const override;

  void SetMessageTarget(MessageTarget target) { target_ = std::move(target); }
  // The Qt icon behind the shell.
  QSystemTrayIcon& TrayIcon() { return tray_; }

 private:
  void Apply(const NotifyIconData& data);
  void ApplyIcon(std::uint32_t handle);
  void ShowBalloon();
  void Activated(QSystemTrayIcon::ActivationReason reason);
  // Delivers the codes in order; stops when a target destroyed the shell.
  void Deliver(std::initializer_list<std::uint32_t> codes);

  QSystemTrayIcon tray_;
  QTimer balloonTimer_;
  NotifyIconData data_{};
  bool added_ = false;
  // The image handle the QSystemTrayIcon shows; 0 for the window icon.
  std::uint32_t iconHandle_ = 0;
  bool iconSet_ = false;
  MessageTarget target_;
};

}  // namespace parlivo
