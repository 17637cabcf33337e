#pragma once
// A ServiceBrowser whose reports the test makes.

#include "discovery/service_browser.h"

namespace parlivo::testing {

struct FakeBrowser final : ServiceBrowser {
  int starts = 0;
  void Start() override { ++starts; }
  void Stop() override {}
};

}  // namespace parlivo::testing
