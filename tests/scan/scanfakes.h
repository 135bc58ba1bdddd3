#pragma once

#include "netinfo/adapters.h"
#include "scan/scandriver.h"

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
  std::vector<uint8_t> otherMac = {};  // a second station that answered too
};

void SetFakeAdapters(const std::vector<std::pair<std::string, std::string>>& addressesAndMasks);
void SetFakeAnswers(const std::map<std::string, TFakeAnswer>& answers, int delayMs);
std::vector<std::string> ProbedAddresses();  // in the order of the ARP requests

// Clears the fakes and makes the driver's passes use them.
void UseFakeNetwork(scan::TScanDriver& driver);

}  // namespace scantest
