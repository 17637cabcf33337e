#pragma once
// What the tray icon asks of the window layer beneath it, apart from the
// shell itself (notify_shell.h): the application's icon and title, the
// keyboard and pointer state at the moment a callback is handled, bringing
// the application to the front before its menu opens, processing pending
// messages, the shell-restart message number, and where errors raised by
// the component's handlers go.
//
// Implementations: QtTrayPlatform (qt/qt_tray_platform.h); tests use a fake.
// Every call happens on the event thread.

#include <cstdint>
#include <string>
#include <string_view>

#include "desktop/icon_image.h"

namespace parlivo {

// A set of keys and mouse buttons held down (TShiftFlag bits).
using TShiftState = std::uint32_t;
enum TShiftFlag : TShiftState {
  ssShift = 1u << 0,
  ssAlt = 1u << 1,
  ssCtrl = 1u << 2,
  ssLeft = 1u << 3,
  ssRight = 1u << 4,
  ssMiddle = 1u << 5,
};

// A position on the screen, in pixels.
struct TPoint {
  int X = 0;
  int Y = 0;
  friend bool operator==(const TPoint&, const TPoint&) = default;
};

class TrayPlatform {
 public:
  virtual ~TrayPlatform() = default;

  // The application's own icon (empty when it has none) and its title, as
  // an 8-bit string.
  virtual TIcon ApplicationIcon() const = 0;
  virtual std::string ApplicationTitle() const = 0;
  // Which of Shift, Control and Alt are down right now (ssShift, ssCtrl,
  // ssAlt); other bits are ignored.
  virtual TShiftState KeyboardShift() const = 0;
  // The pointer's position on the screen right now.
  virtual TPoint CursorPos() const = 0;
  // Brings the application window to the foreground, so that a menu opened
  // next closes again when the user clicks elsewhere.
  virtual void SetForegroundWindow() = 0;
  // Handles every pending message of the event thread. Re-enters the event
  // loop: any handler of the program may run inside.
  virtual void ProcessMessages() = 0;
  // The number of the message the shell broadcasts after it restarted
  // (RegisterShellRestartMessage); 0 when none is registered.
  virtual std::uint32_t ShellRestartMessage() const = 0;
  // Receives an error that a handler raised while the tray icon handled a
  // message or a timer tick, where nobody else could catch it. The default
  // prints it as a warning.
  virtual void HandleException(std::string_view message) noexcept;
};

// Registers the shell-restart message and returns its number; later calls
// return the same number. Call it once at program start-up, before any tray
// icon exists. The number is taken from the event types the application
// hands out at run time, so it collides with no other message.
std::uint32_t RegisterShellRestartMessage();
// The number registered by RegisterShellRestartMessage, or 0 before that.
std::uint32_t ShellRestartMessage();

}  // namespace parlivo
