#include "app/qt/app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>

namespace parlivo {
namespace {

// A bubble with a tail, in a square of side `s`, tail on the left or right.
QPainterPath Bubble(QRectF box, bool tailLeft) {
  QPainterPath path;
  const qreal r = box.height() * 0.3;
  path.addRoundedRect(box, r, r);
  QPainterPath tail;
  const qreal x = tailLeft ? box.left() + box.width() * 0.22 : box.right() - box.width() * 0.22;
  const qreal dx = box.width() * (tailLeft ? -0.12 : 0.12);
  tail.moveTo(x - box.width() * 0.08, box.bottom() - 1);
  tail.lineTo(x + dx, box.bottom() + box.height() * 0.32);
  tail.lineTo(x + box.width() * 0.1, box.bottom() - 1);
  tail.closeSubpath();
  return path.united(tail);
}

}  // namespace

QImage AppIconImage(int s) {
  QImage image(s, s, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal u = s / 16.0;

  // Back bubble: the other side of the conversation.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x2E, 0x8B, 0x57));
  p.drawPath(Bubble(QRectF(5 * u, 1 * u, 10.5 * u, 7.5 * u), false));

  // Front bubble with three text lines.
  p.setPen(QPen(QColor(0x0B, 0x3D, 0x6B), std::max<qreal>(1.0, 0.6 * u)));
  p.setBrush(QColor(0x1E, 0x6F, 0xC4));
  p.drawPath(Bubble(QRectF(0.7 * u, 5.5 * u, 11 * u, 7.5 * u), true));
  p.setPen(QPen(Qt::white, std::max<qreal>(1.0, 0.9 * u), Qt::SolidLine, Qt::RoundCap));
  for (int line = 0; line < 3; ++line) {
    const qreal y = (7.4 + 1.9 * line) * u;
    const qreal end = line == 2 ? 7.0 : 9.6;
    p.drawLine(QPointF(2.6 * u, y), QPointF(end * u, y));
  }
  p.end();
  return image;
}

QIcon AppIcon() {
  QIcon icon;
  for (const int size : kAppIconSizes) icon.addPixmap(QPixmap::fromImage(AppIconImage(size)));
  return icon;
}

}  // namespace parlivo
