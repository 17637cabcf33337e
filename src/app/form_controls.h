#pragma once
// The window's controls as plain values, so that the operator's form runs
// and is tested without any window system. A view mirrors these values
// onto real widgets and forwards the operator's clicks to Click().
//
// Binding rules the form relies on (they are what the settings loader
// counts on when it sets states from the program):
//  - a check box runs its OnClick whenever its state changes, whether the
//    operator clicked it or the program set it;
//  - a radio button runs its OnClick only when it becomes checked;
//    unchecking it runs nothing;
//  - a button or menu item runs its OnClick when clicked, if enabled.

#include <functional>
#include <string>

namespace parlivo {

enum class TColor { clBtnFace, clRed, clMenuHighlight };

struct TControl {
  bool Enabled = true;
  bool Visible = true;
  int Left = 0;
  int Width = 0;
  int Height = 0;
};

class TCheckBox : public TControl {
 public:
  std::string Caption;
  bool FontBold = false;
  TColor Color = TColor::clBtnFace;
  std::function<void()> OnClick;

  bool Checked() const { return checked_; }
  void SetChecked(bool value) {
    if (value == checked_) return;
    checked_ = value;
    if (OnClick) OnClick();
  }
  // The operator's click.
  void Click() { SetChecked(!checked_); }

 private:
  bool checked_ = false;
};

class TRadioButton : public TControl {
 public:
  std::string Caption;
  bool FontBold = false;
  std::function<void()> OnClick;

  bool Checked() const { return checked_; }
  void SetChecked(bool value) {
    if (value == checked_) return;
    checked_ = value;
    if (value && OnClick) OnClick();
  }
  // The operator's click: checks the button (nothing if it is checked already).
  void Click() { SetChecked(true); }

 private:
  bool checked_ = false;
};

struct TEdit : TControl {
  std::string Text;
  bool ReadOnly = false;
  bool TabStop = true;
};

struct TLabel : TControl {
  std::string Caption;
};

struct TButton : TControl {
  std::string Caption;
  std::function<void()> OnClick;
  void Click() {
    if (Enabled && OnClick) OnClick();
  }
};

struct TPanel : TControl {
  TColor Color = TColor::clBtnFace;
};

struct TMenuItem {
  std::string Caption;
  bool Visible = true;
  bool Enabled = true;
  std::function<void()> OnClick;
  void Click() {
    if (Visible && Enabled && OnClick) OnClick();
  }
};

}  // namespace parlivo
