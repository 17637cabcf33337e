// The TLS port end to end over loopback: encrypted and plain clients in one
// chat, handshakes that go wrong, the server's key files and the clients'
// pinning of it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "chat_peer.h"
#include "client/known_servers.h"
#include "event_loop.h"
#include "tls/tls_identity.h"
#include "tls/tls_server_stream.h"
#include "transport/packet_ids.h"
#include "transport/platform/posix_socket_api.h"
#include "transport/server.h"
#include "transport/socket_error_text.h"

namespace parlivo::testing {
namespace {

std::uint16_t BoundPort(SocketHandle socket) {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ::getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length);
  return ntohs(bound.sin_port);
}

// One key for the whole run: making one costs more than a test should.
const std::shared_ptr<TlsContext>& ServerContext() {
  static QTemporaryDir folder;
  static std::shared_ptr<TlsContext> context = [] {
    bool created = false;
    std::string error;
    auto made = TlsContext::LoadOrCreateServer(folder.filePath("server.crt").toStdString(),
                                               folder.filePath("server.key").toStdString(), created, error);
    EXPECT_TRUE(made) << error;
    return made;
  }();
  return context;
}

struct TlsServer : ::testing::Test {
  TlsServer() {
    server.ExtraPorts = {{0, tls.Maker()}};
    server.SetMaxPing(0);
    server.OnError = [this](TCustomFasterSocket*, SocketHandle, int code, const std::string&) {
      errors.push_back(code);
    };
    // Every chat text goes to everybody, as the operator's relay does.
    server.OnClientMessageCome = [this](TDadideVUDServer*, TDadideVUDServerClient*, const std::string& text) {
      server.ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* client) {
        server.SendPacket(client, pidMessage, text);
      });
    };
    server.SetListen(true);
    port = BoundPort(server.Socket);
    tlsPort = BoundPort(server.ExtraPortSocket(0));
  }
  ~TlsServer() override {
    server.OnError = nullptr;
    server.OnClientMessageCome = nullptr;
    peers.clear();
    server.SetListen(false);
  }

  // A peer connected to `to`, greeted; through TLS when `secure`.
  ChatPeer& Connect(std::uint16_t to, bool secure) {
    peers.push_back(std::make_unique<ChatPeer>());
    ChatPeer& peer = *peers.back();
    std::string error;
    if (secure)
      peer.connection.useTls(TlsContext::Client(error),
                             [this](const std::string& fingerprint, const Endpoint&, std::string&) {
                               seen = fingerprint;
                               return true;
                             });
    peer.connection.startConnect(ChatConnection::Resolve("127.0.0.1", to, error).front());
    EXPECT_TRUE(PumpUntil([&] {
      if (peer.connection.connecting()) peer.connection.finishConnect();
      peer.Poll();
      return peer.Has(pidConnected);
    })) << peer.connection.error();
    return peer;
  }
  bool Join(ChatPeer& peer, const std::string& nick) {
    peer.connection.registerUser(nick, "Room");
    return PumpUntil([&] {
      peer.Poll();
      return peer.Has(pidAccessGranted);
    });
  }
  // What `to` receives of a chat text `from` sends, waiting for it.
  std::string Relay(ChatPeer& from, ChatPeer& to, const std::string& text) {
    to.received.clear();
    from.connection.send(pidMessage, text);
    PumpUntil([&] {
      from.Poll();
      to.Poll();
      return to.Has(pidMessage);
    }, 5000);
    const auto texts = to.Payloads(pidMessage);
    return texts.empty() ? std::string() : texts.front();
  }

  PosixSocketApi api;
  TlsStreams tls{ServerContext()};
  TDadideVUDServer server{api};
  std::uint16_t port = 0;
  std::uint16_t tlsPort = 0;
  std::vector<std::unique_ptr<ChatPeer>> peers;
  std::vector<int> errors;
  std::string seen;
};

TEST_F(TlsServer, AnEncryptedAndAPlainClientChatBothWaysLargeTextsIncluded) {
  ChatPeer& secure = Connect(tlsPort, true);
  ChatPeer& plain = Connect(port, false);
  EXPECT_EQ(seen, ServerContext()->fingerprint());
  ASSERT_TRUE(Join(secure, "Ann"));
  ASSERT_TRUE(Join(plain, "Bob"));
  EXPECT_EQ(server.Clients->Count(), 2u);

  EXPECT_EQ(Relay(secure, plain, "hello in clear"), "hello in clear");
  EXPECT_EQ(Relay(plain, secure, "hello encrypted"), "hello encrypted");
  // Larger than a record, a socket buffer and a read: written in parts and
  // read back whole, in both directions.
  std::string big(600 * 1024, 'x');
  for (std::size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(Relay(plain, secure, big), big);
  EXPECT_EQ(Relay(secure, plain, big), big);
  EXPECT_TRUE(errors.empty());
}

// What a client does wrong on the TLS port before its handshake is done.
// A client whose server went away learns it from its next writes as well as
// from a read, and is told why: the chat window shows that reason.
TEST_F(TlsServer, AnEncryptedClientWhoseServerWentAwayFailsToWriteAndSaysWhy) {
  ChatPeer& ann = Connect(tlsPort, true);
  ASSERT_TRUE(Join(ann, "Ann"));
  server.SetListen(false);  // every connection closed at once
  bool written = true;
  for (int round = 0; round < 200 && written; ++round) {
    written = ann.connection.send(pidMessage, "anyone there?");
    PumpFor(5);
  }
  EXPECT_FALSE(written);
  EXPECT_LT(ann.connection.fd(), 0);
  EXPECT_FALSE(ann.connection.error().empty());
}

// A handler run for the TLS port runs inside the server, as any other: the
// server is then not freed under it (Dispose waits for it to return).
TEST_F(TlsServer, AHandlerOfTheTlsPortRunsAsOneOfTheServersOwn) {
  std::vector<bool> inHandler;
  server.OnAccept = [&](TDadideVUDServer*, TDadideVUDServerClient*, bool&) { inHandler.push_back(server.InHandler()); };
  Connect(tlsPort, true);
  Connect(tlsPort, true);
  EXPECT_EQ(inHandler, (std::vector<bool>{true, true}));
  EXPECT_FALSE(server.InHandler());
}

// A handshake may take until its deadline on the server's clock, and no
// longer: a client that stops half-way holds its slot that long at most.
TEST_F(TlsServer, AHandshakeEndsAtItsDeadlineOnTheServersClock) {
  std::int64_t now = 1000;
  server.SetClock([&] { return now; });
  tls.setHandshakeMs(400);  // checked every 100 ms of real time
  ChatConnection culprit;
  std::string error;
  culprit.useTls(TlsContext::Client(error));
  culprit.startConnect(ChatConnection::Resolve("127.0.0.1", tlsPort, error).front());
  ASSERT_TRUE(PumpUntil([&] {
    if (culprit.connecting()) culprit.finishConnect();
    return !culprit.connecting() && culprit.securing() && server.Clients->Count() == 1;
  }));
  now = 1399;
  PumpFor(250);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(tls.handshaking(), 1u);
  now = 1400;
  ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }, 1000));
  EXPECT_EQ(errors, std::vector<int>{kTlsHandshakeTimedOut});
  EXPECT_TRUE(PumpUntil([&] { return server.Clients->Empty() && tls.sessions() == 0; }));
}

enum class Misstep { Garbage, StopsHalfWay, ResetsHalfWay };

class HandshakeFault : public TlsServer, public ::testing::WithParamInterface<Misstep> {};

TEST_P(HandshakeFault, CostsOnlyThatConnectionAndLeavesNothingHeld) {
  tls.setHandshakeMs(300);
  ChatPeer& ann = Connect(port, false);
  ChatPeer& bob = Connect(tlsPort, true);
  ASSERT_TRUE(Join(ann, "Ann"));
  ASSERT_TRUE(Join(bob, "Bob"));

  ChatConnection culprit;
  std::string error;
  int expected = 0;
  switch (GetParam()) {
    case Misstep::Garbage:
      ASSERT_TRUE(culprit.connect("127.0.0.1", tlsPort, 2000));
      culprit.sendBytes("GET / HTTP/1.0\r\n\r\n");
      expected = kTlsHandshakeFailed;
      break;
    case Misstep::StopsHalfWay:
    case Misstep::ResetsHalfWay:
      // A real ClientHello, then nothing more from this side.
      culprit.useTls(TlsContext::Client(error));
      culprit.startConnect(ChatConnection::Resolve("127.0.0.1", tlsPort, error).front());
      ASSERT_TRUE(PumpUntil([&] {
        if (culprit.connecting()) culprit.finishConnect();
        return !culprit.connecting() && culprit.securing();
      }));
      PumpFor(50);  // the server answers and waits for the client's last word
      expected = GetParam() == Misstep::StopsHalfWay ? kTlsHandshakeTimedOut : 10054;
      if (GetParam() == Misstep::ResetsHalfWay) culprit.abort();
      break;
  }
  ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); })) << "no error reported";
  EXPECT_EQ(errors, std::vector<int>{expected});
  EXPECT_TRUE(PumpUntil([&] { return server.Clients->Count() == 2 && tls.sessions() == 1; }));
  EXPECT_EQ(tls.handshaking(), 0u);
  EXPECT_EQ(Relay(ann, bob, "still here"), "still here");
  EXPECT_EQ(Relay(bob, ann, "so am I"), "so am I");
}

INSTANTIATE_TEST_SUITE_P(Missteps, HandshakeFault,
                         ::testing::Values(Misstep::Garbage, Misstep::StopsHalfWay, Misstep::ResetsHalfWay));

TEST(TlsIdentity, AKeyMadeAtFirstUseIsTheOwnersAloneAndStaysTheSame) {
  QTemporaryDir folder;
  const std::string certificate = folder.filePath("s.crt").toStdString();
  const std::string key = folder.filePath("s.key").toStdString();
  bool created = false;
  std::string error;
  const auto first = TlsContext::LoadOrCreateServer(certificate, key, created, error);
  ASSERT_TRUE(first) << error;
  EXPECT_TRUE(created);
  struct stat status {};
  ASSERT_EQ(::stat(key.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  const auto again = TlsContext::LoadOrCreateServer(certificate, key, created, error);
  ASSERT_TRUE(again) << error;
  EXPECT_FALSE(created);
  EXPECT_EQ(again->fingerprint(), first->fingerprint());
  EXPECT_EQ(first->fingerprint().size(), 32u * 3 - 1);
}

// Links planted where the key and certificate used to be written first
// (their names with ".new") lead nowhere: the files they point at keep
// their bytes, and the pair is made all the same.
TEST(TlsIdentity, LinksPlantedBesideTheKeyAreNeitherFollowedNorWrittenThrough) {
  QTemporaryDir folder;
  const auto path = [&](const char* name) { return folder.filePath(name).toStdString(); };
  std::ofstream(path("precious")) << "the user's own file\n";
  ASSERT_EQ(::symlink(path("precious").c_str(), path("s.key.new").c_str()), 0);
  ASSERT_EQ(::symlink(path("precious").c_str(), path("s.crt.new").c_str()), 0);
  bool created = false;
  std::string error;
  ASSERT_TRUE(TlsContext::LoadOrCreateServer(path("s.crt"), path("s.key"), created, error)) << error;
  EXPECT_TRUE(created);

  std::ifstream target(path("precious"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(target), {}), "the user's own file\n");
  for (const auto& [name, mode] : {std::pair{"s.key", 0600u}, std::pair{"s.crt", 0644u}}) {
    struct stat status {};
    ASSERT_EQ(::lstat(path(name).c_str(), &status), 0) << name;
    EXPECT_TRUE(S_ISREG(status.st_mode)) << name;
    EXPECT_EQ(status.st_mode & 0777, mode) << name;
  }
}

TEST(TlsIdentity, APairThatDoesNotLoadIsAClearErrorNeverReplaced) {
  QTemporaryDir folder;
  const auto path = [&](const char* name) { return folder.filePath(name).toStdString(); };
  std::ofstream(path("garbage.pem")) << "not a certificate\n";
  bool created = false;
  std::string error;
  ASSERT_TRUE(TlsContext::LoadOrCreateServer(path("a.crt"), path("a.key"), created, error));
  ASSERT_TRUE(TlsContext::LoadOrCreateServer(path("b.crt"), path("b.key"), created, error));
  struct Case {
    std::string certificate, key, says;
  };
  for (const Case& c : std::vector<Case>{
           {path("garbage.pem"), path("a.key"), "cannot load the certificate " + path("garbage.pem")},
           {path("missing.crt"), path("a.key"), "cannot load the certificate " + path("missing.crt")},
           {path("a.crt"), path("garbage.pem"), "cannot load the key " + path("garbage.pem")},
           {path("a.crt"), path("b.key"), "does not belong"},
       }) {
    error.clear();
    EXPECT_FALSE(TlsContext::LoadServer(c.certificate, c.key, error)) << c.certificate;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  // A certificate without its key is not made over: the operator sorts it out.
  error.clear();
  EXPECT_FALSE(TlsContext::LoadOrCreateServer(path("a.crt"), path("lost.key"), created, error));
  EXPECT_FALSE(created);
  EXPECT_FALSE(error.empty());
}

TEST(KnownServers, TheFirstKeyIsPinnedTheSameOnePassesAnotherIsRefusedNamingBoth) {
  QTemporaryDir folder;
  const KnownServers known(folder.filePath("config/parlivo/known_servers").toStdString());
  std::string noted;
  const auto check = known.Check({"box.local:4001", {}}, [&](const std::string& note) { noted = note; });
  const Endpoint peer = ChatConnection::Resolve("192.0.2.7", 4001, noted).front();
  std::string why;
  EXPECT_TRUE(check("AA:01", peer, why));
  EXPECT_NE(noted.find("AA:01"), std::string::npos);
  EXPECT_EQ(known.Pinned("box.local:4001"), "AA:01");
  EXPECT_EQ(known.Pinned("192.0.2.7:4001"), "AA:01");  // the address reached, beside the name
  std::string other;
  ASSERT_TRUE(known.Remember({"other:1"}, "CC:03", other)) << other;

  noted.clear();
  EXPECT_TRUE(check("AA:01", peer, why));
  EXPECT_TRUE(noted.empty());
  EXPECT_FALSE(check("BB:02", peer, why));
  EXPECT_NE(why.find("AA:01"), std::string::npos) << why;
  EXPECT_NE(why.find("BB:02"), std::string::npos) << why;
  // A refusal changes nothing; other servers' keys stay as they were.
  EXPECT_EQ(known.Pinned("box.local:4001"), "AA:01");
  EXPECT_EQ(known.Pinned("other:1"), "CC:03");
}

// Pins are written whole under another name and renamed: nothing is left
// behind, neither a descriptor nor, when the file cannot be written, a
// half-made file beside it.
TEST(KnownServers, WritingLeavesNoDescriptorOpenAndAFailedWriteLeavesNoFileBehind) {
  QTemporaryDir folder;
  const auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
  };
  const KnownServers known(folder.filePath("known_servers").toStdString());
  std::string error;
  const auto before = openDescriptors();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(known.Remember({"box:" + std::to_string(i)}, "AA:01", error)) << error;
  EXPECT_EQ(openDescriptors(), before);

  // A write that fails half-way, for root too: files may not grow past 16 bytes.
  QTemporaryDir full;
  const KnownServers blocked(full.filePath("known_servers").toStdString());
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit small{16, limit.rlim_max};
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = blocked.Remember({"box:1"}, "AA:01", error);
  ::setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(written);
  EXPECT_EQ(error.rfind("cannot write " + blocked.path() + " (", 0), 0u) << error;
  EXPECT_TRUE(QDir(full.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
  EXPECT_EQ(openDescriptors(), before);
}

TEST_F(TlsServer, AClientRefusesAServerWhoseKeyChangedBeforeSendingAnything) {
  QTemporaryDir folder;
  const KnownServers known(folder.filePath("known").toStdString());
  std::string error;
  ASSERT_TRUE(known.Remember({"127.0.0.1:" + std::to_string(tlsPort)}, "00:11", error));
  ChatConnection client;
  client.useTls(TlsContext::Client(error), known.Check({"127.0.0.1:" + std::to_string(tlsPort), {}}));
  client.startConnect(ChatConnection::Resolve("127.0.0.1", tlsPort, error).front());
  client.registerUser("Eve", "Room");
  ASSERT_TRUE(PumpUntil([&] {
    if (client.connecting()) client.finishConnect();
    client.readAvailable();
    return client.fd() < 0;
  }));
  EXPECT_NE(client.error().find("00:11"), std::string::npos) << client.error();
  EXPECT_NE(client.error().find(ServerContext()->fingerprint()), std::string::npos) << client.error();
  PumpFor(50);
  EXPECT_EQ(client.bytesWritten(), 0u);  // the nickname never left
}

}  // namespace
}  // namespace parlivo::testing
