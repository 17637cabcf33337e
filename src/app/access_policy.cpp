#include "app/access_policy.h"

#include <QAbstractSocket>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace parlivo {
namespace {

// The IPv4-mapped block, ::ffff:0:0/96: a dual-stack socket reports IPv4
// peers in it (::ffff:a.b.c.d), and only an address inside it is an IPv4
// address in IPv6 dress. Qt's toIPv4Address also turns "::" into 0.0.0.0,
// so it is asked only about addresses in this block.
bool IsIPv4Mapped(const QHostAddress& address) {
  static const AddressRange block = QHostAddress::parseSubnet(QStringLiteral("::ffff:0:0/96"));
  return address.protocol() == QAbstractSocket::IPv6Protocol && address.isInSubnet(block);
}

// An IPv4 address in its IPv6-mapped form is that IPv4 address.
QHostAddress Unmapped(const QHostAddress& address) {
  return IsIPv4Mapped(address) ? QHostAddress(address.toIPv4Address()) : address;
}

// A range inside the mapped block (::ffff:10.0.0.0/104) is the IPv4 range it
// maps (10.0.0.0/8), so that it counts for IPv4 peers however the socket
// reports them. Any other IPv6 range stays IPv6 and counts for IPv6 peers
// only, also one that holds the whole mapped block (::/0, ::/80): the
// operator who writes --deny ::/0 shuts out IPv6, as written, and leaves
// IPv4 to the IPv4 ranges; reading it as 0.0.0.0/0 too would turn an allow
// of ::/0 into "every IPv4 address on the internet".
AddressRange Unmapped(const AddressRange& range) {
  if (range.second < 96 || !IsIPv4Mapped(range.first)) return range;
  return {Unmapped(range.first), range.second - 96};
}

const std::vector<AddressRange>& LocalNetworkRanges() {
  static const std::vector<AddressRange> ranges = [] {
    std::vector<AddressRange> list;
    for (const char* text : {"127.0.0.0/8", "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16",
                             "100.64.0.0/10", "::1/128", "fc00::/7", "fe80::/10"}) {
      list.push_back(QHostAddress::parseSubnet(QString::fromLatin1(text)));
    }
    return list;
  }();
  return ranges;
}

const AddressRange* FindRange(const std::vector<AddressRange>& ranges, const QHostAddress& address) {
  for (const AddressRange& range : ranges) {
    if (address.isInSubnet(range)) return &range;
  }
  return nullptr;
}

std::string RangeText(const AddressRange& range) {
  const bool single = (range.first.protocol() == QAbstractSocket::IPv4Protocol && range.second == 32) ||
                      (range.first.protocol() == QAbstractSocket::IPv6Protocol && range.second == 128);
  const std::string address = range.first.toString().toStdString();
  return single ? address : address + "/" + std::to_string(range.second);
}

}  // namespace

std::optional<std::vector<AddressRange>> ParseAddressRanges(std::string_view text, std::string& error) {
  std::vector<AddressRange> ranges;
  const QStringList entries =
      QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).split(QRegularExpression("[,\\s]+"),
                                                                                  Qt::SkipEmptyParts);
  for (const QString& entry : entries) {
    // Qt reads "/8" as 0.0.0.0/8; a range needs its address written out.
    AddressRange range = entry.startsWith('/') ? AddressRange{} : QHostAddress::parseSubnet(entry);
    if (range.first.isNull() && !entry.contains('/')) {
      // A bare address is the range of that one address.
      const QHostAddress address(entry);
      if (!address.isNull())
        range = {address, address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128};
    }
    if (range.first.isNull()) {
      error = "\"" + entry.toStdString() + "\" is not an address range (like 203.0.113.0/24 or 2001:db8::/32)";
      return std::nullopt;
    }
    ranges.push_back(Unmapped(range));
  }
  return ranges;
}

std::string AddressRangesText(const std::vector<AddressRange>& ranges) {
  std::string text;
  for (const AddressRange& range : ranges) text += (text.empty() ? "" : ", ") + RangeText(range);
  return text;
}

bool IsLocalNetworkAddress(const QHostAddress& address) {
  return FindRange(LocalNetworkRanges(), Unmapped(address)) != nullptr;
}

AccessDecision DecideAccess(const AccessPolicy& policy, std::string_view peer) {
  QHostAddress address(QString::fromUtf8(peer.data(), static_cast<qsizetype>(peer.size())));
  if (address.isNull()) return {AccessVerdict::Unreadable, {}};
  address = Unmapped(address);
  if (const AddressRange* range = FindRange(policy.deny, address)) return {AccessVerdict::Denied, *range};
  if (policy.admitAny) return {AccessVerdict::AnyAddress, {}};
  if (const AddressRange* range = FindRange(LocalNetworkRanges(), address))
    return {AccessVerdict::LocalNetwork, *range};
  if (const AddressRange* range = FindRange(policy.allow, address)) return {AccessVerdict::Allowed, *range};
  return {AccessVerdict::NotLocal, {}};
}

std::string DescribeAccessPolicy(const AccessPolicy& policy) {
  std::string text;
  if (policy.admitAny) {
    text = "any address";
  } else if (policy.allow.empty()) {
    text = "local network only";
  } else {
    text = "local network and " + AddressRangesText(policy.allow);
  }
  if (!policy.deny.empty()) text += ", except " + AddressRangesText(policy.deny);
  return text;
}

std::string RefusalLogLine(std::string_view peer, const AccessDecision& decision) {
  const std::string who = "Refused a connection from " + std::string(peer) + ": ";
  switch (decision.verdict) {
    case AccessVerdict::Denied:
      return who + "in the deny list (" + RangeText(decision.range) + "); take it out of " + kDenyFlag + " / " +
             kDenyKey + " to admit it";
    case AccessVerdict::NotLocal:
      return who + "not on the local network; " + kAllowFlag + " " + std::string(peer) + " (settings key " +
             kAllowKey + ") or " + kAdmitAnyFlag + " (" + kAdmitAnyKey + "=1) admits it";
    case AccessVerdict::Unreadable: return who + "its address could not be read";
    case AccessVerdict::LocalNetwork:
    case AccessVerdict::Allowed:
    case AccessVerdict::AnyAddress: break;
  }
  return who + "admitted";
}

}  // namespace parlivo
