#pragma once

// The messages between quenZOR and its raw-ARP helper (quenzor-arp), over a SOCK_SEQPACKET
// socket pair: one message per datagram, each of one fixed size, in host byte order (both
// ends are the same machine). Addresses are in network byte order, as inet_addr gives them.
//
// A request asks which stations answer for one address on one adapter. The helper listens for
// them for kListenMs from its first who-has and says each one as it comes:
//  - Answered, once per answering MAC (up to kKeptMacs of them), the first at once; each
//    carries the first MAC that answered and how many different MACs have answered so far;
//  - NoAnswer at kFirstAnswerMs when nobody has answered by then. The request still listens:
//    an Answered that follows it carries kLate;
//  - Closed at the end of the window, only when more MACs answered than were said one by one;
//    its count is the number of different MACs.
// Every message names the request's id, adapter and address, so an answer whose asker has gone
// can still be placed. A refusal (BadAdapter ... Busy) ends the request at once.
//
// libc only: the helper includes it as well as the program.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace arpwire {

inline constexpr uint32_t kMagic = 0x515A4150;  // "QZAP"
inline constexpr uint16_t kVersion = 2;
// The descriptor on which the helper finds its end of the socket pair.
inline constexpr int kChannelFd = 3;

// Timing of one request, from its first who-has.
inline constexpr int64_t kFirstAnswerMs = 900;  // NoAnswer goes out then, if nobody answered
inline constexpr int64_t kListenMs = 3000;      // answers count until then
// MACs a request may ask directly (a who-has sent to the MAC, besides the broadcast one).
inline constexpr size_t kMostKnownMacs = 4;
// Different MACs said one by one for a request; more are only counted.
inline constexpr uint16_t kKeptMacs = 8;

// A request: which MACs answer for target on the adapter ifIndex. knownMacs holds knownCount
// MACs that held the address before; each is asked by a who-has sent to it, since a station
// in power save may miss broadcasts but gets what is sent to it.
struct TRequest {
  uint32_t magic = kMagic;
  uint16_t version = kVersion;
  uint16_t knownCount = 0;  // 0 to kMostKnownMacs
  uint32_t id = 0;          // chosen by the asker, echoed in the answers; 0 is the hello's
  uint32_t ifIndex = 0;
  uint32_t target = 0;
  uint8_t knownMacs[kMostKnownMacs][6] = {};
  uint32_t reserved = 0;
};
static_assert(sizeof(TRequest) == 48);

enum class TStatus : uint16_t {
  Answered = 0,      // mac answered (firstMac is the request's first MAC, count how many so far)
  NoAnswer = 1,      // nobody answered within kFirstAnswerMs; the request still listens
  Ready = 2,         // the hello: the helper holds its packet socket and serves requests
  NoCapability = 3,  // the hello: no packet socket (no cap_net_raw); the helper ends
  BadAdapter = 4,    // ifIndex is not an up Ethernet adapter with an IPv4 address here
  OffNetwork = 5,    // target is outside the /24s of the adapter's IPv4 addresses
  Malformed = 6,     // wrong size, magic or version, or a known MAC that is not unicast; id
                     // is 0 when it could not be read
  RateLimited = 7,   // the frame budget is spent for now; nothing was sent
  Busy = 8,          // too many requests in flight
  InUse = 9,         // the hello: another helper already serves this network namespace; the
                     // helper ends
  Closed = 10,       // the window is over; count MACs answered, more than were said
};

// Flags of an answer.
inline constexpr uint16_t kLate = 1;  // an Answered after the request's NoAnswer

struct TAnswer {
  uint32_t magic = kMagic;
  uint16_t version = kVersion;
  uint16_t status = 0;  // a TStatus
  uint32_t id = 0;
  uint32_t ifIndex = 0;
  uint32_t target = 0;
  uint16_t flags = 0;
  uint16_t count = 0;  // different MACs that answered so far (saturates at 0xFFFF)
  uint8_t mac[6] = {};
  uint8_t firstMac[6] = {};
};
static_assert(sizeof(TAnswer) == 36);

// A MAC a station may answer from, or be asked at: not all zero, not multicast or broadcast
// (the group bit of the first byte).
inline bool IsUnicastMac(const uint8_t* mac) {
  if (mac[0] & 0x01) return false;
  for (int i = 0; i < 6; ++i) {
    if (mac[i] != 0) return true;
  }
  return false;
}

// A request exactly as it must be: the one size, the magic and the version, no zero id,
// ifindex or target, and known MACs that are unicast. Anything else is refused whole.
inline bool ParseRequest(const void* data, size_t size, TRequest& request) {
  if (size != sizeof(TRequest) || data == nullptr) return false;
  std::memcpy(&request, data, sizeof request);
  if (request.magic != kMagic || request.version != kVersion || request.reserved != 0 ||
      request.id == 0 || request.ifIndex == 0 || request.ifIndex > 0x7FFFFFFF ||
      request.target == 0 || request.knownCount > kMostKnownMacs) {
    return false;
  }
  for (uint16_t i = 0; i < request.knownCount; ++i) {
    if (!IsUnicastMac(request.knownMacs[i])) return false;
  }
  return true;
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

}  // namespace arpwire
