// Starting and stopping the server from the window, the address to
// announce, and what happens on every error the transport reports: log it,
// take the server offline, and (with "Automatic Reconnect") start again.

#include <algorithm>
#include <exception>
#include <string>

#include "app/main_form.h"
#include "app/settings_location.h"
#include "app/str_to_int.h"
#include "tls/tls_server_stream.h"
#include "transport/platform/socket_address.h"
#include "transport/socket_error_text.h"
#include "transport/unhandled_error.h"

namespace parlivo {
namespace {

// Restores a flag when the scope ends.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag), previous_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = previous_; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
  bool previous_;
};

}  // namespace

void TfrmServer::sbRunClick() {
  // The operator's choice overrides any automatic restart on its way.
  restartTimer_.stop();
  restartAttempts_ = 0;
  ToggleServer();
}

void TfrmServer::mmStopClick() {
  sbRunClick();
  mmStop.Caption = TrayStopCaption(true);
  view_.ControlsChanged();
}

void TfrmServer::ToggleServer() {
  if (!Server) return;
  ApplyPortField();
  std::exception_ptr saveFailure;
  if (Server->Listen()) {
    StopServer();
  } else {
    saveFailure = StartServer();
  }
  view_.ControlsChanged();
  // The settings error reaches the operator only once the window shows the
  // server as it is.
  if (saveFailure) std::rethrow_exception(saveFailure);
}

void TfrmServer::ApplyPortField() {
  // Text that is no port number (not an integer, or outside 1..65535) is
  // replaced, so the port announced, listened on and named in the settings
  // file always agree.
  std::int32_t port = 0;
  if (TryStrToInt(edPort.Text, port) && port >= 1 && port <= 65535) {
    Server->SetPort(static_cast<std::uint16_t>(port));
  } else {
    Server->SetPort(kDesignPort);
    edPort.Text = std::to_string(kDesignPort);
  }
}

void TfrmServer::StopServer() {
  FlagScope stopping(inStopSequence_);
  StopAdvertising();
  Server->DisconnectAllClients();
  Server->SetListen(false);
  Server->AllowSameUserNames = chkSameNick.Checked();
  if (TrayIcon.Visible()) mmStop.Caption = TrayStopCaption(false);
  // Clients that reconnect are listed (and announced as joined) again.
  ClearRoster();
  Log("Server is offline!");
  EnableOptions(true);
  sbRun.Caption = "Run";
}

void TfrmServer::ApplyLimits() {
  const std::uint32_t budget = std::max<std::uint32_t>(RunLimits.memoryBudgetMiB.value_or(MemoryBudgetMiB), 1);
  Server->FlowControl.Budget.setLimit(std::size_t{budget} << 20);
  Server->FlowControl.LimitInput = !RunLimits.unlimitedInput.value_or(UnlimitedInput);
  Server->FlowControl.MaxClients = RunLimits.maxClients.value_or(MaxClients);
  Server->FlowControl.MaxClientsPerAddress = RunLimits.maxClientsPerAddress.value_or(MaxClientsPerAddress);
}

std::exception_ptr TfrmServer::StartServer() {
  ApplyLimits();
  // Lists that cannot be read must not leave the server more open than the
  // operator meant: it does not start.
  if (!ReadAccessPolicy() || !PrepareTls()) return nullptr;
  Server->ListenAddress = ListenAddress;
  Server->SetListen(true);
  // A start that failed has been logged and handled by ServerError already
  // (which also arranged a restart if one is wanted); announcing an address
  // or saving the settings would claim a server that is not there. Looking
  // up the address can fail too, and that failure stops the server the
  // same way.
  if (!Server->Listen()) return nullptr;
  const std::string address = Server->LocalIP();
  if (!Server->Listen()) return nullptr;
  const std::string address6 = Server->LocalIPv6();
  upSince_.start();

  Log("");
  Log("Tell this IP \" " + address + " \" your Clients to use! (admitted: " + DescribeAccessPolicy(policy_) + ")");
  // Clients on IPv6 type the address in brackets, with the port.
  const std::uint16_t lanPort = TlsOnly ? tlsPort_ : Server->Port;
  if (!address6.empty()) Log("Over IPv6 they use \" " + EndpointText(address6, lanPort) + " \"");
  Log("Do not forget to tell correct Port! (" + edPort.Text + ")");
  if (tlsPort_ != 0) {
    // What users compare with what their client shows at its first
    // encrypted connection; a client that knows the server refuses a
    // different one.
    edFingerprint.Text = tlsContext_->fingerprint();
    Log("Encrypted clients use Port " + std::to_string(tlsPort_) +
        ", the server's key fingerprint (SHA-256) is " + edFingerprint.Text);
    if (TlsOnly)
      Log("TLS only: Port " + edPort.Text + " serves this machine alone; the network chats over TLS on Port " +
          std::to_string(tlsPort_));
  }
  Log("");
  // What the server holds itself to: the operator can tell a refused
  // connection or slowed senders from a fault.
  const FlowController& flow = Server->FlowControl;
  Log("Memory budget " + std::to_string(flow.Budget.limit() >> 20) + " MiB, at most " +
      std::to_string(Server->EffectiveMaxClients()) + " clients" +
      (flow.MaxClientsPerAddress != 0 ? ", " + std::to_string(flow.MaxClientsPerAddress) + " per address"
                                      : std::string()) +
      (flow.LimitInput ? "." : ", input not limited."));
  StartAdvertising();
  // The server listens whether or not its settings could be saved: the
  // window must say so (and offer Stop) before the failure is reported.
  std::exception_ptr saveFailure;
  try {
    SaveSettings();
  } catch (...) {
    saveFailure = std::current_exception();
  }
  EnableOptions(false);
  sbRun.Caption = "Stop";
  if (chkTray.Checked()) {
    view_.MinimizeApplication();
    // Hiding the window needs a notification area to come back from.
    if (shell_.Available()) {
      view_.ShowTaskbarButton(false);
      TrayIcon.SetVisible(true);
    }
    mmStop.Caption = TrayStopCaption(false);
  }
  mmPLV.Visible = !edPLV.Text.empty();
  return saveFailure;
}

std::uint16_t TfrmServer::TlsPortValue() const {
  std::int32_t port = 0;
  if (TryStrToInt(edTlsPort.Text, port) && port >= 1 && port <= 65535) return static_cast<std::uint16_t>(port);
  const std::uint16_t plain = Server ? Server->Port : kDesignPort;
  return plain == 65535 ? 65534 : static_cast<std::uint16_t>(plain + 1);
}

bool TfrmServer::PrepareTls() {
  tlsPort_ = 0;
  Server->ExtraPorts.clear();
  Server->PlainLoopbackOnly = TlsOnly;
  edFingerprint.Text.clear();
  if (!chkTls.Checked()) {
    // Never chat in clear on the LAN when the operator asked for none.
    if (TlsOnly) Log("Not started: TLS only needs the TLS port (Encrypted (TLS) Port, or --tls-port)");
    return !TlsOnly;
  }
  const std::uint16_t port = TlsPortValue();
  edTlsPort.Text = std::to_string(port);
  if (port == Server->Port) {
    Log("Not started: the TLS port must differ from the port (" + edPort.Text + ")");
    return false;
  }
  std::string error;
  std::shared_ptr<TlsContext> context;
  if (Tls.certificateFile.empty() && Tls.keyFile.empty()) {
    bool created = false;
    CreateFoldersFor(TlsKeyFile());
    context = TlsContext::LoadOrCreateServer(TlsCertificateFile(), TlsKeyFile(), created, error);
    if (created) Log("Made a key for the TLS port: " + TlsKeyFile());
  } else if (Tls.certificateFile.empty() || Tls.keyFile.empty()) {
    error = "a certificate needs its key, and a key its certificate";
  } else {
    context = TlsContext::LoadServer(Tls.certificateFile, Tls.keyFile, error);
  }
  if (!context) {
    Log("Not started: TLS " + error);
    return false;
  }
  tlsContext_ = std::move(context);
  tlsPort_ = port;
  Server->ExtraPorts = {{port, TlsStreams(tlsContext_).Maker()}};
  return true;
}

std::string TfrmServer::TrayStopCaption(bool accelFirst) const {
  const bool listening = Server && Server->Listen();
  if (accelFirst) return listening ? "&Stop Server" : "&Run Server";
  return listening ? "Stop &Server" : "Run &Server";
}

void TfrmServer::EnableOptions(bool enabled) {
  rbAll.Enabled = enabled;
  rbRooms.Enabled = enabled;
  rbNone.Enabled = enabled;
  chkSameNick.Enabled = enabled;
  edPort.Enabled = enabled;
  chkTls.Enabled = enabled;
  edTlsPort.Enabled = enabled;
  chkAdvertise.Enabled = enabled;
  edName.Enabled = enabled;
}

void TfrmServer::ClearRoster() {
  lvClients.Clear();
  listedAs_.clear();
  view_.RosterChanged();
}

void TfrmServer::ServerError(TCustomFasterSocket* Sender, SocketHandle, int ErrorCode, const std::string& ErrorMsg) {
  const std::string reason = ErrorMsg + " (#" + std::to_string(ErrorCode) + ")";
  // A connection's error is that connection's alone: the server lets it
  // leave as if its peer had closed it, and everybody else stays online.
  // Its line names the client, so that it is not read as the server's own.
  if (const auto* client = dynamic_cast<TDadideVUDServerClient*>(Sender)) {
    const std::string line = "Connection error of " + Who(client) + ": " + reason;
    // Failed handshakes come as fast as one host can connect: limited.
    if (ErrorCode == kTlsHandshakeFailed) {
      LogLimited(handshakeFailedNotices_, line);
    } else if (ErrorCode == kTlsHandshakeTimedOut) {
      LogLimited(handshakeTimedOutNotices_, line);
    } else {
      Log(line);
    }
    return;
  }
  Log("Error: " + reason);
  // An error raised by the stop below (a failed send while every client is
  // told to leave, a failed close) belongs to this stop: it is logged, and
  // starts no second stop inside the first.
  if (inStopSequence_ || !Server) return;
  {
    FlagScope stopping(inStopSequence_);
    StopAdvertising();
    if (Server->Listen()) Server->DisconnectAllClients();
    Server->SetListen(false);
    ClearRoster();
    Log("Server is offline!");
    EnableOptions(true);
    sbRun.Caption = "Run";
  }
  if (chkAuto.Checked()) ScheduleRestart();
  view_.ControlsChanged();
  view_.ServerWentOffline(RestartPending());
}

void TfrmServer::ScheduleRestart() {
  if (upSince_.isValid() && upSince_.elapsed() >= kStableServerMs) restartAttempts_ = 0;
  upSince_.invalidate();
  if (restartAttempts_ >= kMaxRestartAttempts) {
    Log("Automatic Reconnect gave up after " + std::to_string(kMaxRestartAttempts) + " failed attempts.");
    restartAttempts_ = 0;
    return;
  }
  // The first restart comes as soon as the error handling has returned; each
  // further one waits twice as long as the one before.
  const int pause = restartAttempts_ == 0 ? 0 : FirstRestartPauseMs << (restartAttempts_ - 1);
  ++restartAttempts_;
  restartTimer_.start(pause);
}

void TfrmServer::RunRestart() {
  if (!Server || Server->Listen()) return;
  RunGuarded(this, [this] { ToggleServer(); });
}

}  // namespace parlivo
