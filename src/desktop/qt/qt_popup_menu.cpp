#include "desktop/qt/qt_popup_menu.h"

#include <QPoint>

namespace parlivo {

void QtPopupMenu::Popup(int X, int Y) {
  if (menu_.isNull()) return;
  menu_->popup(QPoint(X, Y));
}

}  // namespace parlivo
