#include "app/qt/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QToolButton>
#include <QUrl>
#include <cstdio>

#include "app/qt/app_icon.h"
#include "desktop/qt/qt_icon_image.h"
#include "encoding/codepage_1252.h"
#include "encoding/display_text.h"
#include "transport/unhandled_error.h"

namespace parlivo {
namespace {

// Texts in the model are Windows-1252 bytes.
QString Text(const std::string& bytes) { return QString::fromStdString(Windows1252ToUtf8(bytes)); }
std::string Bytes(const QString& text) { return Utf8ToWindows1252(text.toStdString()); }

constexpr int kRightColumnWidth = 228;
// The narrowest log the window may be shrunk to, and the roster rows that
// stay visible below its header at the window's minimum height.
constexpr int kLogMinimumWidth = 250;
constexpr int kRosterMinimumRows = 3;
constexpr int kRosterRowHeight = 18;

QColor ColorOf(TColor color, const QPalette& palette) {
  switch (color) {
    case TColor::clRed: return QColor(Qt::red);
    case TColor::clMenuHighlight: return palette.color(QPalette::Highlight);
    case TColor::clBtnFace: break;
  }
  return palette.color(QPalette::Button);
}

// Fills the widget's background with `color`. The role is the widget's own
// background role: panels fill with Window, but buttons (check boxes among
// them) fill with Button, so setting Window alone would leave them grey.
// On the highlight colour the caption takes the highlighted-text colour, so
// it stays readable.
void Paint(QWidget* widget, TColor color) {
  const QPalette system = QApplication::palette();
  QPalette palette = widget->palette();
  palette.setColor(widget->backgroundRole(), ColorOf(color, system));
  if (color == TColor::clMenuHighlight) {
    for (const QPalette::ColorRole text : {QPalette::WindowText, QPalette::ButtonText}) {
      palette.setColor(text, system.color(QPalette::HighlightedText));
    }
  }
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

void SetBold(QWidget* widget, bool bold) {
  QFont font = widget->font();
  font.setBold(bold);
  widget->setFont(font);
}

// Runs a model action from a widget's signal; an error goes to the
// central handler instead of the event loop.
template <typename Action>
void Guarded(MainWindow* window, Action&& action) {
  RunGuarded(window, std::forward<Action>(action));
  window->ControlsChanged();
}

}  // namespace

MainWindow::MainWindow(SocketApi& api, FormEnvironment environment, NotifyShell* notificationArea,
                       ServiceAdvertiser* advertiser)
    : trayMenu_(new QMenu(this)),
      trayPlatform_(this, [this](std::string_view message) { HandleUnhandledError(this, message); }),
      fileDialogs_(this),
      trayPopup_(trayMenu_) {
  setWindowTitle("Parlivo Server");
  setWindowIcon(AppIcon());
  QFont font("Tahoma");
  font.setPixelSize(11);
  setFont(font);
  form_ = std::make_unique<TfrmServer>(
      api, *this,
      DesktopServices{notificationArea ? *notificationArea : shell_, trayPlatform_, fileDialogs_,
                      FromQIcon(AppIcon()), &trayPopup_},
      std::move(environment), advertiser);
  shell_.SetMessageTarget([this](TrayMessage& message) { form_->TrayIcon.WindowProc(message); });
  BuildLayout();
  BuildMenus();
  NameWidgets();
  AddToolTips();
  SetMinimumWindowSize();
  form_->FormCreate();
  ControlsChanged();
  RosterChanged();
}

MainWindow::~MainWindow() = default;

QFrame* MainWindow::Panel(QWidget* parent, const TPanel& model) {
  auto* panel = new QFrame(parent);
  panel->setFrameShape(QFrame::NoFrame);
  if (model.Height > 0) panel->setFixedHeight(model.Height);
  return panel;
}

QToolButton* MainWindow::FlatButton(QWidget* parent, const TButton& model) {
  auto* button = new QToolButton(parent);
  button->setText(Text(model.Caption));
  button->setAutoRaise(true);
  return button;
}

void MainWindow::BuildLayout() {
  TfrmServer& f = *form_;
  mChat_ = new QPlainTextEdit(this);
  mChat_->setReadOnly(true);
  mChat_->setMaximumBlockCount(static_cast<int>(EventLog::kMaxLines));  // as many lines as the form keeps
  mChat_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  pnlCommands_ = Panel(this, f.pnlCommands);
  sbRun_ = FlatButton(pnlCommands_, f.sbRun);
  connect(sbRun_, &QToolButton::clicked, this, [this] { Guarded(this, [this] { form_->sbRun.Click(); }); });

  pnlClients_ = Panel(this, f.pnlClients);
  lvClients_ = new QTableWidget(0, 2, pnlClients_);
  lvClients_->setHorizontalHeaderLabels({"Nickname", "Room"});
  lvClients_->setShowGrid(true);
  lvClients_->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvClients_->setSelectionMode(QAbstractItemView::SingleSelection);
  lvClients_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvClients_->setFocusPolicy(Qt::NoFocus);
  lvClients_->verticalHeader()->hide();
  lvClients_->verticalHeader()->setDefaultSectionSize(kRosterRowHeight);
  lvClients_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  lvClients_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Fixed);
  lvClients_->setColumnWidth(1, 70);
  lvClients_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(lvClients_->horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int column) {
    Guarded(this, [&] { form_->lvClientsColumnClick(column); });
    ShowSortIndicator();
  });
  connect(lvClients_, &QTableWidget::itemSelectionChanged, this, [this] {
    const auto rows = lvClients_->selectionModel()->selectedRows();
    form_->lvClients.Select(rows.isEmpty() ? Roster::kNoSelection : rows.first().row());
    EnableRosterMenu();
  });

  pnlPLV_ = Panel(pnlClients_, f.pnlPLV);
  lblPLV_ = new QLabel(Text(f.lblPLV.Caption), pnlPLV_);
  lblPLV_->setGeometry(4, 2, kRightColumnWidth - 8, 14);
  edPLV_ = new QLineEdit(pnlPLV_);
  edPLV_->setReadOnly(true);
  edPLV_->setGeometry(4, 18, f.edPLV.Width, 20);
  btnPLV_ = FlatButton(pnlPLV_, f.btnPLV);
  btnPLV_->setGeometry(4 + f.edPLV.Width + 2, 18, 24, 20);
  sbOpen_ = FlatButton(pnlPLV_, f.sbOpen);
  sbOpen_->setGeometry(4 + f.edPLV.Width + 28, 18, 26, 20);
  connect(btnPLV_, &QToolButton::clicked, this, [this] { Guarded(this, [this] { form_->btnPLVClick(); }); });
  connect(sbOpen_, &QToolButton::clicked, this, [this] { Guarded(this, [this] { form_->sbOpenClick(); }); });

  pnlUpdate_ = Panel(pnlClients_, f.pnlUpdate);
  auto* lblUpdate = new QLabel(Text(f.lblUpdate.Caption), pnlUpdate_);
  lblUpdate->setGeometry(4, 2, kRightColumnWidth - 8, 15);
  const auto radio = [&](QFrame*& panel, QRadioButton*& button, TRadioButton& model, int top) {
    panel = new QFrame(pnlUpdate_);
    panel->setGeometry(0, top, kRightColumnWidth, 19);
    button = new QRadioButton(Text(model.Caption), panel);
    button->setGeometry(8, 1, kRightColumnWidth - 12, 17);
    connect(button, &QRadioButton::clicked, this, [this, &model] { Guarded(this, [&] { model.Click(); }); });
  };
  radio(pnlAll_, rbAll_, f.rbAll, 18);
  radio(pnlRooms_, rbRooms_, f.rbRooms, 37);
  radio(pnlNone_, rbNone_, f.rbNone, 56);

  const auto check = [&](QFrame*& panel, QCheckBox*& box, TPanel& panelModel, TCheckBox& model) {
    panel = Panel(pnlClients_, panelModel);
    box = new QCheckBox(Text(model.Caption), panel);
    box->setGeometry(8, (panelModel.Height - 17) / 2, kRightColumnWidth - 12, 17);
    connect(box, &QCheckBox::clicked, this, [this, &model] { Guarded(this, [&] { model.Click(); }); });
  };
  check(pnlSameName_, chkSameNick_, f.pnlSameName, f.chkSameNick);
  check(pnlTray_, chkTray_, f.pnlTray, f.chkTray);
  check(pnlStyle_, chkStyle_, f.pnlStyle, f.chkStyle);
  check(pnlAuto_, chkAuto_, f.pnlAuto, f.chkAuto);
  Paint(chkSameNick_, f.chkSameNick.Color);

  pnlPort_ = Panel(pnlClients_, f.pnlPort);
  auto* lblPort = new QLabel(Text(f.lblPort.Caption), pnlPort_);
  lblPort->setGeometry(8, 2, 120, 16);
  edPort_ = new QLineEdit(pnlPort_);
  edPort_->setGeometry(kRightColumnWidth - f.edPort.Width - 4, 0, f.edPort.Width, 20);
  edPort_->setFocusPolicy(Qt::ClickFocus);  // skipped by the tab key
  connect(edPort_, &QLineEdit::textEdited, this, [this](const QString& text) { form_->edPort.Text = Bytes(text); });

  pnlAdvertise_ = Panel(pnlClients_, f.pnlAdvertise);
  chkAdvertise_ = new QCheckBox(Text(f.chkAdvertise.Caption), pnlAdvertise_);
  chkAdvertise_->setGeometry(8, 1, kRightColumnWidth - f.edName.Width - 16, 17);
  connect(chkAdvertise_, &QCheckBox::clicked, this,
          [this] { Guarded(this, [this] { form_->chkAdvertise.Click(); }); });
  edName_ = new QLineEdit(pnlAdvertise_);
  edName_->setGeometry(kRightColumnWidth - f.edName.Width - 4, 0, f.edName.Width, 20);
  edName_->setPlaceholderText(QString::fromStdString(f.ServiceName()));
  connect(edName_, &QLineEdit::textEdited, this, [this](const QString& text) { form_->edName.Text = Bytes(text); });

  pnlTls_ = Panel(pnlClients_, f.pnlTls);
  chkTls_ = new QCheckBox(Text(f.chkTls.Caption), pnlTls_);
  chkTls_->setGeometry(8, 1, kRightColumnWidth - f.edTlsPort.Width - 16, 17);
  connect(chkTls_, &QCheckBox::clicked, this, [this] { Guarded(this, [this] { form_->chkTls.Click(); }); });
  edTlsPort_ = new QLineEdit(pnlTls_);
  edTlsPort_->setGeometry(kRightColumnWidth - f.edTlsPort.Width - 4, 0, f.edTlsPort.Width, 20);
  edTlsPort_->setFocusPolicy(Qt::ClickFocus);
  connect(edTlsPort_, &QLineEdit::textEdited, this,
          [this](const QString& text) { form_->edTlsPort.Text = Bytes(text); });
  // Read-only, but selectable: the operator copies it to hand it out.
  edFingerprint_ = new QLineEdit(pnlTls_);
  edFingerprint_->setGeometry(8, 21, kRightColumnWidth - 12, 20);
  edFingerprint_->setReadOnly(true);
  edFingerprint_->setPlaceholderText("key fingerprint, once running");
}

void MainWindow::NameWidgets() {
  // The model's names, for style sheets, accessibility and tests.
  const std::pair<QObject*, const char*> names[] = {
      {pnlCommands_, "pnlCommands"}, {sbRun_, "sbRun"},       {pnlClients_, "pnlClients"}, {lvClients_, "lvClients"},
      {pnlPLV_, "pnlPLV"},           {edPLV_, "edPLV"},       {btnPLV_, "btnPLV"},         {sbOpen_, "sbOpen"},
      {pnlUpdate_, "pnlUpdate"},     {rbAll_, "rbAll"},       {rbRooms_, "rbRooms"},       {rbNone_, "rbNone"},
      {pnlSameName_, "pnlSameName"}, {chkSameNick_, "chkSameNick"}, {chkTray_, "chkTray"}, {chkStyle_, "chkStyle"},
      {chkAuto_, "chkAuto"},         {pnlPort_, "pnlPort"},   {edPort_, "edPort"},         {mChat_, "mChat"},
      {clientsMenu_, "pmClients"},   {trayMenu_, "pmTray"},   {pnlAll_, "pnlAll"},         {pnlRooms_, "pnlRooms"},
      {pnlNone_, "pnlNone"},         {pnlTray_, "pnlTray"},   {pnlStyle_, "pnlStyle"},     {pnlAuto_, "pnlAuto"},
      {pnlAdvertise_, "pnlAdvertise"}, {chkAdvertise_, "chkAdvertise"}, {edName_, "edName"},
      {pnlTls_, "pnlTls"},           {chkTls_, "chkTls"},     {edTlsPort_, "edTlsPort"},   {edFingerprint_, "edFingerprint"}};
  for (const auto& [object, name] : names) object->setObjectName(name);
}

void MainWindow::BuildMenus() {
  TfrmServer& f = *form_;
  clientsMenu_ = new QMenu(this);
  for (TMenuItem* item : {&f.pmKick, &f.pmDisconnect, &f.pmDisconnectAll}) {
    QAction* action = clientsMenu_->addAction(Text(item->Caption));
    connect(action, &QAction::triggered, this, [this, item] { Guarded(this, [item] { item->Click(); }); });
  }
  connect(lvClients_, &QTableWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { clientsMenu_->popup(lvClients_->viewport()->mapToGlobal(at)); });

  for (TMenuItem* item : {&f.mmShow, &f.mmStop, &f.mmPLV, &f.mmClose}) {
    QAction* action = trayMenu_->addAction(Text(item->Caption));
    action->setData(QVariant::fromValue(static_cast<void*>(item)));
    connect(action, &QAction::triggered, this, [this, item] { Guarded(this, [item] { item->Click(); }); });
  }
}

void MainWindow::AddToolTips() {
  btnPLV_->setToolTip("Choose the chat client program");
  sbOpen_->setToolTip("Start a copy of the chat client program");
  chkAdvertise_->setToolTip("Announce the running server on the local network, so that chat clients list it");
  edName_->setToolTip("The name chat clients list the server under (empty: the host's name)");
  chkTls_->setToolTip("Also listen for encrypted (TLS) clients on the port beside it");
  edTlsPort_->setToolTip("The TLS port (empty: the one after the port above)");
  edFingerprint_->setToolTip("The SHA-256 fingerprint of the server's key: users compare it with what their "
                             "client shows at its first encrypted connection");
}

void MainWindow::SetMinimumWindowSize() {
  // The right column has a fixed width and its option panels fixed
  // heights; below this size the roster would vanish and the panels would
  // be pushed over each other.
  const TfrmServer& f = *form_;
  int panels = 0;
  for (const TPanel* panel : {&f.pnlPLV, &f.pnlUpdate, &f.pnlSameName, &f.pnlTray, &f.pnlStyle, &f.pnlAuto,
                              &f.pnlPort, &f.pnlAdvertise, &f.pnlTls}) {
    panels += panel->Height;
  }
  const int roster = lvClients_->horizontalHeader()->sizeHint().height() + kRosterMinimumRows * kRosterRowHeight +
                     2 * lvClients_->frameWidth();
  constexpr int kGapBelowRoster = 5;  // as in the resize rule
  setMinimumSize(kRightColumnWidth + kLogMinimumWidth, f.pnlCommands.Height + panels + kGapBelowRoster + roster);
}

void MainWindow::EnableRosterMenu() {
  const bool selected = form_->lvClients.Selected() != Roster::kNoSelection;
  for (QAction* action : clientsMenu_->actions()) action->setEnabled(selected);
}

void MainWindow::ShowSortIndicator() {
  // The header shows the direction of the last sort; Qt's own flip on a
  // click is overruled, as the direction flips on every click of any column.
  const Roster& roster = form_->lvClients;
  QHeaderView* header = lvClients_->horizontalHeader();
  header->setSortIndicatorShown(true);
  header->setSortIndicator(roster.SortColumn(), roster.SortAscending() ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void MainWindow::ShowAtStartup() {
  const TfrmServer& f = *form_;
  resize(f.Width, f.Height);
  if (f.Position == TPosition::poDesigned) {
    move(f.Left, f.Top);
  } else if (const QScreen* screen = QApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(f.Width / 2, f.Height / 2));
  }
  show();
}

void MainWindow::LayOutRightColumn() {
  TfrmServer& f = *form_;
  const int w = width();
  const int h = height();
  const int commands = f.pnlCommands.Height;
  f.pnlCommands.Width = w;
  f.pnlClients.Height = h - commands;
  f.FormResize();

  mChat_->setGeometry(0, 0, w - kRightColumnWidth, h - commands);
  pnlCommands_->setGeometry(0, h - commands, w, commands);
  sbRun_->setGeometry(f.sbRun.Left, (commands - f.sbRun.Height) / 2, f.sbRun.Width, f.sbRun.Height);
  pnlClients_->setGeometry(w - kRightColumnWidth, 0, kRightColumnWidth, h - commands);

  int top = 0;
  lvClients_->setGeometry(0, top, kRightColumnWidth, std::max(0, f.lvClientsHeight));
  top += std::max(0, f.lvClientsHeight) + 5;
  for (auto [panel, model] : std::initializer_list<std::pair<QFrame*, const TPanel*>>{
           {pnlPLV_, &f.pnlPLV}, {pnlUpdate_, &f.pnlUpdate}, {pnlSameName_, &f.pnlSameName},
           {pnlTray_, &f.pnlTray}, {pnlStyle_, &f.pnlStyle}, {pnlAuto_, &f.pnlAuto}, {pnlPort_, &f.pnlPort},
           {pnlAdvertise_, &f.pnlAdvertise}, {pnlTls_, &f.pnlTls}}) {
    panel->setGeometry(0, top, kRightColumnWidth, model->Height);
    top += model->Height;
  }
}

void MainWindow::SyncGeometryToModel() {
  if (isMinimized() || !isVisible()) return;
  form_->Left = x();
  form_->Top = y();
  form_->Width = width();
  form_->Height = height();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayOutRightColumn();
  SyncGeometryToModel();
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  SyncGeometryToModel();
}

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange) return;
  const auto* change = static_cast<QWindowStateChangeEvent*>(event);
  if (isMinimized() && !(change->oldState() & Qt::WindowMinimized))
    Guarded(this, [this] { form_->ApplicationMinimize(); });
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!closing_) {
    closing_ = true;
    RunGuarded(this, [this] { form_->FormCloseQuery(); });
  }
  event->accept();
  QApplication::quit();
}

void MainWindow::ShowError(std::string_view message) {
  // Not modal in the blocking sense: the error may come from deep inside a
  // handler of the server, which must not be re-entered by a nested event
  // loop while the box is up. A second error while one box is shown goes to
  // standard error only.
  if (errorBox_) {
    std::fprintf(stderr, "Parlivo Server: %s\n", Windows1252ToUtf8(message).c_str());
    return;
  }
  errorBox_ = new QMessageBox(QMessageBox::Critical, windowTitle(), Text(std::string(message)), QMessageBox::Ok,
                              isVisible() ? this : nullptr);
  errorBox_->setAttribute(Qt::WA_DeleteOnClose);
  errorBox_->open();
}

// --- FormView

void MainWindow::MinimizeApplication() {
  // Not showMinimized(): it shows the window again after the state change,
  // which would undo hiding it into the notification area (changeEvent).
  setWindowState(windowState() | Qt::WindowMinimized);
}

void MainWindow::ShowTaskbarButton(bool shown) {
  // A hidden top-level window has no taskbar button on this platform.
  if (shown) {
    show();
  } else {
    hide();
  }
}

void MainWindow::RestoreApplication() { showNormal(); }

void MainWindow::BringToFront() {
  raise();
  activateWindow();
}

void MainWindow::CloseMainWindow() { close(); }

void MainWindow::OpenFile(const std::string& path) {
  const QString file = QString::fromStdString(path);  // file names are kept in the file system's encoding
  const QFileInfo info(file);
  if (info.isFile() && info.isExecutable()) {
    QProcess::startDetached(info.absoluteFilePath(), {}, info.absolutePath());
  } else {
    QDesktopServices::openUrl(QUrl::fromLocalFile(info.absoluteFilePath()));
  }
}

// One entry, one visible line: the same text the terminal shows.
void MainWindow::LogAppended(const std::string& line) {
  mChat_->appendPlainText(QString::fromStdString(DisplayText(line)));
}

void MainWindow::RosterChanged() {
  const Roster& roster = form_->lvClients;
  const QSignalBlocker blocker(lvClients_);
  lvClients_->setRowCount(static_cast<int>(roster.Count()));
  for (std::size_t i = 0; i < roster.Count(); ++i) {
    const auto row = static_cast<int>(i);
    lvClients_->setItem(row, 0, new QTableWidgetItem(Text(roster.Rows()[i].Nickname)));
    lvClients_->setItem(row, 1, new QTableWidgetItem(Text(roster.Rows()[i].Room)));
  }
  lvClients_->clearSelection();
  if (roster.Selected() != Roster::kNoSelection) lvClients_->selectRow(roster.Selected());
  EnableRosterMenu();
}

void MainWindow::ControlsChanged() {
  if (!mChat_ || !trayMenu_) return;  // still being built
  const TfrmServer& f = *form_;
  const auto sync = [](QAbstractButton* button, bool checked, bool enabled, bool bold) {
    const QSignalBlocker blocker(button);
    button->setChecked(checked);
    button->setEnabled(enabled);
    SetBold(button, bold);
  };
  sbRun_->setText(Text(f.sbRun.Caption));
  sbRun_->setToolTip(f.sbRun.Caption == "Stop" ? "Stop the server: ask every client to leave and stop listening"
                                               : "Start the server: listen for chat clients on the port below");
  sync(rbAll_, f.rbAll.Checked(), f.rbAll.Enabled, f.rbAll.FontBold);
  sync(rbRooms_, f.rbRooms.Checked(), f.rbRooms.Enabled, f.rbRooms.FontBold);
  sync(rbNone_, f.rbNone.Checked(), f.rbNone.Enabled, f.rbNone.FontBold);
  sync(chkSameNick_, f.chkSameNick.Checked(), f.chkSameNick.Enabled, false);
  sync(chkTray_, f.chkTray.Checked(), f.chkTray.Enabled, false);
  sync(chkStyle_, f.chkStyle.Checked(), f.chkStyle.Enabled, false);
  sync(chkAuto_, f.chkAuto.Checked(), f.chkAuto.Enabled, false);
  sync(chkAdvertise_, f.chkAdvertise.Checked(), f.chkAdvertise.Enabled, false);
  if (edName_->text() != Text(f.edName.Text)) edName_->setText(Text(f.edName.Text));
  edName_->setEnabled(f.edName.Enabled);
  sync(chkTls_, f.chkTls.Checked(), f.chkTls.Enabled, false);
  if (edTlsPort_->text() != Text(f.edTlsPort.Text)) edTlsPort_->setText(Text(f.edTlsPort.Text));
  edTlsPort_->setEnabled(f.edTlsPort.Enabled);
  edFingerprint_->setText(Text(f.edFingerprint.Text));
  Paint(pnlAll_, f.pnlAll.Color);
  Paint(pnlRooms_, f.pnlRooms.Color);
  Paint(pnlNone_, f.pnlNone.Color);
  Paint(pnlSameName_, f.pnlSameName.Color);
  if (edPort_->text() != Text(f.edPort.Text)) edPort_->setText(Text(f.edPort.Text));
  edPort_->setEnabled(f.edPort.Enabled);
  edPLV_->setText(QString::fromStdString(f.edPLV.Text));
  // The field is narrow; the tooltip shows the whole path.
  edPLV_->setToolTip(f.edPLV.Text.empty() ? QString("Press .. to choose the chat client program") : edPLV_->text());
  mChat_->setLineWrapMode(f.mChatWordWrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
  mChat_->setHorizontalScrollBarPolicy(f.mChatScrollBars == TScrollStyle::ssBoth ? Qt::ScrollBarAlwaysOn
                                                                                  : Qt::ScrollBarAlwaysOff);
  for (QAction* action : trayMenu_->actions()) {
    const auto* item = static_cast<const TMenuItem*>(action->data().value<void*>());
    action->setText(Text(item->Caption));
    action->setVisible(item->Visible);
    action->setEnabled(item->Enabled);
  }
}

}  // namespace parlivo
