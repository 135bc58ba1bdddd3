#pragma once

// Asks for the hardware address of an IPv4 neighbour (RFC 826): the address in network byte
// order in, up to six bytes and their count out, 0 on success or one of the codes below.
//
// Two ways, one of them chosen once for the process (tests and tools make resolvers of
// either):
//  - Raw (StartArpHelper succeeded at start): the helper program quenzor-arp, the only part
//    that may hold cap_net_raw, sends ARP requests of its own on the adapter that routes to
//    the address, from that adapter's own address, in rounds spread over three seconds (to the
//    broadcast address and to the MACs known to have held the address), and checks every
//    reply. A call returns with the first MAC that answers, or with no answer after 900 ms;
//    what is heard after that (a late first answer, further stations answering for the same
//    address) goes to the resolver's listeners. One dispatcher thread hands out the helper's
//    messages. The route lookup stays here. When the helper is gone, calls ask the kernel.
//  - Kernel (no capability): one UDP datagram to the discard port (9) makes the kernel
//    resolve the neighbour; its neighbour table is then polled over rtnetlink until the entry
//    has a link-layer address or the deadline has passed.
// Either way an address that is not on-link (reached through a gateway, or not routed at
// all) has no answer, and an address of this machine answers with its adapter's own MAC.
//
// Safe for many concurrent callers. A call holds a netlink socket for its route lookup (and,
// in kernel mode, for its polls and a UDP socket); the number of calls holding descriptors at
// once is bounded by the process's file descriptor limit, callers beyond it wait for a slot.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace netinfo {

inline constexpr uint32_t kArpNoError = 0;
inline constexpr uint32_t kArpGenFailure = 31;  // a socket could not be made, or no raw helper
inline constexpr uint32_t kArpNoAnswer = 67;    // nobody answered
inline constexpr uint32_t kArpInvalidParameter = 87;
inline constexpr uint32_t kArpBufferOverflow = 111;  // *length is below the address length

enum class TArpMode { Raw, Kernel };

// How long raw mode still hears answers for an address after its first who-has.
inline constexpr int64_t kArpListenMs = 3000;

using TMacBytes = std::array<uint8_t, 6>;
// MACs that held an address before (from the device history or an earlier pass), most recent
// first. Raw mode also asks each of them by a who-has sent to it; at most four are used.
using TKnownMacs = std::vector<TMacBytes>;

// A station heard answering for an address after the call that asked had returned: the first
// answer coming late, or a further MAC answering for the same address.
struct TArpHeard {
  uint32_t Address = 0;  // network byte order
  bool Closed = false;   // no MAC: the request's window ended; Count is final
  TMacBytes Mac{};       // the MAC heard (unless Closed)
  TMacBytes FirstMac{};  // the first MAC that answered that request (Mac itself for the first)
  uint16_t Count = 0;    // different MACs that answered that request so far
  bool Late = false;     // the caller had been told that nobody answered
};
using THeardCallback = std::function<void(const TArpHeard&)>;

class THeardHub;

// A listener hooked to a resolver: unhooks it when destroyed, after a call in progress has
// returned. Empty (hooks nothing) for a resolver that hears nothing late.
class TArpListening {
 public:
  TArpListening() = default;
  TArpListening(std::shared_ptr<THeardHub> hub, uint64_t id) : m_hub(std::move(hub)), m_id(id) {}
  TArpListening(TArpListening&& other) noexcept { *this = std::move(other); }
  TArpListening& operator=(TArpListening&& other) noexcept;
  TArpListening(const TArpListening&) = delete;
  TArpListening& operator=(const TArpListening&) = delete;
  ~TArpListening() { Reset(); }
  void Reset();
  bool Active() const { return m_hub != nullptr; }

 private:
  std::shared_ptr<THeardHub> m_hub;
  uint64_t m_id = 0;
};

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
  // The contract of SendArp below (6-argument form); raw mode also asks the known MACs one
  // by one. The kernel asks in its own way and ignores them.
  virtual uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac,
                           uint32_t* length, uint8_t* otherMac, uint32_t* otherLength,
                           const TKnownMacs& known) = 0;
  uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                   uint8_t* otherMac, uint32_t* otherLength) {
    return SendArp(destAddress, sourceAddress, mac, length, otherMac, otherLength, {});
  }
  // Calls heard, on the resolver's own thread, for every station heard after its caller had
  // returned, until the result is destroyed. heard must not block for long, nor hook or unhook
  // listeners. The kernel's resolution hears nothing late: empty.
  virtual TArpListening Listen(THeardCallback heard) = 0;
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
// The same, with room for a second MAC that answered: *otherLength gives otherMac's room on
// the way in and is 0 on the way out. Raw mode tells further stations to the resolver's
// listeners instead, as they are heard.
uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                 uint8_t* otherMac, uint32_t* otherLength);

}  // namespace netinfo
