// Reaching a server: the address a user types, and connecting to the first
// of a server's addresses that answers, over both loopback families.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client/server_address.h"
#include "client/staggered_connect.h"

namespace parlivo {
namespace {

TEST(ServerAddressText, HostsOfEitherFamilyWithAndWithoutPort) {
  const struct {
    const char* text;
    std::string host;
    std::uint16_t port;
    bool portGiven;
  } good[] = {
      {"chat.lan", "chat.lan", 65535, false},  // the port users are told when none is named
      {"192.0.2.7:4000", "192.0.2.7", 4000, true},
      {"[::1]:4000", "::1", 4000, true},
      {"[fd12::5]", "fd12::5", kDefaultServerPort, false},
      {"fd12::5", "fd12::5", kDefaultServerPort, false},
      {"fe80::1%eth0", "fe80::1%eth0", kDefaultServerPort, false},
  };
  for (const auto& c : good) {
    std::string error;
    const auto parsed = ParseServerAddress(c.text, error);
    ASSERT_TRUE(parsed) << c.text << ": " << error;
    EXPECT_EQ(*parsed, (ServerAddress{c.host, c.port, c.portGiven})) << c.text;
    // What is shown reads back as the same server.
    EXPECT_EQ(ParseServerAddress(ServerAddressText(*parsed), error)->host, c.host) << c.text;
  }
  const struct {
    const char* text;
    const char* error;
  } bad[] = {{"[::1", "missing ] in [::1"},
             {"[::1]4000", "bad port in [::1]4000"},
             {"[::1]:0", "bad port in [::1]:0"},
             {"[]:4000", "missing host in []:4000"}};
  for (const auto& c : bad) {
    std::string error;
    EXPECT_FALSE(ParseServerAddress(c.text, error)) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
}

Endpoint Loopback(int family, std::uint16_t port) {
  if (family == AF_INET6) {
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_addr = in6addr_loopback;
    six.sin6_port = htons(port);
    return six;
  }
  sockaddr_in four{};
  four.sin_family = AF_INET;
  four.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  four.sin_port = htons(port);
  return four;
}

TEST(StaggeredConnect, FamiliesTakeTurnsStartingWithTheResolversChoice) {
  const std::vector<Endpoint> resolved = {Loopback(AF_INET6, 1), Loopback(AF_INET6, 2), Loopback(AF_INET6, 3),
                                          Loopback(AF_INET, 4)};
  std::vector<int> families;
  for (const Endpoint& endpoint : InterleaveFamilies(resolved)) families.push_back(endpoint.family());
  EXPECT_EQ(families, (std::vector<int>{AF_INET6, AF_INET, AF_INET6, AF_INET6}));
}

// A listening socket on the loopback address of one family, only that one.
struct Listener {
  explicit Listener(int family, std::uint16_t port = 0) : fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int on = 1;
    if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    const Endpoint at = Loopback(family, port);
    ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&at.address), at.length) == 0 && ::listen(fd, 4) == 0;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    this->port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  }
  ~Listener() { ::close(fd); }
  int fd;
  bool ok = false;
  std::uint16_t port = 0;
};

int PeerFamily(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 ? peer.ss_family : -1;
}

TEST(StaggeredConnect, TheAddressThatListensWinsWhicheverComesFirst) {
  for (const int listening : {AF_INET, AF_INET6}) {
    const int silent = listening == AF_INET ? AF_INET6 : AF_INET;
    const Listener server(listening);
    ASSERT_TRUE(server.ok);
    // The other family's address comes first and refuses. The stagger is
    // longer than the time allowed: only a refused attempt that hands over
    // to the next address at once lets this connect.
    std::string error;
    const int fd = ConnectFirstAnswering({Loopback(silent, server.port), Loopback(listening, server.port)}, 3000,
                                         error, 60000);
    ASSERT_GE(fd, 0) << error;
    EXPECT_EQ(PeerFamily(fd), listening);
    ::close(fd);
  }
  std::string error;
  const std::uint16_t port = Listener(AF_INET).port;  // free again
  EXPECT_EQ(ConnectFirstAnswering({Loopback(AF_INET6, port), Loopback(AF_INET, port)}, 3000, error), -1);
  EXPECT_EQ(error, "connection refused");
}

}  // namespace
}  // namespace parlivo
