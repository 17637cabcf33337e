#include "app/main_form.h"

#include "desktop/client_executable_picker.h"
#include "discovery/found_server.h"
#include "encoding/codepage_1252.h"

namespace parlivo {

TfrmServer::TfrmServer(SocketApi& api, FormView& view, const DesktopServices& desktop, FormEnvironment environment,
                       ServiceAdvertiser* advertiser)
    : TrayIcon(nullptr, desktop.shell, desktop.trayPlatform),
      fdPLV(desktop.fileDialogs),
      api_(api),
      view_(view),
      shell_(desktop.shell),
      environment_(std::move(environment)),
      advertiser_(advertiser) {
  // Layout, captions and design-time states.
  pnlCommands.Height = 24;
  sbRun.Caption = "Run";
  sbRun.Left = 8;
  sbRun.Height = 18;
  pnlClients.Width = 228;
  pnlPLV.Height = 41;
  lblPLV.Caption = "Path and name from client (PLV.exe)";
  edPLV.Width = 169;
  edPLV.ReadOnly = true;
  btnPLV.Caption = "..";
  sbOpen.Caption = "Run";
  pnlUpdate.Height = 75;
  lblUpdate.Caption = "Client Listing Mode";
  rbAll.Caption = "All Clients (!!!)";
  rbRooms.Caption = "Rooms only";
  rbNone.Caption = "None (!!!)";
  pnlSameName.Height = 24;
  chkSameNick.Caption = "allow same NickName (!!!)";
  chkSameNick.Color = TColor::clMenuHighlight;
  pnlTray.Height = 20;
  chkTray.Caption = "To Tray Icon (minimize/Run)";
  pnlStyle.Height = 20;
  chkStyle.Caption = "use WordWrapped Log";
  pnlAuto.Height = 20;
  chkAuto.Caption = "Automatic Reconnect";
  pnlPort.Height = 20;
  lblPort.Caption = "Listen on Port";
  edPort.Text = "65535";
  edPort.Width = 54;
  edPort.TabStop = false;
  pnlAdvertise.Height = 20;
  chkAdvertise.Caption = "Advertise as";
  edName.Width = 120;
  pnlTls.Height = 42;
  chkTls.Caption = "Encrypted (TLS) Port";
  edTlsPort.Width = 54;
  edTlsPort.TabStop = false;
  edFingerprint.ReadOnly = true;
  pmKick.Caption = "Kick  Client";
  pmDisconnect.Caption = "Disconnect Client";
  pmDisconnectAll.Caption = "Disconnect All";
  mmShow.Caption = "Show &Window";
  mmStop.Caption = "&Stop Server";
  mmPLV.Caption = "&Open new Client Instance";
  mmClose.Caption = "E&xit Application";

  // Design states are set before the handlers are bound, so they run nothing.
  rbRooms.SetChecked(true);
  rbRooms.FontBold = true;
  chkTray.SetChecked(true);
  chkStyle.SetChecked(true);
  chkAuto.SetChecked(true);
  chkAdvertise.SetChecked(true);

  sbRun.OnClick = [this] { sbRunClick(); };
  rbAll.OnClick = [this] { rbAllClick(); };
  rbRooms.OnClick = [this] { rbRoomsClick(); };
  rbNone.OnClick = [this] { rbNoneClick(); };
  chkSameNick.OnClick = [this] { chkSameNickClick(); };
  chkStyle.OnClick = [this] { chkStyleClick(); };
  pmKick.OnClick = [this] { pmKickClick(); };
  pmDisconnect.OnClick = [this] { pmDisconnectClick(); };
  pmDisconnectAll.OnClick = [this] { pmDisconnectAllClick(); };
  mmStop.OnClick = [this] { mmStopClick(); };
  mmShow.OnClick = [this] { mmShowClick(); };
  mmPLV.OnClick = [this] { mmPLVClick(); };
  mmClose.OnClick = [this] { mmCloseClick(); };
  btnPLV.OnClick = [this] { btnPLVClick(); };
  sbOpen.OnClick = [this] { sbOpenClick(); };
  mChat.OnAppend = [this](const std::string& line) { view_.LogAppended(line); };

  TrayIcon.SetHint("Parlivo Server");
  TrayIcon.SetBalloonHint("Parlivo Server");
  TrayIcon.SetBalloonTitle("Parlivo Server");
  TrayIcon.BalloonFlags = bfInfo;
  if (!desktop.trayImage.Empty()) TrayIcon.SetIcon(desktop.trayImage);
  TrayIcon.PopupMenu = desktop.trayMenu;
  TrayIcon.OnDblClick = [this](TCustomTrayIcon*) { TrayIconDblClick(); };
  ConfigureClientExecutablePicker(fdPLV);

  Server = std::make_unique<TDadideVUDServer>(api_);
  Server->ClientStatusUpdate = Rooms;
  Server->SetPort(kDesignPort);
  BindServerEvents();

  if (advertiser_ != nullptr) {
    advertiser_->OnAdvertised = [this](const std::string& name) {
      Log("Advertised on the local network as \"" + Utf8ToWindows1252(name) + "\" (" + kChatServiceType + ")");
    };
    advertiser_->OnNotAdvertised = [this](const std::string& reason) {
      Log("not advertised: " + Utf8ToWindows1252(reason));
    };
  }

  restartTimer_.setSingleShot(true);
  QObject::connect(&restartTimer_, &QTimer::timeout, [this] { RunRestart(); });
}

TfrmServer::~TfrmServer() {
  restartTimer_.stop();
  StopAdvertising();
  if (advertiser_ != nullptr) {
    advertiser_->OnAdvertised = nullptr;
    advertiser_->OnNotAdvertised = nullptr;
  }
  if (Server) {
    Server->OnError = nullptr;  // the form's handlers must not run during its own destruction
    Server.reset();
  }
}

void TfrmServer::BindServerEvents() {
  using std::placeholders::_1;
  using std::placeholders::_2;
  using std::placeholders::_3;
  using std::placeholders::_4;
  using std::placeholders::_5;
  Server->OnAccept = std::bind(&TfrmServer::ServerAccept, this, _1, _2, _3);
  Server->OnClientConnected = std::bind(&TfrmServer::ServerClientConnected, this, _1, _2);
  Server->OnClientDisconnected = std::bind(&TfrmServer::ServerClientDisconnected, this, _1, _2);
  Server->OnClientMessageCome = std::bind(&TfrmServer::ServerClientMessageCome, this, _1, _2, _3);
  Server->OnClientPong = std::bind(&TfrmServer::ServerClientPong, this, _1, _2);
  Server->OnServerGetUserName = std::bind(&TfrmServer::ServerGetUserName, this, _1, _2, _3, _4, _5);
  Server->OnClientTimeOut = std::bind(&TfrmServer::ServerClientTimeOut, this, _1, _2, _3);
  Server->OnClientTooSlow = std::bind(&TfrmServer::ServerClientTooSlow, this, _1, _2, _3);
  Server->OnError = std::bind(&TfrmServer::ServerError, this, _1, _2, _3, _4);
  Server->OnServerNotice = std::bind(&TfrmServer::ServerNotice, this, _1, _2);
  Server->OnClientStalled = std::bind(&TfrmServer::ServerClientStalled, this, _1, _2, _3);
}

void TfrmServer::FormCreate() {
  LoadSettings();
  view_.ControlsChanged();
}

bool TfrmServer::FormCloseQuery() {
  restartTimer_.stop();
  if (!Server) return true;
  // This is a stop like the others: an error while every client is told to
  // leave or while the server closes is logged by ServerError and starts
  // nothing of its own (no second stop, no restart, no offline report).
  inStopSequence_ = true;
  StopAdvertising();
  if (Server->Listen()) Server->DisconnectAllClients();
  Server->SetListen(false);
  // The window may close from a dialog shown inside one of the server's
  // handlers; the server then goes once that handler has returned.
  TDadideVUDServer::Dispose(std::move(Server));
  inStopSequence_ = false;
  return true;
}

void TfrmServer::FormResize() {
  sbRun.Width = pnlCommands.Width - 15;
  lvClientsHeight = pnlClients.Height - pnlAuto.Height - pnlPLV.Height - pnlPort.Height - pnlSameName.Height -
                    pnlStyle.Height - pnlTray.Height - pnlUpdate.Height - pnlAdvertise.Height - pnlTls.Height - 5;
}

void TfrmServer::ApplicationMinimize() {
  if (!chkTray.Checked()) return;
  // Without a notification area there is nothing to hide into: the window
  // stays minimised on the taskbar, where the operator can find it again.
  if (!shell_.Available()) return;
  view_.ShowTaskbarButton(false);
  mmStop.Caption = TrayStopCaption(true);
  TrayIcon.SetVisible(true);
  view_.ControlsChanged();
}

void TfrmServer::mmShowClick() {
  view_.ShowTaskbarButton(true);
  view_.RestoreApplication();
  view_.BringToFront();
  TrayIcon.SetVisible(false);
}

void TfrmServer::mmCloseClick() { view_.CloseMainWindow(); }

void TfrmServer::btnPLVClick() {
  if (fdPLV.ChooseFile()) {
    edPLV.Text = fdPLV.FileName;
    mmPLV.Enabled = true;
  } else {
    mmPLV.Enabled = false;
  }
  view_.ControlsChanged();
}

void TfrmServer::mmPLVClick() {
  if (edPLV.Text.empty()) return;
  view_.OpenFile(edPLV.Text);
}

void TfrmServer::chkStyleClick() {
  mChatWordWrap = chkStyle.Checked();
  mChatScrollBars = mChatWordWrap ? TScrollStyle::ssVertical : TScrollStyle::ssBoth;
  view_.ControlsChanged();
}

void TfrmServer::Log(const std::string& line) { mChat.Append(line); }

void TfrmServer::LogLimited(NoticeThrottle& throttle, const std::string& line) {
  if (!throttle.due(NowMs())) return;
  // The same words as the server's own limited notices.
  const int unsaid = throttle.unsaid();
  Log(unsaid == 0 ? line : line + " (" + std::to_string(unsaid) + " more like it not shown)");
}

}  // namespace parlivo
