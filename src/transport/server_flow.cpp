// The server's side of the flow control: it asks its FlowController and
// carries out the answers on the sockets (reading off and on) and through
// the handlers (too slow, stalled, the operator's notices). The rules
// themselves are the controller's (flow_controller.h).
//
// The clock (FlowTick) runs only while something is queued, held back or
// partly received, so an idle server does no work.

#include <algorithm>
#include <string>
#include <vector>

#include "transport/server.h"
#include "transport/unhandled_error.h"

namespace parlivo {
namespace {

// What a connection is watched for while it is read, and while it is held
// back: then only for room to write, so TCP slows its sender.
constexpr SocketEvents kReadingEvents = kCanRead | kCanWrite | kPeerClosed;
constexpr SocketEvents kHeldBackEvents = kCanWrite;

}  // namespace

std::uint32_t TDadideVUDServer::EffectiveMaxClients() { return FlowControl.EffectiveMaxClients(Api().maxSockets()); }

void TDadideVUDServer::StartFlow(TDadideVUDServerClient* client) {
  client->SendQueue.setBudget(&FlowControl.Budget);
  if (FlowControl.Start(client->Flow)) PauseReading(client);
}

std::size_t TDadideVUDServer::ReadAllowance(TDadideVUDServerClient* client, std::size_t waiting) {
  if (client == nullptr) return waiting;
  const std::size_t allowed = FlowControl.ReadAllowance(client->Flow, client->ReceiveBuffer, waiting);
  if (allowed == 0) PauseReading(client);
  return allowed;
}

bool TDadideVUDServer::MayDeliver(TDadideVUDServerClient* client) {
  if (client == nullptr) return true;
  // The relays of the packets delivered so far may have filled the budget.
  UpdateHolding();
  return FlowControl.MayDeliver(client->Flow);
}

void TDadideVUDServer::ReceiveSettled(TDadideVUDServerClient* client) {
  if (client == nullptr) return;
  if (FlowControl.Settle(client->Flow, client->ReceiveBuffer)) PauseReading(client);
  if (client->Flow.accountedInput > 0) WatchFlow();  // a partial packet is watched for stalls
}

void TDadideVUDServer::PauseReading(TDadideVUDServerClient* client) {
  if (!client->InService() || !FlowControl.Pause(client->Flow)) return;
  client->Watch(kHeldBackEvents);
  WatchFlow();
}

void TDadideVUDServer::ResumeReading(TDadideVUDServerClient* client) {
  if (!FlowControl.Resume(client->Flow)) return;
  // Packets kept back in its buffer go first; they may hold it back again.
  const auto alive = client->LifeToken();
  DeliverReceived(client);
  if (alive.expired() || !client->InService() || client->Flow.readPaused) return;
  client->Watch(kReadingEvents);
  // Bytes its stream holds inside were left there while it was held back.
  if (client->Stream().Buffered()) ReadBufferedLater(client);
}

void TDadideVUDServer::UpdateHolding() {
  switch (FlowControl.UpdateHolding()) {
    case FlowController::Holding::Unchanged:
      return;
    case FlowController::Holding::Started:
      for (std::size_t i = 0; i < Clients->Count(); ++i) PauseReading((*Clients)[i]);
      break;
    case FlowController::Holding::Ended:
      // Resuming delivers kept-back packets, which runs handlers: that is
      // the clock's work, never done inside a send.
      if (!flowTimer_.isActive()) flowTimer_.start(0);
      break;
  }
  AnnounceHolding();
  WatchFlow();
}

void TDadideVUDServer::AnnounceHolding() {
  const std::string text = FlowControl.HoldingNotice();
  if (!text.empty() && OnServerNotice) OnServerNotice(this, text);
}

void TDadideVUDServer::WatchFlow() {
  if (!flowTimer_.isActive() && listen_) flowTimer_.start(kFlowTickMs);
}

void TDadideVUDServer::StopFlow() {
  // The connections' queues and partial packets leave the budget as they
  // are released and freed.
  flowTimer_.stop();
  FlowControl.Stop();
}

void TDadideVUDServer::DropReadersBehind() {
  if (!FlowControl.HoldingSenders()) {
    FlowControl.CheckUnderPressure({});
    return;
  }
  std::vector<FlowController::Reader> readers;
  std::vector<TDadideVUDServerClient*> clients;
  for (std::size_t i = 0; i < Clients->Count(); ++i) {
    TDadideVUDServerClient* client = (*Clients)[i];
    if (!client->InService()) continue;
    readers.push_back({&client->Flow, client->SendQueue.remaining()});
    clients.push_back(client);
  }
  std::vector<TDadideVUDServerClient*> behind;
  for (const std::size_t i : FlowControl.CheckUnderPressure(readers)) behind.push_back(clients[i]);
  if (behind.empty()) return;
  std::sort(behind.begin(), behind.end());
  ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* client) {
    if (std::binary_search(behind.begin(), behind.end(), client)) DropTooSlow(client);
  });
}

void TDadideVUDServer::FlowTick() {
  if (!listen_) return;
  flowTimer_.setInterval(kFlowTickMs);
  const auto alive = LifeToken();
  UpdateHolding();
  FlowControl.StartPass();
  DropReadersBehind();
  if (alive.expired() || !listen_) return;
  bool partialInput = false;
  ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* client) {
    if (!client->InService()) return;
    ConnectionFlow& flow = client->Flow;
    if (flow.readPaused && FlowControl.MayRead(flow)) {
      ResumeReading(client);
      if (!client->InService()) return;
    }
    switch (FlowControl.Check(flow, client->ReceiveBuffer, client->SendQueue.remaining())) {
      case FlowController::Verdict::Idle:
        return;
      case FlowController::Verdict::Partial:
        partialInput = true;
        return;
      case FlowController::Verdict::TooSlow:
        DropTooSlow(client);
        return;
      case FlowController::Verdict::Stalled:
        break;
    }
    partialInput = true;
    // Bytes still waiting in its socket mean it sends and the server holds
    // it back: that is no stall.
    std::uint32_t unread = 0;
    if (Api().ioctlFionread(client->Socket, &unread) == 0 && unread > 0) {
      FlowControl.StillSending(flow);
      return;
    }
    const std::size_t received = client->ReceiveBuffer.size();
    ScheduleDeparture(client);
    if (OnClientStalled) OnClientStalled(this, client, received);
  });
  if (alive.expired() || !listen_) return;
  AnnounceHolding();
  const bool needed = FlowControl.NeedsClock(partialInput);
  GiveMemoryBackWhenQuiet();
  if (!needed) flowTimer_.stop();
}

}  // namespace parlivo
