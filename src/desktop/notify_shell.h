#pragma once
// The shell's notification area, as the tray icon talks to it.
//
// The component describes its icon in one fixed record, the platform's
// 488-byte ANSI notification record, and hands the whole record to the
// shell with an operation: add the icon, modify it, or delete it. The
// shell answers with success or failure. The record names the icon image
// only by its handle (icon_image.h turns a handle back into the image) and
// the window that receives the icon's callbacks by its handle.
//
// Implementations: QtNotifyShell (qt/qt_notify_shell.h) over
// QSystemTrayIcon; tests use a fake that records every call.

#include <cstddef>
#include <cstdint>

namespace parlivo {

// The notification record in its 488-byte ANSI form (the layout that ends
// with dwInfoFlags). Handles are 32-bit, as in that layout.
struct NotifyIconData {
  std::uint32_t cbSize;
  std::uint32_t hWnd;
  std::uint32_t uID;
  std::uint32_t uFlags;
  std::uint32_t uCallbackMessage;
  std::uint32_t hIcon;
  char szTip[128];
  std::uint32_t dwState;
  std::uint32_t dwStateMask;
  char szInfo[256];
  std::uint32_t uTimeout;
  char szInfoTitle[64];
  std::uint32_t dwInfoFlags;
};
static_assert(sizeof(NotifyIconData) == 488);
static_assert(offsetof(NotifyIconData, szInfo) == 160 && offsetof(NotifyIconData, dwInfoFlags) == 484);

namespace tray {

enum NotifyOperation : std::uint32_t { NIM_ADD = 0, NIM_MODIFY = 1, NIM_DELETE = 2 };

// uFlags: which fields of the record the shell is to use.
inline constexpr std::uint32_t NIF_MESSAGE = 0x1;  // uCallbackMessage
inline constexpr std::uint32_t NIF_ICON = 0x2;     // hIcon
inline constexpr std::uint32_t NIF_TIP = 0x4;      // szTip
inline constexpr std::uint32_t NIF_INFO = 0x10;    // a balloon: szInfo, szInfoTitle, uTimeout, dwInfoFlags

// dwInfoFlags: the balloon's icon kind.
inline constexpr std::uint32_t NIIF_NONE = 0;
inline constexpr std::uint32_t NIIF_INFO = 1;
inline constexpr std::uint32_t NIIF_WARNING = 2;
inline constexpr std::uint32_t NIIF_ERROR = 3;

}  // namespace tray

class NotifyShell {
 public:
  virtual ~NotifyShell() = default;
  // Adds, modifies or deletes the icon the record describes; true on success.
  virtual bool Notify(tray::NotifyOperation operation, const NotifyIconData& data) = 0;
  // Whether there is a notification area at all. Without one every add fails.
  virtual bool Available() const = 0;
};

}  // namespace parlivo
