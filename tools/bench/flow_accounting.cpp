#include "flow_accounting.h"

#include <algorithm>

#include "client/client_packets.h"
#include "encoding/text_codec.h"
#include "transport/packet_ids.h"

namespace parlivo::bench {

void SendLedger::Offered(std::uint64_t endOffset) {
  ++offered_;
  unsentEnds_.push_back(endOffset);
}

void SendLedger::Written(std::uint64_t written) {
  while (!unsentEnds_.empty() && unsentEnds_.front() <= written) {
    unsentEnds_.pop_front();
    ++sent_;
  }
}

void HoldClock::Observe(bool held, FlowClock::time_point now) {
  if (held == held_) return;
  if (held) {
    since_ = now;
    everHeld_ = true;
  } else {
    total_ += now - since_;
  }
  held_ = held;
}

FlowClock::duration HoldClock::Total(FlowClock::time_point now) const {
  return held_ ? total_ + (now - since_) : total_;
}

ReadBudget::ReadBudget(double bytesPerSecond, FlowClock::time_point start)
    : rate_(bytesPerSecond), capacity_(std::max(64.0 * 1024, bytesPerSecond / 10)), tokens_(capacity_), last_(start) {}

std::size_t ReadBudget::Available(FlowClock::time_point now) {
  if (now > last_) {
    tokens_ = std::min(capacity_, tokens_ + rate_ * std::chrono::duration<double>(now - last_).count());
    last_ = now;
  }
  return static_cast<std::size_t>(tokens_);
}

void ReadBudget::Spend(std::size_t bytes) { tokens_ = std::max(0.0, tokens_ - static_cast<double>(bytes)); }

std::uint64_t MissingDeliveries(const std::vector<std::uint32_t>& acceptedBySender,
                                const std::vector<std::uint32_t>& nextFromSender,
                                const std::vector<SkippedTexts>& skipped) {
  std::uint64_t missing = 0;
  for (std::size_t s = 0; s < acceptedBySender.size(); ++s) {
    const std::uint32_t next = s < nextFromSender.size() ? nextFromSender[s] : 0;
    if (acceptedBySender[s] > next) missing += acceptedBySender[s] - next;
  }
  for (const SkippedTexts& gap : skipped) {
    if (gap.sender >= acceptedBySender.size()) continue;
    const std::uint32_t to = std::min(gap.to, acceptedBySender[gap.sender]);
    if (to > gap.from) missing += to - gap.from;
  }
  return missing;
}

void DeliveryTally::AddSender(std::uint64_t sent, std::uint32_t echoedUpTo) {
  const auto accepted = static_cast<std::uint32_t>(std::min<std::uint64_t>(sent, echoedUpTo));
  acceptedBySender_.push_back(accepted);
  sent_ += sent;
  accepted_ += accepted;
}

void DeliveryTally::AddReader(const std::vector<std::uint32_t>& nextFromSender,
                              const std::vector<SkippedTexts>& skipped) {
  ++readers_;
  lost_ += MissingDeliveries(acceptedBySender_, nextFromSender, skipped);
}

PacketStream PacketStream::ChatText(std::string_view marker, std::uint32_t textBytes) {
  // The marker, padded to whole groups, is encoded once; every later group
  // is "xxxx", whose symbols are the same each time.
  std::string start(marker);
  start.resize((start.size() + kTextBytesPerGroup - 1) / kTextBytesPerGroup * kTextBytesPerGroup, 'x');
  const std::uint64_t total =
      std::max<std::uint64_t>(start.size(), (std::uint64_t{textBytes} + kTextBytesPerGroup - 1) / kTextBytesPerGroup *
                                                kTextBytesPerGroup);
  const std::uint64_t symbols = total / kTextBytesPerGroup * kSymbolsPerGroup;
  PacketStream stream;
  stream.packetSize_ = 8 + symbols;
  stream.head_ = BuildHeader(static_cast<std::int32_t>(stream.packetSize_), pidMessage) + EncodeText(start);
  stream.group_ = EncodeText(std::string(kTextBytesPerGroup, 'x'));
  stream.stopAt_ = stream.packetSize_;
  return stream;
}

PacketStream PacketStream::HalfBody(std::uint32_t packetSize) {
  PacketStream stream;
  stream.packetSize_ = packetSize;
  stream.head_ = BuildHeader(static_cast<std::int32_t>(packetSize), pidMessage);
  stream.group_ = EncodeText(std::string(kTextBytesPerGroup, 'x'));
  stream.stopAt_ = 8 + (std::uint64_t{packetSize} - 8) / 2;
  return stream;
}

std::string PacketStream::Next(std::size_t most) {
  std::string piece;
  const std::uint64_t end = std::min<std::uint64_t>(stopAt_, produced_ + most);
  piece.reserve(static_cast<std::size_t>(end - produced_));
  while (produced_ < end) {
    if (produced_ < head_.size()) {
      const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(head_.size() - produced_, end - produced_));
      piece.append(head_, static_cast<std::size_t>(produced_), take);
      produced_ += take;
      continue;
    }
    const auto at = static_cast<std::size_t>((produced_ - head_.size()) % group_.size());
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(group_.size() - at, end - produced_));
    piece.append(group_, at, take);
    produced_ += take;
  }
  return piece;
}

}  // namespace parlivo::bench
