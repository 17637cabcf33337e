#pragma once
// QtPopupMenu: a TPopupMenu over a QMenu that the application owns (the
// tray menu). Popup opens the menu without waiting for it to close; the
// chosen action's handlers run from the event loop.

#include <QMenu>
#include <QPointer>

#include "desktop/popup_menu.h"

namespace parlivo {

class QtPopupMenu final : public TPopupMenu {
 public:
  // `menu` may be destroyed first; Popup does nothing then.
  explicit QtPopupMenu(QMenu* menu) : menu_(menu) {}

  void Popup(int X, int Y) override;
  QMenu* Menu() const { return menu_; }

 private:
  QPointer<QMenu> menu_;
};

}  // namespace parlivo
