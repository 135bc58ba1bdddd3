#include "netinfo/arphelperclient.h"

#include "netinfo/arplog.h"
#include "netinfo/ipaddress.h"
#include "netinfo/kernelarp.h"

#include <linux/neighbour.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <future>

namespace netinfo {
namespace {

using arpwire::TAnswer;
using arpwire::TNetlink;
using arpwire::TStatus;
using std::chrono::milliseconds;
using support::TUniqueFd;

// Raw mode: the helper says the first MAC at once, or that nobody answered at 900 ms (a LAN
// answers within milliseconds). That stays below a second so that the workers of a pass are
// done before the scan driver's check at one second, not just after it; what the helper hears
// later reaches the listeners.
constexpr milliseconds kDeadline{arpwire::kFirstAnswerMs};

// Requests wait for their first message this long at most: the helper says something by 900 ms;
// a helper that stopped answering must not hold a worker for ever.
constexpr milliseconds kHelperPatience{3000};
constexpr int kHelloWaitMs = 3000;

// The helper's message as a listener hears it.
TArpHeard HeardOf(const TAnswer& answer) {
  TArpHeard heard;
  heard.Address = answer.target;
  heard.Closed = answer.status == static_cast<uint16_t>(TStatus::Closed);
  if (!heard.Closed) std::copy(answer.mac, answer.mac + kMacSize, heard.Mac.begin());
  std::copy(answer.firstMac, answer.firstMac + kMacSize, heard.FirstMac.begin());
  heard.Count = answer.count;
  heard.Late = (answer.flags & arpwire::kLate) != 0;
  return heard;
}

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
    if (macs.size() >= arpwire::kMostKnownMacs || !arpwire::IsUnicastMac(mac)) return;
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

}  // namespace

std::string DefaultHelperPath() {
  char self[4096];
  const ssize_t size = readlink("/proc/self/exe", self, sizeof self - 1);
  if (size <= 0) return {};
  std::string path(self, static_cast<size_t>(size));
  path.erase(path.find_last_of('/') + 1);
  return path + QZ_ARP_HELPER_RELATIVE "/quenzor-arp";
}

std::optional<TSpawned> SpawnHelper(const std::string& path, TStatus* hello) {
  if (path.empty()) return std::nullopt;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return std::nullopt;
  TUniqueFd ours(pair[0]), theirs(pair[1]);
  if (theirs.Get() <= arpwire::kChannelFd) {
    // Above the descriptors the child sets up: dup2 onto itself would leave close-on-exec
    // set, and with standard descriptors closed here the pair may sit at 0 to 2.
    theirs.Reset(fcntl(pair[1], F_DUPFD_CLOEXEC, arpwire::kChannelFd + 1));
    if (!theirs) return std::nullopt;
  }
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return std::nullopt;
  auto release = support::ScopeExit([&] { posix_spawn_file_actions_destroy(&actions); });
  if (posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0) != 0 ||
      posix_spawn_file_actions_adddup2(&actions, 0, 1) != 0 ||
      posix_spawn_file_actions_adddup2(&actions, 0, 2) != 0 ||
      posix_spawn_file_actions_adddup2(&actions, theirs.Get(), arpwire::kChannelFd) != 0 ||
      posix_spawn_file_actions_addclosefrom_np(&actions, arpwire::kChannelFd + 1) != 0) {
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
                        arpwire::ParseAnswer(&answer, sizeof answer, answer) && answer.id == 0;
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

void THeardHub::Tell(const TArpHeard& heard) {
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

std::unique_ptr<TArpHelper> TArpHelper::Adopt(TSpawned spawned) {
  std::unique_ptr<TArpHelper> helper(new TArpHelper);
  if (!helper->m_wake) return nullptr;
  helper->m_channel = std::move(spawned.channel);
  helper->m_pid = spawned.pid;
  return helper;
}

std::unique_ptr<TArpHelper> TArpHelper::StartWithDispatcher(const std::string& path,
                                                            TStatus* hello) {
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

TArpHelper::TArpHelper()
    : m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_hub(std::make_shared<THeardHub>()) {}

TArpHelper::~TArpHelper() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(m_wake.Get(), &one, sizeof one);
  if (m_dispatcher.joinable()) m_dispatcher.join();
  m_channel.Reset();  // the helper sees the end of its channel and exits
  if (m_pid > 0) support::RetryOnEintr([&] { return waitpid(m_pid, nullptr, 0); });
}

bool TArpHelper::Gone() {
  std::lock_guard lock(m_mutex);
  return m_gone;
}

bool TArpHelper::Ask(uint32_t ifIndex, uint32_t target, const TKnownMacs& known, TAnswer& answer) {
  TWaiter waiter;
  arpwire::TRequest request;
  request.ifIndex = ifIndex;
  request.target = target;
  for (const TMacBytes& mac : known) {
    if (request.knownCount == arpwire::kMostKnownMacs) break;
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

void TArpHelper::Dispatch() {
  pollfd fds[2] = {{m_channel.Get(), POLLIN, 0}, {m_wake.Get(), POLLIN, 0}};
  for (;;) {
    if (support::RetryOnEintr([&] { return poll(fds, 2, -1); }) < 0 || fds[1].revents != 0) {
      break;
    }
    TAnswer answer;
    const ssize_t got = support::RetryOnEintr(
        [&] { return recv(m_channel.Get(), &answer, sizeof answer, MSG_DONTWAIT | MSG_TRUNC); });
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) break;
    if (got > 0 && arpwire::ParseAnswer(&answer, static_cast<size_t>(got), answer)) {
      Hand(answer);
    }
  }
  std::lock_guard lock(m_mutex);
  m_gone = true;
  for (auto& [id, waiter] : m_waiters) waiter->done.notify_one();
}

void TArpHelper::Hand(const TAnswer& answer) {
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

}  // namespace netinfo
