#pragma once

#include "netinfo/adapters.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace scantest {

// An adapter list and ARP answers that a test sets up: passes that use them send nothing on
// any network.
struct TFakeAnswer {
  std::vector<uint8_t> mac;
};

void SetFakeAdapters(const std::vector<std::pair<std::string, std::string>>& addressesAndMasks);
void SetFakeAnswers(const std::map<std::string, TFakeAnswer>& answers, int delayMs);
std::vector<std::string> ProbedAddresses();  // in the order of the ARP requests

// Installs the fakes for its lifetime.
class TFakeNetwork {
 public:
  TFakeNetwork();
  ~TFakeNetwork();
  TFakeNetwork(const TFakeNetwork&) = delete;
  TFakeNetwork& operator=(const TFakeNetwork&) = delete;
};

}  // namespace scantest
