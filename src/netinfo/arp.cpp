#include "netinfo/arp.h"

#include "netinfo/arplog.h"
#include "netinfo/ipaddress.h"
#include "netinfo/netlink.h"
#include "support/posix.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/neighbour.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

namespace netinfo {
namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Raw mode asks at 0, 250, 500 and 750 ms and gives the last request 150 ms for its reply
// (a LAN answers within milliseconds). The deadline stays below a second so that the workers
// of a pass are done before the scan driver's check at one second, not just after it.
constexpr milliseconds kDeadline{900};
constexpr milliseconds kRawRetry{250};
// Kernel mode cannot ask again by itself: the kernel does, once per retrans_time (1 s by
// default). When its first request or the reply is lost (a busy machine drops frames from
// full queues, small devices drop bursts of ARP) or the host is slow, the answer comes only
// after its second request, so the wait covers that one and half a second for the reply.
constexpr milliseconds kKernelDeadline{1500};
constexpr milliseconds kFirstPoll{5};  // kernel mode: polls at 5, 10, 20, 40, then 50 ms
constexpr milliseconds kLongestPoll{50};
constexpr size_t kMacSize = 6;

std::atomic<int> forcedMode{-1};

// ---- calls in flight ----

// Each call holds up to two descriptors (netlink, and a packet or UDP socket). Calls in
// flight are bounded so that a sweep of 1255 workers never runs the process out of them:
// with the common soft limit of 1024 that is 384 calls at once, 768 descriptors, leaving
// 256 to the rest of the program; the other workers wait for a slot.
constexpr std::ptrdiff_t kMostSlots = 4096;

std::ptrdiff_t SlotCount() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMostSlots;
  auto usable = static_cast<std::ptrdiff_t>(limit.rlim_cur > 256 ? (limit.rlim_cur - 256) / 2 : 0);
  return std::clamp<std::ptrdiff_t>(usable, 16, kMostSlots);
}

class TSlot {
 public:
  TSlot() { Slots().acquire(); }
  ~TSlot() { Slots().release(); }
  TSlot(const TSlot&) = delete;
  TSlot& operator=(const TSlot&) = delete;

 private:
  static std::counting_semaphore<kMostSlots>& Slots() {
    static std::counting_semaphore<kMostSlots> available(SlotCount());
    return available;
  }
};

using support::TUniqueFd;

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

uint32_t Answer(const std::vector<uint8_t>& hardware, uint8_t* mac, uint32_t* length) {
  if (hardware.empty()) return kArpNoAnswer;
  if (*length < hardware.size()) return kArpBufferOverflow;
  std::copy(hardware.begin(), hardware.end(), mac);
  *length = static_cast<uint32_t>(hardware.size());
  return kArpNoError;
}

// ---- raw mode: one packet socket for every adapter ----

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

// Lets only ARP replies through to the socket: the requests of every other host on every
// link would otherwise wake the receiver for nothing.
bool AttachReplyFilter(int fd) {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, offsetof(TArpPacket, operation)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPOP_REPLY, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

// The sender of an Ethernet/IPv4 ARP reply, or nothing for any other frame.
std::optional<TArpPacket> ParseReply(const uint8_t* data, ssize_t size) {
  if (size < static_cast<ssize_t>(sizeof(TArpPacket))) return std::nullopt;
  TArpPacket p;
  std::memcpy(&p, data, sizeof p);
  if (ntohs(p.hardwareType) != ARPHRD_ETHER || ntohs(p.protocolType) != ETH_P_IP ||
      p.hardwareLength != kMacSize || p.protocolLength != 4 || ntohs(p.operation) != ARPOP_REPLY) {
    return std::nullopt;
  }
  return p;
}

uint64_t WaiterKey(uint32_t ifIndex, uint32_t address) { return uint64_t{ifIndex} << 32 | address; }

// The network namespace of the calling thread: a packet socket sends and receives on the
// adapters of the namespace it was made in, and only a caller of that namespace may use it.
ino_t CurrentNamespace() {
  struct stat info {};
  return stat("/proc/thread-self/ns/net", &info) == 0 ? info.st_ino : 0;
}

// One AF_PACKET socket for ARP, bound to no adapter, so it serves every adapter of its
// namespace, also those that appear after it was made. Callers send their requests through
// it; one receiver thread hands each reply to the callers waiting for that sender on that
// adapter.
class TArpSocket {
 public:
  // Needs CAP_NET_RAW; nullptr without it.
  static std::unique_ptr<TArpSocket> Open() {
    // Protocol 0 at first: the socket receives nothing until the filter is in place.
    TUniqueFd fd(socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
      LogCallFailed("packet socket");
      return nullptr;
    }
    if (!AttachReplyFilter(fd.Get())) {
      LogCallFailed("ARP reply filter");
      return nullptr;
    }
    // A sweep's replies come in a burst; a larger queue loses fewer (the retries make good
    // the rest). The kernel caps it at net.core.rmem_max.
    int bytes = 1 << 20;
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    sockaddr_ll any{};
    any.sll_family = AF_PACKET;
    any.sll_protocol = htons(ETH_P_ARP);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
      LogCallFailed("packet socket bind");
      return nullptr;
    }
    TUniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) {
      LogCallFailed("eventfd");
      return nullptr;
    }
    return std::unique_ptr<TArpSocket>(new TArpSocket(std::move(fd), std::move(wake)));
  }

  ~TArpSocket() {
    if (m_receiver.joinable()) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t n = write(m_wake.Get(), &one, sizeof one);
      m_receiver.join();
    }
  }

  TArpSocket(const TArpSocket&) = delete;
  TArpSocket& operator=(const TArpSocket&) = delete;

  // Asks on the adapter ifIndex, from ownMac and senderIp, for the MAC of target: a
  // broadcast request every 250 ms until a reply from target arrives on that adapter or
  // the deadline passes.
  uint32_t Ask(uint32_t ifIndex, const std::vector<uint8_t>& ownMac, uint32_t senderIp,
               uint32_t target, uint8_t* mac, uint32_t* length) {
    TArpPacket request{};
    request.hardwareType = htons(ARPHRD_ETHER);
    request.protocolType = htons(ETH_P_IP);
    request.hardwareLength = kMacSize;
    request.protocolLength = 4;
    request.operation = htons(ARPOP_REQUEST);
    std::copy(ownMac.begin(), ownMac.end(), request.senderMac);
    std::memcpy(request.senderIp, &senderIp, 4);
    std::memcpy(request.targetIp, &target, 4);
    sockaddr_ll broadcast{};
    broadcast.sll_family = AF_PACKET;
    broadcast.sll_protocol = htons(ETH_P_ARP);
    broadcast.sll_ifindex = static_cast<int>(ifIndex);
    broadcast.sll_halen = kMacSize;
    std::memset(broadcast.sll_addr, 0xFF, kMacSize);

    TWaiter waiter;
    const uint64_t key = WaiterKey(ifIndex, target);
    std::unique_lock lock(m_mutex);
    StartReceiver();
    auto registration = m_waiters.emplace(key, &waiter);
    const auto deadline = TClock::now() + kDeadline;
    for (auto nextSend = TClock::now(); !waiter.answered;) {
      const auto now = TClock::now();
      if (now >= deadline) break;
      if (now >= nextSend) {
        // A failed send (a full queue) is just a lost request; the next one follows.
        if (sendto(m_fd.Get(), &request, sizeof request, MSG_NOSIGNAL,
                   reinterpret_cast<sockaddr*>(&broadcast), sizeof broadcast) < 0) {
          LogCallFailed("ARP request send");
        }
        nextSend += kRawRetry;
      }
      m_answered.wait_until(lock, std::min(nextSend, deadline));
    }
    if (!waiter.answered) {
      // On a busy machine the receiver may not have run since a reply came in time: read
      // what is queued before giving up. Bounded, so that a flood cannot hold us here.
      lock.unlock();
      Drain(kMostDrained);
      lock.lock();
    }
    m_waiters.erase(registration);
    if (!waiter.answered) {
      qCDebug(lcArp, "%s: no ARP reply on interface %u within %lld ms",
              FormatDotted(target).c_str(), ifIndex, static_cast<long long>(kDeadline.count()));
      return kArpNoAnswer;
    }
    return Answer(std::vector<uint8_t>(waiter.mac, waiter.mac + kMacSize), mac, length);
  }

 private:
  struct TWaiter {
    bool answered = false;
    uint8_t mac[kMacSize] = {};
  };

  static constexpr int kMostDrained = 1024;  // more than the receive queue holds

  TArpSocket(TUniqueFd fd, TUniqueFd wake) : m_fd(std::move(fd)), m_wake(std::move(wake)) {}

  // The receiver starts with the first request, on a thread made after the program gave
  // up its capabilities. Called holding m_mutex.
  void StartReceiver() {
    if (!m_receiver.joinable()) m_receiver = std::thread([this] { Receive(); });
  }

  void Receive() {
    pollfd fds[2] = {{m_fd.Get(), POLLIN, 0}, {m_wake.Get(), POLLIN, 0}};
    for (;;) {
      if (support::RetryOnEintr([&] { return poll(fds, 2, -1); }) < 0) {
        LogCallFailed("ARP receiver poll");
        return;
      }
      if (fds[1].revents != 0) return;
      Drain(std::numeric_limits<int>::max());
    }
  }

  // Reads up to `most` queued frames and hands each reply to its waiters.
  void Drain(int most) {
    uint8_t buffer[256];
    for (int n = 0; n < most; ++n) {
      sockaddr_ll from{};
      socklen_t fromSize = sizeof from;
      const ssize_t got = support::RetryOnEintr([&] {
        return recvfrom(m_fd.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                        &fromSize);
      });
      if (got <= 0) return;
      // Replies this machine sends itself show up as outgoing frames: never an answer.
      if (from.sll_pkttype != PACKET_OUTGOING) Deliver(from.sll_ifindex, buffer, got);
    }
  }

  void Deliver(int ifIndex, const uint8_t* data, ssize_t size) {
    auto reply = ParseReply(data, size);
    if (!reply || ifIndex <= 0) return;
    uint32_t sender;
    std::memcpy(&sender, reply->senderIp, 4);
    std::lock_guard lock(m_mutex);
    auto [first, last] = m_waiters.equal_range(WaiterKey(static_cast<uint32_t>(ifIndex), sender));
    if (first == last) return;
    for (auto it = first; it != last; ++it) {
      if (it->second->answered) continue;
      std::memcpy(it->second->mac, reply->senderMac, kMacSize);
      it->second->answered = true;
    }
    m_answered.notify_all();
  }

  TUniqueFd m_fd;
  TUniqueFd m_wake;  // ends the receiver
  std::mutex m_mutex;
  std::condition_variable m_answered;
  std::multimap<uint64_t, TWaiter*> m_waiters;  // iterators stay valid across inserts
  std::thread m_receiver;
};

// The packet sockets by network namespace. The program opens the one of its own namespace
// at start, while it may hold the capability; tests that force raw mode in other namespaces
// get one opened on demand there.
class TArpSockets {
 public:
  bool OpenHere(bool atStart) {
    const ino_t ns = CurrentNamespace();
    std::lock_guard lock(m_mutex);
    if (m_byNamespace.count(ns) != 0) return true;
    std::shared_ptr<TArpSocket> socket = TArpSocket::Open();
    if (!socket) return false;
    m_byNamespace[ns] = {socket, atStart};
    m_openedAtStart = m_openedAtStart || atStart;
    return true;
  }

  std::shared_ptr<TArpSocket> Here() {
    const ino_t ns = CurrentNamespace();
    std::lock_guard lock(m_mutex);
    auto it = m_byNamespace.find(ns);
    return it == m_byNamespace.end() ? nullptr : it->second.socket;
  }

  bool OpenedAtStart() {
    std::lock_guard lock(m_mutex);
    return m_openedAtStart;
  }

  // Forgets the sockets opened on demand; a caller still asking keeps its own until done.
  void CloseOnDemand() {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_byNamespace, [](const auto& entry) { return !entry.second.atStart; });
  }

 private:
  struct TEntry {
    std::shared_ptr<TArpSocket> socket;
    bool atStart = false;
  };
  std::mutex m_mutex;
  std::map<ino_t, TEntry> m_byNamespace;
  bool m_openedAtStart = false;
};

TArpSockets& ArpSockets() {
  static TArpSockets sockets;
  return sockets;
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
  if (error == ENOENT) return TNeighbour::Pending;  // not created yet
  if (error != 0) {
    qCDebug(lcArp, "%s: neighbour lookup failed (errno %d)", FormatDotted(dest).c_str(), error);
    return TNeighbour::Failed;
  }
  // Like the platform's ARP cache, any entry with a usable address answers: confirmed
  // (REACHABLE, PERMANENT) or still usable while being re-checked (STALE, DELAY, PROBE).
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

bool OpenArpSocket() { return ArpSockets().OpenHere(true); }

TArpMode CurrentArpMode() {
  int forced = forcedMode.load();
  if (forced >= 0) return static_cast<TArpMode>(forced);
  return ArpSockets().OpenedAtStart() ? TArpMode::Raw : TArpMode::Kernel;
}

void ForceArpMode(std::optional<TArpMode> mode) {
  forcedMode = mode ? static_cast<int>(*mode) : -1;
  if (!mode) ArpSockets().CloseOnDemand();
}

namespace {

// Where a request for dest goes: the adapter, its MAC and the address to ask from, or the
// answer itself (an own address, nothing on-link). Holds a netlink socket only meanwhile.
struct TPath {
  std::optional<uint32_t> answer;  // set when the lookup already decided
  std::vector<uint8_t> ownMac;     // an own address: the adapter's MAC is the answer
  uint32_t ifIndex = 0;
  std::vector<uint8_t> linkMac;
  uint32_t sender = 0;
};

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

uint32_t RawSendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length) {
  std::shared_ptr<TArpSocket> socket = ArpSockets().Here();
  if (!socket && forcedMode.load() == static_cast<int>(TArpMode::Raw) &&
      ArpSockets().OpenHere(false)) {
    socket = ArpSockets().Here();
  }
  if (!socket) {
    qCDebug(lcArp, "raw mode without a packet socket in this network namespace");
    return kArpGenFailure;
  }
  TPath path;
  {
    // Only the lookups hold descriptors of their own; the wait shares the packet socket.
    TSlot slot;
    TNetlink netlink;
    if (int error = netlink.Open(); error != 0) {
      qCDebug(lcArp, "netlink socket failed (errno %d)", error);
      return kArpGenFailure;
    }
    path = FindPath(netlink, destAddress, sourceAddress);
  }
  if (path.answer) return *path.answer;
  if (!path.ownMac.empty()) return Answer(path.ownMac, mac, length);
  if (*length < kMacSize) return kArpBufferOverflow;
  if (path.sender == 0) {
    qCDebug(lcArp, "%s: no source address to ask from", FormatDotted(destAddress).c_str());
    return kArpNoAnswer;
  }
  return socket->Ask(path.ifIndex, path.linkMac, path.sender, destAddress, mac, length);
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

}  // namespace

uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length) {
  if (!mac || !length || *length == 0 || destAddress == 0) return kArpInvalidParameter;
  return CurrentArpMode() == TArpMode::Raw ? RawSendArp(destAddress, sourceAddress, mac, length)
                                           : KernelSendArp(destAddress, sourceAddress, mac, length);
}

}  // namespace netinfo
