#pragma once
// Who may connect: the access policy the server applies to every new
// connection before it is greeted.
//
// By default only addresses of the local network get in: loopback, the
// private ranges, link-local and carrier-grade NAT, in IPv4 and IPv6 (and
// IPv4 in its IPv6-mapped form). A server that a forwarded port or a public
// address exposes to the internet then still serves nobody outside, since
// the chat protocol has no password. The operator widens the policy with an
// allow list of ranges (added to the local network) or admits every
// address; a deny list shuts ranges out whatever else admits them.
//
// Pure functions over texts and addresses: no sockets, no settings file.
// Addresses and ranges are read by Qt (QHostAddress).

#include <QHostAddress>
#include <QPair>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parlivo {

// The option names, for the log lines that tell the operator how to admit
// a refused address. Flags of the headless server, keys of the settings file.
inline constexpr const char* kAllowFlag = "--allow";
inline constexpr const char* kDenyFlag = "--deny";
inline constexpr const char* kAdmitAnyFlag = "--admit-any";
inline constexpr const char* kAllowKey = "AllowFrom";
inline constexpr const char* kDenyKey = "DenyFrom";
inline constexpr const char* kAdmitAnyKey = "AdmitAny";

using AddressRange = QPair<QHostAddress, int>;

struct AccessPolicy {
  bool admitAny = false;
  std::vector<AddressRange> allow;  // admitted besides the local network
  std::vector<AddressRange> deny;   // refused, whatever else admits them
};

enum class AccessVerdict {
  LocalNetwork,  // admitted: a local-network address
  Allowed,       // admitted: in the allow list
  AnyAddress,    // admitted: the policy admits every address
  Denied,        // refused: in the deny list
  NotLocal,      // refused: outside the local network and the allow list
  Unreadable,    // refused: the peer's address could not be read
};

struct AccessDecision {
  AccessVerdict verdict = AccessVerdict::Unreadable;
  AddressRange range;  // the deny or allow range that decided, when one did
  bool admitted() const {
    return verdict == AccessVerdict::LocalNetwork || verdict == AccessVerdict::Allowed ||
           verdict == AccessVerdict::AnyAddress;
  }
};

// Reads a list of ranges: "10.0.0.0/8, 2001:db8::/32 203.0.113.7" (commas
// or blanks between them; a bare address is a range of one). nullopt, with
// `error` naming the entry, when one is no address range. A range inside
// ::ffff:0:0/96 is read as the IPv4 range it maps; every other IPv6 range,
// ::/0 included, applies to IPv6 peers only.
std::optional<std::vector<AddressRange>> ParseAddressRanges(std::string_view text, std::string& error);

// The list as ParseAddressRanges reads it back: "10.0.0.0/8, 2001:db8::/32".
std::string AddressRangesText(const std::vector<AddressRange>& ranges);

// Loopback, private, link-local or carrier-grade NAT (IPv4-mapped included).
bool IsLocalNetworkAddress(const QHostAddress& address);

// What the policy says of a connection from `peer` (the address as text).
AccessDecision DecideAccess(const AccessPolicy& policy, std::string_view peer);

// The policy in a few words, for the line that gives users the address:
// "local network only", "local network and 203.0.113.0/24, except ...",
// "any address".
std::string DescribeAccessPolicy(const AccessPolicy& policy);

// The log line for a refused connection: the address, why, and the option
// that would admit it.
std::string RefusalLogLine(std::string_view peer, const AccessDecision& decision);

}  // namespace parlivo
