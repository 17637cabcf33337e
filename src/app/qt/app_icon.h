#pragma once
// The program's own icon: two overlapping speech bubbles, drawn in code so
// that every size is sharp. The window and the tray use AppIcon(); the
// build renders the same drawing into the PNG files of the desktop's icon
// theme.

#include <QIcon>
#include <QImage>
#include <array>

namespace parlivo {

// The sizes the icon is drawn at, in pixels (square).
inline constexpr std::array<int, 7> kAppIconSizes = {16, 24, 32, 48, 64, 128, 256};

// The icon at every size of kAppIconSizes. Needs a QGuiApplication.
QIcon AppIcon();
// The icon drawn at `size` x `size` pixels on a transparent background.
// Needs no application object.
QImage AppIconImage(int size);

}  // namespace parlivo
