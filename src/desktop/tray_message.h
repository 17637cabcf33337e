#pragma once
// A message to the tray icon's hidden window, and the numbers of the
// messages and notification codes that window understands.
//
// The tray icon was designed around a hidden window that receives the
// shell's callbacks, the session-end messages and the shell-restart
// broadcast as window messages. TrayMessage keeps that shape: whoever plays
// the shell (the Qt backend, a test) builds one and hands it to the
// component's window procedure, which may write an answer into Result.
//
// The numbers are the platform's own. They live in their own namespace
// because the transport has a few constants of the same names.

#include <cstdint>

namespace parlivo {

struct TrayMessage {
  std::uint32_t Msg = 0;
  std::uintptr_t WParam = 0;
  std::intptr_t LParam = 0;
  std::intptr_t Result = 0;
};

namespace tray {

inline constexpr std::uint32_t WM_QUERYENDSESSION = 0x11;
inline constexpr std::uint32_t WM_ENDSESSION = 0x16;  // WParam non-zero: the session really ends
inline constexpr std::uint32_t WM_USER = 0x400;
// The message the shell sends for activity on the icon; LParam carries one
// of the codes below.
inline constexpr std::uint32_t WM_TRAYNOTIFY = WM_USER + 1;

// Notification codes of WM_TRAYNOTIFY.
inline constexpr std::uint32_t WM_MOUSEMOVE = 0x200;
inline constexpr std::uint32_t WM_LBUTTONDOWN = 0x201;
inline constexpr std::uint32_t WM_LBUTTONUP = 0x202;
inline constexpr std::uint32_t WM_LBUTTONDBLCLK = 0x203;
inline constexpr std::uint32_t WM_RBUTTONDOWN = 0x204;
inline constexpr std::uint32_t WM_RBUTTONUP = 0x205;
inline constexpr std::uint32_t WM_RBUTTONDBLCLK = 0x206;
inline constexpr std::uint32_t WM_MBUTTONDOWN = 0x207;
inline constexpr std::uint32_t WM_MBUTTONUP = 0x208;
inline constexpr std::uint32_t WM_MBUTTONDBLCLK = 0x209;
inline constexpr std::uint32_t NIN_BALLOONSHOW = WM_USER + 2;
inline constexpr std::uint32_t NIN_BALLOONHIDE = WM_USER + 3;
inline constexpr std::uint32_t NIN_BALLOONTIMEOUT = WM_USER + 4;
inline constexpr std::uint32_t NIN_BALLOONUSERCLICK = WM_USER + 5;

}  // namespace tray
}  // namespace parlivo
