#pragma once
// Drives a modal QFileDialog from inside its own modal loop: a timer waits
// for the dialog to be shown and then runs the test's action on it. A
// watchdog closes every modal widget after a few seconds, so a test can
// fail but never hang.

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>

namespace parlivo::testing {

class ModalDialogDriver {
 public:
  explicit ModalDialogDriver(std::function<void(QFileDialog&)> act) : act_(std::move(act)) {
    poll_.setInterval(10);
    QObject::connect(&poll_, &QTimer::timeout, [this] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!dialog || !dialog->isVisible()) return;
      poll_.stop();
      acted = true;
      act_(*dialog);
    });
    poll_.start();
    watchdog_.setInterval(5000);
    QObject::connect(&watchdog_, &QTimer::timeout, [] {
      if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });
    watchdog_.start();
  }
  bool acted = false;

 private:
  std::function<void(QFileDialog&)> act_;
  QTimer poll_;
  QTimer watchdog_;
};

// Types `path` into the dialog's file-name field and presses its Open
// button, as the user would (selectFile leaves a focused name field alone).
// Rejects the dialog and returns false when there is no such field or the
// button cannot be pressed.
inline bool TypeAndOpen(QFileDialog& dialog, const QString& path) {
  auto* nameField = dialog.findChild<QLineEdit*>("fileNameEdit");
  auto* buttons = dialog.findChild<QDialogButtonBox*>();
  QPushButton* open = buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
  if (nameField == nullptr || open == nullptr) {
    dialog.reject();
    return false;
  }
  nameField->setText(path);
  if (!open->isEnabled()) {
    dialog.reject();
    return false;
  }
  open->click();
  return true;
}

}  // namespace parlivo::testing
