#pragma once
// The operator's window: Qt widgets bound to the form model (TfrmServer).
//
// The window owns the form. Widgets show the model's values; every
// operator action goes to the model's control (Click) or handler, after
// which the widgets are refreshed from the model. Nothing here decides
// anything about the server: the model does.

#include <QPointer>
#include <QWidget>
#include <memory>

#include "app/form_view.h"
#include "app/main_form.h"
#include "desktop/qt/qt_file_dialog.h"
#include "desktop/qt/qt_notify_shell.h"
#include "desktop/qt/qt_popup_menu.h"
#include "desktop/qt/qt_tray_platform.h"

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTableWidget;
class QToolButton;

namespace parlivo {

class MainWindow final : public QWidget, public FormView {
 public:
  // `api` must outlive the window. The form's tray icon lives in
  // `notificationArea` when one is given (it must outlive the window), else
  // in the desktop's notification area through QSystemTrayIcon.
  // `advertiser`, when given, announces the running server on the network.
  MainWindow(SocketApi& api, FormEnvironment environment, NotifyShell* notificationArea = nullptr,
             ServiceAdvertiser* advertiser = nullptr);
  ~MainWindow() override;

  TfrmServer& form() { return *form_; }
  // Places the window as the loaded settings say and shows it.
  void ShowAtStartup();
  QMenu* trayMenu() const { return trayMenu_; }
  // The top-level error display: a message box over the window.
  void ShowError(std::string_view message);

  // FormView
  void MinimizeApplication() override;
  void ShowTaskbarButton(bool shown) override;
  void RestoreApplication() override;
  void BringToFront() override;
  void CloseMainWindow() override;
  void OpenFile(const std::string& path) override;
  void LogAppended(const std::string& line) override;
  void RosterChanged() override;
  void ControlsChanged() override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  QFrame* Panel(QWidget* parent, const TPanel& model);
  QToolButton* FlatButton(QWidget* parent, const TButton& model);
  void BuildLayout();
  void BuildMenus();
  void NameWidgets();
  void AddToolTips();
  void SetMinimumWindowSize();
  void LayOutRightColumn();
  void SyncGeometryToModel();
  // The roster's menu acts on the selected row: enabled only while there is one.
  void EnableRosterMenu();
  void ShowSortIndicator();

  // The desktop seams behind the form's tray icon and file picker.
  QMenu* trayMenu_ = nullptr;
  QtNotifyShell shell_;
  QtTrayPlatform trayPlatform_;
  QtFileDialogPlatform fileDialogs_;
  QtPopupMenu trayPopup_;
  std::unique_ptr<TfrmServer> form_;
  bool closing_ = false;

  QFrame* pnlCommands_ = nullptr;
  QToolButton* sbRun_ = nullptr;
  QFrame* pnlClients_ = nullptr;
  QTableWidget* lvClients_ = nullptr;
  QFrame* pnlPLV_ = nullptr;
  QLabel* lblPLV_ = nullptr;
  QLineEdit* edPLV_ = nullptr;
  QToolButton* btnPLV_ = nullptr;
  QToolButton* sbOpen_ = nullptr;
  QFrame* pnlUpdate_ = nullptr;
  QFrame* pnlAll_ = nullptr;
  QFrame* pnlRooms_ = nullptr;
  QFrame* pnlNone_ = nullptr;
  QRadioButton* rbAll_ = nullptr;
  QRadioButton* rbRooms_ = nullptr;
  QRadioButton* rbNone_ = nullptr;
  QFrame* pnlSameName_ = nullptr;
  QCheckBox* chkSameNick_ = nullptr;
  QFrame* pnlTray_ = nullptr;
  QCheckBox* chkTray_ = nullptr;
  QFrame* pnlStyle_ = nullptr;
  QCheckBox* chkStyle_ = nullptr;
  QFrame* pnlAuto_ = nullptr;
  QCheckBox* chkAuto_ = nullptr;
  QFrame* pnlPort_ = nullptr;
  QLineEdit* edPort_ = nullptr;
  QFrame* pnlAdvertise_ = nullptr;
  QCheckBox* chkAdvertise_ = nullptr;
  QLineEdit* edName_ = nullptr;
  QFrame* pnlTls_ = nullptr;
  QCheckBox* chkTls_ = nullptr;
  QLineEdit* edTlsPort_ = nullptr;
  QLineEdit* edFingerprint_ = nullptr;
  QPlainTextEdit* mChat_ = nullptr;
  QMenu* clientsMenu_ = nullptr;
  QPointer<QMessageBox> errorBox_;  // the error shown now, if any
};

}  // namespace parlivo
