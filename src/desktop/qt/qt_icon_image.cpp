#include "desktop/qt/qt_icon_image.h"

#include <QBuffer>
#include <QByteArray>
#include <QList>
#include <QPixmap>
#include <QSize>

namespace parlivo {

QIcon ToQIcon(const TIcon& icon) {
  if (icon.Empty()) return QIcon();
  QPixmap pixmap;
  const QByteArray bytes = QByteArray::fromRawData(icon.Png().data(), static_cast<qsizetype>(icon.Png().size()));
  if (!pixmap.loadFromData(bytes, "PNG")) return QIcon();
  return QIcon(pixmap);
}

TIcon FromQIcon(const QIcon& icon) {
  if (icon.isNull()) return TIcon();
  QSize size(32, 32);
  for (const QSize& offered : icon.availableSizes()) {
    if (offered.width() * offered.height() > size.width() * size.height()) size = offered;
  }
  const QPixmap pixmap = icon.pixmap(size);
  if (pixmap.isNull()) return TIcon();
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  if (!pixmap.save(&buffer, "PNG")) return TIcon();
  return TIcon::FromPng(png.toStdString());
}

}  // namespace parlivo
