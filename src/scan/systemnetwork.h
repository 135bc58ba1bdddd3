#pragma once

#include "netinfo/arp.h"
#include "scan/scannetwork.h"

namespace scan {

// The scan's view of the real system: netinfo's adapter list, ARP and SSDP, the web page probe,
// the name step and platform threads. Holds no state of its own, so one may serve any number
// of drivers at once.
class TSystemNetwork final : public TScanNetwork {
 public:
  uint32_t AdapterList(int32_t& count, netinfo::TAdaptorRows& rows) override;
  bool ArpHoldsDescriptors() override;
  uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                   uint8_t* otherMac, uint32_t* otherLength) override;
  std::string FetchPage(const std::string& url, const std::string& address,
                        const support::TDeadline& deadline) override;
  std::unique_ptr<netinfo::TSsdpSearch> StartSsdpSearch(
      std::vector<std::string> adapterAddresses) override;
  TNameFindings FindNames(const std::string& address, netinfo::TSsdpSearch* search,
                          std::chrono::steady_clock::time_point deadline) override;
  bool StartThread(std::unique_ptr<platform::TThread> thread) override;

 private:
  // The one place that asks netinfo how it resolves MACs and sends the requests.
  static netinfo::TArpMode ArpMode();
  static uint32_t Arp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                      uint8_t* otherMac, uint32_t* otherLength);
};

}  // namespace scan
