#include "netinfo/kernelarp.h"

#include "netinfo/arp.h"
#include "netinfo/arplog.h"
#include "netinfo/ipaddress.h"
#include "support/posix.h"

#include <arpa/inet.h>
#include <linux/if_arp.h>
#include <linux/neighbour.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <utility>

namespace netinfo {
namespace {

using arpwire::TNetlink;
using arpwire::TRtAttributes;
using arpwire::U32Attribute;
using support::TUniqueFd;
using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Kernel mode cannot ask again by itself: the kernel does, once per retrans_time (1 s by
// default). When its first request or the reply is lost (a busy machine drops frames from
// full queues, small devices drop bursts of ARP) or the host is slow, the answer comes only
// after its second request, so the wait covers that one and half a second for the reply.
constexpr milliseconds kKernelDeadline{1500};
constexpr milliseconds kFirstPoll{5};  // kernel mode: polls at 5, 10, 20, 40, then 50 ms
constexpr milliseconds kLongestPoll{50};

std::ptrdiff_t SlotCount() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMostSlots;
  auto usable = static_cast<std::ptrdiff_t>(limit.rlim_cur > 256 ? (limit.rlim_cur - 256) / 2 : 0);
  return std::clamp<std::ptrdiff_t>(usable, 16, kMostSlots);
}

// Notes which socket call failed and its errno; the caller gives up.
void LogCallFailed(const char* call) { qCDebug(lcArp, "%s failed (errno %d)", call, errno); }

// ---- what the routing table says ----

struct TRoute {
  uint8_t type = RTN_UNSPEC;
  uint32_t oif = 0;
  bool viaGateway = false;
  uint32_t preferredSource = 0;  // network byte order
};

int LookupRoute(TNetlink& netlink, uint32_t dest, uint32_t source, TRoute& route) {
  rtmsg request{};
  request.rtm_family = AF_INET;
  request.rtm_dst_len = 32;
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> attributes{{RTA_DST, U32Attribute(dest)}};
  if (source != 0) {
    request.rtm_src_len = 32;
    attributes.emplace_back(RTA_SRC, U32Attribute(source));
  }
  bool answered = false;
  int error = netlink.Request(
      RTM_GETROUTE, 0, &request, sizeof request, attributes, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWROUTE || m->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return;
        const auto* reply = static_cast<const rtmsg*>(NLMSG_DATA(m));
        TRtAttributes a(RTM_RTA(reply), static_cast<int>(RTM_PAYLOAD(m)));
        route.type = reply->rtm_type;
        route.oif = a.U32(RTA_OIF).value_or(0);
        route.viaGateway = a.Find(RTA_GATEWAY) != nullptr;
        route.preferredSource = a.U32(RTA_PREFSRC).value_or(0);
        answered = true;
      });
  return error != 0 ? error : answered ? 0 : ENOENT;
}

struct TLinkInfo {
  uint16_t arpType = 0;
  uint32_t flags = 0;
  std::vector<uint8_t> address;
};

int LookupLink(TNetlink& netlink, uint32_t index, TLinkInfo& link) {
  ifinfomsg request{};
  request.ifi_family = AF_UNSPEC;
  request.ifi_index = static_cast<int>(index);
  bool answered = false;
  int error = netlink.Request(RTM_GETLINK, 0, &request, sizeof request, {}, [&](const nlmsghdr* m) {
    if (m->nlmsg_type != RTM_NEWLINK || m->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(m));
    TRtAttributes a(IFLA_RTA(info), static_cast<int>(IFLA_PAYLOAD(m)));
    link.arpType = info->ifi_type;
    link.flags = info->ifi_flags;
    link.address = a.Bytes(IFLA_ADDRESS);
    answered = true;
  });
  return error != 0 ? error : answered ? 0 : ENOENT;
}

// The interface that holds an address of this machine (0 when none).
uint32_t OwnerOf(TNetlink& netlink, uint32_t address) {
  ifaddrmsg request{};
  request.ifa_family = AF_INET;
  uint32_t owner = 0;
  netlink.Request(RTM_GETADDR, NLM_F_DUMP, &request, sizeof request, {}, [&](const nlmsghdr* m) {
    if (m->nlmsg_type != RTM_NEWADDR || m->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return;
    const auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(m));
    TRtAttributes a(IFA_RTA(info), static_cast<int>(IFA_PAYLOAD(m)));
    auto local = a.U32(IFA_LOCAL);
    if (!local) local = a.U32(IFA_ADDRESS);
    if (owner == 0 && local == address) owner = info->ifa_index;
  });
  return owner;
}

bool UsableEthernet(const TLinkInfo& link) {
  return link.arpType == ARPHRD_ETHER && link.address.size() == kMacSize &&
         !(link.flags & IFF_NOARP) && (link.flags & IFF_UP);
}

// ---- kernel mode ----

// The kernel's neighbour table has a hard size (gc_thresh3, 1024 entries by default, shared
// by every network namespace). An unanswered address keeps its entry INCOMPLETE for
// mcast_solicit x retrans_time (3 x 1 s by default) before it fails and may be collected,
// and while the table is full no new neighbour can be resolved at all: a sweep of five /24s
// would lose answers. So new resolutions are admitted only while fewer than three quarters
// of the table have been started within an entry's lifetime; later callers wait for room
// before their own second starts.
//
// Starts are also paced: 64 may start at once, more go one every half millisecond. When
// room opens, every waiting caller would otherwise nudge the kernel in the same instant, and
// such a burst of ARP requests overflows the queues on the way (the receiving side's backlog
// of 1000 frames per CPU, a switch, a small device): what is lost there is asked again only a
// second later.
class TNeighbourBudget {
 public:
  TNeighbourBudget() : m_budget(ReadTableSize() * 3 / 4) {}

  // Waits until a resolution of this neighbour may start. One already started within an
  // entry's lifetime takes no more room: it is the same entry.
  void Acquire(uint32_t ifIndex, uint32_t dest) {
    const uint64_t key = uint64_t{ifIndex} << 32 | dest;
    std::unique_lock lock(m_mutex);
    for (;;) {
      auto now = TClock::now();
      while (!m_starts.empty() && now - m_starts.front().first >= kEntryLife) {
        m_recent.erase(m_recent.find(m_starts.front().second));
        m_starts.pop_front();
      }
      if (m_recent.count(key) != 0) return;
      if (m_starts.size() < m_budget) {
        // Generic cell rate: kBurst starts at no spacing, then one per kSpacing.
        m_paced = std::max(m_paced, now) + kSpacing;
        const auto start = std::max(now, m_paced - kSpacing * (kBurst + 1));
        m_starts.emplace_back(start, key);
        m_recent.insert(key);
        lock.unlock();
        std::this_thread::sleep_until(start);
        return;
      }
      m_wake.wait_until(lock, m_starts.front().first + kEntryLife);
    }
  }

 private:
  static constexpr milliseconds kEntryLife{3500};
  static constexpr std::chrono::microseconds kSpacing{500};
  static constexpr int kBurst = 64;

  // Readable in the initial namespace only; elsewhere the kernel's default applies.
  static size_t ReadTableSize() {
    std::ifstream in("/proc/sys/net/ipv4/neigh/default/gc_thresh3");
    size_t size = 0;
    if (!(in >> size) || size < 64) size = 1024;
    return size;
  }

  std::mutex m_mutex;
  std::condition_variable m_wake;  // only timed waits: room comes with time, not with events
  std::deque<std::pair<TClock::time_point, uint64_t>> m_starts;
  std::unordered_multiset<uint64_t> m_recent;
  TClock::time_point m_paced{};
  const size_t m_budget;
};

TNeighbourBudget& NeighbourBudget() {
  static TNeighbourBudget budget;
  return budget;
}

// Sends the datagram that makes the kernel resolve the neighbour. The socket is the call's
// own and non-blocking: a datagram to an unresolved neighbour waits in the kernel's
// neighbour queue, and a shared socket's send buffer would fill up with them. Closing the
// socket does not cancel the resolution.
bool NudgeKernel(uint32_t dest, uint32_t source) {
  TUniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    LogCallFailed("UDP socket");
    return false;
  }
  if (source != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = source;
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      LogCallFailed("UDP bind to the source address");
      return false;
    }
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);  // discard (RFC 863)
  to.sin_addr.s_addr = dest;
  const ssize_t sent = support::RetryOnEintr([&] {
    return sendto(fd.Get(), "", 0, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
  });
  if (sent >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) return true;
  LogCallFailed("UDP send");
  return false;
}

enum class TNeighbour { Pending, Known, Failed };

TNeighbour ReadNeighbour(TNetlink& netlink, uint32_t ifIndex, uint32_t dest,
                         std::vector<uint8_t>& hardware) {
  const int state = NeighbourState(netlink, ifIndex, dest, hardware);
  if (state < 0) return TNeighbour::Failed;
  // Any entry with a usable address answers: confirmed (REACHABLE, PERMANENT) or still usable
  // while the kernel re-checks it (STALE, DELAY, PROBE).
  constexpr uint16_t kUsable = NUD_PERMANENT | NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE;
  if ((state & kUsable) && !hardware.empty()) return TNeighbour::Known;
  if (state & NUD_FAILED) return TNeighbour::Failed;
  return TNeighbour::Pending;
}

uint32_t KernelArp(TNetlink& netlink, uint32_t ifIndex, uint32_t dest, uint32_t source,
                   uint8_t* mac, uint32_t* length) {
  // A neighbour the table already knows answers at once; only a new one takes room.
  std::vector<uint8_t> known;
  if (ReadNeighbour(netlink, ifIndex, dest, known) == TNeighbour::Known) {
    return Answer(known, mac, length);
  }
  NeighbourBudget().Acquire(ifIndex, dest);
  if (!NudgeKernel(dest, source)) return kArpNoAnswer;
  const auto deadline = TClock::now() + kKernelDeadline;
  milliseconds pause = kFirstPoll;
  for (;;) {
    std::vector<uint8_t> hardware;
    switch (ReadNeighbour(netlink, ifIndex, dest, hardware)) {
      case TNeighbour::Known: return Answer(hardware, mac, length);
      case TNeighbour::Failed:
        qCDebug(lcArp, "%s: the kernel found no neighbour on interface %u",
                FormatDotted(dest).c_str(), ifIndex);
        return kArpNoAnswer;
      case TNeighbour::Pending: break;
    }
    auto left = deadline - TClock::now();
    if (left <= milliseconds(0)) {
      qCDebug(lcArp, "%s: no neighbour entry on interface %u within %lld ms",
              FormatDotted(dest).c_str(), ifIndex, static_cast<long long>(kKernelDeadline.count()));
      return kArpNoAnswer;
    }
    std::this_thread::sleep_for(std::min<TClock::duration>(pause, left));
    pause = std::min(pause * 2, kLongestPoll);
  }
}

}  // namespace

std::counting_semaphore<kMostSlots>& TSlot::Slots() {
  static std::counting_semaphore<kMostSlots> available(SlotCount());
  return available;
}

uint32_t Answer(const std::vector<uint8_t>& hardware, uint8_t* mac, uint32_t* length) {
  if (hardware.empty()) return kArpNoAnswer;
  if (*length < hardware.size()) return kArpBufferOverflow;
  std::copy(hardware.begin(), hardware.end(), mac);
  *length = static_cast<uint32_t>(hardware.size());
  return kArpNoError;
}

int NeighbourState(TNetlink& netlink, uint32_t ifIndex, uint32_t dest,
                   std::vector<uint8_t>& hardware) {
  ndmsg request{};
  request.ndm_family = AF_INET;
  request.ndm_ifindex = static_cast<int>(ifIndex);
  uint16_t state = NUD_NONE;
  int error = netlink.Request(
      RTM_GETNEIGH, 0, &request, sizeof request, {{NDA_DST, U32Attribute(dest)}},
      [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWNEIGH || m->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg))) return;
        const auto* info = static_cast<const ndmsg*>(NLMSG_DATA(m));
        TRtAttributes a(reinterpret_cast<const rtattr*>(reinterpret_cast<const uint8_t*>(info) +
                                                        NLMSG_ALIGN(sizeof(ndmsg))),
                        static_cast<int>(m->nlmsg_len - NLMSG_LENGTH(sizeof(ndmsg))));
        state = info->ndm_state;
        hardware = a.Bytes(NDA_LLADDR);
      });
  if (error == ENOENT) return NUD_NONE;  // not created yet
  if (error != 0) {
    qCDebug(lcArp, "%s: neighbour lookup failed (errno %d)", FormatDotted(dest).c_str(), error);
    return -1;
  }
  return state;
}

TPath FindPath(TNetlink& netlink, uint32_t destAddress, uint32_t sourceAddress) {
  TPath path;
  TRoute route;
  if (int error = LookupRoute(netlink, destAddress, sourceAddress, route); error != 0) {
    qCDebug(lcArp, "%s: no route (errno %d)", FormatDotted(destAddress).c_str(), error);
    path.answer = kArpNoAnswer;
    return path;
  }
  if (route.type == RTN_LOCAL) {
    TLinkInfo owner;
    uint32_t index = OwnerOf(netlink, destAddress);
    if (index == 0 || LookupLink(netlink, index, owner) != 0 || owner.arpType == ARPHRD_LOOPBACK ||
        owner.address.empty()) {
      qCDebug(lcArp, "%s: an own address without an adapter MAC",
              FormatDotted(destAddress).c_str());
      path.answer = kArpNoAnswer;
    } else {
      path.ownMac = owner.address;
    }
    return path;
  }
  TLinkInfo link;
  if (route.type != RTN_UNICAST || route.viaGateway || route.oif == 0 ||
      LookupLink(netlink, route.oif, link) != 0 || !UsableEthernet(link)) {
    qCDebug(lcArp, "%s: not on an Ethernet link (route type %u, via gateway %d, interface %u)",
            FormatDotted(destAddress).c_str(), route.type, route.viaGateway ? 1 : 0, route.oif);
    path.answer = kArpNoAnswer;
    return path;
  }
  path.ifIndex = route.oif;
  path.linkMac = link.address;
  path.sender = sourceAddress != 0 ? sourceAddress : route.preferredSource;
  return path;
}

uint32_t KernelSendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac,
                       uint32_t* length) {
  TSlot slot;
  TNetlink netlink;
  if (int error = netlink.Open(); error != 0) {
    qCDebug(lcArp, "netlink socket failed (errno %d)", error);
    return kArpGenFailure;
  }
  TPath path = FindPath(netlink, destAddress, sourceAddress);
  if (path.answer) return *path.answer;
  if (!path.ownMac.empty()) return Answer(path.ownMac, mac, length);
  if (*length < kMacSize) return kArpBufferOverflow;
  return KernelArp(netlink, path.ifIndex, destAddress, sourceAddress, mac, length);
}

}  // namespace netinfo
