#pragma once

#include "netinfo/adapters.h"
#include "scan/scannetwork.h"

#include "common/countingnetwork.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace scantest {

struct TFakeAnswer {
  std::vector<uint8_t> mac;
  std::vector<uint8_t> otherMac = {};  // a second station that answered too
};

// An adapter list, ARP answers and thread starts that a test sets up, with a record of what a
// pass asked: a pass over it sends nothing on any network. Pages and names are never found and
// a pass with names gets no UPnP search. Setters are for while no pass runs.
class TFakeNetwork final : public scan::TScanNetwork {
 public:
  // One adapter with these (address, mask) pairs.
  void SetAdapters(const std::vector<std::pair<std::string, std::string>>& addressesAndMasks);
  // ARP answers by dotted address; every request takes delayMs first.
  void SetAnswers(const std::map<std::string, TFakeAnswer>& answers, int delayMs);
  // While held, ARP requests wait (after their delay) until the requests are released.
  void HoldRequests();
  void ReleaseRequests();
  // Refuses every n-th thread start of the fake's life (0: none), as a failed start does.
  void RefuseEveryNthThread(int n);

  std::vector<std::string> ProbedAddresses() const;  // in the order of the ARP requests
  // Threads started and refused, and the most ARP requests under way at once.
  scan::TWorkerCounts& Counts() { return m_counts; }

  uint32_t AdapterList(int32_t& count, netinfo::TAdaptorRows& rows) override;
  bool ArpHoldsDescriptors() override { return false; }
  uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                   uint8_t* otherMac, uint32_t* otherLength,
                   const netinfo::TKnownMacs& known) override;
  netinfo::TArpListening ListenToArp(netinfo::THeardCallback heard) override;
  // Tells the listener (if one is hooked) of a station heard late, as a raw resolver does.
  void Hear(const std::string& address, const std::string& mac, const std::string& firstMac = {});
  // The known MACs each address was asked with, by dotted address (the last ask's).
  std::map<std::string, netinfo::TKnownMacs> KnownAsked() const;
  std::string FetchPage(const std::string&, const std::string&,
                        const support::TDeadline&) override {
    return {};
  }
  std::unique_ptr<netinfo::TSsdpSearch> StartSsdpSearch(std::vector<std::string>) override;
  scan::TNameFindings FindNames(const std::string&, netinfo::TSsdpSearch*,
                                std::chrono::steady_clock::time_point) override {
    return {};
  }
  bool StartThread(std::unique_ptr<platform::TThread> thread) override;

 private:
  bool Answer(const std::string& address, TFakeAnswer& answer);

  mutable std::mutex m_mutex;
  std::condition_variable m_released;
  netinfo::TAdaptorRows m_rows;
  std::map<std::string, TFakeAnswer> m_answers;
  int m_delayMs = 0;
  bool m_held = false;
  int m_refuseEvery = 0;
  int m_starts = 0;
  std::vector<std::string> m_probed;
  std::map<std::string, netinfo::TKnownMacs> m_knownAsked;
  netinfo::THeardCallback m_heard;
  scan::TWorkerCounts m_counts;
};

}  // namespace scantest
