// Who may connect, and the server's announcement on the local network.
//
// The access policy is read from the form's Access settings at each start
// and applied to every new connection before it is greeted: a refused one
// is closed by the server with nothing sent, and one log line names the
// address and the option that would admit it (at most one a second, the
// next one counting those not shown). The announcement runs while
// the server listens, when the operator wants it and an advertiser exists.

#include <QSysInfo>
#include <string>

#include "app/main_form.h"
#include "encoding/codepage_1252.h"

namespace parlivo {

void TfrmServer::ServerAccept(TDadideVUDServer*, TDadideVUDServerClient* Client, bool& Accept) {
  const AccessDecision decision = DecideAccess(policy_, Client->Host);
  if (decision.admitted()) return;
  Accept = false;
  LogLimited(refusalNotices_, RefusalLogLine(Client->Host, decision));
}

bool TfrmServer::ReadAccessPolicy() {
  std::string error;
  const auto allow = ParseAddressRanges(Access.allowFrom, error);
  if (!allow) {
    Log("Not started: " + std::string(kAllowKey) + " " + error);
    return false;
  }
  const auto deny = ParseAddressRanges(Access.denyFrom, error);
  if (!deny) {
    Log("Not started: " + std::string(kDenyKey) + " " + error);
    return false;
  }
  policy_ = AccessPolicy{Access.admitAny, *allow, *deny};
  // The first refusal under the policy just read is shown at once.
  refusalNotices_ = NoticeThrottle();
  return true;
}

std::string TfrmServer::ServiceName() const {
  if (!edName.Text.empty()) return Windows1252ToUtf8(edName.Text);
  return QSysInfo::machineHostName().toStdString();
}

void TfrmServer::StartAdvertising() {
  if (advertiser_ == nullptr || !chkAdvertise.Checked()) return;
  // TLS only, the plain port is not there for the network: the service is
  // the TLS port.
  const std::uint16_t port = Server->PlainLoopbackOnly ? tlsPort_ : Server->Port;
  advertiser_->Advertise(ServiceName(), port, tlsPort_);
}

void TfrmServer::StopAdvertising() {
  if (advertiser_ != nullptr) advertiser_->Withdraw();
}

}  // namespace parlivo
