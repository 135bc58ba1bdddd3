#pragma once

// Asks for the hardware address of an IPv4 neighbour (RFC 826), with the contract of the
// IP helper's SendARP: the address in network byte order, up to six bytes and their count
// out, 0 on success.
//
// Two ways, chosen once per process (or forced by tests):
//  - Raw (the process has CAP_NET_RAW): ARP requests of our own on an AF_PACKET socket of
//    the interface that routes to the address, sent from that interface's own address and
//    repeated a few times within about a second; the first reply whose sender is the
//    address answers.
//  - Kernel (a normal user): one UDP datagram to the discard port (9) makes the kernel
//    resolve the neighbour; its neighbour table is then polled over rtnetlink until the entry
//    has a link-layer address or about a second has passed.
// Either way an address that is not on-link (reached through a gateway, or not routed at
// all) has no answer, and an address of this machine answers with its adapter's own MAC.
//
// Safe for many concurrent callers: each call has its own sockets, and the number of calls
// in flight at once is bounded by the process's file descriptor limit (callers beyond it wait
// for a free slot before their second starts).

#include <cstdint>
#include <optional>

namespace netinfo {

inline constexpr uint32_t kArpNoError = 0;
inline constexpr uint32_t kArpGenFailure = 31;        // a socket could not be made
inline constexpr uint32_t kArpNoAnswer = 67;          // ERROR_BAD_NET_NAME: nobody answered
inline constexpr uint32_t kArpInvalidParameter = 87;
inline constexpr uint32_t kArpBufferOverflow = 111;   // *length is below the address length

enum class TArpMode { Raw, Kernel };

// Raw when the process has CAP_NET_RAW in its effective set (checked once), unless forced.
TArpMode CurrentArpMode();
// Tests: force a mode, or std::nullopt to go back to the capability check.
void ForceArpMode(std::optional<TArpMode> mode);

// destAddress and sourceAddress as inet_addr gives them; sourceAddress 0 lets the routing
// table choose. mac receives up to *length bytes; on success *length is the number written.
uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length);

}  // namespace netinfo
