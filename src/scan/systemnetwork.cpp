#include "scan/systemnetwork.h"

#include "netinfo/ssdp.h"
#include "scan/webprobe.h"

#include <utility>

namespace scan {

uint32_t TSystemNetwork::AdapterList(int32_t& count, netinfo::TAdaptorRows& rows) {
  return netinfo::AdapterAddressList(count, rows);
}

bool TSystemNetwork::ArpHoldsDescriptors() { return m_arp.Mode() == netinfo::TArpMode::Kernel; }

uint32_t TSystemNetwork::SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac,
                                 uint32_t* length, uint8_t* otherMac, uint32_t* otherLength,
                                 const netinfo::TKnownMacs& known) {
  return m_arp.SendArp(destAddress, sourceAddress, mac, length, otherMac, otherLength, known);
}

netinfo::TArpListening TSystemNetwork::ListenToArp(netinfo::THeardCallback heard) {
  return m_arp.Listen(std::move(heard));
}

std::string TSystemNetwork::FetchPage(const std::string& url, const std::string& address,
                                      const support::TDeadline& deadline) {
  return scan::FetchPage(url, address, deadline);
}

std::unique_ptr<netinfo::TSsdpSearch> TSystemNetwork::StartSsdpSearch(
    std::vector<std::string> adapterAddresses) {
  return std::make_unique<netinfo::TSsdpSearch>(std::move(adapterAddresses));
}

TNameFindings TSystemNetwork::FindNames(const std::string& address, netinfo::TSsdpSearch* search,
                                        std::chrono::steady_clock::time_point deadline) {
  return scan::FindNames(address, search, deadline);
}

bool TSystemNetwork::StartThread(std::unique_ptr<platform::TThread> thread) {
  return platform::StartThread(std::move(thread));
}

}  // namespace scan
