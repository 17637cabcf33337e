#pragma once
// TfrmServer: the operator's form as a model, independent of any window.
//
// Its members are the window's controls as values (form_controls.h) and its
// methods are the handlers, under the names the window binds them by. It
// owns the chat server component for the whole run, binds the server's
// events to its handlers, relays chat, keeps the event log and the roster,
// moderates, persists the settings and starts and stops the server.
//
// The handlers live in one source file per concern: server control
// (server_control.cpp), chat relay and event log (chat_relay.cpp), roster
// and moderation (roster_moderation.cpp), settings (settings.cpp), who may
// connect and the announcement on the network (server_access.cpp), the
// rest of the window's behaviour (main_form.cpp).
//
// Re-entry: the server fires its events synchronously, often in the middle
// of a handler of this form (a relay whose send fails reports an error,
// whose handler stops the server). ServerError runs its stop sequence at
// most once at a time; errors arriving during a stop are logged only. An
// automatic restart never runs inside the error handler: it is queued on
// the event loop, retried a bounded number of times with a growing pause.

#include <QElapsedTimer>
#include <QTimer>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "app/access_policy.h"
#include "app/event_log.h"
#include "app/form_controls.h"
#include "app/form_view.h"
#include "app/roster.h"
#include "app/server_options.h"
#include "desktop/file_open_dialog.h"
#include "desktop/tray_icon.h"
#include "discovery/service_advertiser.h"
#include "tls/tls_identity.h"
#include "transport/notice_throttle.h"
#include "transport/server.h"
#include "transport/steady_time.h"

namespace parlivo {

// Where the form finds its settings file: the per-user data folder and the
// program's file name (both fixed by the program; tests point them at a
// temporary folder).
struct FormEnvironment {
  std::string dataHome;
  std::string programFileName;
};

// The desktop seams the form's components run on: the notification area,
// the window layer behind the tray icon, the file dialogs, and the tray
// icon's image and menu (both optional).
struct DesktopServices {
  NotifyShell& shell;
  TrayPlatform& trayPlatform;
  FileDialogPlatform& fileDialogs;
  TIcon trayImage;
  TPopupMenu* trayMenu = nullptr;
};

// Who may connect (access_policy.h), as the settings file and the headless
// options give it: lists of address ranges as text, read at each start.
struct AccessSettings {
  std::string allowFrom;  // admitted besides the local network
  std::string denyFrom;   // refused whatever else admits them
  bool admitAny = false;
};

// The certificate and key of the TLS port, as the settings file and the
// headless options name them; both empty: a pair made at first use and kept
// beside the settings (TlsCertificateFile, TlsKeyFile).
struct TlsFiles {
  std::string certificateFile;
  std::string keyFile;
};

enum class TPosition { poDesigned, poScreenCenter };
enum class TScrollStyle { ssVertical, ssBoth };

class TfrmServer {
 public:
  static constexpr std::uint16_t kDesignPort = 65535;
  static constexpr int kMaxRestartAttempts = 5;

  // `api`, `view`, the seams of `desktop` and `advertiser` must outlive the
  // form. Without an advertiser the server is never announced.
  TfrmServer(SocketApi& api, FormView& view, const DesktopServices& desktop, FormEnvironment environment,
             ServiceAdvertiser* advertiser = nullptr);
  ~TfrmServer();
  TfrmServer(const TfrmServer&) = delete;
  TfrmServer& operator=(const TfrmServer&) = delete;

  // --- The window.
  std::string Caption = "Parlivo Server";
  int Left = 547, Top = 616, Width = 703, Height = 413;
  TPosition Position = TPosition::poScreenCenter;

  TPanel pnlCommands, pnlClients, pnlPLV, pnlUpdate, pnlAll, pnlRooms, pnlNone, pnlSameName, pnlTray, pnlStyle,
      pnlAuto, pnlPort, pnlAdvertise, pnlChat;
  TButton sbRun, btnPLV, sbOpen;
  TLabel lblPLV, lblUpdate, lblPort;
  TEdit edPLV, edPort;
  // The name the server is announced under on the local network (empty:
  // the host's name), and whether it is announced at all.
  TEdit edName;
  TRadioButton rbAll, rbRooms, rbNone;
  TCheckBox chkSameNick, chkTray, chkStyle, chkAuto, chkAdvertise;
  // Who may connect; read at each start of the server.
  AccessSettings Access;
  // The encrypted port beside edPort (off by default), and the fingerprint
  // of the server's key while it runs with one, for the operator to copy
  // and hand to users.
  TPanel pnlTls;
  TCheckBox chkTls;
  TEdit edTlsPort, edFingerprint;
  TlsFiles Tls;
  // TLS only: the plain port serves this machine alone (loopback) and the
  // LAN gets the chat over TLS only. Every connection to the plain port
  // receives every text in clear, a TLS user's too. Read at each start; a
  // start with it and without the TLS port is refused.
  bool TlsOnly = false;
  // The one local address to listen on (either family, numeric); empty:
  // every address of both families. Read at each start of the server.
  std::string ListenAddress;
  // The event log (mChat) and how it is shown.
  EventLog mChat;
  bool mChatWordWrap = true;
  TScrollStyle mChatScrollBars = TScrollStyle::ssVertical;
  // The roster (lvClients), its height (set by the resize rule) and its
  // context menu.
  Roster lvClients;
  int lvClientsHeight = 0;
  TMenuItem pmKick, pmDisconnect, pmDisconnectAll;
  // The tray menu, the notification-area icon and the client program picker.
  TMenuItem mmShow, mmStop, mmPLV, mmClose;
  TTrayIcon TrayIcon;
  TFileOpenDialog fdPLV;

  // The pause before the second automatic restart in a row; it doubles with
  // each further attempt (the first restart comes at once).
  int FirstRestartPauseMs = 250;

  // Unanswered pings in a row after which a connection counts as dead:
  // 30 s at the usual ping period of one second.
  static constexpr std::uint32_t kMaxMissedPings = 30;
  std::uint32_t MaxMissedPings = kMaxMissedPings;

  // Limits of the server's memory and connections, read from the settings
  // file's [Limits] section (written back at each start, so an operator
  // finds them there) and applied at each start. The headless options
  // override them. MaxClients 0 derives the limit from the descriptor limit;
  // MaxClientsPerAddress 0 sets none.
  std::uint32_t MemoryBudgetMiB = MemoryBudget::kDefaultLimit >> 20;
  bool UnlimitedInput = false;
  std::uint32_t MaxClients = 0;
  std::uint32_t MaxClientsPerAddress = 0;
  // Values given for this run only (command-line options): they win over
  // the ones above and are never written to the file.
  LimitOverrides RunLimits;

  // The clock of the log's rate limits, in steady milliseconds; tests set
  // their own.
  std::function<std::int64_t()> NowMs = SteadyNowMs;

  // The chat server; null after FormCloseQuery destroyed it.
  std::unique_ptr<TDadideVUDServer> Server;

  // --- Window and program life (main_form.cpp).
  void FormCreate();
  // Asks every client to leave while listening, stops, destroys the server.
  // Always allows the close; settings are not saved.
  bool FormCloseQuery();
  // The run button spans the bottom panel; the roster takes the height of
  // the right column that the option panels leave.
  void FormResize();
  void chkStyleClick();
  // Runs whenever the application is minimised: hides into the
  // notification area when the operator asked for that.
  void ApplicationMinimize();
  void mmShowClick();
  void TrayIconDblClick() { mmShowClick(); }
  void mmCloseClick();
  // Lets the operator pick the client program.
  void btnPLVClick();
  // Starts one more copy of the client program; silent when that fails.
  void mmPLVClick();
  void sbOpenClick() { mmPLVClick(); }

  // --- Server control (server_control.cpp).
  void sbRunClick();
  void mmStopClick();
  void ServerError(TCustomFasterSocket* Sender, SocketHandle Socket, int ErrorCode, const std::string& ErrorMsg);
  bool RestartPending() const { return restartTimer_.isActive(); }
  // A server that stays up this long after an automatic restart counts as
  // recovered: its next failure starts a new series of restarts. One that
  // fails sooner uses up the series, so a recurring fault ends in "gave up".
  static constexpr int kStableServerMs = 60000;

  // --- Chat relay and event log (chat_relay.cpp).
  void ServerClientConnected(TDadideVUDServer* Sender, TDadideVUDServerClient* Client);
  void ServerClientDisconnected(TDadideVUDServer* Sender, TDadideVUDServerClient* Client);
  void ServerClientMessageCome(TDadideVUDServer* Sender, TDadideVUDServerClient* Client,
                               const std::string& TheMessage);
  void ServerClientPong(TDadideVUDServer* Sender, TDadideVUDServerClient* Client);
  // A connection registered (again): one listed under its earlier name
  // leaves the roster now, so that it is listed once, under its new name,
  // at its next pong. Lets everyone in.
  void ServerGetUserName(TDadideVUDServer* Sender, TDadideVUDServerClient* Client, bool& DontLetIn,
                         const char* TheRoom, const char* TheUserName);
  // A peer that has stopped answering pings for MaxMissedPings ticks in a
  // row is gone (cable pulled, machine off): it is logged and forced out.
  void ServerClientTimeOut(TDadideVUDServer* Sender, TDadideVUDServerClient* Client, bool& ForceDisconnectClient);
  // A peer that stopped reading is dropped by the server; this logs it.
  void ServerClientTooSlow(TDadideVUDServer* Sender, TDadideVUDServerClient* Client, std::size_t WaitingBytes);
  // Logs what the server tells the operator (accepting backs off, a limit
  // refused a connection, senders are held back).
  void ServerNotice(TDadideVUDServer* Sender, const std::string& Text);
  // A client that stopped in the middle of a packet is dropped by the
  // server; this logs it.
  void ServerClientStalled(TDadideVUDServer* Sender, TDadideVUDServerClient* Client, std::size_t ReceivedBytes);

  // --- Access and announcement (server_access.cpp).
  // Refuses, and logs, a connection that the access policy does not admit.
  void ServerAccept(TDadideVUDServer* Sender, TDadideVUDServerClient* Client, bool& Accept);
  // The name to announce: edName, or the host's name when it is empty (UTF-8).
  std::string ServiceName() const;
  // The policy in force since the last start.
  const AccessPolicy& Policy() const { return policy_; }

  // --- Roster and moderation (roster_moderation.cpp).
  void lvClientsColumnClick(int Column);
  void pmKickClick();
  void pmDisconnectClick();
  void pmDisconnectAllClick();
  void rbAllClick();
  void rbRoomsClick();
  void rbNoneClick();
  void chkSameNickClick();

  // --- Settings (settings.cpp).
  void LoadSettings();
  void SaveSettings();
  // The per-user data folder (the only folder this program asks for).
  std::string GetSpecialFolderPath() const { return environment_.dataHome; }
  std::string SettingsFileName() const;
  // Where the key and certificate made at first use are kept.
  std::string TlsCertificateFile() const;
  std::string TlsKeyFile() const;
  // The TLS port the field names, or the one after the plain port when it
  // names none (the one before, for 65535).
  std::uint16_t TlsPortValue() const;

 private:
  void Log(const std::string& line);
  // Logs `line` when `throttle` lets one of its kind through (once a
  // second), adding how many like it were not shown since the last: a
  // burst from one host costs the log a line a second, not one per event.
  void LogLimited(NoticeThrottle& throttle, const std::string& line);
  // How the log names a connection: its nickname and address, or only the
  // address before it has registered.
  static std::string Who(const TDadideVUDServerClient* client);
  void BindServerEvents();
  void ToggleServer();
  // Returns the error of a settings save that failed, for the caller to
  // raise once the window shows the running server.
  std::exception_ptr StartServer();
  void StopServer();
  void ApplyPortField();
  void ApplyLimits();
  void EnableOptions(bool enabled);
  void ClearRoster();
  void ScheduleRestart();
  // Reads Access into the policy; false, with the reason logged, when a
  // list holds something that is no address range.
  bool ReadAccessPolicy();
  // Loads (or makes) the TLS identity when the TLS port is on; false, with
  // the reason logged, when it cannot be loaded: no silent clear text.
  bool PrepareTls();
  void StartAdvertising();
  void StopAdvertising();
  void RunRestart();
  // Runs `action` on every connection whose nickname is `nickname`, first to
  // last.
  void ForEachHolder(const std::string& nickname, void (TDadideVUDServer::*action)(TDadideVUDServerClient*));
  bool ModerationAllowed() const;
  std::string SelectedNickname() const;
  void SetListingMode(TClientStatusUpdate mode);
  std::string TrayStopCaption(bool accelFirst) const;

  SocketApi& api_;
  // The identity the TLS port's streams speak with, once a start loaded it.
  std::shared_ptr<TlsContext> tlsContext_;
  // The TLS port of the server started last; 0: it has none.
  std::uint16_t tlsPort_ = 0;
  FormView& view_;
  NotifyShell& shell_;
  FormEnvironment environment_;
  ServiceAdvertiser* advertiser_;
  AccessPolicy policy_;
  // One line a second for connections the policy refuses, and for each kind
  // of failed TLS handshake (a client at the wrong port, a scanner).
  NoticeThrottle refusalNotices_, handshakeFailedNotices_, handshakeTimedOutNotices_;
  // Set while a stop or an error sequence runs: errors arriving then are
  // logged and start nothing.
  bool inStopSequence_ = false;
  int restartAttempts_ = 0;
  QTimer restartTimer_;
  // Measures how long the server has been up since its last start.
  QElapsedTimer upSince_;
  // The nickname each listed connection is in the roster under: one entry
  // per connection, however often it registers again.
  std::unordered_map<const TDadideVUDServerClient*, std::string> listedAs_;
};

}  // namespace parlivo
