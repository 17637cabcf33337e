#pragma once
// Conversions between TIcon (encoded PNG bytes) and Qt's QIcon.

#include <QIcon>

#include "desktop/icon_image.h"

namespace parlivo {

// The decoded image; a null QIcon for an empty icon or bytes that are not
// an image.
QIcon ToQIcon(const TIcon& icon);
// The QIcon's largest image (asking for 32x32 when it offers nothing
// larger), encoded as PNG; an empty TIcon for a null QIcon. Each call makes
// a new image with a new handle.
TIcon FromQIcon(const QIcon& icon);

}  // namespace parlivo
