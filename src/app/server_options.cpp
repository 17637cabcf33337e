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
  if (options.listenAddress) form.ListenAddress = *options.listenAddress;
  form.RunLimits = options.limits;
}

}  // namespace parlivo
