#pragma once

// Asks for the hardware address of an IPv4 neighbour (RFC 826), with the contract of the
// IP helper's SendARP: the address in network byte order, up to six bytes and their count
// out, 0 on success.
//
// Two ways, chosen once per process (or forced by tests):
//  - Raw (OpenArpSocket succeeded at start): ARP requests of our own through one AF_PACKET
//    socket that serves every adapter, sent on the adapter that routes to the address, from
//    that adapter's own address, every 250 ms within about a second; a receiver thread hands
//    the first reply from the address, on that adapter, to the caller waiting for it.
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
#include <optional>

namespace netinfo {

inline constexpr uint32_t kArpNoError = 0;
inline constexpr uint32_t kArpGenFailure = 31;  // a socket could not be made
inline constexpr uint32_t kArpNoAnswer = 67;    // ERROR_BAD_NET_NAME: nobody answered
inline constexpr uint32_t kArpInvalidParameter = 87;
inline constexpr uint32_t kArpBufferOverflow = 111;  // *length is below the address length

enum class TArpMode { Raw, Kernel };

// Opens the packet socket of raw mode in the caller's network namespace. It needs
// CAP_NET_RAW: the program calls it first thing in main and then drops every capability.
// Returns whether raw mode is available.
bool OpenArpSocket();

// Raw when OpenArpSocket succeeded, unless forced.
TArpMode CurrentArpMode();
// Tests: force a mode (raw opens a socket in the calling thread's namespace on demand, which
// needs the capability), or std::nullopt to go back to what start-up found and close the
// sockets opened on demand.
void ForceArpMode(std::optional<TArpMode> mode);

// destAddress and sourceAddress as inet_addr gives them; sourceAddress 0 lets the routing
// table choose. mac receives up to *length bytes; on success *length is the number written.
uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length);

}  // namespace netinfo
