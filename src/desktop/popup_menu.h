#pragma once
// TPopupMenu: a popup menu as the tray icon uses it: opened at a screen
// position, with an automatic-popup switch and a reference to the
// component it was last popped up for. The menu's items and what they do
// belong to the application; the Qt backend (qt/qt_popup_menu.h) wraps a
// QMenu.

class QObject;

namespace parlivo {

class TPopupMenu {
 public:
  virtual ~TPopupMenu() = default;

  // Whether the menu opens by itself on a right click over its control. The
  // tray icon opens it by hand and switches this off first.
  bool AutoPopup() const { return autoPopup_; }
  void SetAutoPopup(bool value) { autoPopup_ = value; }
  // The component the menu was popped up for (not owned), or null. Item
  // handlers may read it to know where the menu came from.
  QObject* PopupComponent() const { return popupComponent_; }
  void SetPopupComponent(QObject* component) { popupComponent_ = component; }

  // Opens the menu with its top-left corner at the screen position X, Y.
  // A backend may return at once, leaving the menu open, or only when the
  // menu closes; either way the chosen item's handler runs from the event
  // loop.
  virtual void Popup(int X, int Y) = 0;

 private:
  bool autoPopup_ = true;
  QObject* popupComponent_ = nullptr;
};

}  // namespace parlivo
