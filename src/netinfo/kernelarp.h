#pragma once

// Within netinfo only: what the ARP resolvers share. The route and link lookups that decide
// where a request goes, the kernel's way of resolving (the neighbour table), and the bound on
// calls in flight that both ways keep.

#include "arpwire/netlink.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <semaphore>
#include <vector>

namespace netinfo {

constexpr size_t kMacSize = 6;

// ---- calls in flight ----

// Each call holds up to two descriptors (netlink, and a packet or UDP socket). Calls in
// flight are bounded so that a sweep of 1255 workers never runs the process out of them:
// with the common soft limit of 1024 that is 384 calls at once, 768 descriptors, leaving
// 256 to the rest of the program; the other workers wait for a slot.
constexpr std::ptrdiff_t kMostSlots = 4096;

class TSlot {
 public:
  TSlot() { Slots().acquire(); }
  ~TSlot() { Slots().release(); }
  TSlot(const TSlot&) = delete;
  TSlot& operator=(const TSlot&) = delete;

 private:
  static std::counting_semaphore<kMostSlots>& Slots();
};

// The answer a caller gets from a hardware address: kArpNoAnswer when there is none,
// kArpBufferOverflow when mac (of *length bytes) cannot hold it.
uint32_t Answer(const std::vector<uint8_t>& hardware, uint8_t* mac, uint32_t* length);

// Where a request for dest goes: the adapter, its MAC and the address to ask from, or the
// answer itself (an own address, nothing on-link). Holds a netlink socket only meanwhile.
struct TPath {
  std::optional<uint32_t> answer;  // set when the lookup already decided
  std::vector<uint8_t> ownMac;     // an own address: the adapter's MAC is the answer
  uint32_t ifIndex = 0;
  std::vector<uint8_t> linkMac;
  uint32_t sender = 0;
};

TPath FindPath(arpwire::TNetlink& netlink, uint32_t destAddress, uint32_t sourceAddress);

// The state of the kernel's neighbour entry for dest (NUD_NONE when it has none; -1 when the
// table could not be read) and its link-layer address.
int NeighbourState(arpwire::TNetlink& netlink, uint32_t ifIndex, uint32_t dest,
                   std::vector<uint8_t>& hardware);

// Resolves through the kernel's neighbour table; the arguments have been checked.
uint32_t KernelSendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac,
                       uint32_t* length);

}  // namespace netinfo
