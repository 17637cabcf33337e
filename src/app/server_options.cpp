#include "app/server_options.h"

#include "app/main_form.h"
#include "encoding/codepage_1252.h"

namespace parlivo {

void ApplyServerOptions(TfrmServer& form, const ServerOptions& options) {
  if (options.port) form.edPort.Text = std::to_string(*options.port);
  if (options.serviceName) form.edName.Text = Utf8ToWindows1252(*options.serviceName);
  // Set directly: the check box has no handler, and the value is read at the start.
  if (options.advertise) form.chkAdvertise.SetChecked(*options.advertise);
  if (options.allowFrom) form.Access.allowFrom = *options.allowFrom;
  if (options.denyFrom) form.Access.denyFrom = *options.denyFrom;
  if (options.admitAny) form.Access.admitAny = *options.admitAny;
  if (options.tlsPort) form.edTlsPort.Text = std::to_string(*options.tlsPort);
  if (options.tlsCertificate) form.Tls.certificateFile = *options.tlsCertificate;
  if (options.tlsKey) form.Tls.keyFile = *options.tlsKey;
  if (options.tlsPort || options.tlsCertificate || options.tlsKey) form.chkTls.SetChecked(true);
  if (options.tls) form.chkTls.SetChecked(*options.tls);
  if (options.tlsOnly) form.TlsOnly = *options.tlsOnly;
  if (form.TlsOnly && options.tlsOnly) form.chkTls.SetChecked(true);
  if (options.listenAddress) form.ListenAddress = *options.listenAddress;
  form.RunLimits = options.limits;
}

}  // namespace parlivo
