#include "netinfo/devicename.h"

#include "netinfo/dnsmessage.h"
#include "netinfo/ipaddress.h"
#include "support/posix.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>

namespace netinfo {

namespace {

using TClock = std::chrono::steady_clock;

// Larger than any answer of interest (a node status answer with 255 names is under 5 KB); a
// datagram that does not fit is cut by the kernel and then not read.
constexpr size_t kDatagramBuffer = 9000;
constexpr int kDatagramsPerWake = 32;

uint16_t RandomId() {
  uint16_t id = 0;
  if (getrandom(&id, sizeof id, GRND_NONBLOCK) != sizeof id) {
    id = static_cast<uint16_t>(TClock::now().time_since_epoch().count());
  }
  return id;
}

// One question to one port of the device, over a UDP socket connected to it: the kernel then
// delivers only datagrams from that address and port, and an ICMP port unreachable ends the
// question at once (ECONNREFUSED) instead of at the end of the budget.
class TQuestion {
 public:
  TQuestion(const sockaddr_in& device, uint16_t port, std::vector<uint8_t> query)
      : m_device(device), m_query(std::move(query)) {
    m_device.sin_port = htons(port);
    m_fd.Reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!m_fd ||
        connect(m_fd.Get(), reinterpret_cast<const sockaddr*>(&m_device), sizeof m_device) != 0)
      Fail();
  }
  TQuestion(const TQuestion&) = delete;
  TQuestion& operator=(const TQuestion&) = delete;

  bool Open() const { return m_fd && !m_answer; }
  int Fd() const { return m_fd.Get(); }
  const std::optional<std::string>& Answer() const { return m_answer; }

  void Send() {
    if (!Open()) return;
    const ssize_t sent = support::RetryOnEintr(
        [&] { return send(m_fd.Get(), m_query.data(), m_query.size(), MSG_NOSIGNAL); });
    if (sent < 0 && errno != EAGAIN) Fail();
  }

  // Reads the datagrams waiting (a bounded number, so a flood cannot hold the caller past its
  // budget) and keeps the first valid answer.
  template <typename TParse>
  void Receive(TParse parse) {
    uint8_t buffer[kDatagramBuffer];
    for (int i = 0; i < kDatagramsPerWake && Open(); ++i) {
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      const ssize_t got = support::RetryOnEintr([&] {
        return recvfrom(m_fd.Get(), buffer, sizeof buffer, MSG_TRUNC,
                        reinterpret_cast<sockaddr*>(&from), &fromLength);
      });
      if (got < 0) {
        if (errno != EAGAIN) Fail();  // ECONNREFUSED: nothing listens on that port
        return;
      }
      if (static_cast<size_t>(got) > sizeof buffer ||
          from.sin_addr.s_addr != m_device.sin_addr.s_addr || from.sin_port != m_device.sin_port) {
        continue;
      }
      m_answer = parse(std::span<const uint8_t>(buffer, static_cast<size_t>(got)));
    }
  }

 private:
  void Fail() { m_fd.Reset(); }

  sockaddr_in m_device;
  std::vector<uint8_t> m_query;
  support::TUniqueFd m_fd;
  std::optional<std::string> m_answer;
};

}  // namespace

namespace {

// Asks both questions at once; with bothAnswers it waits for the NetBIOS answer as well after
// an mDNS one, else an mDNS answer ends the asking.
TOwnNames AskBoth(const std::string& address, int budgetMs, bool bothAnswers) {
  TOwnNames names;
  sockaddr_in device{};
  device.sin_family = AF_INET;
  if (inet_pton(AF_INET, address.c_str(), &device.sin_addr) != 1) return names;
  const std::string question = ReverseName(address);
  const uint16_t mdnsId = RandomId();
  const uint16_t netbiosId = RandomId();
  TQuestion mdns(device, kMdnsPort, BuildPtrQuery(mdnsId, question));
  TQuestion netbios(device, kNetbiosNamePort, BuildNodeStatusRequest(netbiosId));
  const auto parseMdns = [&](std::span<const uint8_t> datagram) {
    return ParsePtrResponse(datagram, mdnsId, question);
  };
  const auto parseNetbios = [&](std::span<const uint8_t> datagram) {
    return ParseNodeStatusResponse(datagram, netbiosId);
  };
  const auto result = [&] {
    names.Mdns = mdns.Answer().value_or("");
    names.Netbios = netbios.Answer().value_or("");
    return names;
  };

  const auto start = TClock::now();
  const auto deadline = start + std::chrono::milliseconds(budgetMs);
  auto retryAt = start + std::chrono::milliseconds(kMdnsRetryMs);
  mdns.Send();
  netbios.Send();
  for (;;) {
    if (mdns.Answer() && (!bothAnswers || !netbios.Open())) return result();
    // NetBIOS answered and mDNS can no longer, or both are done.
    if (!mdns.Open() && !netbios.Open()) return result();
    const auto now = TClock::now();
    if (now >= deadline) return result();
    if (now >= retryAt) {
      mdns.Send();
      retryAt = deadline;
    }
    pollfd fds[2] = {{mdns.Open() ? mdns.Fd() : -1, POLLIN, 0},
                     {netbios.Open() ? netbios.Fd() : -1, POLLIN, 0}};
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::min(retryAt, deadline) - now);
    const int ready = poll(fds, 2, static_cast<int>(wait.count()) + 1);
    if (ready < 0 && errno != EINTR) return result();
    if (ready <= 0) continue;
    if (fds[0].revents != 0) mdns.Receive(parseMdns);
    if (fds[1].revents != 0) netbios.Receive(parseNetbios);
  }
}

}  // namespace

std::string AskDeviceName(const std::string& address, int budgetMs) {
  const TOwnNames names = AskBoth(address, budgetMs, false);
  return names.Mdns.empty() ? names.Netbios : names.Mdns;
}

TOwnNames AskOwnNames(const std::string& address, int budgetMs) {
  return AskBoth(address, budgetMs, true);
}

std::string LookupDeviceName(const std::string& address, const support::TDeadline& deadline) {
  const std::string name = LookupHostName(address);
  if (name != address) return name;
  const int budgetMs = deadline.Clip(kDeviceNameBudgetMs);
  if (budgetMs <= 0) return address;
  const std::string own = AskDeviceName(address, budgetMs);
  return own.empty() ? address : own;
}

std::string LookupDeviceName(const std::string& address) {
  return LookupDeviceName(address,
                          support::TDeadline(std::chrono::milliseconds(kDeviceNameBudgetMs)));
}

}  // namespace netinfo
