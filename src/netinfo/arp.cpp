#include "netinfo/arp.h"

#include "netinfo/netlink.h"

#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/neighbour.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <semaphore>
#include <thread>
#include <unordered_set>
#include <vector>

namespace netinfo {
namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kDeadline{1000};
constexpr milliseconds kRawRetry{250};    // raw mode: requests at 0, 250, 500 and 750 ms
constexpr milliseconds kFirstPoll{5};     // kernel mode: polls at 5, 10, 20, 40, then 50 ms
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
    static std::counting_semaphore<kMostSlots> slots(SlotCount());
    return slots;
  }
};

class TFd {
 public:
  explicit TFd(int fd) : m_fd(fd) {}
  ~TFd() {
    if (m_fd >= 0) close(m_fd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return m_fd; }

 private:
  int m_fd;
};

bool HaveNetRaw() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(CAP_NET_RAW)].effective & CAP_TO_MASK(CAP_NET_RAW)) != 0;
}

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
  int error = netlink.Request(RTM_GETROUTE, 0, &request, sizeof request, attributes,
                              [&](const nlmsghdr* m) {
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

// ---- raw mode ----

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

// Lets only ARP replies from the target through to the socket, so that a sweep's many
// sockets do not each receive every reply on the link.
bool AttachReplyFilter(int fd, uint32_t target) {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, offsetof(TArpPacket, operation)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPOP_REPLY, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(TArpPacket, senderIp)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(target), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

bool IsReplyFrom(const uint8_t* data, ssize_t size, uint32_t target) {
  if (size < static_cast<ssize_t>(sizeof(TArpPacket))) return false;
  TArpPacket p;
  std::memcpy(&p, data, sizeof p);
  return ntohs(p.hardwareType) == ARPHRD_ETHER && ntohs(p.protocolType) == ETH_P_IP &&
         p.hardwareLength == kMacSize && p.protocolLength == 4 &&
         ntohs(p.operation) == ARPOP_REPLY && std::memcmp(p.senderIp, &target, 4) == 0;
}

uint32_t RawArp(uint32_t ifIndex, const std::vector<uint8_t>& ownMac, uint32_t senderIp,
                uint32_t target, uint8_t* mac, uint32_t* length) {
  // Protocol 0 at first: the socket receives nothing until it is bound, so no frame slips
  // past before the filter is in place.
  TFd fd(socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.Get() < 0) return kArpGenFailure;
  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  link.sll_protocol = htons(ETH_P_ARP);
  link.sll_ifindex = static_cast<int>(ifIndex);
  if (!AttachReplyFilter(fd.Get(), target) ||
      bind(fd.Get(), reinterpret_cast<sockaddr*>(&link), sizeof link) != 0) {
    return kArpGenFailure;
  }
  TArpPacket request{};
  request.hardwareType = htons(ARPHRD_ETHER);
  request.protocolType = htons(ETH_P_IP);
  request.hardwareLength = kMacSize;
  request.protocolLength = 4;
  request.operation = htons(ARPOP_REQUEST);
  std::copy(ownMac.begin(), ownMac.end(), request.senderMac);
  std::memcpy(request.senderIp, &senderIp, 4);
  std::memcpy(request.targetIp, &target, 4);
  sockaddr_ll broadcast = link;
  broadcast.sll_halen = kMacSize;
  std::memset(broadcast.sll_addr, 0xFF, kMacSize);

  const auto deadline = TClock::now() + kDeadline;
  auto nextSend = TClock::now();
  for (;;) {
    auto now = TClock::now();
    if (now >= deadline) return kArpNoAnswer;
    if (now >= nextSend) {
      // A failed send (a full queue) is just a lost request; the next one follows.
      sendto(fd.Get(), &request, sizeof request, MSG_NOSIGNAL,
             reinterpret_cast<sockaddr*>(&broadcast), sizeof broadcast);
      nextSend += kRawRetry;
    }
    auto wake = std::min(nextSend, deadline);
    auto wait = std::chrono::duration_cast<milliseconds>(wake - TClock::now()).count() + 1;
    pollfd p{fd.Get(), POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(std::max<long long>(wait, 0)));
    if (ready < 0 && errno != EINTR) return kArpGenFailure;
    if (ready <= 0) continue;
    uint8_t buffer[256];
    ssize_t got;
    while ((got = recv(fd.Get(), buffer, sizeof buffer, 0)) > 0 || (got < 0 && errno == EINTR)) {
      if (got > 0 && IsReplyFrom(buffer, got, target)) {
        TArpPacket reply;
        std::memcpy(&reply, buffer, sizeof reply);
        return Answer(std::vector<uint8_t>(reply.senderMac, reply.senderMac + kMacSize), mac, length);
      }
    }
  }
}

// ---- kernel mode ----

// The kernel's neighbour table has a hard size (gc_thresh3, 1024 entries by default, shared
// by every network namespace). An unanswered address keeps its entry INCOMPLETE for
// mcast_solicit x retrans_time (3 x 1 s by default) before it fails and may be collected,
// and while the table is full no new neighbour can be resolved at all: a sweep of five /24s
// would lose answers. So new resolutions are admitted only while fewer than three quarters
// of the table have been started within an entry's lifetime; later callers wait for room
// before their own second starts.
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
        m_starts.emplace_back(now, key);
        m_recent.insert(key);
        return;
      }
      m_wake.wait_until(lock, m_starts.front().first + kEntryLife);
    }
  }

 private:
  static constexpr milliseconds kEntryLife{3500};

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
  TFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.Get() < 0) return false;
  if (source != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = source;
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);  // discard (RFC 863)
  to.sin_addr.s_addr = dest;
  ssize_t sent;
  do sent = sendto(fd.Get(), "", 0, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
  while (sent < 0 && errno == EINTR);
  return sent >= 0 || errno == EAGAIN || errno == EWOULDBLOCK;
}

enum class TNeighbour { Pending, Known, Failed };

TNeighbour ReadNeighbour(TNetlink& netlink, uint32_t ifIndex, uint32_t dest,
                         std::vector<uint8_t>& hardware) {
  ndmsg request{};
  request.ndm_family = AF_INET;
  request.ndm_ifindex = static_cast<int>(ifIndex);
  uint16_t state = NUD_NONE;
  int error = netlink.Request(RTM_GETNEIGH, 0, &request, sizeof request,
                              {{NDA_DST, U32Attribute(dest)}}, [&](const nlmsghdr* m) {
    if (m->nlmsg_type != RTM_NEWNEIGH || m->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg))) return;
    const auto* info = static_cast<const ndmsg*>(NLMSG_DATA(m));
    TRtAttributes a(reinterpret_cast<const rtattr*>(reinterpret_cast<const uint8_t*>(info) +
                                                    NLMSG_ALIGN(sizeof(ndmsg))),
                    static_cast<int>(m->nlmsg_len - NLMSG_LENGTH(sizeof(ndmsg))));
    state = info->ndm_state;
    hardware = a.Bytes(NDA_LLADDR);
  });
  if (error == ENOENT) return TNeighbour::Pending;  // not created yet
  if (error != 0) return TNeighbour::Failed;
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
  const auto deadline = TClock::now() + kDeadline;
  milliseconds pause = kFirstPoll;
  for (;;) {
    std::vector<uint8_t> hardware;
    switch (ReadNeighbour(netlink, ifIndex, dest, hardware)) {
      case TNeighbour::Known:
        return Answer(hardware, mac, length);
      case TNeighbour::Failed:
        return kArpNoAnswer;
      case TNeighbour::Pending:
        break;
    }
    auto left = deadline - TClock::now();
    if (left <= milliseconds(0)) return kArpNoAnswer;
    std::this_thread::sleep_for(std::min<TClock::duration>(pause, left));
    pause = std::min(pause * 2, kLongestPoll);
  }
}

}  // namespace

TArpMode CurrentArpMode() {
  int forced = forcedMode.load();
  if (forced >= 0) return static_cast<TArpMode>(forced);
  static const TArpMode detected = HaveNetRaw() ? TArpMode::Raw : TArpMode::Kernel;
  return detected;
}

void ForceArpMode(std::optional<TArpMode> mode) {
  forcedMode = mode ? static_cast<int>(*mode) : -1;
}

uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length) {
  if (!mac || !length || *length == 0 || destAddress == 0) return kArpInvalidParameter;
  const TArpMode mode = CurrentArpMode();
  TSlot slot;
  TNetlink netlink;
  if (netlink.Open() != 0) return kArpGenFailure;
  TRoute route;
  if (LookupRoute(netlink, destAddress, sourceAddress, route) != 0) return kArpNoAnswer;

  if (route.type == RTN_LOCAL) {
    TLinkInfo owner;
    uint32_t index = OwnerOf(netlink, destAddress);
    if (index == 0 || LookupLink(netlink, index, owner) != 0 || owner.arpType == ARPHRD_LOOPBACK) {
      return kArpNoAnswer;
    }
    return Answer(owner.address, mac, length);
  }
  if (route.type != RTN_UNICAST || route.viaGateway || route.oif == 0) return kArpNoAnswer;

  TLinkInfo link;
  if (LookupLink(netlink, route.oif, link) != 0 || !UsableEthernet(link)) return kArpNoAnswer;
  if (*length < kMacSize) return kArpBufferOverflow;
  if (mode == TArpMode::Kernel) return KernelArp(netlink, route.oif, destAddress, sourceAddress, mac, length);

  uint32_t sender = sourceAddress != 0 ? sourceAddress : route.preferredSource;
  if (sender == 0) return kArpNoAnswer;
  return RawArp(route.oif, link.address, sender, destAddress, mac, length);
}

}  // namespace netinfo
