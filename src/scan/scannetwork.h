#pragma once

#include "netinfo/adapters.h"
#include "netinfo/arp.h"
#include "platform/thread.h"
#include "scan/namestep.h"
#include "support/deadline.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace netinfo {
class TSsdpSearch;
}

namespace scan {

// What a scan pass needs from the system: the adapter list, ARP, the web page fetch, the name
// lookup and the worker threads. The driver and its workers reach the network and start
// threads only through this, so a pass over a fake sends nothing on any network. The driver
// calls AdapterList, ArpHoldsDescriptors, StartSsdpSearch and ListenToArp on the main thread;
// workers call SendArp, FetchPage and FindNames, many at once.
class TScanNetwork {
 public:
  virtual ~TScanNetwork() = default;

  // As netinfo::AdapterAddressList: the adapters with their addresses; may throw.
  virtual uint32_t AdapterList(int32_t& count, netinfo::TAdaptorRows& rows) = 0;

  // True when every ARP request holds descriptors of its own while it waits (kernel neighbour
  // resolution), so a pass of many workers needs room for them.
  virtual bool ArpHoldsDescriptors() = 0;

  // As netinfo::TArpResolver::SendArp: 0 and the MAC (and a second MAC that answered,
  // *otherLength 6) when the host at destAddress (network byte order) answered, an error code
  // otherwise. known: MACs that held the address before, asked one by one where the way of
  // asking can.
  virtual uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac,
                           uint32_t* length, uint8_t* otherMac, uint32_t* otherLength,
                           const netinfo::TKnownMacs& known) = 0;

  // As netinfo::TArpResolver::Listen: stations heard answering after the SendArp that asked
  // had returned (a late answer, a further MAC for the same address), on a thread of the
  // network's own, until the result is destroyed. Empty when nothing is heard late.
  virtual netinfo::TArpListening ListenToArp(netinfo::THeardCallback heard) = 0;

  // As scan::FetchPage: the page at url, empty when nothing was obtained.
  virtual std::string FetchPage(const std::string& url, const std::string& address,
                                const support::TDeadline& deadline) = 0;

  // The UPnP search of a pass with names, one from each adapter address; null for none. It
  // sends on the network, which is why it belongs here rather than to the driver.
  virtual std::unique_ptr<netinfo::TSsdpSearch> StartSsdpSearch(
      std::vector<std::string> adapterAddresses) = 0;

  // As scan::FindNames, with the pass's UPnP search (may be null).
  virtual TNameFindings FindNames(const std::string& address, netinfo::TSsdpSearch* search,
                                  std::chrono::steady_clock::time_point deadline) = 0;

  // As platform::StartThread: false when the thread could not be started; the thread object
  // has then been destroyed and its end handler does not run.
  virtual bool StartThread(std::unique_ptr<platform::TThread> thread) = 0;
};

}  // namespace scan
