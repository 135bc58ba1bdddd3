#pragma once

// Asks for the hardware address of an IPv4 neighbour (RFC 826): the address in network byte
// order in, up to six bytes and their count out, 0 on success or one of the codes below.
//
// Two ways, one of them chosen once for the process (tests and tools make resolvers of
// either):
//  - Raw (StartArpHelper succeeded at start): the helper program quenzor-arp, the only part
//    that may hold cap_net_raw, sends ARP requests of its own on the adapter that routes to
//    the address, from that adapter's own address, every 250 ms within 900 ms, and checks
//    every reply; one dispatcher thread hands each of its answers to the caller waiting for
//    it. The route lookup stays here. When the helper is gone, calls ask the kernel.
//  - Kernel (no capability): one UDP datagram to the discard port (9) makes the kernel
//    resolve the neighbour; its neighbour table is then polled over rtnetlink until the entry
//    has a link-layer address or the deadline has passed.
// Either way an address that is not on-link (reached through a gateway, or not routed at
// all) has no answer, and an address of this machine answers with its adapter's own MAC.
//
// Safe for many concurrent callers. A call holds a netlink socket for its route lookup (and,
// in kernel mode, for its polls and a UDP socket); the number of calls holding descriptors at
// once is bounded by the process's file descriptor limit, callers beyond it wait for a slot.

#include <cstdint>
#include <memory>
#include <string>

namespace netinfo {

inline constexpr uint32_t kArpNoError = 0;
inline constexpr uint32_t kArpGenFailure = 31;  // a socket could not be made, or no raw helper
inline constexpr uint32_t kArpNoAnswer = 67;    // nobody answered
inline constexpr uint32_t kArpInvalidParameter = 87;
inline constexpr uint32_t kArpBufferOverflow = 111;  // *length is below the address length

enum class TArpMode { Raw, Kernel };

// Starts the raw-ARP helper in the caller's network namespace, from path or, when empty,
// from QZ_ARP_HELPER_RELATIVE/quenzor-arp beside the program's own executable: an empty
// environment, its end of a socket pair alone. Returns whether it holds its packet socket
// (false: missing, not startable, or without cap_net_raw). main calls it first thing, while
// the process has one thread; it touches neither Qt nor logging.
bool StartArpHelper(const std::string& path = {});

// One way of asking for neighbours' MACs (raw through the helper program, or the kernel).
class TArpResolver {
 public:
  virtual ~TArpResolver() = default;
  virtual TArpMode Mode() const = 0;
  // The contract of SendArp below (6-argument form).
  virtual uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac,
                           uint32_t* length, uint8_t* otherMac, uint32_t* otherLength) = 0;
};

// The resolver start-up chose: raw when StartArpHelper succeeded (the kernel's table once that
// helper is gone), else kernel. Lives for the whole process.
TArpResolver& ProcessArpResolver();

// A resolver of a given mode for tests and tools. Raw starts its own helper from helperPath
// (default: beside the executable, as StartArpHelper) in the calling thread's network
// namespace (needs cap_net_raw), serves callers in that namespace only, and ends the helper
// when the object is destroyed, which must wait until its calls have returned. If the helper
// cannot start, its calls fail with kArpGenFailure.
std::unique_ptr<TArpResolver> MakeArpResolver(TArpMode mode, const std::string& helperPath = {});

// The process resolver's mode: raw when StartArpHelper succeeded and the helper still serves.
TArpMode CurrentArpMode();

// Through the process resolver. destAddress and sourceAddress as inet_addr gives them;
// sourceAddress 0 lets the routing table choose. mac receives up to *length bytes; on success
// *length is the number written.
uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length);
// The same, and when a second station answered with a different MAC (raw mode sees that),
// that MAC in otherMac: *otherLength gives otherMac's room on the way in (six bytes needed),
// and is 6 on the way out when a second MAC was written, else 0.
uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                 uint8_t* otherMac, uint32_t* otherLength);

}  // namespace netinfo
