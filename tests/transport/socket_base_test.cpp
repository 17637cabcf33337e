// The socket base over the scriptable sockets layer: notices, reads, error
// texts and the routes errors take.

#include "transport/socket_base.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "fake_socket_api.h"
#include "recording_socket.h"
#include "transport/exception.h"
#include "transport/platform/winsock_errors.h"
#include "transport/socket_error_text.h"
#include "transport/unhandled_error.h"

namespace parlivo {
namespace {

using testing::Delivery;
using testing::FakeSocketApi;
using testing::Packet;
using testing::RecordingSocket;

struct ErrorCall {
  TCustomFasterSocket* sender;
  SocketHandle socket;
  int code;
  std::string text;
};

TDadideVUDErrorEvent Record(std::vector<ErrorCall>& calls) {
  return [&calls](TCustomFasterSocket* sender, SocketHandle socket, int code, const std::string& text) {
    calls.push_back({sender, socket, code, text});
  };
}

// Captures what reaches the central error handler while it lives.
class CentralHandlerSpy {
 public:
  CentralHandlerSpy()
      : previous_(SetUnhandledErrorHandler([this](const void* sender, std::string_view message) {
          reports.push_back({sender, std::string(message)});
        })) {}
  ~CentralHandlerSpy() { SetUnhandledErrorHandler(previous_); }
  std::vector<std::pair<const void*, std::string>> reports;

 private:
  UnhandledErrorHandler previous_;
};


TEST(SocketErrorText, KnownAndUnknownCodes) {
  const std::vector<std::pair<int, std::string_view>> cases = {
      {10004, "Interrupted system call"},   {10035, "Operation would block"},
      {10048, "Address already in use"},    {10054, "Connection reset by peer"},
      {10059, "Too many references: can't splice"}, {10093, "WinSock not initialized"},
      {11004, "No Data"},                   {10100, "Unkown error was encountered!"},
      {0, "Unkown error was encountered!"}, {20071, "Unkown error was encountered!"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(SocketErrorText(code), text) << code;
}

TEST(WinsockErrors, TranslatesErrnoToTheCodesTheOperatorReads) {
  const std::vector<std::pair<int, int>> cases = {
      {EAGAIN, 10035}, {EADDRINUSE, 10048}, {ECONNRESET, 10054}, {EBADF, 10038},
      {ENOTSOCK, 10038}, {EPIPE, 10058}, {ECONNREFUSED, 10061}, {EPROTO, kUnmappedErrnoBase + EPROTO},
  };
  for (const auto& [error, code] : cases) EXPECT_EQ(WinsockErrorFromErrno(error), code) << error;
}

// Whatever a system call reports, the operator reads words, never "Unkown
// error": each code the translation gives has its text.
TEST(WinsockErrors, EveryCodeAnErrnoBecomesHasItsText) {
  for (int error = 1; error < 200; ++error) {
    const int code = WinsockErrorFromErrno(error);
    if (code < kUnmappedErrnoBase) {
      EXPECT_NE(SocketErrorText(code), kUnknownSocketErrorText) << error << " " << code;
    }
  }
}

TEST(SocketBase, ErrorNoticeFiresOwnHandlerAndReadsNothing) {
  FakeSocketApi api;
  RecordingSocket socket(api, false);
  std::vector<ErrorCall> errors;
  socket.OnError = Record(errors);
  api.at(7).incoming = Packet(1, "x");

  socket.SocketReady(7, kCanRead, 10054);

  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].sender, &socket);
  EXPECT_EQ(errors[0].socket, 7);
  EXPECT_EQ(errors[0].code, 10054);
  EXPECT_EQ(errors[0].text, "Connection reset by peer");
  EXPECT_TRUE(api.calls.empty());
  EXPECT_TRUE(socket.deliveries.empty());
}

TEST(SocketBase, ConnectionErrorWithoutOwnHandlerReachesTheServerWithTheConnectionAsSender) {
  FakeSocketApi api;
  RecordingSocket server(api, true);
  std::vector<ErrorCall> errors;
  server.OnError = Record(errors);
  TDadideVUDServerClient* client = server.AddClient(7);

  client->SocketError(7, 10100);

  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].sender, client);
  EXPECT_EQ(errors[0].text, "Unkown error was encountered!");
}

TEST(SocketBase, ErrorWithNoHandlerAnywhereRaisesTheText) {
  FakeSocketApi api;
  RecordingSocket server(api, true);
  TDadideVUDServerClient* client = server.AddClient(7);
  try {
    client->SocketError(7, 10061);
    FAIL() << "no exception";
  } catch (const Exception& error) {
    EXPECT_STREQ(error.what(), "Connection refused");
  }
  // Raised while a notice is handled, it reaches the central handler instead
  // of the event loop.
  CentralHandlerSpy central;
  server.SocketReady(7, kPeerClosed, 10053);
  ASSERT_EQ(central.reports.size(), 1u);
  EXPECT_EQ(central.reports[0].first, &server);
  EXPECT_EQ(central.reports[0].second, "Software caused connection abort");
}

TEST(SocketBase, FailedFionreadIsReportedAndTheBufferIsUntouched) {
  FakeSocketApi api;
  RecordingSocket socket(api, false);
  socket.Socket = 7;
  socket.ReceiveBuffer.append("abc", 3);
  std::vector<ErrorCall> errors;
  socket.OnError = Record(errors);
  api.at(7).incoming = Packet(1, "x");
  api.at(7).fionreadError = WSAENOTSOCK;

  socket.SocketReady(7, kCanRead, 0);

  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, 10038);
  EXPECT_EQ(errors[0].text, "Socket operation on non-socket");
  EXPECT_EQ(std::string(socket.ReceiveBuffer.view()), "abc");
  EXPECT_EQ(api.calls, (std::vector<std::string>{"fionread 7"}));
}

TEST(SocketBase, ReadWithNothingWaitingDoesNothing) {
  FakeSocketApi api;
  RecordingSocket socket(api, false);
  socket.Socket = 7;
  socket.SocketReady(7, kCanRead, 0);
  EXPECT_EQ(api.calls, (std::vector<std::string>{"fionread 7"}));
}

TEST(SocketBase, FailedReceiveLeavesTheBufferAsItWas) {
  FakeSocketApi api;
  RecordingSocket socket(api, false);
  socket.Socket = 7;
  const std::string partial = Packet(3, "abc").substr(0, 6);
  socket.ReceiveBuffer.append(partial.data(), partial.size());
  std::vector<ErrorCall> errors;
  socket.OnError = Record(errors);
  api.at(7).incoming = "more";
  api.at(7).recvError = 10054;

  socket.SocketReady(7, kCanRead, 0);

  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, 10054);
  EXPECT_EQ(std::string(socket.ReceiveBuffer.view()), partial);
  EXPECT_TRUE(socket.deliveries.empty());
}

TEST(SocketBase, ReceiveOfZeroBytesIsThePeersClose) {
  FakeSocketApi api;
  RecordingSocket server(api, true);
  server.AddClient(7);
  // FIONREAD says bytes wait but the receive finds the connection closed.
  api.at(7).incoming = "";
  api.at(7).peerClosed = true;
  char byte;
  EXPECT_EQ(server.DoRecv(7, &byte, 1), 0);
  EXPECT_EQ(server.closed, (std::vector<SocketHandle>{7}));
  EXPECT_TRUE(server.Clients->Empty());
}

TEST(SocketBase, InterleavedConnectionsEachResumeAtTheirOwnFirstUndeliveredByte) {
  FakeSocketApi api;
  RecordingSocket server(api, true);
  TDadideVUDServerClient* a = server.AddClient(7);
  TDadideVUDServerClient* b = server.AddClient(8);
  const std::string fromA = Packet(1, "a1") + Packet(2, "a2");
  const std::string fromB = Packet(3, "b1") + Packet(4, "b2");
  // The first packet of each connection fails in its handler, so each pass
  // ends early with undelivered bytes left in that connection's buffer.
  server.onPacket = [](TDadideVUDServerClient*, std::int32_t id) {
    if (id == 1 || id == 3) throw std::runtime_error("handler failed");
  };

  const auto arrive = [&](SocketHandle s, const std::string& bytes) {
    api.at(s).incoming = bytes;
    server.Clients->FindBySocket(s)->SocketReady(s, kCanRead, 0);
  };
  arrive(7, fromA.substr(0, 13));
  arrive(8, fromB.substr(0, 5));
  arrive(8, fromB.substr(5, 10));
  arrive(7, fromA.substr(13));
  arrive(8, fromB.substr(15));

  const std::vector<Delivery> expected = {
      {a, 1, "a1"}, {b, 3, "b1"}, {a, 2, "a2"}, {b, 4, "b2"}};
  EXPECT_EQ(server.deliveries, expected);
  EXPECT_TRUE(a->ReceiveBuffer.unread().empty());
  EXPECT_TRUE(b->ReceiveBuffer.unread().empty());
}

TEST(SocketBase, OversizedHeaderClosesTheConnectionAsIfItsPeerHad) {
  FakeSocketApi api;
  RecordingSocket server(api, true);
  server.AddClient(7);
  TDadideVUDServerClient* other = server.AddClient(8);
  api.at(7).incoming = Packet(1, "first") + Packet(kMaxPacketSize + 1, 19, "huge...");

  (*server.Clients)[0]->SocketReady(7, kCanRead, 0);

  ASSERT_EQ(server.deliveries.size(), 1u);
  EXPECT_EQ(server.deliveries[0].payload, "first");
  EXPECT_EQ(server.closed, (std::vector<SocketHandle>{7}));
  ASSERT_EQ(server.Clients->Count(), 1u);
  EXPECT_EQ((*server.Clients)[0], other);
  EXPECT_FALSE(api.at(7).open);  // freeing the connection closed its socket
}

TEST(SocketBase, HandlerThatFreesItsConnectionEndsThePassSafely) {
  FakeSocketApi api;
  RecordingSocket server(api, true);
  server.AddClient(7);
  server.onPacket = [&](TDadideVUDServerClient*, std::int32_t) { server.Clients->Extract(0); };
  api.at(7).incoming = Packet(1, "a") + Packet(2, "b");

  (*server.Clients)[0]->SocketReady(7, kCanRead, 0);

  EXPECT_EQ(server.deliveries.size(), 1u);
  EXPECT_FALSE(server.Dispatching);
}

TEST(SocketBase, AcceptAndCloseNoticesReachTheirOperations) {
  FakeSocketApi api;
  RecordingSocket server(api, true);
  server.Socket = 5;
  server.SocketReady(5, kCanAccept, 0);
  ASSERT_EQ(server.Clients->Count(), 1u);
  const SocketHandle accepted = (*server.Clients)[0]->Socket;
  server.SocketReady(accepted, kPeerClosed, 0);
  EXPECT_EQ(server.closed, (std::vector<SocketHandle>{accepted}));
  EXPECT_TRUE(server.Clients->Empty());
}

}  // namespace
}  // namespace parlivo
