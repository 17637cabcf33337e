// The real sockets layer over 127.0.0.1: notices, reads, accepts and closes.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <vector>

#include "event_loop.h"
#include "loopback_peer.h"
#include "recording_socket.h"
#include "transport/platform/posix_socket_api.h"
#include "transport/server_client.h"

namespace parlivo {
namespace {

using testing::LoopbackListener;
using testing::LoopbackPeer;
using testing::Packet;
using testing::PumpFor;
using testing::PumpUntil;
using testing::RecordingSocket;

constexpr SocketEvents kReading = kCanRead | kCanWrite | kPeerClosed;  // what a connection in service asks for

// A socket object that listens on 127.0.0.1 with a port the system picks,
// accepting into its client list.
struct ListeningServer {
  explicit ListeningServer(PosixSocketApi& api) : server(api, true) {
    server.OnError = [this](TCustomFasterSocket*, SocketHandle, int code, const std::string&) {
      errorCodes.push_back(code);
    };
    server.Socket = api.socket(kAfInet, kSockStream, kIpProtoTcp);
    SockAddrIn address{};
    address.family = kAfInet;
    address.address = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(api.bind(server.Socket, address), 0);
    EXPECT_EQ(api.listen(server.Socket, 5), 0);
    EXPECT_EQ(api.watch(server.Socket, &server, kCanAccept), 0);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(server.Socket, reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(bound.sin_port);
  }
  ~ListeningServer() {
    while (!server.Clients->Empty()) server.Clients->Extract(server.Clients->Count() - 1);
    server.Api().closesocket(server.Socket);
  }
  // Asks the connection's socket for `events` only, as flow control does
  // to pause (kCanWrite alone) or resume (kReading) it.
  int Select(TDadideVUDServerClient* client, SocketEvents events) {
    return server.Api().watch(client->Socket, client, events);
  }
  // Connects a peer and waits until the server has accepted it.
  TDadideVUDServerClient* Connect(LoopbackPeer& peer) {
    const std::size_t before = server.Clients->Count();
    if (!peer.connect(port) || !PumpUntil([&] { return server.Clients->Count() > before; })) return nullptr;
    return (*server.Clients)[server.Clients->Count() - 1];
  }

  RecordingSocket server;
  std::uint16_t port = 0;
  std::vector<int> errorCodes;  // every code reported to OnError
};

TEST(Loopback, PacketsSentInPiecesArriveWholeAndInOrder) {
  PosixSocketApi api;
  ListeningServer listening(api);
  LoopbackPeer peer;
  TDadideVUDServerClient* client = listening.Connect(peer);
  ASSERT_NE(client, nullptr);

  std::string stream;
  for (int id = 1; id <= 40; ++id) stream += Packet(id, std::string(static_cast<std::size_t>(id * 37), 'a' + id % 26));
  for (std::size_t offset = 0; offset < stream.size(); offset += 97) {
    ASSERT_TRUE(peer.sendAll(stream.substr(offset, 97)));
    if (offset % 970 == 0) PumpFor(1);
  }
  ASSERT_TRUE(PumpUntil([&] { return listening.server.deliveries.size() == 40; }));
  for (int id = 1; id <= 40; ++id) {
    const auto& delivery = listening.server.deliveries[static_cast<std::size_t>(id - 1)];
    EXPECT_EQ(delivery.client, client);
    EXPECT_EQ(delivery.id, id);
    EXPECT_EQ(delivery.payload.size(), static_cast<std::size_t>(id * 37));
  }
}

TEST(Loopback, AcceptedConnectionsReportToTheListeningSocketsWindow) {
  PosixSocketApi api;
  ListeningServer listening(api);
  LoopbackPeer first, second;
  TDadideVUDServerClient* a = listening.Connect(first);
  TDadideVUDServerClient* b = listening.Connect(second);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(second.sendAll(Packet(2, "to b")));
  ASSERT_TRUE(first.sendAll(Packet(1, "to a")));
  ASSERT_TRUE(PumpUntil([&] { return listening.server.deliveries.size() == 2; }));
  for (const auto& delivery : listening.server.deliveries) EXPECT_EQ(delivery.client, delivery.id == 1 ? a : b);
}

TEST(Loopback, PeerCloseIsNoticedOnce) {
  PosixSocketApi api;
  ListeningServer listening(api);
  LoopbackPeer peer;
  TDadideVUDServerClient* client = listening.Connect(peer);
  ASSERT_NE(client, nullptr);
  const SocketHandle socket = client->Socket;
  ASSERT_TRUE(peer.sendAll(Packet(3, "last words")));
  peer.close();
  ASSERT_TRUE(PumpUntil([&] { return !listening.server.closed.empty(); }));
  PumpFor(30);
  EXPECT_EQ(listening.server.closed, (std::vector<SocketHandle>{socket}));
  EXPECT_TRUE(listening.server.Clients->Empty());
}

TEST(Loopback, AbortiveCloseIsSeenByThePeerAsAReset) {
  PosixSocketApi api;
  ListeningServer listening(api);
  LoopbackPeer peer;
  TDadideVUDServerClient* client = listening.Connect(peer);
  ASSERT_NE(client, nullptr);
  client->SetConnected(false);
  // The shutdown that comes first sends the end of the stream; the close
  // with zero linger then resets the connection. A graceful close would
  // leave the peer without an error.
  EXPECT_EQ(peer.waitForClose(), 0);
  const int error = peer.pendingError();
  EXPECT_TRUE(error == ECONNRESET || error == EPIPE) << error;
}

TEST(Loopback, ResetByThePeerArrivesAsAnErrorNotice) {
  PosixSocketApi api;
  ListeningServer listening(api);
  const std::vector<int>& codes = listening.errorCodes;
  LoopbackPeer peer;
  ASSERT_NE(listening.Connect(peer), nullptr);
  peer.resetOnClose();
  peer.close();
  ASSERT_TRUE(PumpUntil([&] { return !codes.empty(); }));
  EXPECT_EQ(codes, (std::vector<int>{10054}));
}

TEST(Loopback, PeerThatEndsItsStreamBeforeResettingIsAnOrderlyClose) {
  PosixSocketApi api;
  ListeningServer listening(api);
  const std::vector<int>& codes = listening.errorCodes;
  LoopbackPeer peer;
  ASSERT_NE(listening.Connect(peer), nullptr);
  // Both the end of stream and the reset arrive before the server looks.
  ::shutdown(peer.fd(), SHUT_WR);
  peer.resetOnClose();
  peer.close();
  ASSERT_TRUE(PumpUntil([&] { return !listening.server.closed.empty() || !codes.empty(); }));
  EXPECT_TRUE(codes.empty());
  EXPECT_EQ(listening.server.closed.size(), 1u);
}

TEST(Loopback, QueuedPacketsReachThePeer) {
  PosixSocketApi api;
  ListeningServer listening(api);
  LoopbackPeer peer;
  TDadideVUDServerClient* client = listening.Connect(peer);
  ASSERT_NE(client, nullptr);
  const std::string text = "hello";
  QueuePacket(*client, MakePacket(static_cast<std::int32_t>(text.size()), 8, text.data()));
  QueuePacket(*client, MakePacket(0, 9, nullptr));
  EXPECT_EQ(peer.receive(21), Packet(8, "hello") + Packet(8, 9));
}

// Flow control pauses a reader by asking for kCanWrite alone; a queue that
// was waiting for the socket must still drain, or a slow reader held back
// while its messages queue up would never get them.
TEST(Loopback, AQueueWaitingForTheSocketStillDrainsWhileReadingIsPaused) {
  PosixSocketApi api;
  ListeningServer listening(api);
  LoopbackPeer peer;
  TDadideVUDServerClient* client = listening.Connect(peer);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(listening.Select(client, kReading), 0);
  const std::string big(4 << 20, 'q');  // far more than the socket takes at once
  ASSERT_TRUE(QueuePacket(*client, MakePacket(static_cast<std::int32_t>(big.size()), 8, big.data())));
  ASSERT_EQ(listening.Select(client, kCanWrite), 0);

  const std::string expected = Packet(8, big);
  std::string received;
  for (int round = 0; round < 5000 && received.size() < expected.size(); ++round) {
    received += peer.receive(expected.size() - received.size(), 1);
    PumpFor(1);
  }
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
  // Once nothing waits, the socket's writability is no news: no notice spins.
  PumpFor(20);
  const int notices = listening.server.writableNotices;
  PumpFor(50);
  EXPECT_EQ(listening.server.writableNotices, notices);
}

// A reader held back reads nothing, however much waits, and everything once
// it may read again.
TEST(Loopback, AReaderPausedReadsNothingUntilResumedAndThenEverything) {
  PosixSocketApi api;
  ListeningServer listening(api);
  LoopbackPeer peer;
  TDadideVUDServerClient* client = listening.Connect(peer);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(listening.Select(client, kCanWrite), 0);
  ASSERT_TRUE(peer.sendAll(Packet(3, "held")));
  PumpFor(50);
  EXPECT_TRUE(listening.server.deliveries.empty());
  ASSERT_EQ(listening.Select(client, kReading), 0);
  ASSERT_TRUE(PumpUntil([&] { return listening.server.deliveries.size() == 1; }));
  EXPECT_EQ(listening.server.deliveries[0].payload, "held");
}

// The address users are told is the host name's own when it is no loopback
// address, even if no interface of this machine carries it (yet).
TEST(Loopback, TheAnnouncedAddressIsTheNamesOwnWhenItIsNoLoopbackAddress) {
  PosixSocketApi api;
  EXPECT_EQ(api.hostAddress("198.51.100.7"), "198.51.100.7");
  // A loopback address reaches nobody else: the first interface that is up
  // and no loopback is told instead, loopback only on a machine with none.
  std::string lan = "127.0.0.1";
  ifaddrs* list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  for (ifaddrs* entry = list; entry != nullptr && lan == "127.0.0.1"; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
    lan = text;
  }
  freeifaddrs(list);
  EXPECT_EQ(api.hostAddress("127.0.0.1"), lan);
}

TEST(Loopback, BindingAPortInUseFailsWithAddressInUse) {
  PosixSocketApi api;
  LoopbackListener holder;
  const SocketHandle s = api.socket(kAfInet, kSockStream, kIpProtoTcp);
  SockAddrIn address{};
  address.family = kAfInet;
  address.port = htons(holder.port());
  EXPECT_EQ(api.bind(s, address), kSocketError);
  EXPECT_EQ(api.lastError(), 10048);
  api.closesocket(s);
}

}  // namespace
}  // namespace parlivo
