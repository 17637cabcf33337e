#pragma once
// A ServiceAdvertiser that records what the form asks of it; a test plays
// the responder's answers through its callbacks.

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/service_advertiser.h"

namespace parlivo::testing {

struct FakeAdvertiser final : ServiceAdvertiser {
  struct Announcement {
    std::string name;
    std::uint16_t port = 0;
    bool operator==(const Announcement&) const = default;
  };
  std::vector<Announcement> advertised;  // every Advertise call
  int withdrawals = 0;                    // Withdraw calls while announced
  bool announced = false;

  void Advertise(const std::string& name, std::uint16_t port, std::uint16_t = 0) override {
    advertised.push_back({name, port});
    announced = true;
  }
  void Withdraw() override {
    if (announced) ++withdrawals;
    announced = false;
  }
};

}  // namespace parlivo::testing
