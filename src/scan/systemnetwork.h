#pragma once

#include "netinfo/arp.h"
#include "scan/scannetwork.h"

namespace scan {

// The scan's view of the real system: netinfo's adapter list, ARP and SSDP, the web page probe,
// the name step and platform threads. ARP goes through the resolver it is given (the one
// start-up chose, unless a test or tool hands it another); apart from that reference it holds no
// state, so one may serve any number of drivers at once. The resolver outlives it.
class TSystemNetwork final : public TScanNetwork {
 public:
  explicit TSystemNetwork(netinfo::TArpResolver& arp = netinfo::ProcessArpResolver())
      : m_arp(arp) {}

  uint32_t AdapterList(int32_t& count, netinfo::TAdaptorRows& rows) override;
  bool ArpHoldsDescriptors() override;
  uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                   uint8_t* otherMac, uint32_t* otherLength,
                   const netinfo::TKnownMacs& known) override;
  netinfo::TArpListening ListenToArp(netinfo::THeardCallback heard) override;
  std::string FetchPage(const std::string& url, const std::string& address,
                        const support::TDeadline& deadline) override;
  std::unique_ptr<netinfo::TSsdpSearch> StartSsdpSearch(
      std::vector<std::string> adapterAddresses) override;
  TNameFindings FindNames(const std::string& address, netinfo::TSsdpSearch* search,
                          std::chrono::steady_clock::time_point deadline) override;
  bool StartThread(std::unique_ptr<platform::TThread> thread) override;

 private:
  netinfo::TArpResolver& m_arp;
};

}  // namespace scan
