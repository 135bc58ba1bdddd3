// A lab host that answers ARP itself, and can behave like the devices that are hard to find:
// run inside the host's namespace after `ip link set dev <if> arp off`, so the kernel stays
// silent, it answers ARP requests for <ip> on <if> with a reply sent <delay-ms> later (RFC 826:
// the reply goes to the requester's hardware address, with sender and target fields swapped).
//
//   qz_arp_delay_responder <if> <ip> <delay-ms> [ready-file] [options]
//
//   --doze PCT          power save: loses PCT % of the broadcast who-has frames at random, as a
//                       dozing Wi-Fi station does, but answers every one sent to its MAC (the
//                       access point buffers unicast frames for it)
//   --spacing MS        ignores a who-has that comes within MS of the previous one it received
//                       (answered or not); the first one after 10 s of quiet only wakes it
//   --from MAC[,MAC...] answers each request once from each listed MAC, in this order, instead
//                       of its own (spoofers, address conflicts). A MAC that no switch forwards
//                       as a source (zero, multicast) goes into the ARP sender field only, with
//                       the host's own MAC as the Ethernet source
//   --delay-range MIN-MAX
//                       each reply waits a random time in [MIN, MAX] ms instead of <delay-ms>
//
// The ready file is created once the socket listens. Ends on SIGTERM.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/if_ether.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
using TMac = std::array<uint8_t, 6>;
using TFrame = std::array<uint8_t, sizeof(ether_header) + sizeof(ether_arp)>;

constexpr size_t kMaxPending = 256;  // replies waiting for their time; more are dropped
constexpr size_t kMaxFromMacs = 16;
constexpr auto kWakeAfter = std::chrono::seconds(10);

struct TOptions {
  const char* ifName = nullptr;
  in_addr_t address = 0;
  int delayMinMs = 0;
  int delayMaxMs = 0;
  const char* readyFile = nullptr;
  int dozePercent = 0;
  int spacingMs = 0;
  std::vector<TMac> fromMacs;  // empty: the adapter's own
};

int Fail(const char* what) {
  std::fprintf(stderr, "qz_arp_delay_responder: %s: %s\n", what, std::strerror(errno));
  return 1;
}

bool OwnMac(const char* ifName, TMac& mac) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::snprintf(request.ifr_name, IFNAMSIZ, "%s", ifName);
  bool ok = ioctl(fd, SIOCGIFHWADDR, &request) == 0;
  if (ok) std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, 6);
  close(fd);
  return ok;
}

bool ParseMac(const std::string& text, TMac& mac) {
  unsigned b[6];
  char end;
  if (text.size() != 17 || std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1],
                                       &b[2], &b[3], &b[4], &b[5], &end) != 6)
    return false;
  for (size_t i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(b[i]);
  return true;
}

bool ParseInt(const char* text, int low, int high, int& value) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  value = static_cast<int>(v);
  return true;
}

std::optional<TOptions> ParseArguments(int argc, char** argv) {
  if (argc < 4) return std::nullopt;
  TOptions o;
  o.ifName = argv[1];
  if (inet_pton(AF_INET, argv[2], &o.address) != 1) return std::nullopt;
  if (!ParseInt(argv[3], 0, 600000, o.delayMinMs)) return std::nullopt;
  o.delayMaxMs = o.delayMinMs;
  int i = 4;
  if (i < argc && std::strncmp(argv[i], "--", 2) != 0) o.readyFile = argv[i++];
  for (; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--doze") {
      if (!ParseInt(value, 0, 100, o.dozePercent)) return std::nullopt;
    } else if (name == "--spacing") {
      if (!ParseInt(value, 0, 600000, o.spacingMs)) return std::nullopt;
    } else if (name == "--delay-range") {
      const std::string range = value;
      const size_t dash = range.find('-');
      if (dash == std::string::npos ||
          !ParseInt(range.substr(0, dash).c_str(), 0, 600000, o.delayMinMs) ||
          !ParseInt(range.substr(dash + 1).c_str(), o.delayMinMs, 600000, o.delayMaxMs))
        return std::nullopt;
    } else if (name == "--from") {
      std::string list = value;
      for (size_t start = 0; start <= list.size();) {
        size_t comma = std::min(list.find(',', start), list.size());
        TMac mac;
        if (o.fromMacs.size() >= kMaxFromMacs || !ParseMac(list.substr(start, comma - start), mac))
          return std::nullopt;
        o.fromMacs.push_back(mac);
        start = comma + 1;
      }
    } else {
      return std::nullopt;
    }
  }
  if (i != argc) return std::nullopt;
  return o;
}

// A source address a switch forwards: neither zero nor multicast.
bool ValidSource(const TMac& mac) {
  return (mac[0] & 1) == 0 && std::any_of(mac.begin(), mac.end(), [](uint8_t b) { return b; });
}

// The ARP request in a frame when it asks for address, else nothing.
std::optional<ether_arp> RequestFor(const uint8_t* data, size_t size, in_addr_t address) {
  if (size < sizeof(ether_header) + sizeof(ether_arp)) return std::nullopt;
  ether_header eth;
  ether_arp arp;
  std::memcpy(&eth, data, sizeof eth);
  std::memcpy(&arp, data + sizeof eth, sizeof arp);
  if (ntohs(eth.ether_type) != ETHERTYPE_ARP || ntohs(arp.arp_hrd) != ARPHRD_ETHER ||
      ntohs(arp.arp_pro) != ETHERTYPE_IP || arp.arp_hln != 6 || arp.arp_pln != 4 ||
      ntohs(arp.arp_op) != ARPOP_REQUEST || std::memcmp(arp.arp_tpa, &address, 4) != 0) {
    return std::nullopt;
  }
  return arp;
}

TFrame MakeReply(const ether_arp& request, in_addr_t address, const TMac& senderMac,
                 const TMac& ownMac) {
  ether_header outEth{};
  std::memcpy(outEth.ether_dhost, request.arp_sha, 6);
  std::memcpy(outEth.ether_shost, ValidSource(senderMac) ? senderMac.data() : ownMac.data(), 6);
  outEth.ether_type = htons(ETHERTYPE_ARP);
  ether_arp outArp = request;
  outArp.arp_op = htons(ARPOP_REPLY);
  std::memcpy(outArp.arp_sha, senderMac.data(), 6);
  std::memcpy(outArp.arp_spa, &address, 4);
  std::memcpy(outArp.arp_tha, request.arp_sha, 6);
  std::memcpy(outArp.arp_tpa, request.arp_spa, 4);
  TFrame reply;
  std::memcpy(reply.data(), &outEth, sizeof outEth);
  std::memcpy(reply.data() + sizeof outEth, &outArp, sizeof outArp);
  return reply;
}

// Whether a device with these habits answers a who-has that reached its adapter now.
class TDevice {
 public:
  explicit TDevice(const TOptions& options)
      : m_options(options), m_random(std::random_device{}()) {}

  bool Answers(bool broadcast, TClock::time_point now) {
    if (broadcast && m_options.dozePercent > 0 &&
        std::uniform_int_distribution<int>(0, 99)(m_random) < m_options.dozePercent)
      return false;  // asleep: the frame was never received
    if (m_options.spacingMs <= 0) return true;
    const auto last = m_lastHeard;
    m_lastHeard = now;
    if (!last || now - *last >= kWakeAfter) return false;  // it only wakes
    return now - *last >= std::chrono::milliseconds(m_options.spacingMs);
  }

  std::chrono::milliseconds Delay() {
    return std::chrono::milliseconds(
        std::uniform_int_distribution<int>(m_options.delayMinMs, m_options.delayMaxMs)(m_random));
  }

 private:
  const TOptions& m_options;
  std::mt19937 m_random;
  std::optional<TClock::time_point> m_lastHeard;
};

}  // namespace

int main(int argc, char** argv) {
  std::optional<TOptions> parsed = ParseArguments(argc, argv);
  if (!parsed) {
    std::fprintf(stderr,
                 "usage: %s <if> <ip> <delay-ms> [ready-file] [--doze PCT] [--spacing MS] "
                 "[--from MAC[,MAC...]] [--delay-range MIN-MAX]\n",
                 argv[0]);
    return 2;
  }
  const TOptions& options = *parsed;
  unsigned ifIndex = if_nametoindex(options.ifName);
  TMac ownMac;
  if (ifIndex == 0 || !OwnMac(options.ifName, ownMac)) return Fail("interface");
  const std::vector<TMac> senders =
      options.fromMacs.empty() ? std::vector<TMac>{ownMac} : options.fromMacs;

  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP));
  if (fd < 0) return Fail("socket");
  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  link.sll_protocol = htons(ETH_P_ARP);
  link.sll_ifindex = static_cast<int>(ifIndex);
  if (bind(fd, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0) return Fail("bind");
  if (options.readyFile != nullptr) {
    int ready = open(options.readyFile, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (ready >= 0) close(ready);
  }

  TDevice device(options);
  std::multimap<TClock::time_point, TFrame> pending;  // equal times keep their order
  for (;;) {
    int timeout = -1;
    if (!pending.empty()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(pending.begin()->first -
                                                                        TClock::now());
      timeout = static_cast<int>(std::max<long long>(0, left.count() + 1));
    }
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, timeout);
    if (n < 0 && errno != EINTR) return Fail("poll");
    if (n > 0) {
      uint8_t buffer[2048];
      sockaddr_ll from{};
      socklen_t fromLength = sizeof from;
      ssize_t got =
          recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
      std::optional<ether_arp> request;
      if (got > 0) request = RequestFor(buffer, static_cast<size_t>(got), options.address);
      // Unicast is what is sent to the adapter's MAC or to one the device answers from.
      bool broadcast = from.sll_pkttype == PACKET_BROADCAST || from.sll_pkttype == PACKET_MULTICAST;
      bool unicast = from.sll_pkttype == PACKET_HOST ||
                     (from.sll_pkttype == PACKET_OTHERHOST &&
                      std::any_of(senders.begin(), senders.end(), [&](const TMac& mac) {
                        return std::memcmp(buffer, mac.data(), 6) == 0;
                      }));
      const auto now = TClock::now();
      if (request && (broadcast || unicast) && device.Answers(broadcast, now)) {
        const auto due = now + device.Delay();
        for (const TMac& sender : senders) {
          if (pending.size() >= kMaxPending) break;
          pending.emplace(due, MakeReply(*request, options.address, sender, ownMac));
        }
      }
    }
    while (!pending.empty() && pending.begin()->first <= TClock::now()) {
      const TFrame& frame = pending.begin()->second;
      sockaddr_ll to = link;
      to.sll_halen = 6;
      std::memcpy(to.sll_addr, frame.data(), 6);
      sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      pending.erase(pending.begin());
    }
  }
}
