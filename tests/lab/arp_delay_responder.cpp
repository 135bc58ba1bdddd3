// A lab host whose ARP replies come late: run inside the host's namespace after
// `ip link set dev <if> arp off`, so the kernel stays silent, it answers every ARP request
// for <ip> on <if> with a reply sent <delay-ms> later (RFC 826: the reply goes to the
// requester's hardware address, with sender and target fields swapped).
//
//   qz_arp_delay_responder <if> <ip> <delay-ms> [ready-file]
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

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace {

using TClock = std::chrono::steady_clock;
using TFrame = std::array<uint8_t, sizeof(ether_header) + sizeof(ether_arp)>;

struct TPending {
  TClock::time_point due;
  TFrame frame;
};

int Fail(const char* what) {
  std::fprintf(stderr, "qz_arp_delay_responder: %s: %s\n", what, std::strerror(errno));
  return 1;
}

bool OwnMac(const char* ifName, uint8_t mac[6]) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::snprintf(request.ifr_name, IFNAMSIZ, "%s", ifName);
  bool ok = ioctl(fd, SIOCGIFHWADDR, &request) == 0;
  if (ok) std::memcpy(mac, request.ifr_hwaddr.sa_data, 6);
  close(fd);
  return ok;
}

// The reply to an ARP request for ourAddress, or false when the frame is no such request.
bool MakeReply(const uint8_t* data, size_t size, in_addr_t ourAddress, const uint8_t ourMac[6],
               TFrame& reply) {
  if (size < sizeof(ether_header) + sizeof(ether_arp)) return false;
  ether_header eth;
  ether_arp arp;
  std::memcpy(&eth, data, sizeof eth);
  std::memcpy(&arp, data + sizeof eth, sizeof arp);
  if (ntohs(eth.ether_type) != ETHERTYPE_ARP || ntohs(arp.arp_hrd) != ARPHRD_ETHER ||
      ntohs(arp.arp_pro) != ETHERTYPE_IP || arp.arp_hln != 6 || arp.arp_pln != 4 ||
      ntohs(arp.arp_op) != ARPOP_REQUEST || std::memcmp(arp.arp_tpa, &ourAddress, 4) != 0) {
    return false;
  }
  ether_header outEth{};
  std::memcpy(outEth.ether_dhost, arp.arp_sha, 6);
  std::memcpy(outEth.ether_shost, ourMac, 6);
  outEth.ether_type = htons(ETHERTYPE_ARP);
  ether_arp outArp = arp;
  outArp.arp_op = htons(ARPOP_REPLY);
  std::memcpy(outArp.arp_sha, ourMac, 6);
  std::memcpy(outArp.arp_spa, &ourAddress, 4);
  std::memcpy(outArp.arp_tha, arp.arp_sha, 6);
  std::memcpy(outArp.arp_tpa, arp.arp_spa, 4);
  std::memcpy(reply.data(), &outEth, sizeof outEth);
  std::memcpy(reply.data() + sizeof outEth, &outArp, sizeof outArp);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <if> <ip> <delay-ms> [ready-file]\n", argv[0]);
    return 2;
  }
  const char* ifName = argv[1];
  in_addr_t ourAddress = inet_addr(argv[2]);
  auto delay = std::chrono::milliseconds(std::atoi(argv[3]));
  unsigned ifIndex = if_nametoindex(ifName);
  uint8_t ourMac[6];
  if (ifIndex == 0 || !OwnMac(ifName, ourMac)) return Fail("interface");

  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP));
  if (fd < 0) return Fail("socket");
  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  link.sll_protocol = htons(ETH_P_ARP);
  link.sll_ifindex = static_cast<int>(ifIndex);
  if (bind(fd, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0) return Fail("bind");
  if (argc > 4) {
    int ready = open(argv[4], O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (ready >= 0) close(ready);
  }

  std::deque<TPending> pending;  // due times only grow: requests arrive in order
  for (;;) {
    int timeout = -1;
    if (!pending.empty()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(pending.front().due -
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
      TPending entry;
      if (got > 0 && from.sll_pkttype != PACKET_OUTGOING &&
          MakeReply(buffer, static_cast<size_t>(got), ourAddress, ourMac, entry.frame)) {
        entry.due = TClock::now() + delay;
        pending.push_back(entry);
      }
    }
    while (!pending.empty() && pending.front().due <= TClock::now()) {
      sockaddr_ll to = link;
      to.sll_halen = 6;
      std::memcpy(to.sll_addr, pending.front().frame.data(), 6);
      sendto(fd, pending.front().frame.data(), pending.front().frame.size(), 0,
             reinterpret_cast<sockaddr*>(&to), sizeof to);
      pending.pop_front();
    }
  }
}
