// The roster's sorting, the operator's moderation actions, and the two
// server-wide options beside the roster: the listing mode and whether two
// clients may share a nickname. Risky choices write a warning block into
// the event log and paint their panel red.

#include "app/main_form.h"

namespace parlivo {

void TfrmServer::lvClientsColumnClick(int Column) {
  lvClients.ColumnClick(Column);
  view_.RosterChanged();
}

bool TfrmServer::ModerationAllowed() const {
  return Server && Server->Listen() && lvClients.Count() > 0 && lvClients.Selected() != Roster::kNoSelection &&
         !SelectedNickname().empty();
}

std::string TfrmServer::SelectedNickname() const {
  const int selected = lvClients.Selected();
  return selected == Roster::kNoSelection ? std::string() : lvClients.Rows()[static_cast<std::size_t>(selected)].Nickname;
}

void TfrmServer::ForEachHolder(const std::string& nickname,
                               void (TDadideVUDServer::*action)(TDadideVUDServerClient*)) {
  Server->ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* client) {
    if (client->UserName == nickname) (Server.get()->*action)(client);
  });
}

void TfrmServer::pmKickClick() {
  if (!ModerationAllowed()) return;
  ForEachHolder(SelectedNickname(), &TDadideVUDServer::KickClient);
}

void TfrmServer::pmDisconnectClick() {
  if (!ModerationAllowed()) return;
  ForEachHolder(SelectedNickname(), &TDadideVUDServer::DisconnectClient);
}

void TfrmServer::pmDisconnectAllClick() {
  if (!ModerationAllowed()) return;  // needs a selected row, although it is not used
  Server->DisconnectAllClients();
}

void TfrmServer::SetListingMode(TClientStatusUpdate mode) {
  if (Server) Server->ClientStatusUpdate = mode;
  pnlAll.Color = mode == AllClients ? TColor::clRed : TColor::clBtnFace;
  pnlRooms.Color = TColor::clBtnFace;
  pnlNone.Color = mode == UpdateNone ? TColor::clRed : TColor::clBtnFace;
  // Each button sits alone on its panel, so the handlers keep them exclusive.
  if (mode != AllClients) rbAll.SetChecked(false);
  if (mode != Rooms) rbRooms.SetChecked(false);
  if (mode != UpdateNone) rbNone.SetChecked(false);
  rbAll.FontBold = mode == AllClients;
  rbRooms.FontBold = mode == Rooms;
  rbNone.FontBold = mode == UpdateNone;
  view_.ControlsChanged();
}

void TfrmServer::rbAllClick() {
  if (!rbAll.Checked()) return;
  Log("");
  Log("Warning:");
  Log(" - Your connected Clients will see all in their List!");
  Log(" - Whatever you/they send, all rooms will see it!");
  Log(" - Advantage, Clients have access to PM all connected.");
  Log("");
  SetListingMode(AllClients);
}

void TfrmServer::rbRoomsClick() {
  if (!rbRooms.Checked()) return;
  SetListingMode(Rooms);
}

void TfrmServer::rbNoneClick() {
  if (!rbNone.Checked()) return;
  Log("");
  Log("Warning:");
  Log(" - No Client see any other inside Connected Client List!");
  Log(" - Sent Text can't be executed without a list, so all is quit.");
  Log(" - the only way to communicate is via broadcast to all!");
  Log(" - Your connected Clients will have no possibility to PM someone!");
  Log("");
  SetListingMode(UpdateNone);
}

void TfrmServer::chkSameNickClick() {
  if (Server) Server->AllowSameUserNames = chkSameNick.Checked();
  if (chkSameNick.Checked()) {
    pnlSameName.Color = TColor::clRed;
    Log("");
    Log("Info: This setting affect the clients in a bad way!");
    Log("PM might reach a wrong Person!");
    Log("PM doesn't work room restricted!");
    Log("");
  } else {
    pnlSameName.Color = TColor::clBtnFace;
  }
  view_.ControlsChanged();
}

}  // namespace parlivo
