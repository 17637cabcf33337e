#include "desktop/tray_icon.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <string_view>

#include "timing/armed_timer.h"

namespace parlivo {

using namespace tray;

namespace {

constexpr std::uint32_t kRecordSize = sizeof(NotifyIconData);

// Handles of the hidden windows: unique per process, never 0.
std::uint32_t NewWindowHandle() {
  static std::atomic<std::uint32_t> last{0};
  std::uint32_t handle = ++last;
  while (handle == 0) handle = ++last;
  return handle;
}

// Copies the first N-1 bytes of `text` into a record field and ends it with
// zeros, as the shell expects.
template <std::size_t N>
void CopyCut(char (&field)[N], std::string_view text) {
  const std::size_t count = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), count);
  std::memset(field + count, 0, N - count);
}

// Runs `action`; an error it raises goes to the platform's handler.
template <typename Action>
void Guarded(TrayPlatform& platform, Action&& action) noexcept {
  try {
    action();
  } catch (const std::exception& error) {
    platform.HandleException(error.what());
  } catch (...) {
    platform.HandleException("Unknown error");
  }
}

}  // namespace

TCustomTrayIcon::TCustomTrayIcon(QObject* owner, NotifyShell& shell, TrayPlatform& platform)
    : owner_(owner), shell_(shell), platform_(platform) {
  QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Guarded(platform_, [this] { AnimateStep(); }); });

  data_.cbSize = kRecordSize;
  data_.hWnd = NewWindowHandle();
  data_.uID = data_.hWnd;
  data_.uTimeout = static_cast<std::uint32_t>(kDefaultBalloonTimeout);
  data_.hIcon = current_.Handle();
  data_.uFlags = NIF_MESSAGE | NIF_ICON;
  data_.uCallbackMessage = WM_TRAYNOTIFY;
  const std::string title = platform_.ApplicationTitle();
  CopyCut(data_.szTip, title);
  if (!title.empty()) data_.uFlags |= NIF_TIP;
  RefreshIcon();
}

TCustomTrayIcon::~TCustomTrayIcon() { Notify(NIM_DELETE); }

bool TCustomTrayIcon::Notify(NotifyOperation operation) { return shell_.Notify(operation, data_); }

void TCustomTrayIcon::RefreshIcon() {
  data_.hIcon = current_.Handle();
  if (visible_) Notify(NIM_MODIFY);
}

void TCustomTrayIcon::ResetCurrentImage() {
  current_ = icon_.Empty() ? platform_.ApplicationIcon() : icon_;
  RefreshIcon();
}

void TCustomTrayIcon::SetVisible(bool value) {
  if (value == visible_) return;
  visible_ = value;
  // An animation keeps the frame it shows; otherwise the icon is shown anew.
  if (!animate_ || current_.Empty()) ResetCurrentImage();
  if (value) {
    if (!Notify(NIM_ADD)) throw EOutOfResources("Cannot create shell notification icon");
  } else if (!loading_) {
    if (!Notify(NIM_DELETE)) throw EOutOfResources("Cannot remove shell notification icon");
  }
  if (animate_) SetTimerEnabled(value);
}

void TCustomTrayIcon::SetHint(const std::string& value) {
  if (value == hint_) return;
  hint_ = value;
  CopyCut(data_.szTip, hint_);
  if (hint_.empty()) {
    data_.uFlags &= ~NIF_TIP;
  } else {
    data_.uFlags |= NIF_TIP;
  }
  RefreshIcon();
}

void TCustomTrayIcon::SetBalloonHint(const std::string& value) {
  if (value == balloonHint_) return;
  balloonHint_ = value;
  CopyCut(data_.szInfo, balloonHint_);
  Notify(NIM_MODIFY);
}

void TCustomTrayIcon::SetBalloonTitle(const std::string& value) {
  if (value == balloonTitle_) return;
  balloonTitle_ = value;
  CopyCut(data_.szInfoTitle, balloonTitle_);
  Notify(NIM_MODIFY);
}

void TCustomTrayIcon::ShowBalloon() {
  data_.uFlags |= NIF_INFO;
  data_.dwInfoFlags = BalloonFlags;
  Notify(NIM_MODIFY);
}

void TCustomTrayIcon::SetIcon(const TIcon& value) {
  icon_ = value;
  current_ = value;
  RefreshIcon();
}

void TCustomTrayIcon::SetIcons(const TImageList* value) {
  icons_ = value;
  if (icons_ == nullptr) ResetCurrentImage();
}

void TCustomTrayIcon::SetIconIndex(int value) {
  if (value == iconIndex_) return;
  iconIndex_ = value;
  if (icons_ != nullptr) icons_->GetIcon(iconIndex_, current_);
  RefreshIcon();
}

void TCustomTrayIcon::SetAnimate(bool value) {
  if (value == animate_) return;
  animate_ = value;
  if (icons_ != nullptr && icons_->Count() > 0 && visible_) SetTimerEnabled(value);
  // The frame on show becomes the icon.
  if (!value && !current_.Empty()) icon_ = current_;
}

void TCustomTrayIcon::SetAnimateInterval(std::uint32_t value) {
  animateInterval_ = value;
  UpdateTimer();
}

void TCustomTrayIcon::AnimateStep() {
  if (OnAnimate) OnAnimate(this);
  if (icons_ != nullptr && iconIndex_ < icons_->Count() - 1) {
    SetIconIndex(iconIndex_ + 1);
  } else {
    SetIconIndex(0);
  }
  RefreshIcon();
}

void TCustomTrayIcon::WindowProc(TrayMessage& message) noexcept {
  Guarded(platform_, [&] { HandleTrayMessage(message); });
}

void TCustomTrayIcon::HandleTrayMessage(TrayMessage& Message) {
  const std::uint32_t restart = platform_.ShellRestartMessage();
  if (restart != 0 && Message.Msg == restart) {
    // The shell forgot every icon when it restarted.
    if (visible_) Notify(NIM_ADD);
    return;
  }
  switch (Message.Msg) {
    case WM_QUERYENDSESSION:
      Message.Result = 1;  // the tray icon never holds up a log-off
      break;
    case WM_ENDSESSION:
      if (Message.WParam != 0) Notify(NIM_DELETE);
      break;
    case WM_TRAYNOTIFY:
      HandleCallback(static_cast<std::uint32_t>(Message.LParam));
      break;
    default:
      break;
  }
}

void TCustomTrayIcon::HandleCallback(std::uint32_t code) {
  // The message carries neither keys nor position: both are read now.
  const TShiftState shift = platform_.KeyboardShift() & (ssShift | ssCtrl | ssAlt);
  const TPoint at = platform_.CursorPos();
  switch (code) {
    case WM_MOUSEMOVE:
      if (OnMouseMove) OnMouseMove(this, shift, at.X, at.Y);
      break;
    case WM_LBUTTONDOWN:
      if (OnMouseDown) OnMouseDown(this, TMouseButton::mbLeft, shift | ssLeft, at.X, at.Y);
      pressed_ = true;
      break;
    case WM_LBUTTONUP:
      if (pressed_ && OnClick) {
        OnClick(this);
        pressed_ = false;
      }
      if (OnMouseUp) OnMouseUp(this, TMouseButton::mbLeft, shift | ssLeft, at.X, at.Y);
      break;
    case WM_RBUTTONDOWN:
      if (OnMouseDown) OnMouseDown(this, TMouseButton::mbRight, shift | ssRight, at.X, at.Y);
      break;
    case WM_RBUTTONUP:
      if (OnMouseUp) OnMouseUp(this, TMouseButton::mbRight, shift | ssRight, at.X, at.Y);
      OpenPopupMenu(at);
      break;
    case WM_MBUTTONDOWN:
      if (OnMouseDown) OnMouseDown(this, TMouseButton::mbMiddle, shift | ssMiddle, at.X, at.Y);
      break;
    case WM_MBUTTONUP:
      if (OnMouseUp) OnMouseUp(this, TMouseButton::mbMiddle, shift | ssMiddle, at.X, at.Y);
      break;
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDBLCLK:
      if (OnDblClick) OnDblClick(this);
      break;
    case NIN_BALLOONHIDE:
    case NIN_BALLOONTIMEOUT:
      data_.uFlags &= ~NIF_INFO;
      break;
    default:  // NIN_BALLOONUSERCLICK and anything else
      break;
  }
}

void TCustomTrayIcon::OpenPopupMenu(TPoint at) {
  if (PopupMenu == nullptr) return;
  // Without the application in front, the menu would not close when the
  // user clicks elsewhere.
  platform_.SetForegroundWindow();
  platform_.ProcessMessages();
  // A handler run by ProcessMessages may have taken the menu away.
  TPopupMenu* menu = PopupMenu;
  if (menu == nullptr) return;
  menu->SetAutoPopup(false);
  menu->SetPopupComponent(owner_);
  menu->Popup(at.X, at.Y);
}

void TCustomTrayIcon::SetTimerEnabled(bool enabled) {
  timerEnabled_ = enabled;
  UpdateTimer();
}

void TCustomTrayIcon::UpdateTimer() {
  // Re-enabling a running timer keeps its period; a new interval restarts it.
  ArmTimer(timer_, timerEnabled_, animateInterval_, Rearm::KeepPeriod);
}

}  // namespace parlivo
