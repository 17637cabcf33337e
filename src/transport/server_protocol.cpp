// The chat protocol as the server runs it: what DispatchPacket does with
// each packet a client sends. Packets are dispatched through a table of
// handlers indexed by ID; IDs without a handler take the unknown-ID path.
//
// A client may send any ID at any time, also before it registers. Handlers
// fire the application's events, which may change Clients (even stop the
// server); after such a call the handlers only send to the connection they
// were called for (a send on a closed connection does nothing) and walk the
// list again only while it is unchanged.

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "transport/name_rules.h"
#include "transport/registration_strings.h"
#include "transport/roster_text.h"
#include "transport/server.h"

namespace parlivo {
namespace {

// Reads a little-endian int32 at the payload's position, if 4 bytes remain.
bool ReadInt32(ByteStream& data, std::int32_t& value) {
  if (data.remaining() < 4) return false;
  value = ReadInt32LE(data.unread().data());
  data.setPosition(data.position() + 4);
  return true;
}

// What a log line shows of a name a client chose: a refused one may be long.
std::string Shown(const std::string& name) {
  constexpr std::size_t kShown = 64;
  return name.size() <= kShown ? name : name.substr(0, kShown) + "...";
}

}  // namespace

const TDadideVUDServer::PacketHandler* TDadideVUDServer::PacketHandlers() {
  static const auto table = [] {
    std::array<PacketHandler, kLastPacketId + 1> handlers{};
    handlers[pidNeedMoreData] = &TDadideVUDServer::HandleNeedMoreData;
    handlers[pidNewStream] = &TDadideVUDServer::HandleNewStream;
    handlers[pidDenyStream] = &TDadideVUDServer::HandleDenyStream;
    handlers[pidAcceptStream] = &TDadideVUDServer::HandleAcceptStream;
    handlers[pidStopReceivingStream] = &TDadideVUDServer::HandleStopReceivingStream;
    handlers[pidStopSendingStream] = &TDadideVUDServer::HandleStopSendingStream;
    handlers[pidMessage] = &TDadideVUDServer::HandleMessage;
    handlers[pidPing] = &TDadideVUDServer::HandlePing;
    handlers[pidPong] = &TDadideVUDServer::HandlePong;
    handlers[pidRegisterUser] = &TDadideVUDServer::HandleRegisterUser;
    handlers[pidStreamData] = &TDadideVUDServer::HandleStreamData;
    handlers[pidStreamReceived] = &TDadideVUDServer::HandleStreamReceived;
    handlers[pidPrivateData] = &TDadideVUDServer::HandlePrivateData;
    return handlers;
  }();
  return table.data();
}

void TDadideVUDServer::DispatchPacket(TDadideVUDServerClient* Client, ByteStream& Data, std::int32_t ID) {
  const PacketHandler handler = ID >= 0 && ID <= kLastPacketId ? PacketHandlers()[ID] : nullptr;
  if (handler == nullptr) {
    HandleUnknown(Client, Data, ID);
    return;
  }
  (this->*handler)(Client, Data);
}

void TDadideVUDServer::FireClientEvent(const TDadideVUDServerEvent& event, TDadideVUDServerClient* client) {
  if (event) event(this, client);
}

void TDadideVUDServer::HandleNeedMoreData(TDadideVUDServerClient* client, ByteStream&) {
  FireClientEvent(OnClientNeedMoreData, client);
}
void TDadideVUDServer::HandleDenyStream(TDadideVUDServerClient* client, ByteStream&) {
  FireClientEvent(OnClientDenyStream, client);
}
void TDadideVUDServer::HandleAcceptStream(TDadideVUDServerClient* client, ByteStream&) {
  FireClientEvent(OnClientAcceptStream, client);
}
void TDadideVUDServer::HandleStopReceivingStream(TDadideVUDServerClient* client, ByteStream&) {
  FireClientEvent(OnClientStopReceivingStream, client);
}
void TDadideVUDServer::HandleStopSendingStream(TDadideVUDServerClient* client, ByteStream&) {
  FireClientEvent(OnClientStopSendingStream, client);
}
void TDadideVUDServer::HandleStreamReceived(TDadideVUDServerClient* client, ByteStream&) {
  FireClientEvent(OnClientReceivedStream, client);
}

void TDadideVUDServer::HandleNewStream(TDadideVUDServerClient* client, ByteStream& data) {
  std::int32_t streamSize = 0;
  // An announcement too short to hold its size is refused without asking
  // the application: there is no size to offer it.
  if (!ReadInt32(data, streamSize)) {
    SendPacket(client, pidDenyStream, 0, nullptr);
    return;
  }
  const std::string dataInfo(data.unread());
  bool Accept = false;
  if (OnNewStreamComing) OnNewStreamComing(this, client, streamSize, dataInfo, Accept);
  if (!Accept) {
    SendPacket(client, pidDenyStream, 0, nullptr);
    return;
  }
  client->ReceivedSize = 0;
  client->StreamSize = streamSize;
  client->DataInfo = dataInfo;
  SendPacket(client, pidAcceptStream, 0, nullptr);
}

void TDadideVUDServer::HandleStreamData(TDadideVUDServerClient* client, ByteStream& data) {
  const auto size = static_cast<std::int32_t>(data.size());
  // The count stops at the largest int32 instead of wrapping negative, which
  // would keep a very long stream from ever completing.
  const std::int64_t total = static_cast<std::int64_t>(client->ReceivedSize) + size;
  client->ReceivedSize = static_cast<std::int32_t>(std::min<std::int64_t>(total, std::numeric_limits<std::int32_t>::max()));
  data.setPosition(0);
  if (OnClientPacketCome) OnClientPacketCome(this, client, data, size);
  // Nothing resets the stream at completion: every further chunk completes it again.
  if (client->ReceivedSize < client->StreamSize) return;
  if (OnStreamReceived) OnStreamReceived(this, client, client->ReceivedSize, client->DataInfo);
  SendPacket(client, pidStreamReceived, 0, nullptr);
}

void TDadideVUDServer::HandleMessage(TDadideVUDServerClient* client, ByteStream& data) {
  const std::string TheMessage = PayloadToString(data);
  if (OnClientMessageCome) OnClientMessageCome(this, client, TheMessage);
}

void TDadideVUDServer::HandlePing(TDadideVUDServerClient* client, ByteStream&) {
  SendPacket(client, pidPong, 0, nullptr);
}

void TDadideVUDServer::HandlePong(TDadideVUDServerClient* client, ByteStream&) {
  client->PingPending = false;
  client->MissedPings = 0;
  FireClientEvent(OnClientPong, client);
}

void TDadideVUDServer::HandleRegisterUser(TDadideVUDServerClient* client, ByteStream& data) {
  // Unreadable strings throw EReadError, which ends this read unanswered.
  const std::string userName = ReadRegistrationString(data);
  const std::string room = ReadRegistrationString(data);
  // A name that could pass for another user's is refused before anything
  // is stored: unlike a refusal by the application, which keeps the name,
  // this one must not be relayed or listed.
  if (RefuseName(client, "nickname", userName) || RefuseName(client, "room", room)) return;

  if (!AllowSameUserNames) {
    for (std::size_t i = 0; i < Clients->Count(); ++i) {
      if ((*Clients)[i]->UserName == userName) {  // the requester itself included
        SendPacket(client, pidSameUserName, 0, nullptr);
        return;
      }
    }
  }
  client->UserName = userName;
  client->Room = room;

  bool DontLetIn = false;
  if (OnServerGetUserName) OnServerGetUserName(this, client, DontLetIn, room.c_str(), userName.c_str());
  if (DontLetIn) {
    SendPacket(client, pidAccessDenied, 0, nullptr);
    return;
  }
  FlowControl.MarkRegistered(client->Flow);
  SendPacket(client, pidAccessGranted, 0, nullptr);
  if (client->InService()) PushRoster(client);
}

bool TDadideVUDServer::RefuseName(TDadideVUDServerClient* client, const char* what, const std::string& name) {
  const char* fault = NameFault(name);
  if (fault == nullptr) return false;
  SendPacket(client, pidAccessDenied, 0, nullptr);
  Notice(registrationNotices_, "Refused a registration from IP " + client->Host + ": the " + what + " \"" +
                                   Shown(name) + "\" " + fault);
  return true;
}

void TDadideVUDServer::PushRoster(TDadideVUDServerClient* client) {
  const TClientStatusUpdate mode = ClientStatusUpdate;
  if (mode != Rooms && mode != AllClients) return;

  std::vector<std::string> names;
  if (mode == Rooms) {
    GetRoomUserNames(client->Room, names);
  } else {
    GetAllUserNames(names);
  }
  // Cut rather than over the limit every client enforces.
  const RosterPayload roster = RosterText(names, kMaxPacketSize - kPacketHeaderSize);
  if (roster.listed < names.size())
    Notice(rosterNotices_, "The roster sent to " + Shown(client->UserName) + " (IP " + client->Host + ") lists " +
                               std::to_string(roster.listed) + " of " + std::to_string(names.size()) +
                               " names: the rest would not fit in one packet");
  SendPacket(client, pidUserList, roster.text);
  if (!client->InService()) return;

  const std::string userName = client->UserName;
  const std::string room = client->Room;
  const SocketHandle socket = client->Socket;
  SendToEach(pidUserJoined, userName, [&](const TDadideVUDServerClient* other) {
    return other->Socket != socket && (mode == AllClients || other->Room == room);
  });
}

void TDadideVUDServer::HandlePrivateData(TDadideVUDServerClient*, ByteStream& data) {
  // Too short to hold the name's length, or a name longer than what
  // follows: no name can be read, so the packet is dropped like one whose
  // name matches nobody. A negative length reads no name at all.
  std::int32_t nameLength = 0;
  if (!ReadInt32(data, nameLength)) return;
  std::string name;
  if (nameLength > 0) {
    if (static_cast<std::size_t>(nameLength) > data.remaining()) return;
    name.assign(data.unread().substr(0, static_cast<std::size_t>(nameLength)));
    data.setPosition(data.position() + static_cast<std::size_t>(nameLength));
  }
  const std::string forwarded(data.unread());
  for (std::size_t i = 0; i < Clients->Count(); ++i) {
    if ((*Clients)[i]->UserName == name) {
      SendPacket((*Clients)[i], pidPrivateData, forwarded);
      return;
    }
  }
}

void TDadideVUDServer::HandleUnknown(TDadideVUDServerClient* client, ByteStream& data, std::int32_t id) {
  data.setPosition(0);
  if (OnUnknownPacketID) OnUnknownPacketID(this, client, data, id);
}

}  // namespace parlivo
