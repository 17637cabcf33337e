#pragma once
// WellBehavedClients: the --clients clients whose experience the run
// measures. They connect --connect-batch at a time, register (and the
// answers are counted), then read every relayed text; the first --senders
// of them also send (text_senders.h). A client counts a text when its
// sequence number is past the last one it saw from that sender (the relay
// keeps each sender's order); the sender's own copy gives the latency.
// A client cut off while chatting is counted and the others go on.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flow_accounting.h"
#include "role.h"
#include "text_senders.h"

namespace parlivo::bench {

class WellBehavedClients : public Role {
 public:
  // `marker` ("pb RUN ") starts every text of this run.
  WellBehavedClients(const BenchOptions& options, RunState& run, ClientPool& pool, std::string marker);

  void AddClients() override;
  // Times out clients not greeted in time and starts connecting the next
  // ones while fewer than a batch are under way.
  void Connect();
  bool AllConnected() const { return connected_ >= count_; }
  void Register();
  bool AllAnswered() const { return answered_ >= count_; }
  std::uint32_t answered() const { return answered_; }
  std::uint32_t registered() const { return registered_; }
  std::uint32_t connected() const { return connected_; }
  std::uint32_t cutOff() const { return connectionsLost_; }
  // The chat starts at `at`: the senders send, everybody counts.
  void StartChatting(Clock::time_point at);
  TextSenders& senders() { return senders_; }
  const TextSenders& senders() const { return senders_; }
  std::uint64_t deliveries() const { return deliveries_; }
  // When bytes last arrived at any of these clients.
  Clock::time_point lastArrival() const { return lastArrival_; }
  // Every sender still connected has all its texts out (or sending is
  // over), so that nothing more is to be sent.
  bool SendersDone() const;
  // Every text sent was accepted and reached every client still reading.
  bool AllDelivered() const;

  bool Reads(PoolClient& client) override;
  bool MayWrite(const PoolClient& client) const override;
  void OnPacket(PoolClient& client, const ReceivedPacket& packet) override;
  void ConnectFailed(PoolClient& client, const std::string& reason) override;
  void Report(BenchReport& report, Clock::time_point now) override;
  void Judge(BenchReport& report) const override;

 protected:
  void OnLost(PoolClient& client, const std::string& reason) override;
  bool Flushed(PoolClient& client) override;
  std::size_t ReadLimit(PoolClient& client) override;
  void Arrived(PoolClient& client, std::uint64_t bytes) override;
  void AfterPackets(PoolClient& client) override;

 private:
  // What a client has read: the next sequence number expected from each
  // sender, how many texts arrived from each, and the texts it skipped. A
  // sender's own nextSeq entry tells which of its texts were accepted.
  struct Reader {
    std::vector<std::uint32_t> nextSeq;
    std::vector<std::uint32_t> received;
    std::vector<SkippedTexts> skipped;
    std::optional<ReadBudget> readBudget;  // with --read-rate
  };

  void HandleChat(PoolClient& client, const std::string& payload);
  // Sent, accepted and lost texts so far (see DeliveryTally).
  DeliveryTally Tally() const;

  std::string marker_;
  TextSenders senders_;
  std::vector<Reader> readers_;
  std::size_t nextToConnect_ = 0;
  std::size_t inFlight_ = 0;  // connecting or waiting for the greeting
  std::uint32_t connected_ = 0;
  std::uint32_t answered_ = 0;
  std::uint32_t registered_ = 0;
  std::uint32_t nameInUse_ = 0;
  std::uint32_t accessDenied_ = 0;
  std::uint32_t connectionsLost_ = 0;
  std::string firstLoss_;  // why the first one was cut off
  std::uint64_t deliveries_ = 0;
  // Deliveries to clients not cut off (deliveries_ counts all).
  std::uint64_t keptDeliveries_ = 0;
  std::uint64_t outOfOrder_ = 0;
  Clock::time_point sendStart_;
  Clock::time_point lastDelivery_;
  Clock::time_point lastArrival_;
};

}  // namespace parlivo::bench
