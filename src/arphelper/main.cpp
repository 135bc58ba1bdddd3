// quenzor-arp: the one part of quenZOR that may hold cap_net_raw. quenZOR starts it with an
// empty environment and its end of a SOCK_SEQPACKET socket pair on descriptor 3. It opens one
// packet socket for ARP, gives up every capability, locks itself into a seccomp filter and
// then answers typed requests (request id, adapter, target address, MACs that held it before)
// until the pair closes: it builds each who-has frame itself from the adapter's own MAC and
// address (RFC 826), sends rounds of them spread over three seconds, to the broadcast address
// and to each known MAC, and says every MAC that answers as it comes. Whoever runs it directly
// gets nothing beyond ARP who-has requests on the local segment, at a capped rate.
//
// libc, libseccomp and the wire it shares with the program (src/arpwire) only: nothing here reads the
// environment or loads code.

#include "arpwire/protocol.h"
#include "arpwire/netlink.h"
#include "support/posix.h"

#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace arphelper {
namespace {

using arpwire::IdOfMalformed;
using arpwire::IsUnicastMac;
using arpwire::kChannelFd;
using arpwire::kFirstAnswerMs;
using arpwire::kKeptMacs;
using arpwire::kLate;
using arpwire::kListenMs;
using arpwire::kMagic;
using arpwire::kVersion;
using arpwire::ParseRequest;
using arpwire::TAnswer;
using arpwire::TNetlink;
using arpwire::TRequest;
using arpwire::TRtAttributes;
using arpwire::TStatus;
using support::RetryOnEintr;
using support::TUniqueFd;

// Frames sent: a bucket of 5120 that refills at 5120 a second. A first pass asks 1255
// addresses (five /24s) at once, and again in up to four later rounds spread over three
// seconds: 1255 frames in its first second, and about as many in each of the next three.
constexpr double kBucketSize = 5120;
constexpr double kRefillPerMs = 5.12;
// Requests waiting at once: more than a pass has, so that a full pass is never refused for
// this, and small enough to keep the helper's memory small (under 1 MB for the table).
constexpr size_t kMostPending = 8192;
// Adapter facts are read over rtnetlink and kept this long: a pass asks about one adapter
// hundreds of times within a second.
constexpr int64_t kAdapterCacheMs = 1000;
constexpr size_t kMostAdapters = 64;
constexpr size_t kMostAddresses = 64;  // IPv4 addresses of one adapter that are considered
constexpr int kMessagesPerRound = 64;  // requests or frames read before the other side's turn

struct TArpPacket {  // RFC 826 for Ethernet and IPv4, as on the wire
  uint16_t hardwareType;
  uint16_t protocolType;
  uint8_t hardwareLength;
  uint8_t protocolLength;
  uint16_t operation;
  uint8_t senderMac[6];
  uint8_t senderIp[4];
  uint8_t targetMac[6];
  uint8_t targetIp[4];
} __attribute__((packed));
static_assert(sizeof(TArpPacket) == 28);

int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// ---- the adapters ----

struct TAdapter {
  uint32_t ifIndex = 0;
  int64_t readAt = 0;
  bool usable = false;  // up, Ethernet, ARP on, with a MAC
  uint8_t mac[6] = {};
  std::vector<uint32_t> addresses;  // IPv4, network byte order
};

bool SameSlash24(uint32_t a, uint32_t b) { return (ntohl(a) >> 8) == (ntohl(b) >> 8); }

class TAdapters {
 public:
  explicit TAdapters(TNetlink& netlink) : m_netlink(netlink) {}

  const TAdapter& Get(uint32_t ifIndex, int64_t now) {
    for (TAdapter& known : m_known) {
      if (known.ifIndex == ifIndex && now - known.readAt < kAdapterCacheMs) return known;
    }
    std::erase_if(m_known, [&](const TAdapter& a) {
      return a.ifIndex == ifIndex || now - a.readAt >= kAdapterCacheMs;
    });
    if (m_known.size() >= kMostAdapters) m_known.erase(m_known.begin());
    m_known.push_back(Read(ifIndex, now));
    return m_known.back();
  }

 private:
  TAdapter Read(uint32_t ifIndex, int64_t now) {
    TAdapter adapter;
    adapter.ifIndex = ifIndex;
    adapter.readAt = now;
    ifinfomsg link{};
    link.ifi_family = AF_UNSPEC;
    link.ifi_index = static_cast<int>(ifIndex);
    m_netlink.Request(RTM_GETLINK, 0, &link, sizeof link, {}, [&](const nlmsghdr* m) {
      if (m->nlmsg_type != RTM_NEWLINK || m->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
      const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(m));
      if (static_cast<uint32_t>(info->ifi_index) != ifIndex) return;
      TRtAttributes a(IFLA_RTA(info), static_cast<int>(IFLA_PAYLOAD(m)));
      const std::vector<uint8_t> mac = a.Bytes(IFLA_ADDRESS);
      adapter.usable = info->ifi_type == ARPHRD_ETHER && (info->ifi_flags & IFF_UP) &&
                       !(info->ifi_flags & (IFF_NOARP | IFF_LOOPBACK)) && mac.size() == 6;
      if (adapter.usable) std::memcpy(adapter.mac, mac.data(), 6);
    });
    if (!adapter.usable) return adapter;
    ifaddrmsg request{};
    request.ifa_family = AF_INET;
    m_netlink.Request(
        RTM_GETADDR, NLM_F_DUMP, &request, sizeof request, {}, [&](const nlmsghdr* m) {
          if (m->nlmsg_type != RTM_NEWADDR || m->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) {
            return;
          }
          const auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(m));
          if (info->ifa_index != ifIndex || info->ifa_family != AF_INET) return;
          TRtAttributes a(IFA_RTA(info), static_cast<int>(IFA_PAYLOAD(m)));
          auto local = a.U32(IFA_LOCAL);
          if (!local) local = a.U32(IFA_ADDRESS);
          if (local && adapter.addresses.size() < kMostAddresses) {
            adapter.addresses.push_back(*local);
          }
        });
    adapter.usable = !adapter.addresses.empty();
    return adapter;
  }

  TNetlink& m_netlink;
  std::vector<TAdapter> m_known;
};

// ---- privilege ----

// Only ARP replies reach the socket: the requests of every other station on every link would
// otherwise wake the helper for nothing.
bool AttachReplyFilter(int fd) {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, offsetof(TArpPacket, operation)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPOP_REPLY, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
  const int one = 1;
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0 &&
         setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &one, sizeof one) == 0;
}

// One AF_PACKET socket for ARP, bound to no adapter, so it serves every adapter of the
// namespace. Protocol 0 at first: it receives nothing until the filter is in place.
TUniqueFd OpenPacketSocket() {
  TUniqueFd fd(socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd || !AttachReplyFilter(fd.Get())) return {};
  // A pass's replies come in a burst; a larger queue loses fewer (capped at rmem_max).
  int bytes = 1 << 20;
  setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  sockaddr_ll any{};
  any.sll_family = AF_PACKET;
  any.sll_protocol = htons(ETH_P_ARP);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return {};
  return fd;
}

// Sending on an open packet socket needs no capability: all of them go.
bool DropEveryCapability() {
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    return false;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  return syscall(SYS_capset, &header, none) == 0;
}

// The calls the serving loop makes (and malloc, and exit with its closes); any other ends the
// process. socket, bind, connect, setsockopt, open and exec are not among them: the packet
// socket can be neither re-bound nor re-filtered, and nothing new can be opened.
bool LockDown() {
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
  if (filter == nullptr) return false;
  const int allowed[] = {
      SCMP_SYS(recvfrom),      SCMP_SYS(sendto),     SCMP_SYS(poll),         SCMP_SYS(ppoll),
      SCMP_SYS(clock_gettime), SCMP_SYS(brk),        SCMP_SYS(munmap),       SCMP_SYS(mremap),
      SCMP_SYS(madvise),       SCMP_SYS(futex),      SCMP_SYS(rt_sigreturn), SCMP_SYS(close),
      SCMP_SYS(exit),          SCMP_SYS(exit_group),
  };
  bool ok = true;
  for (int call : allowed) ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
  // Memory for malloc, never executable memory.
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1,
                              SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)) == 0;
  ok = ok && seccomp_load(filter) == 0;
  seccomp_release(filter);
  return ok;
}

// ---- serving ----

// Who-has frames of one request: the first at once, then rounds spread over the listening
// window with gaps of kFirstGapMs, each kGapGrowthMs longer than the one before, plus a
// per-address jitter below kJitterMs. No two of a request's rounds come closer than
// kFirstGapMs: a station that ignores who-has frames following the last one it saw too
// closely still gets frames it answers. 0, 450, 1000, 1650 and 2400 ms before jitter.
constexpr int64_t kFirstGapMs = 450;
constexpr int64_t kGapGrowthMs = 100;
constexpr uint32_t kJitterMs = 60;
// Different MACs beyond the kept ones that one request still tells apart for its count; past
// them the count stops growing (it is then a lower bound).
constexpr size_t kMostCounted = 24;

struct TPending {
  TRequest request;
  uint32_t sender = 0;  // our address in the target's /24
  uint8_t ownMac[6] = {};
  int64_t start = 0;     // the first who-has
  int64_t nextSend = 0;  // the next round, while anyone is still to be asked
  int rounds = 1;
  bool said = false;   // the first message (Answered or NoAnswer) has gone
  bool late = false;   // that first message was NoAnswer
  uint16_t count = 0;  // different MACs that answered
  uint8_t macs[kKeptMacs][6] = {};
  std::vector<uint64_t> beyond;  // MACs past the kept ones, for the count only
};

uint64_t MacKey(const uint8_t* mac) {
  uint64_t key = 0;
  for (int i = 0; i < 6; ++i) key = key << 8 | mac[i];
  return key;
}

// The same for the same address and round, and spread over [0, kJitterMs) across addresses,
// so that the retries of a sweep's addresses do not leave in the same instant.
uint32_t Jitter(uint32_t target, int round) {
  uint32_t x = target * 2654435761u ^ static_cast<uint32_t>(round) * 40503u;
  x ^= x >> 15;
  x *= 2246822519u;
  x ^= x >> 13;
  return x % kJitterMs;
}

class THelper {
 public:
  THelper(int channel, TUniqueFd packet, TNetlink& netlink)
      : m_channel(channel), m_packet(std::move(packet)), m_adapters(netlink) {
    m_pending.reserve(256);
  }

  void Serve() {
    m_tokens = kBucketSize;
    m_refilledAt = NowMs();
    Send({.status = static_cast<uint16_t>(TStatus::Ready)});
    pollfd fds[2] = {{m_channel, POLLIN, 0}, {m_packet.Get(), POLLIN, 0}};
    for (;;) {
      const int ready = RetryOnEintr([&] { return poll(fds, 2, Timeout()); });
      if (ready < 0) return;
      if (fds[0].revents & POLLIN) {
        if (!ReadRequests()) return;
      } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        return;  // quenZOR is gone
      }
      if (fds[1].revents & POLLIN) ReadReplies();
      Tick();
    }
  }

 private:
  static int64_t NextEvent(const TPending& p) {
    int64_t next = p.start + kListenMs;
    if (!p.said) next = std::min(next, p.start + kFirstAnswerMs);
    if (RoundFrames(p) > 0) next = std::min(next, p.nextSend);
    return next;
  }

  int Timeout() const {
    if (m_pending.empty()) return -1;
    int64_t next = INT64_MAX;
    for (const TPending& p : m_pending) next = std::min(next, NextEvent(p));
    return static_cast<int>(std::clamp<int64_t>(next - NowMs(), 0, kListenMs));
  }

  void Send(const TAnswer& answer) {
    TAnswer full = answer;
    full.magic = kMagic;
    full.version = kVersion;
    RetryOnEintr([&] { return send(m_channel, &full, sizeof full, MSG_NOSIGNAL); });
  }

  void Refuse(uint32_t id, TStatus status) {
    Send({.status = static_cast<uint16_t>(status), .id = id});
  }

  // What a message about request p says besides its status.
  static TAnswer About(const TPending& p, TStatus status) {
    TAnswer answer{.status = static_cast<uint16_t>(status),
                   .id = p.request.id,
                   .ifIndex = p.request.ifIndex,
                   .target = p.request.target,
                   .count = p.count};
    if (p.count > 0) std::memcpy(answer.firstMac, p.macs[0], 6);
    return answer;
  }

  // false when the channel has closed.
  bool ReadRequests() {
    for (int n = 0; n < kMessagesPerRound; ++n) {
      uint8_t buffer[128];
      const ssize_t got = RetryOnEintr(
          [&] { return recv(m_channel, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC); });
      if (got == 0) return false;
      if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
      const size_t size = std::min(static_cast<size_t>(got), sizeof buffer);
      TRequest request;
      if (!ParseRequest(buffer, static_cast<size_t>(got), request)) {
        Refuse(IdOfMalformed(buffer, size), TStatus::Malformed);
        continue;
      }
      Accept(request);
    }
    return true;
  }

  void Accept(const TRequest& request) {
    const int64_t now = NowMs();
    const TAdapter& adapter = m_adapters.Get(request.ifIndex, now);
    if (!adapter.usable) return Refuse(request.id, TStatus::BadAdapter);
    const auto sender = std::find_if(adapter.addresses.begin(), adapter.addresses.end(),
                                     [&](uint32_t a) { return SameSlash24(a, request.target); });
    if (sender == adapter.addresses.end()) return Refuse(request.id, TStatus::OffNetwork);
    if (std::find(adapter.addresses.begin(), adapter.addresses.end(), request.target) !=
        adapter.addresses.end()) {
      TAnswer own{.status = static_cast<uint16_t>(TStatus::Answered),
                  .id = request.id,
                  .ifIndex = request.ifIndex,
                  .target = request.target,
                  .count = 1};
      std::memcpy(own.mac, adapter.mac, 6);
      std::memcpy(own.firstMac, adapter.mac, 6);
      return Send(own);
    }
    if (m_pending.size() >= kMostPending) return Refuse(request.id, TStatus::Busy);
    if (!TakeTokens(now, 1u + request.knownCount)) return Refuse(request.id, TStatus::RateLimited);
    TPending pending;
    pending.request = request;
    pending.sender = *sender;
    pending.start = now;
    pending.nextSend = now + kFirstGapMs + Jitter(request.target, 1);
    std::memcpy(pending.ownMac, adapter.mac, 6);
    SendRound(pending);
    m_pending.push_back(std::move(pending));
  }

  bool TakeTokens(int64_t now, uint32_t count) {
    m_tokens =
        std::min(kBucketSize, m_tokens + static_cast<double>(now - m_refilledAt) * kRefillPerMs);
    m_refilledAt = now;
    if (m_tokens < count) return false;
    m_tokens -= count;
    return true;
  }

  static bool Answered(const TPending& p, const uint8_t (&mac)[6]) {
    const uint16_t kept = std::min(p.count, kKeptMacs);
    for (uint16_t i = 0; i < kept; ++i) {
      if (std::memcmp(p.macs[i], mac, 6) == 0) return true;
    }
    return false;
  }

  // Who-has frames a round of p sends: one to the broadcast address while nobody has answered,
  // and one to each known MAC that has not answered yet (another station answering first,
  // a spoofer say, must not keep a dozing device from being asked).
  static uint32_t RoundFrames(const TPending& p) {
    uint32_t frames = p.count == 0 ? 1 : 0;
    for (uint16_t i = 0; i < p.request.knownCount; ++i) {
      if (!Answered(p, p.request.knownMacs[i])) ++frames;
    }
    return frames;
  }

  void SendRound(const TPending& p) {
    static constexpr uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    if (p.count == 0) SendWhoHas(p, kBroadcast);
    for (uint16_t i = 0; i < p.request.knownCount; ++i) {
      if (!Answered(p, p.request.knownMacs[i])) SendWhoHas(p, p.request.knownMacs[i]);
    }
  }

  void SendWhoHas(const TPending& p, const uint8_t (&to)[6]) {
    TArpPacket frame{};
    frame.hardwareType = htons(ARPHRD_ETHER);
    frame.protocolType = htons(ETH_P_IP);
    frame.hardwareLength = 6;
    frame.protocolLength = 4;
    frame.operation = htons(ARPOP_REQUEST);
    std::memcpy(frame.senderMac, p.ownMac, 6);
    std::memcpy(frame.senderIp, &p.sender, 4);
    std::memcpy(frame.targetIp, &p.request.target, 4);
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ARP);
    link.sll_ifindex = static_cast<int>(p.request.ifIndex);
    link.sll_halen = 6;
    std::memcpy(link.sll_addr, to, 6);
    // A failed send (a full queue) is a lost request; the next round follows.
    sendto(m_packet.Get(), &frame, sizeof frame, MSG_NOSIGNAL | MSG_DONTWAIT,
           reinterpret_cast<sockaddr*>(&link), sizeof link);
  }

  void ReadReplies() {
    for (int n = 0; n < kMessagesPerRound; ++n) {
      uint8_t buffer[64];
      sockaddr_ll from{};
      socklen_t fromSize = sizeof from;
      const ssize_t got = RetryOnEintr([&] {
        return recvfrom(m_packet.Get(), buffer, sizeof buffer, MSG_DONTWAIT,
                        reinterpret_cast<sockaddr*>(&from), &fromSize);
      });
      if (got <= 0) return;
      // Frames for other stations (seen when an adapter is promiscuous) and our own outgoing
      // ones are never an answer.
      if (from.sll_pkttype != PACKET_HOST && from.sll_pkttype != PACKET_BROADCAST) continue;
      if (got < static_cast<ssize_t>(sizeof(TArpPacket)) || from.sll_ifindex <= 0) continue;
      TArpPacket reply;
      std::memcpy(&reply, buffer, sizeof reply);
      if (ntohs(reply.hardwareType) != ARPHRD_ETHER || ntohs(reply.protocolType) != ETH_P_IP ||
          reply.hardwareLength != 6 || reply.protocolLength != 4 ||
          ntohs(reply.operation) != ARPOP_REPLY) {
        continue;
      }
      // No station answers from a zero, multicast or broadcast MAC: such a reply only
      // pretends that somebody, or nobody, holds the address.
      if (!IsUnicastMac(reply.senderMac)) continue;
      Deliver(static_cast<uint32_t>(from.sll_ifindex), reply);
    }
  }

  // A reply counts for a request when it comes from the asked address, on the asked adapter,
  // and is addressed to the address and MAC the request was sent from. Each MAC that answers
  // is said once, as it comes.
  void Deliver(uint32_t ifIndex, const TArpPacket& reply) {
    for (TPending& p : m_pending) {
      if (p.request.ifIndex != ifIndex || std::memcmp(reply.senderIp, &p.request.target, 4) != 0 ||
          std::memcmp(reply.targetIp, &p.sender, 4) != 0 ||
          std::memcmp(reply.targetMac, p.ownMac, 6) != 0) {
        continue;
      }
      Heard(p, reply.senderMac);
    }
  }

  void Heard(TPending& p, const uint8_t (&mac)[6]) {
    const uint16_t kept = std::min(p.count, kKeptMacs);
    for (uint16_t i = 0; i < kept; ++i) {
      if (std::memcmp(p.macs[i], mac, 6) == 0) return;
    }
    if (p.count >= kKeptMacs) {
      // Past the kept MACs a spoofer could say any number: counted, and said at the close.
      const uint64_t key = MacKey(mac);
      if (p.beyond.size() >= kMostCounted ||
          std::find(p.beyond.begin(), p.beyond.end(), key) != p.beyond.end()) {
        return;
      }
      p.beyond.push_back(key);
      ++p.count;
      return;
    }
    std::memcpy(p.macs[p.count], mac, 6);
    ++p.count;
    TAnswer answer = About(p, TStatus::Answered);
    std::memcpy(answer.mac, mac, 6);
    if (p.late) answer.flags |= kLate;
    p.said = true;
    Send(answer);
  }

  // Sends what is due: the rounds of unanswered requests, the NoAnswer of those nobody has
  // answered by kFirstAnswerMs, and the end of every window.
  void Tick() {
    const int64_t now = NowMs();
    std::erase_if(m_pending, [&](TPending& p) {
      if (now >= p.start + kListenMs) {
        if (p.count > kKeptMacs) Send(About(p, TStatus::Closed));
        return true;
      }
      if (!p.said && now >= p.start + kFirstAnswerMs) {
        Send(About(p, TStatus::NoAnswer));
        p.said = true;
        p.late = true;
      }
      if (now >= p.nextSend && RoundFrames(p) > 0) {
        if (TakeTokens(now, RoundFrames(p))) SendRound(p);
        p.nextSend +=
            kFirstGapMs + kGapGrowthMs * p.rounds + Jitter(p.request.target, p.rounds + 1);
        ++p.rounds;
      }
      return false;
    });
  }

  int m_channel;
  TUniqueFd m_packet;
  TAdapters m_adapters;
  std::vector<TPending> m_pending;
  double m_tokens = 0;
  int64_t m_refilledAt = 0;
};

bool IsChannel(int fd) {
  int type = 0;
  socklen_t size = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_SEQPACKET;
}

void SayNoCapability(int channel) {
  const TAnswer hello{.status = static_cast<uint16_t>(TStatus::NoCapability)};
  RetryOnEintr([&] { return send(channel, &hello, sizeof hello, MSG_NOSIGNAL); });
}

}  // namespace
}  // namespace arphelper

namespace arphelper {
namespace {

// One serving helper per network namespace, so that the frame budget holds for the namespace
// and not for each copy someone starts. The lock is an abstract AF_UNIX name: names of that
// kind belong to the network namespace, and the name is free again when the process that
// bound it ends, however it ends. A stream socket that never listens takes nothing in (a
// connect is refused). Returns what the hello says: Ready when lock now holds the name, InUse
// when another process holds it; any other failure refuses too, so that no limit on this
// process's descriptors lets a second copy serve.
TStatus TakeNamespaceLock(TUniqueFd& lock) {
  lock.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!lock) return TStatus::NoCapability;
  static constexpr char kName[] = "quenzor-arp";
  sockaddr_un name{};
  name.sun_family = AF_UNIX;
  std::memcpy(name.sun_path + 1, kName, sizeof kName - 1);  // sun_path[0] 0: abstract
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kName);
  if (bind(lock.Get(), reinterpret_cast<sockaddr*>(&name), size) == 0) return TStatus::Ready;
  const TStatus refusal = errno == EADDRINUSE ? TStatus::InUse : TStatus::NoCapability;
  lock.Reset();
  return refusal;
}

}  // namespace
}  // namespace arphelper

int main() {
  using namespace arphelper;
  // Ends with quenZOR even when it is killed; the channel's end is the other way out.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (!IsChannel(kChannelFd)) return 2;
  TUniqueFd packet = OpenPacketSocket();
  arpwire::TNetlink netlink(16384);
  if (!packet || netlink.Open() != 0) {
    SayNoCapability(kChannelFd);
    return 1;
  }
  TUniqueFd lock;  // held until the process ends
  if (const TStatus refusal = TakeNamespaceLock(lock); refusal != TStatus::Ready) {
    const TAnswer hello{.status = static_cast<uint16_t>(refusal)};
    RetryOnEintr([&] { return send(kChannelFd, &hello, sizeof hello, MSG_NOSIGNAL); });
    return 1;
  }
  if (!DropEveryCapability() || !LockDown()) {
    SayNoCapability(kChannelFd);
    return 1;
  }
  THelper helper(kChannelFd, std::move(packet), netlink);
  helper.Serve();
  return 0;
}
