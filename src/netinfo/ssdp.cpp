#include "netinfo/ssdp.h"

#include "netinfo/arplog.h"
#include "support/posix.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace netinfo {

namespace {

// A search answer is a few hundred bytes; one that does not fit is cut by the kernel and then
// not read.
constexpr size_t kSsdpDatagramBuffer = 2048;
constexpr int kDatagramsPerWake = 64;
// RFC 2365: 239.255/16 is organisation-local scope; TTL 2 keeps the search near the adapter.
constexpr int kSsdpTtl = 2;

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

// A UDP socket bound to the adapter's address that sends to the group through that adapter.
support::TUniqueFd SearchSocket(const std::string& adapterAddress) {
  in_addr local{};
  if (inet_pton(AF_INET, adapterAddress.c_str(), &local) != 1) return {};
  support::TUniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return {};
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_addr = local;
  const int ttl = kSsdpTtl;
  const int loop = 0;
  if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
      setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local) != 0 ||
      setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
      setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
    qCDebug(lcArp, "SSDP search from %s: no socket (errno %d)", adapterAddress.c_str(), errno);
    return {};
  }
  return fd;
}

// The adapter addresses as numbers (host order); a text that is no address is left out.
std::vector<uint32_t> AddressNumbers(const std::vector<std::string>& addresses) {
  std::vector<uint32_t> numbers;
  for (const std::string& address : addresses) {
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) == 1) numbers.push_back(ntohl(parsed.s_addr));
  }
  return numbers;
}

void SendSearch(const std::vector<support::TUniqueFd>& sockets, const std::string& search) {
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(kSsdpPort);
  inet_pton(AF_INET, kSsdpGroup, &group.sin_addr);
  for (const support::TUniqueFd& fd : sockets) {
    support::RetryOnEintr([&] {
      return sendto(fd.Get(), search.data(), search.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&group), sizeof group);
    });
  }
}

}  // namespace

bool IsSsdpSourceSwept(uint32_t source, std::span<const uint32_t> adapterAddresses) {
  bool swept = false;
  for (const uint32_t adapter : adapterAddresses) {
    if (source == adapter) return false;
    if ((source & 0xFFFFFF00u) == (adapter & 0xFFFFFF00u)) swept = true;
  }
  return swept;
}

std::string BuildSsdpSearch() {
  return "M-SEARCH * HTTP/1.1\r\n"
         "HOST: 239.255.255.250:1900\r\n"
         "MAN: \"ssdp:discover\"\r\n"
         "MX: 1\r\n"
         "ST: upnp:rootdevice\r\n"
         "\r\n";
}

std::optional<std::string> ParseSsdpAnswer(std::span<const uint8_t> datagram) {
  const std::string_view text(reinterpret_cast<const char*>(datagram.data()), datagram.size());
  size_t lineStart = 0;
  bool first = true;
  while (lineStart < text.size()) {
    size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = text.size();
    const std::string_view line = text.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    if (first) {
      // The status line of a search answer (UDA 2.0 section 1.3.3).
      if (!StartsWithIgnoringCase(line, "HTTP/1.1 200")) return std::nullopt;
      first = false;
      continue;
    }
    if (Trim(line).empty()) break;  // the end of the header block
    if (!StartsWithIgnoringCase(line, "LOCATION:")) continue;
    const std::string_view value = Trim(line.substr(9));
    if (value.empty() || value.size() > kMaxSsdpLocation) return std::nullopt;
    return std::string(value);
  }
  return std::nullopt;
}

TSsdpSearch::TSsdpSearch(std::vector<std::string> adapterAddresses)
    : m_thread([this, addresses = std::move(adapterAddresses)]() mutable {
        Run(std::move(addresses));
      }) {}

TSsdpSearch::~TSsdpSearch() {
  if (m_thread.joinable()) m_thread.join();
}

std::optional<std::string> TSsdpSearch::LocationOf(const std::string& address,
                                                   TClock::time_point deadline) {
  in_addr wanted{};
  if (inet_pton(AF_INET, address.c_str(), &wanted) != 1) return std::nullopt;
  std::unique_lock lock(m_mutex);
  m_closed.wait_until(lock, deadline, [this] { return m_done; });
  const auto found = m_answers.find(wanted.s_addr);
  if (found == m_answers.end()) return std::nullopt;
  return found->second;
}

size_t TSsdpSearch::AnswerCount() {
  std::lock_guard lock(m_mutex);
  return m_answers.size();
}

void TSsdpSearch::Run(std::vector<std::string> adapterAddresses) {
  const auto start = TClock::now();
  const auto repeatAt = start + std::chrono::milliseconds(kSsdpRepeatMs);
  const auto closeAt = start + std::chrono::milliseconds(kSsdpWindowMs);
  const auto finish = support::ScopeExit([this] {
    {
      std::lock_guard lock(m_mutex);
      m_done = true;
    }
    m_closed.notify_all();
  });
  const std::vector<uint32_t> adapters = AddressNumbers(adapterAddresses);
  std::vector<support::TUniqueFd> sockets;
  for (const std::string& address : adapterAddresses) {
    support::TUniqueFd fd = SearchSocket(address);
    if (fd) sockets.push_back(std::move(fd));
  }
  if (sockets.empty()) return;
  const std::string search = BuildSsdpSearch();
  SendSearch(sockets, search);
  bool repeated = false;
  std::vector<pollfd> fds;
  for (const support::TUniqueFd& fd : sockets) fds.push_back({fd.Get(), POLLIN, 0});
  uint8_t buffer[kSsdpDatagramBuffer];
  for (;;) {
    const auto now = TClock::now();
    if (now >= closeAt) return;
    if (!repeated && now >= repeatAt) {
      SendSearch(sockets, search);
      repeated = true;
    }
    const auto wakeAt = repeated ? closeAt : repeatAt;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now);
    const int ready = poll(fds.data(), fds.size(), static_cast<int>(wait.count()) + 1);
    if (ready <= 0) continue;
    for (pollfd& entry : fds) {
      if (entry.revents == 0) continue;
      for (int i = 0; i < kDatagramsPerWake; ++i) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got = support::RetryOnEintr([&] {
          return recvfrom(entry.fd, buffer, sizeof buffer, MSG_TRUNC,
                          reinterpret_cast<sockaddr*>(&from), &fromLength);
        });
        if (got < 0) break;
        if (static_cast<size_t>(got) > sizeof buffer) continue;
        // Only a device the pass sweeps is asked for its answer, so no other source may take
        // a place among the answers kept.
        if (!IsSsdpSourceSwept(ntohl(from.sin_addr.s_addr), adapters)) continue;
        std::optional<std::string> location =
            ParseSsdpAnswer(std::span<const uint8_t>(buffer, static_cast<size_t>(got)));
        if (!location) continue;
        std::lock_guard lock(m_mutex);
        if (m_answers.size() < kMaxSsdpAnswers) m_answers.emplace(from.sin_addr.s_addr, *location);
      }
    }
  }
}

}  // namespace netinfo
