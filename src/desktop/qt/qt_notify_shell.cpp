#include "desktop/qt/qt_notify_shell.h"

#include <QGuiApplication>
#include <QPointer>
#include <QString>
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "desktop/icon_image.h"
#include "desktop/qt/qt_icon_image.h"
#include "encoding/codepage_1252.h"

namespace parlivo {

using namespace tray;

namespace {

// A record text: Windows-1252 bytes up to the terminating zero.
template <std::size_t N>
QString FieldText(const char (&field)[N]) {
  const std::string_view bytes(field, strnlen(field, N));
  return QString::fromStdString(Windows1252ToUtf8(bytes));
}

QSystemTrayIcon::MessageIcon BalloonIcon(std::uint32_t infoFlags) {
  switch (infoFlags) {
    case NIIF_INFO:
      return QSystemTrayIcon::Information;
    case NIIF_WARNING:
      return QSystemTrayIcon::Warning;
    case NIIF_ERROR:
      return QSystemTrayIcon::Critical;
    default:
      return QSystemTrayIcon::NoIcon;
  }
}

}  // namespace

QtNotifyShell::QtNotifyShell() {
  balloonTimer_.setSingleShot(true);
  QObject::connect(&tray_, &QSystemTrayIcon::activated, &tray_,
                   [this](QSystemTrayIcon::ActivationReason reason) { Activated(reason); });
  QObject::connect(&tray_, &QSystemTrayIcon::messageClicked, &tray_, [this] { Deliver({NIN_BALLOONUSERCLICK}); });
  QObject::connect(&balloonTimer_, &QTimer::timeout, &tray_, [this] { Deliver({NIN_BALLOONTIMEOUT}); });
}

QtNotifyShell::~QtNotifyShell() = default;

bool QtNotifyShell::Available() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

bool QtNotifyShell::Notify(NotifyOperation operation, const NotifyIconData& data) {
  switch (operation) {
    case NIM_ADD:
      if (!Available()) return false;
      Apply(data);
      tray_.show();
      added_ = true;
      ShowBalloon();
      return true;
    case NIM_MODIFY: {
      // A balloon is shown when it is asked for, not again on every later
      // change (a hint, an animation frame) while it is still up.
      const bool balloonWasAsked = (data_.uFlags & NIF_INFO) != 0;
      Apply(data);
      if (!balloonWasAsked) ShowBalloon();
      return added_;
    }
    case NIM_DELETE: {
      const bool wasAdded = added_;
      added_ = false;
      balloonTimer_.stop();
      tray_.hide();
      return wasAdded;
    }
  }
  return false;
}

void QtNotifyShell::Apply(const NotifyIconData& data) {
  data_ = data;
  if ((data_.uFlags & NIF_ICON) != 0) ApplyIcon(data_.hIcon);
  tray_.setToolTip((data_.uFlags & NIF_TIP) != 0 ? FieldText(data_.szTip) : QString());
}

void QtNotifyShell::ApplyIcon(std::uint32_t handle) {
  // Animation frames and repeated modifications usually name the image the
  // icon already shows; decode only a new one.
  if (iconSet_ && handle != 0 && handle == iconHandle_) return;
  QIcon icon = ToQIcon(TIcon::FromHandle(handle));
  if (icon.isNull()) icon = QGuiApplication::windowIcon();
  tray_.setIcon(icon);
  iconHandle_ = handle;
  iconSet_ = true;
}

void QtNotifyShell::ShowBalloon() {
  if (!added_ || (data_.uFlags & NIF_INFO) == 0 || data_.szInfo[0] == '\0') return;
  const int timeout = static_cast<int>(std::min<std::uint32_t>(data_.uTimeout, 0x7fffffff));
  tray_.showMessage(FieldText(data_.szInfoTitle), FieldText(data_.szInfo), BalloonIcon(data_.dwInfoFlags), timeout);
  balloonTimer_.start(timeout);
}

void QtNotifyShell::Activated(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      Deliver({WM_LBUTTONDOWN, WM_LBUTTONUP});
      break;
    case QSystemTrayIcon::DoubleClick:
      Deliver({WM_LBUTTONDBLCLK});
      break;
    case QSystemTrayIcon::MiddleClick:
      Deliver({WM_MBUTTONDOWN, WM_MBUTTONUP});
      break;
    case QSystemTrayIcon::Context:
      Deliver({WM_RBUTTONDOWN, WM_RBUTTONUP});
      break;
    case QSystemTrayIcon::Unknown:
      break;
  }
}

void QtNotifyShell::Deliver(std::initializer_list<std::uint32_t> codes) {
  // The icon asked for callbacks only if the record says so.
  if ((data_.uFlags & NIF_MESSAGE) == 0) return;
  // Copies, since the target may destroy this shell: then `alive` turns
  // null and nothing here is touched again.
  const MessageTarget target = target_;
  const std::uint32_t msg = data_.uCallbackMessage;
  const std::uint32_t id = data_.uID;
  const QPointer<QSystemTrayIcon> alive(&tray_);
  if (!target) return;
  for (const std::uint32_t code : codes) {
    if (alive.isNull()) return;
    TrayMessage message{msg, id, static_cast<std::intptr_t>(code), 0};
    target(message);
  }
}

}  // namespace parlivo
