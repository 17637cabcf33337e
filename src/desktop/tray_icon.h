#pragma once
// TTrayIcon: a non-visual component that keeps one icon in the shell's
// notification area while Visible is true. It gives the icon a tooltip
// (Hint), can show a balloon message, opens its PopupMenu on a right-button
// release, can animate the icon through an image list, and reports mouse
// activity on the icon as events. TCustomTrayIcon holds the behaviour;
// TTrayIcon is the face the main window owns.
//
// The component describes the icon in the shell's notification record
// (notify_shell.h) and hands the whole record to the shell on every change
// that the shell should see. The shell answers through the component's
// hidden window: its procedure, WindowProc, takes the shell's callbacks,
// the session-end messages and the shell-restart broadcast.
//
// Ownership: the owner (normally the main window) owns the component. The
// shell, the platform, the image list and the popup menu are borrowed and
// must outlive it (or, for the list and the menu, be unset first). The
// component owns its record, its two icon images and its animation timer.
//
// Everything runs on the event thread; nothing is locked. Property setters
// are called by the owner's handlers; callbacks and timer ticks arrive
// through the event loop.

#include <QTimer>
#include <cstdint>
#include <functional>
#include <string>

#include "desktop/icon_image.h"
#include "desktop/image_list.h"
#include "desktop/notify_shell.h"
#include "desktop/out_of_resources.h"
#include "desktop/popup_menu.h"
#include "desktop/tray_message.h"
#include "desktop/tray_platform.h"

class QObject;

namespace parlivo {

// The balloon's icon kind; the ordinal is the platform's value.
enum TBalloonFlags : std::uint8_t { bfNone = 0, bfInfo = 1, bfWarning = 2, bfError = 3 };

enum class TMouseButton { mbLeft, mbRight, mbMiddle };

class TCustomTrayIcon;

using TTrayNotifyEvent = std::function<void(TCustomTrayIcon* Sender)>;
using TTrayMouseEvent =
    std::function<void(TCustomTrayIcon* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TTrayMouseMoveEvent = std::function<void(TCustomTrayIcon* Sender, TShiftState Shift, int X, int Y)>;

class TCustomTrayIcon {
 public:
  static constexpr std::uint32_t kDefaultAnimateInterval = 1000;
  static constexpr std::int32_t kDefaultBalloonTimeout = 3000;

  // `owner` is the component that owns this one (handed to the popup menu
  // as its PopupComponent); it may be null. The tip starts as the
  // application's title. Makes no shell call: the icon is not shown yet.
  TCustomTrayIcon(QObject* owner, NotifyShell& shell, TrayPlatform& platform);
  // Removes the icon from the notification area (whatever the shell answers).
  virtual ~TCustomTrayIcon();

  TCustomTrayIcon(const TCustomTrayIcon&) = delete;
  TCustomTrayIcon& operator=(const TCustomTrayIcon&) = delete;

  // --- Properties. Setters do nothing when the value does not change,
  // except SetIcon and SetIcons, which always apply. Texts longer than their
  // record fields (tip 127 bytes, balloon text 255, balloon title 63) are
  // cut in the record; the properties keep them whole.

  // Whether the icon is in the notification area. Raises EOutOfResources
  // when the shell refuses to add ("Cannot create shell notification
  // icon") or remove ("Cannot remove shell notification icon") it; Visible
  // then already holds the new value.
  bool Visible() const { return visible_; }
  virtual void SetVisible(bool value);

  // The tooltip. An empty hint leaves the icon without a tooltip.
  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& value);
  // The balloon's text and title. Setting them updates the record and
  // tells the shell, shown or not; the balloon appears only on ShowBalloon.
  const std::string& BalloonHint() const { return balloonHint_; }
  void SetBalloonHint(const std::string& value);
  const std::string& BalloonTitle() const { return balloonTitle_; }
  void SetBalloonTitle(const std::string& value);
  // Milliseconds; read and written straight through the record, no shell call.
  std::int32_t BalloonTimeout() const { return static_cast<std::int32_t>(data_.uTimeout); }
  void SetBalloonTimeout(std::int32_t value) { data_.uTimeout = static_cast<std::uint32_t>(value); }
  // The balloon's icon kind, used by ShowBalloon.
  TBalloonFlags BalloonFlags = bfNone;

  // The icon image. While it is empty the icon shows the application's icon.
  const TIcon& Icon() const { return icon_; }
  void SetIcon(const TIcon& value);
  // The frames of the animation (not owned), or null.
  const TImageList* Icons() const { return icons_; }
  void SetIcons(const TImageList* value);
  // The frame of Icons on show.
  int IconIndex() const { return iconIndex_; }
  virtual void SetIconIndex(int value);
  // Whether the icon steps through Icons, one frame per AnimateInterval,
  // while it is visible. Switching it off keeps the frame on show as Icon.
  bool Animate() const { return animate_; }
  void SetAnimate(bool value);
  // Milliseconds between frames; 0 stops the animation until it is set again.
  std::uint32_t AnimateInterval() const { return animateInterval_; }
  void SetAnimateInterval(std::uint32_t value);

  // Opened on a right-button release over the icon (not owned), or null.
  TPopupMenu* PopupMenu = nullptr;

  // --- Events; each is skipped when empty. Sender is this tray icon.
  TTrayNotifyEvent OnClick;
  TTrayNotifyEvent OnDblClick;
  // Fired on every animation step, before the frame changes.
  TTrayNotifyEvent OnAnimate;
  TTrayMouseEvent OnMouseDown;
  TTrayMouseEvent OnMouseUp;
  TTrayMouseMoveEvent OnMouseMove;

  // --- Operations.

  // The hidden window's procedure: handles `message` (HandleTrayMessage)
  // and passes any error a handler raises to the platform's
  // HandleException, so nothing escapes into the event loop. Whoever plays
  // the shell delivers the icon's callbacks here. May re-enter the event
  // loop (before a popup menu opens).
  void WindowProc(TrayMessage& message) noexcept;
  // Handles one message of the hidden window: the icon's callbacks (mouse
  // activity, balloon gone), the session-end messages and the shell-restart
  // broadcast. Lets handlers' errors through.
  virtual void HandleTrayMessage(TrayMessage& Message);
  // One animation step, run by the timer: OnAnimate, then the next frame
  // (back to the first after the last).
  virtual void AnimateStep();
  // Asks the shell to show BalloonTitle and BalloonHint with BalloonFlags'
  // icon for BalloonTimeout ms. The request stays in the record until the
  // shell reports the balloon hidden or timed out.
  virtual void ShowBalloon();

  // While the owner applies its stored layout, hiding the icon does not
  // touch the shell.
  void SetLoading(bool loading) { loading_ = loading; }

  // The record as the shell last got it, or will get it next.
  const NotifyIconData& Data() const { return data_; }
  // The hidden window's handle, also the icon's ID in the record.
  std::uint32_t WindowHandle() const { return data_.hWnd; }
  // What the notification area shows: a copy of Icon, of the application's
  // icon, or the current frame of Icons.
  const TIcon& CurrentImage() const { return current_; }
  // Whether the animation timer is running.
  bool Animating() const { return timer_.isActive(); }

 protected:
  QObject* Owner() const { return owner_; }

  // Puts the current image's handle into the record and, while the icon is
  // visible, tells the shell.
  void RefreshIcon();
  // Shows Icon again, or the application's icon when Icon is empty.
  void ResetCurrentImage();

 private:
  bool Notify(tray::NotifyOperation operation);
  void HandleCallback(std::uint32_t code);
  void OpenPopupMenu(TPoint at);
  void SetTimerEnabled(bool enabled);
  void UpdateTimer();

  QObject* const owner_;
  NotifyShell& shell_;
  TrayPlatform& platform_;
  NotifyIconData data_{};

  bool visible_ = false;
  bool animate_ = false;
  bool loading_ = false;
  // Set by a left press on the icon, cleared when OnClick fires, so that
  // the release ending a double click does not click again.
  bool pressed_ = false;
  std::string hint_;
  std::string balloonHint_;
  std::string balloonTitle_;
  TIcon icon_;
  TIcon current_;
  const TImageList* icons_ = nullptr;
  int iconIndex_ = 0;

  // The animation timer ticks while it is enabled and its interval is not
  // 0 (a zero-interval QTimer would fire continuously).
  QTimer timer_;
  bool timerEnabled_ = false;
  std::uint32_t animateInterval_ = kDefaultAnimateInterval;
};

// The published face of the tray icon; what the main window owns.
class TTrayIcon : public TCustomTrayIcon {
 public:
  using TCustomTrayIcon::TCustomTrayIcon;
};

}  // namespace parlivo
