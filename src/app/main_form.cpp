#include "app/main_form.h"

namespace parlivo {

TfrmServer::TfrmServer(SocketApi& api, FormView& view, FormEnvironment environment)
    : api_(api), view_(view), environment_(std::move(environment)) {
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
  mChat.OnAppend = [this](const std::string& line) { view_.LogAppended(line); };

  Server = std::make_unique<TDadideVUDServer>(api_);
  Server->ClientStatusUpdate = Rooms;
  Server->SetPort(kDesignPort);
  BindServerEvents();

  restartTimer_.setSingleShot(true);
  QObject::connect(&restartTimer_, &QTimer::timeout, [this] { RunRestart(); });
}

TfrmServer::~TfrmServer() {
  restartTimer_.stop();
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
  Server->OnClientConnected = std::bind(&TfrmServer::ServerClientConnected, this, _1, _2);
  Server->OnClientDisconnected = std::bind(&TfrmServer::ServerClientDisconnected, this, _1, _2);
  Server->OnClientMessageCome = std::bind(&TfrmServer::ServerClientMessageCome, this, _1, _2, _3);
  Server->OnClientPong = std::bind(&TfrmServer::ServerClientPong, this, _1, _2);
  Server->OnError = std::bind(&TfrmServer::ServerError, this, _1, _2, _3, _4);
}

void TfrmServer::FormCreate() {
  LoadSettings();
  view_.ControlsChanged();
}

bool TfrmServer::FormCloseQuery() {
  restartTimer_.stop();
  if (Server) {
    if (Server->Listen()) Server->DisconnectAllClients();
    Server->SetListen(false);
    Server.reset();
  }
  return true;
}

void TfrmServer::chkStyleClick() {
  mChatWordWrap = chkStyle.Checked();
  mChatScrollBars = mChatWordWrap ? TScrollStyle::ssVertical : TScrollStyle::ssBoth;
  view_.ControlsChanged();
}

void TfrmServer::Log(const std::string& line) { mChat.Append(line); }

}  // namespace parlivo
