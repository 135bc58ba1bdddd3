#include "netinfo/arp.h"

#include "arphelper/protocol.h"
#include "netinfo/adapters.h"
#include "netinfo/arplog.h"
#include "netinfo/ipaddress.h"
#include "netinfo/netlink.h"
#include "support/posix.h"

#include <arpa/inet.h>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/neighbour.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace netinfo {
namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Raw mode: the helper says the first MAC at once, or that nobody answered at 900 ms (a LAN
// answers within milliseconds). That stays below a second so that the workers of a pass are
// done before the scan driver's check at one second, not just after it; what the helper hears
// later reaches the listeners.
constexpr milliseconds kDeadline{arphelper::kFirstAnswerMs};
static_assert(kArpListenMs == arphelper::kListenMs);
// Kernel mode cannot ask again by itself: the kernel does, once per retrans_time (1 s by
// default). When its first request or the reply is lost (a busy machine drops frames from
// full queues, small devices drop bursts of ARP) or the host is slow, the answer comes only
// after its second request, so the wait covers that one and half a second for the reply.
constexpr milliseconds kKernelDeadline{1500};
constexpr milliseconds kFirstPoll{5};  // kernel mode: polls at 5, 10, 20, 40, then 50 ms
constexpr milliseconds kLongestPoll{50};
constexpr size_t kMacSize = 6;

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

// ---- raw mode: the helper program and its channel ----

using arphelper::TAnswer;
using arphelper::TStatus;

// Requests wait for their first message this long at most: the helper says something by 900 ms;
// a helper that stopped answering must not hold a worker for ever.
constexpr milliseconds kHelperPatience{3000};
constexpr int kHelloWaitMs = 3000;

std::string DefaultHelperPath() {
  char self[4096];
  const ssize_t size = readlink("/proc/self/exe", self, sizeof self - 1);
  if (size <= 0) return {};
  std::string path(self, static_cast<size_t>(size));
  path.erase(path.find_last_of('/') + 1);
  return path + QZ_ARP_HELPER_RELATIVE "/quenzor-arp";
}

struct TSpawned {
  TUniqueFd channel;
  pid_t pid = 0;
};

// Starts the helper at path with an empty environment, its end of the channel on
// descriptor 3 and /dev/null on 0 to 2; nothing else of this process reaches it. Waits for
// its hello, whose status goes to *hello when one came. Uses neither Qt nor logging: main
// calls it before either exists.
std::optional<TSpawned> SpawnHelper(const std::string& path, TStatus* hello = nullptr) {
  if (path.empty()) return std::nullopt;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return std::nullopt;
  TUniqueFd ours(pair[0]), theirs(pair[1]);
  if (theirs.Get() <= arphelper::kChannelFd) {
    // Above the descriptors the child sets up: dup2 onto itself would leave close-on-exec
    // set, and with standard descriptors closed here the pair may sit at 0 to 2.
    theirs.Reset(fcntl(pair[1], F_DUPFD_CLOEXEC, arphelper::kChannelFd + 1));
    if (!theirs) return std::nullopt;
  }
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return std::nullopt;
  auto release = support::ScopeExit([&] { posix_spawn_file_actions_destroy(&actions); });
  if (posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0) != 0 ||
      posix_spawn_file_actions_adddup2(&actions, 0, 1) != 0 ||
      posix_spawn_file_actions_adddup2(&actions, 0, 2) != 0 ||
      posix_spawn_file_actions_adddup2(&actions, theirs.Get(), arphelper::kChannelFd) != 0 ||
      posix_spawn_file_actions_addclosefrom_np(&actions, arphelper::kChannelFd + 1) != 0) {
    return std::nullopt;
  }
  std::string program = path;
  char* argv[] = {program.data(), nullptr};
  char* envp[] = {nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp) != 0) return std::nullopt;
  theirs.Reset();
  pollfd said{ours.Get(), POLLIN, 0};
  TAnswer answer;
  const bool answered = support::RetryOnEintr([&] { return poll(&said, 1, kHelloWaitMs); }) == 1 &&
                        support::RetryOnEintr([&] {
                          return recv(ours.Get(), &answer, sizeof answer, MSG_DONTWAIT);
                        }) == static_cast<ssize_t>(sizeof answer) &&
                        arphelper::ParseAnswer(&answer, sizeof answer, answer) && answer.id == 0;
  if (answered && hello) *hello = static_cast<TStatus>(answer.status);
  const bool ready = answered && answer.status == static_cast<uint16_t>(TStatus::Ready);
  if (!ready) {
    ours.Reset();
    kill(pid, SIGKILL);
    support::RetryOnEintr([&] { return waitpid(pid, nullptr, 0); });
    return std::nullopt;
  }
  return TSpawned{std::move(ours), pid};
}

}  // namespace

// The listeners of one resolver. The dispatcher tells them under the hub's lock, so unhooking
// one waits for a call in progress and no call reaches a listener after it has been unhooked.
class THeardHub {
 public:
  uint64_t Add(THeardCallback heard) {
    std::lock_guard lock(m_mutex);
    m_listeners.emplace_back(++m_lastId, std::move(heard));
    return m_lastId;
  }
  void Remove(uint64_t id) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_listeners, [id](const auto& listener) { return listener.first == id; });
  }
  void Tell(const TArpHeard& heard) {
    std::lock_guard lock(m_mutex);
    for (const auto& [id, listener] : m_listeners) {
      try {
        listener(heard);
      } catch (const std::exception& error) {
        qCDebug(lcArp, "a listener failed: %s", error.what());
      } catch (...) {
        qCDebug(lcArp, "a listener failed: unknown exception");
      }
    }
  }

 private:
  std::mutex m_mutex;
  std::vector<std::pair<uint64_t, THeardCallback>> m_listeners;
  uint64_t m_lastId = 0;
};

TArpListening& TArpListening::operator=(TArpListening&& other) noexcept {
  if (this != &other) {
    Reset();
    m_hub = std::move(other.m_hub);
    m_id = std::exchange(other.m_id, 0);
  }
  return *this;
}

void TArpListening::Reset() {
  if (m_hub) m_hub->Remove(m_id);
  m_hub.reset();
  m_id = 0;
}

namespace {

// The helper's message as a listener hears it.
TArpHeard HeardOf(const TAnswer& answer) {
  TArpHeard heard;
  heard.Address = answer.target;
  heard.Closed = answer.status == static_cast<uint16_t>(TStatus::Closed);
  if (!heard.Closed) std::copy(answer.mac, answer.mac + kMacSize, heard.Mac.begin());
  std::copy(answer.firstMac, answer.firstMac + kMacSize, heard.FirstMac.begin());
  heard.Count = answer.count;
  heard.Late = (answer.flags & arphelper::kLate) != 0;
  return heard;
}

// One helper process in one network namespace, and the thread that hands its messages to the
// callers waiting for them, or else to the listeners.
class TArpHelper {
 public:
  // The helper main started: its dispatcher starts with the first request, since main must
  // stay single-threaded until it has dropped its capabilities.
  static std::unique_ptr<TArpHelper> Adopt(TSpawned spawned) {
    std::unique_ptr<TArpHelper> helper(new TArpHelper);
    if (!helper->m_wake) return nullptr;
    helper->m_channel = std::move(spawned.channel);
    helper->m_pid = spawned.pid;
    return helper;
  }

  // A helper started by its own dispatcher thread: the helper ends with the thread that
  // started it (PR_SET_PDEATHSIG), and the caller may be a short-lived thread. The dispatcher
  // starts in the caller's network namespace, and so does the helper.
  static std::unique_ptr<TArpHelper> StartWithDispatcher(const std::string& path, TStatus* hello) {
    std::unique_ptr<TArpHelper> helper(new TArpHelper);
    if (!helper->m_wake) return nullptr;
    std::promise<bool> started;
    auto result = started.get_future();
    TArpHelper* raw = helper.get();
    helper->m_dispatcher = std::thread([raw, path, hello, &started] {
      std::optional<TSpawned> spawned = SpawnHelper(path, hello);
      if (spawned) {
        raw->m_channel = std::move(spawned->channel);
        raw->m_pid = spawned->pid;
      }
      started.set_value(spawned.has_value());
      if (spawned) raw->Dispatch();
    });
    if (!result.get()) return nullptr;
    return helper;
  }

  ~TArpHelper() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(m_wake.Get(), &one, sizeof one);
    if (m_dispatcher.joinable()) m_dispatcher.join();
    m_channel.Reset();  // the helper sees the end of its channel and exits
    if (m_pid > 0) support::RetryOnEintr([&] { return waitpid(m_pid, nullptr, 0); });
  }

  TArpHelper(const TArpHelper&) = delete;
  TArpHelper& operator=(const TArpHelper&) = delete;

  bool Gone() {
    std::lock_guard lock(m_mutex);
    return m_gone;
  }

  // Where the messages that no caller waits for go.
  const std::shared_ptr<THeardHub>& Hub() const { return m_hub; }

  // The helper's first message for target on ifIndex (the known MACs asked too); false when
  // the helper is gone or silent.
  bool Ask(uint32_t ifIndex, uint32_t target, const TKnownMacs& known, TAnswer& answer) {
    TWaiter waiter;
    arphelper::TRequest request;
    request.ifIndex = ifIndex;
    request.target = target;
    for (const TMacBytes& mac : known) {
      if (request.knownCount == arphelper::kMostKnownMacs) break;
      std::copy(mac.begin(), mac.end(), request.knownMacs[request.knownCount++]);
    }
    {
      std::lock_guard lock(m_mutex);
      if (m_gone) return false;
      if (!m_dispatcher.joinable()) m_dispatcher = std::thread([this] { Dispatch(); });
      if (++m_lastId == 0) ++m_lastId;
      request.id = m_lastId;
      m_waiters[request.id] = &waiter;
    }
    const ssize_t sent = support::RetryOnEintr(
        [&] { return send(m_channel.Get(), &request, sizeof request, MSG_NOSIGNAL); });
    std::unique_lock lock(m_mutex);
    if (sent == static_cast<ssize_t>(sizeof request)) {
      waiter.done.wait_for(lock, kHelperPatience, [&] { return waiter.answered || m_gone; });
    }
    m_waiters.erase(request.id);
    if (!waiter.answered) return false;
    answer = waiter.answer;
    return true;
  }

 private:
  TArpHelper()
      : m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_hub(std::make_shared<THeardHub>()) {}

  struct TWaiter {
    std::condition_variable done;
    bool answered = false;
    TAnswer answer;
  };

  void Dispatch() {
    pollfd fds[2] = {{m_channel.Get(), POLLIN, 0}, {m_wake.Get(), POLLIN, 0}};
    for (;;) {
      if (support::RetryOnEintr([&] { return poll(fds, 2, -1); }) < 0 || fds[1].revents != 0) {
        break;
      }
      TAnswer answer;
      const ssize_t got = support::RetryOnEintr(
          [&] { return recv(m_channel.Get(), &answer, sizeof answer, MSG_DONTWAIT | MSG_TRUNC); });
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) break;
      if (got > 0 && arphelper::ParseAnswer(&answer, static_cast<size_t>(got), answer)) {
        Hand(answer);
      }
    }
    std::lock_guard lock(m_mutex);
    m_gone = true;
    for (auto& [id, waiter] : m_waiters) waiter->done.notify_one();
  }

  // A caller waits for its request's first message; everything after it, and whatever comes
  // once the caller has given up, is heard by the listeners.
  void Hand(const TAnswer& answer) {
    {
      std::lock_guard lock(m_mutex);
      auto it = m_waiters.find(answer.id);
      if (it != m_waiters.end() && !it->second->answered) {
        it->second->answer = answer;
        it->second->answered = true;
        it->second->done.notify_one();
        return;
      }
    }
    if (answer.status == static_cast<uint16_t>(TStatus::Answered) ||
        answer.status == static_cast<uint16_t>(TStatus::Closed)) {
      m_hub->Tell(HeardOf(answer));
    }
  }

  TUniqueFd m_channel;
  pid_t m_pid = 0;
  TUniqueFd m_wake;  // ends the dispatcher
  std::mutex m_mutex;
  std::unordered_map<uint32_t, TWaiter*> m_waiters;
  uint32_t m_lastId = 0;
  bool m_gone = false;
  std::thread m_dispatcher;
  const std::shared_ptr<THeardHub> m_hub;
};

// The network namespace of the calling thread: a packet socket sends and receives on the
// adapters of the namespace it was made in, so a helper serves the namespace it started in.
ino_t CurrentNamespace() {
  struct stat info {};
  return stat("/proc/thread-self/ns/net", &info) == 0 ? info.st_ino : 0;
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

// The state of the kernel's neighbour entry for dest (NUD_NONE when it has none; -1 when the
// table could not be read) and its link-layer address.
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

uint32_t KernelSendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac,
                       uint32_t* length);

// The helper's first message as SendArp gives it: the first MAC that answered, or none.
// Further MACs reach the listeners.
uint32_t HelperAnswer(uint32_t destAddress, const TAnswer& answer, uint8_t* mac, uint32_t* length) {
  switch (static_cast<TStatus>(answer.status)) {
    case TStatus::Answered: break;
    case TStatus::NoAnswer:
      qCDebug(lcArp, "%s: no ARP reply within %lld ms (late ones are still heard)",
              FormatDotted(destAddress).c_str(), static_cast<long long>(kDeadline.count()));
      return kArpNoAnswer;
    default:
      qCDebug(lcArp, "%s: the ARP helper refused the request (status %u)",
              FormatDotted(destAddress).c_str(), answer.status);
      return kArpNoAnswer;
  }
  return Answer(std::vector<uint8_t>(answer.mac, answer.mac + kMacSize), mac, length);
}

// The MACs a raw request asks one by one: the caller's, then the one the kernel's neighbour
// table holds for the address while it is fresh or being checked (REACHABLE, STALE, DELAY). The
// kernel's entry only prompts the ask: it lists no device by itself.
TKnownMacs MacsToAsk(TNetlink& netlink, const TPath& path, uint32_t destAddress,
                     const TKnownMacs& known) {
  TKnownMacs macs;
  auto add = [&macs](const uint8_t* mac) {
    if (macs.size() >= arphelper::kMostKnownMacs || !arphelper::IsUnicastMac(mac)) return;
    TMacBytes bytes;
    std::copy(mac, mac + kMacSize, bytes.begin());
    if (std::find(macs.begin(), macs.end(), bytes) == macs.end()) macs.push_back(bytes);
  };
  for (const TMacBytes& mac : known) add(mac.data());
  std::vector<uint8_t> hardware;
  if (NeighbourState(netlink, path.ifIndex, destAddress, hardware) &
          (NUD_REACHABLE | NUD_STALE | NUD_DELAY) &&
      hardware.size() == kMacSize) {
    add(hardware.data());
  }
  return macs;
}

// helper is null when there is none in the caller's network namespace.
uint32_t RawSendArp(TArpHelper* helper, uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac,
                    uint32_t* length, const TKnownMacs& known) {
  if (!helper) {
    qCDebug(lcArp, "raw mode without an ARP helper in this network namespace");
    return kArpGenFailure;
  }
  if (helper->Gone()) {
    qCDebug(lcArp, "the ARP helper has ended: asking the kernel");
    return KernelSendArp(destAddress, sourceAddress, mac, length);
  }
  TPath path;
  TKnownMacs ask;
  {
    // Only the lookups hold descriptors of their own; the wait shares the helper's channel.
    TSlot slot;
    TNetlink netlink;
    if (int error = netlink.Open(); error != 0) {
      qCDebug(lcArp, "netlink socket failed (errno %d)", error);
      return kArpGenFailure;
    }
    path = FindPath(netlink, destAddress, sourceAddress);
    if (!path.answer && path.ownMac.empty()) ask = MacsToAsk(netlink, path, destAddress, known);
  }
  if (path.answer) return *path.answer;
  if (!path.ownMac.empty()) return Answer(path.ownMac, mac, length);
  if (*length < kMacSize) return kArpBufferOverflow;
  TAnswer answer;
  if (!helper->Ask(path.ifIndex, destAddress, ask, answer)) {
    qCDebug(lcArp, "%s: the ARP helper gave no answer: asking the kernel",
            FormatDotted(destAddress).c_str());
    return KernelSendArp(destAddress, sourceAddress, mac, length);
  }
  return HelperAnswer(destAddress, answer, mac, length);
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

// The argument checks that every way shares; then resolve() asks. No way writes a second MAC
// any more (further stations reach the listeners), so otherMac is left as it is.
template <typename TResolve>
uint32_t CheckedSendArp(uint32_t destAddress, uint8_t* mac, uint32_t* length, uint32_t* otherLength,
                        TResolve&& resolve) {
  if (otherLength) *otherLength = 0;
  if (!mac || !length || *length == 0 || destAddress == 0) return kArpInvalidParameter;
  return resolve();
}

class TKernelResolver final : public TArpResolver {
 public:
  using TArpResolver::SendArp;
  TArpMode Mode() const override { return TArpMode::Kernel; }

  uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                   uint8_t* /*otherMac*/, uint32_t* otherLength, const TKnownMacs&) override {
    return CheckedSendArp(destAddress, mac, length, otherLength,
                          [&] { return KernelSendArp(destAddress, sourceAddress, mac, length); });
  }

  TArpListening Listen(THeardCallback) override { return {}; }
};

// Owns one helper, which serves the network namespace the resolver was made in; callers in
// any other namespace have no helper. Destroyed only after its calls have returned.
class TRawResolver final : public TArpResolver {
 public:
  explicit TRawResolver(std::unique_ptr<TArpHelper> helper)
      : m_helper(std::move(helper)), m_namespace(CurrentNamespace()) {}

  using TArpResolver::SendArp;
  TArpMode Mode() const override { return TArpMode::Raw; }

  uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                   uint8_t* /*otherMac*/, uint32_t* otherLength, const TKnownMacs& known) override {
    return CheckedSendArp(destAddress, mac, length, otherLength,
                          [&] { return Ask(destAddress, sourceAddress, mac, length, known); });
  }

  TArpListening Listen(THeardCallback heard) override {
    if (!m_helper) return {};
    const std::shared_ptr<THeardHub>& hub = m_helper->Hub();
    return TArpListening(hub, hub->Add(std::move(heard)));
  }

  // The work of SendArp once its arguments have passed.
  uint32_t Ask(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
               const TKnownMacs& known) {
    TArpHelper* helper = CurrentNamespace() == m_namespace ? m_helper.get() : nullptr;
    return RawSendArp(helper, destAddress, sourceAddress, mac, length, known);
  }

  // Whether the helper still holds its packet socket and answers.
  bool Serves() const { return m_helper && !m_helper->Gone(); }

 private:
  const std::unique_ptr<TArpHelper> m_helper;
  const ino_t m_namespace;
};

// The process's way: raw through the helper StartArpHelper started, while that helper serves;
// the kernel's neighbour table otherwise.
class TProcessResolver final : public TArpResolver {
 public:
  // Spawns the helper at path; true when it already serves or now does. Uses neither Qt nor
  // logging: main calls it first thing.
  bool Start(const std::string& path) {
    std::lock_guard lock(m_mutex);
    if (m_raw) return true;
    TStatus hello = TStatus::NoCapability;
    std::optional<TSpawned> spawned = SpawnHelper(path, &hello);
    m_helperInUse = hello == TStatus::InUse;
    if (!spawned) return false;
    std::unique_ptr<TArpHelper> helper = TArpHelper::Adopt(std::move(*spawned));
    if (!helper) return false;
    m_raw = std::make_shared<TRawResolver>(std::move(helper));
    return true;
  }

  using TArpResolver::SendArp;
  TArpMode Mode() const override { return ServingRaw() ? TArpMode::Raw : TArpMode::Kernel; }

  uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                   uint8_t* /*otherMac*/, uint32_t* otherLength, const TKnownMacs& known) override {
    return CheckedSendArp(destAddress, mac, length, otherLength, [&] {
      if (std::shared_ptr<TRawResolver> raw = ServingRaw()) {
        return raw->Ask(destAddress, sourceAddress, mac, length, known);
      }
      if (m_helperInUse) {
        std::call_once(m_saidInUse, [] {
          qCWarning(lcArp,
                    "another ARP helper already serves this network namespace (another "
                    "copy of quenZOR, perhaps of another user): ARP goes through the kernel");
        });
      }
      return KernelSendArp(destAddress, sourceAddress, mac, length);
    });
  }

  // The helper start-up started hears late answers for as long as the process lives; a
  // process without one hears none.
  TArpListening Listen(THeardCallback heard) override {
    std::shared_ptr<TRawResolver> raw;
    {
      std::lock_guard lock(m_mutex);
      raw = m_raw;
    }
    return raw ? raw->Listen(std::move(heard)) : TArpListening();
  }

 private:
  std::shared_ptr<TRawResolver> ServingRaw() const {
    std::lock_guard lock(m_mutex);
    return m_raw && m_raw->Serves() ? m_raw : nullptr;
  }

  mutable std::mutex m_mutex;
  std::shared_ptr<TRawResolver> m_raw;  // set once, by StartArpHelper
  // StartArpHelper's helper was refused: one already serves the namespace. Said once.
  std::atomic<bool> m_helperInUse{false};
  std::once_flag m_saidInUse;
};

TProcessResolver& ProcessResolver() {
  static TProcessResolver resolver;
  return resolver;
}

}  // namespace

TArpResolver& ProcessArpResolver() { return ProcessResolver(); }

std::unique_ptr<TArpResolver> MakeArpResolver(TArpMode mode, const std::string& helperPath) {
  if (mode == TArpMode::Kernel) return std::make_unique<TKernelResolver>();
  const std::string path = helperPath.empty() ? DefaultHelperPath() : helperPath;
  TStatus hello = TStatus::NoCapability;
  std::unique_ptr<TArpHelper> helper = TArpHelper::StartWithDispatcher(path, &hello);
  if (!helper) {
    qCDebug(lcArp, "the ARP helper %s did not start in this network namespace%s", path.c_str(),
            hello == TStatus::InUse ? ": another helper already serves it" : "");
  }
  return std::make_unique<TRawResolver>(std::move(helper));
}

bool StartArpHelper(const std::string& path) {
  return ProcessResolver().Start(path.empty() ? DefaultHelperPath() : path);
}

TArpMode CurrentArpMode() { return ProcessArpResolver().Mode(); }

uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length) {
  return SendArp(destAddress, sourceAddress, mac, length, nullptr, nullptr);
}

uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                 uint8_t* otherMac, uint32_t* otherLength) {
  return ProcessArpResolver().SendArp(destAddress, sourceAddress, mac, length, otherMac,
                                      otherLength);
}

}  // namespace netinfo
