#pragma once

// The messages between quenZOR and its raw-ARP helper (quenzor-arp), over a SOCK_SEQPACKET
// socket pair: one message per datagram, each of one fixed size, in host byte order (both
// ends are the same machine). Addresses are in network byte order, as inet_addr gives them.
//
// libc only: the helper includes it as well as the program.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace arphelper {

inline constexpr uint32_t kMagic = 0x515A4150;  // "QZAP"
inline constexpr uint16_t kVersion = 1;
// The descriptor on which the helper finds its end of the socket pair.
inline constexpr int kChannelFd = 3;

// A request: which MAC answers for target on the adapter ifIndex.
struct TRequest {
  uint32_t magic = kMagic;
  uint16_t version = kVersion;
  uint16_t reserved = 0;
  uint32_t id = 0;  // chosen by the asker, echoed in the answer; 0 is the hello's
  uint32_t ifIndex = 0;
  uint32_t target = 0;
};
static_assert(sizeof(TRequest) == 20);

enum class TStatus : uint16_t {
  Answered = 0,      // mac holds the first MAC that answered; otherMac another one, if any
  NoAnswer = 1,      // nobody answered within the deadline
  Ready = 2,         // the hello: the helper holds its packet socket and serves requests
  NoCapability = 3,  // the hello: no packet socket (no cap_net_raw); the helper ends
  BadAdapter = 4,    // ifIndex is not an up Ethernet adapter with an IPv4 address here
  OffNetwork = 5,    // target is outside the /24s of the adapter's IPv4 addresses
  Malformed = 6,     // wrong size, magic or version; id is 0 when it could not be read
  RateLimited = 7,   // the frame budget is spent for now; nothing was sent
  Busy = 8,          // too many requests in flight
  InUse = 9,  // the hello: another helper already serves this network namespace; the helper ends
};

struct TAnswer {
  uint32_t magic = kMagic;
  uint16_t version = kVersion;
  uint16_t status = 0;  // a TStatus
  uint32_t id = 0;
  uint8_t mac[6] = {};
  uint8_t otherMac[6] = {};  // all zero when no second, different MAC answered
};
static_assert(sizeof(TAnswer) == 24);

// A request exactly as it must be: the one size, the magic and the version, and no zero id,
// ifindex or target. Anything else is refused whole.
inline bool ParseRequest(const void* data, size_t size, TRequest& request) {
  if (size != sizeof(TRequest) || data == nullptr) return false;
  std::memcpy(&request, data, sizeof request);
  return request.magic == kMagic && request.version == kVersion && request.reserved == 0 &&
         request.id != 0 && request.ifIndex != 0 && request.ifIndex <= 0x7FFFFFFF &&
         request.target != 0;
}

// The id of a message too broken to parse, when at least its id field is there: so that a
// client can still tell which of its requests was refused.
inline uint32_t IdOfMalformed(const void* data, size_t size) {
  if (data == nullptr || size < offsetof(TRequest, id) + sizeof(uint32_t)) return 0;
  uint32_t id = 0;
  std::memcpy(&id, static_cast<const uint8_t*>(data) + offsetof(TRequest, id), sizeof id);
  return id;
}

inline bool ParseAnswer(const void* data, size_t size, TAnswer& answer) {
  if (size != sizeof(TAnswer) || data == nullptr) return false;
  std::memcpy(&answer, data, sizeof answer);
  return answer.magic == kMagic && answer.version == kVersion;
}

}  // namespace arphelper
