#include "netinfo/arp.h"

#include "lab/lab.h"
#include "lab/labprocess.h"
#include "netinfo/adapters.h"
#include "arpwire/protocol.h"
#include "support/posix.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

namespace {

using netinfo::TArpMode;

constexpr const char* kScanner = "192.168.70.2";
constexpr const char* kScannerMac = "02-00-00-00-70-02";
constexpr const char* kLive = "192.168.70.10";
constexpr const char* kDelayed = "192.168.70.11";
constexpr const char* kAbsent = "192.168.70.20";
constexpr const char* kOffLink = "192.168.70.200";  // beyond the scanner's /25, yet on the wire
constexpr const char* kGateway = "172.16.70.1";
constexpr const char* kBehindGateway = "192.168.71.5";

struct TResult {
  uint32_t code = 0;
  std::string mac;
};

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// One lab for the whole suite; both modes ask the same hosts, each case through a resolver of
// its mode made in the scanner's namespace. The cases flush the scanner's neighbour table
// first, so no answer is left over from an earlier case.
class ArpLab : public testing::TestWithParam<TArpMode> {
 protected:
  static void SetUpTestSuite() {
    if (!lab::HaveRoot()) return;
    s_lab = std::make_unique<lab::TLab>();
    s_lab->AddSegment(std::string(kScanner) + "/25", "02:00:00:00:70:02");
    s_lab->AddSegment("172.16.70.2/24");
    s_lab->AddHost({kLive, "00:00:0c:70:00:10", "", 0});
    s_lab->AddHost({kDelayed, "00:50:56:70:00:11", "", 0});
    s_lab->AddHost({std::string(kOffLink) + "/24", "00:00:0c:70:00:c8", "", 0});
    s_lab->AddHost({kGateway, "00:00:0c:70:01:01", "", 1});
    s_lab->Up();
    s_lab->StartDelayedArpHost(kDelayed, 300);
    s_lab->RunInScanner({"ip", "route", "add", "192.168.71.0/24", "via", kGateway});
  }
  static void TearDownTestSuite() { s_lab.reset(); }

  void SetUp() override {
    QZ_REQUIRE_LAB();
    ASSERT_TRUE(s_lab);
    s_lab->RunInScanner({"ip", "neigh", "flush", "all"});
    lab::TScannerScope scope(*s_lab);
    m_resolver = netinfo::MakeArpResolver(GetParam(), QZ_ARP_HELPER_PATH);
  }

  TResult Ask(const std::string& address, uint32_t bufferLength = 6) {
    uint8_t mac[8] = {};
    uint32_t length = bufferLength;
    TResult result;
    result.code =
        m_resolver->SendArp(inet_addr(address.c_str()), 0, mac, &length, nullptr, nullptr);
    if (result.code == 0) result.mac = netinfo::MacToText(mac, length);
    return result;
  }

  std::unique_ptr<netinfo::TArpResolver> m_resolver;

  static std::unique_ptr<lab::TLab> s_lab;
};

std::unique_ptr<lab::TLab> ArpLab::s_lab;

TEST_P(ArpLab, LiveHostGivesItsMac) {
  lab::TScannerScope scope(*s_lab);
  TResult r = Ask(kLive);
  EXPECT_EQ(r.code, 0u);
  EXPECT_EQ(r.mac, "00-00-0C-70-00-10");
}

TEST_P(ArpLab, HostWhoseRepliesAre300MsLateStillAnswers) {
  lab::TScannerScope scope(*s_lab);
  TResult r = Ask(kDelayed);
  EXPECT_EQ(r.code, 0u);
  EXPECT_EQ(r.mac, "00-50-56-70-00-11");
}

TEST_P(ArpLab, OwnAddressGivesTheAdaptersOwnMac) {
  lab::TScannerScope scope(*s_lab);
  TResult r = Ask(kScanner);
  EXPECT_EQ(r.code, 0u);
  EXPECT_EQ(r.mac, kScannerMac);
}

TEST_P(ArpLab, AddressesWithoutAnOnLinkAnswerHaveNone) {
  lab::TScannerScope scope(*s_lab);
  EXPECT_EQ(Ask(kAbsent).code, netinfo::kArpNoAnswer) << "nobody there";
  EXPECT_EQ(Ask(kOffLink).code, netinfo::kArpNoAnswer)
      << "outside the /25, though a host there would answer";
  EXPECT_EQ(Ask(kBehindGateway).code, netinfo::kArpNoAnswer) << "through a gateway";
  EXPECT_EQ(Ask("192.168.99.1").code, netinfo::kArpNoAnswer) << "no route at all";
  EXPECT_EQ(Ask("192.168.70.127").code, netinfo::kArpNoAnswer) << "the /25's broadcast address";
  EXPECT_EQ(Ask(kGateway).code, 0u) << "the gateway itself is on-link";
}

TEST_P(ArpLab, BadArgumentsAndShortBuffers) {
  lab::TScannerScope scope(*s_lab);
  uint8_t mac[6];
  uint32_t length = 6;
  auto send = [&](uint32_t dest, uint8_t* to, uint32_t* room) {
    return m_resolver->SendArp(dest, 0, to, room, nullptr, nullptr);
  };
  EXPECT_EQ(send(inet_addr(kLive), nullptr, &length), netinfo::kArpInvalidParameter);
  EXPECT_EQ(send(inet_addr(kLive), mac, nullptr), netinfo::kArpInvalidParameter);
  EXPECT_EQ(send(0, mac, &length), netinfo::kArpInvalidParameter);
  EXPECT_EQ(Ask(kLive, 4).code, netinfo::kArpBufferOverflow);
  EXPECT_EQ(Ask(kLive, 8).mac, "00-00-0C-70-00-10") << "a larger buffer gets six bytes";
}

// A sweep as the scanner makes it: many callers at once, one per address, each repeated so
// that more than a first pass's 1255 workers run together.
TEST_P(ArpLab, ManyConcurrentCallersEachGetTheirOwnAnswer) {
  lab::TScannerScope scope(*s_lab);
  Ask(kLive);  // raw mode's shared socket is open from here on
  const size_t descriptorsBefore = OpenDescriptors();
  constexpr int kCallers = 1300;
  std::vector<TResult> results(kCallers);
  std::vector<std::thread> threads;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCallers; ++i) {
    // Threads made inside the scope start in the scanner namespace too.
    threads.emplace_back(
        [this, &results, i] { results[i] = Ask("192.168.70." + std::to_string(1 + i % 126)); });
  }
  for (auto& t : threads) t.join();
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  std::map<std::string, std::string> expected{
      {kScanner, kScannerMac}, {kLive, "00-00-0C-70-00-10"}, {kDelayed, "00-50-56-70-00-11"}};
  int answers = 0;
  for (int i = 0; i < kCallers; ++i) {
    std::string address = "192.168.70." + std::to_string(1 + i % 126);
    auto it = expected.find(address);
    if (it == expected.end()) {
      EXPECT_EQ(results[i].code, netinfo::kArpNoAnswer) << address;
    } else {
      EXPECT_EQ(results[i].code, 0u) << address;
      EXPECT_EQ(results[i].mac, it->second) << address;
      ++answers;
    }
  }
  EXPECT_EQ(answers, 3 * (kCallers / 126) + 3);
  EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
  std::cout << "[ FIGURE   ] " << (GetParam() == TArpMode::Raw ? "raw" : "kernel")
            << " mode: " << kCallers << " concurrent callers over a /25 done in " << elapsed.count()
            << " ms" << std::endl;
}

// A first pass over five /24s: 1275 callers at once. In kernel mode more unanswered
// neighbours than the kernel's table holds would be pending at once, so the later callers
// wait for room; no answer may be lost either way.
TEST_P(ArpLab, SweepOfFiveNetworksLosesNoAnswer) {
  lab::TLab lab;
  for (int s = 0; s < 5; ++s) {
    std::string net = "192.168." + std::to_string(110 + s) + ".";
    lab.AddSegment(net + "2/24");
    for (int h = 0; h < 4; ++h) {
      char mac[18];
      std::snprintf(mac, sizeof mac, "00:00:0c:%02x:00:%02x", 110 + s, h);
      lab.AddHost({net + std::to_string(60 * h + 10 + s), mac, "", s});
    }
  }
  lab.Up();
  lab::TScannerScope scope(lab);
  // This lab's scanner is a namespace of its own: a resolver of its own, ended before the lab.
  m_resolver = netinfo::MakeArpResolver(GetParam(), QZ_ARP_HELPER_PATH);
  const auto endResolver = support::ScopeExit([this] { m_resolver.reset(); });
  std::vector<uint32_t> codes(1275);
  std::vector<std::thread> threads;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1275; ++i) {
    threads.emplace_back([this, &codes, i] {
      codes[i] =
          Ask("192.168." + std::to_string(110 + i / 255) + "." + std::to_string(1 + i % 255)).code;
    });
  }
  for (auto& t : threads) t.join();
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 0u), 5 + 20) << "five own addresses, 20 hosts";
  std::cout << "[ FIGURE   ] " << (GetParam() == TArpMode::Raw ? "raw" : "kernel") << " mode: "
            << "sweep of 1275 addresses in " << elapsed.count() << " ms" << std::endl;
}

// Sends ARP replies as fast as it can from a lab host, with the given sender address, until
// stopped: frames that pass the packet socket's filter but answer nobody.
class TReplyFlood {
 public:
  TReplyFlood(const std::string& hostNs, const std::string& sender)
      : m_thread([this, hostNs, sender] { Run(hostNs, sender); }) {}
  ~TReplyFlood() {
    m_stop = true;
    m_thread.join();
  }
  long Sent() const { return m_sent; }

 private:
  void Run(const std::string& hostNs, const std::string& sender) {
    lab::TNetnsScope scope(hostNs);
    int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP));
    if (fd < 0) return;
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_ARP);
    to.sll_ifindex = static_cast<int>(if_nametoindex(lab::kHostAdapter));
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xFF, 6);
    uint8_t reply[28] = {0x00, 0x01, 0x08, 0x00, 6,    4,    0x00,
                         0x02, 0x02, 0x00, 0x00, 0x00, 0xf1, 0x0d};
    in_addr_t from = inet_addr(sender.c_str());
    std::memcpy(reply + 14, &from, 4);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!m_stop && std::chrono::steady_clock::now() < end) {
      if (sendto(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0)
        ++m_sent;
    }
    close(fd);
  }

  std::atomic<bool> m_stop{false};
  std::atomic<long> m_sent{0};
  std::thread m_thread;
};

// Raw mode shares one socket among all callers. Under a flood of replies that pass its filter
// (a third address on the asked link, and the asked address itself on another adapter), two
// callers, one on each adapter, still each get their own host's reply, and a caller whose
// address nobody answers is done at its deadline. The kernel's table must not be fooled by
// the flood either.
TEST_P(ArpLab, RepliesReachOnlyTheirOwnCallerAndAFloodHoldsNobody) {
  {
    TReplyFlood thirdAddress(s_lab->HostNs(kLive), "192.168.70.21");
    TReplyFlood otherAdapter(s_lab->HostNs(kGateway), kAbsent);
    lab::TScannerScope scope(*s_lab);
    TResult live, gateway, absent;
    std::chrono::milliseconds absentTook{};
    std::thread a([&] { live = Ask(kLive); });
    std::thread b([&] { gateway = Ask(kGateway); });
    std::thread c([&] {
      auto start = std::chrono::steady_clock::now();
      absent = Ask(kAbsent);
      absentTook = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
    });
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(live.mac, "00-00-0C-70-00-10");
    EXPECT_EQ(gateway.mac, "00-00-0C-70-01-01");
    EXPECT_EQ(absent.code, netinfo::kArpNoAnswer) << "a reply from elsewhere is no answer";
    EXPECT_LT(absentTook.count(), 2500) << "the flood kept the caller past its deadline";
    EXPECT_GT(thirdAddress.Sent() + otherAdapter.Sent(), 1000) << "the flood did not flow";
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, ArpLab, testing::Values(TArpMode::Raw, TArpMode::Kernel),
                         [](const testing::TestParamInfo<TArpMode>& info) {
                           return info.param == TArpMode::Raw ? "Raw" : "Kernel";
                         });

// The mode comes from what start-up could open: with the capability (root here) raw, as
// nobody without it the kernel's table. Either way the helper keeps no capability.
TEST(ArpMode, WithTheCapabilityAtStartRawOtherwiseTheKernel) {
  QZ_REQUIRE_LAB();
  lab::TLab lab;
  lab.AddSegment("192.168.72.2/24");
  lab.AddHost({"192.168.72.10", "00:00:0c:72:00:10", "", 0});
  lab.Up();
  std::string setpriv = lab::FindProgram("setpriv");
  ASSERT_FALSE(setpriv.empty());
  std::string out;
  ASSERT_EQ(lab.RunInScanner({QZ_NETINFO_HELPER, "arp", "192.168.72.10", "192.168.72.11"}, &out),
            0);
  EXPECT_EQ(out,
            "raw 192.168.72.10 0 00-00-0C-72-00-10\n"
            "raw 192.168.72.11 67 -\n");
  ASSERT_EQ(lab.RunInScanner({setpriv, "--reuid=65534", "--regid=65534", "--clear-groups",
                              QZ_NETINFO_HELPER, "arp", "192.168.72.10", "192.168.72.11"},
                             &out),
            0);
  EXPECT_EQ(out,
            "kernel 192.168.72.10 0 00-00-0C-72-00-10\n"
            "kernel 192.168.72.11 67 -\n");
  // With the capability, while another helper serves the namespace: the program's helper is
  // refused, and the program asks the kernel as without one.
  std::unique_ptr<netinfo::TArpResolver> serving;
  {
    lab::TScannerScope scope(lab);
    serving = netinfo::MakeArpResolver(TArpMode::Raw, QZ_ARP_HELPER_PATH);
  }
  ASSERT_EQ(lab.RunInScanner({QZ_NETINFO_HELPER, "arp", "192.168.72.10"}, &out), 0);
  EXPECT_EQ(out, "kernel 192.168.72.10 0 00-00-0C-72-00-10\n");
}

// A raw resolver's helper serves the namespace the resolver was made in: a caller elsewhere,
// like a resolver whose helper did not start, fails at once without a packet sent. The
// namespaces are fresh ones holding only a loopback interface that is down.
TEST(ArpResolver, RawServesOnlyItsOwnNamespace) {
  QZ_REQUIRE_LAB();
  auto ask = [](netinfo::TArpResolver& resolver) {
    uint8_t mac[6];
    uint32_t length = 6;
    return resolver.SendArp(inet_addr("127.0.0.1"), 0, mac, &length, nullptr, nullptr);
  };
  std::unique_ptr<netinfo::TArpResolver> raw;
  uint32_t here = 0, withoutHelper = 0, elsewhere = 0;
  std::thread([&] {
    if (unshare(CLONE_NEWNET) != 0) return;
    raw = netinfo::MakeArpResolver(TArpMode::Raw, QZ_ARP_HELPER_PATH);
    here = ask(*raw);
    withoutHelper = ask(*netinfo::MakeArpResolver(TArpMode::Raw, "/nonexistent/quenzor-arp"));
  }).join();
  ASSERT_TRUE(raw);
  std::thread([&] {
    if (unshare(CLONE_NEWNET) == 0) elsewhere = ask(*raw);
  }).join();
  EXPECT_EQ(raw->Mode(), TArpMode::Raw);
  EXPECT_EQ(here, netinfo::kArpNoAnswer) << "served: no route to a loopback that is down";
  EXPECT_EQ(withoutHelper, netinfo::kArpGenFailure);
  EXPECT_EQ(elsewhere, netinfo::kArpGenFailure);
}

}  // namespace

// ---- the raw-ARP helper on its own ----

namespace helper {

using arpwire::TAnswer;
using arpwire::TRequest;
using arpwire::TStatus;

constexpr const char* kScannerIp = "192.168.73.2";
constexpr uint8_t kScannerMacBytes[6] = {0x02, 0, 0, 0, 0x73, 0x02};
constexpr const char* kHostIp = "192.168.73.10";
constexpr const char* kSpooferIp = "192.168.73.40";

std::array<uint8_t, 6> Mac(uint8_t last) { return {0x00, 0x00, 0x0c, 0x73, 0x00, last}; }

// A station that answers ARP requests as a spoofer would, by the address asked for:
//   .50  a reply from another address (.51)       .52  a reply to an address not ours
//   .53  a reply to another station's MAC (seen only because the adapter is promiscuous)
//   .54  two replies, from two MACs                .55  one proper reply
//   .56  replies from a zero and a multicast MAC only
class TSpoofer {
 public:
  explicit TSpoofer(const std::string& hostNs) : m_thread([this, hostNs] { Run(hostNs); }) {}
  ~TSpoofer() {
    m_stop = true;
    m_thread.join();
  }

 private:
  void Run(const std::string& hostNs) {
    lab::TNetnsScope scope(hostNs);
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP));
    if (fd < 0) return;
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ARP);
    at.sll_ifindex = static_cast<int>(if_nametoindex(lab::kHostAdapter));
    bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    timeval wait{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    uint8_t frame[128];
    while (!m_stop) {
      const ssize_t got = recv(fd, frame, sizeof frame, 0);
      if (got < 42 || frame[20] != 0 || frame[21] != 1) continue;  // ARP requests only
      const uint8_t asked = frame[41];
      auto reply = [&](uint8_t senderLast, std::array<uint8_t, 6> mac, uint8_t targetLast,
                       const uint8_t* dest) {
        uint8_t out[42];
        std::memcpy(out, dest, 6);
        std::memcpy(out + 6, mac.data(), 6);
        std::memcpy(out + 12, frame + 12, 10);  // ethertype, ARP header
        out[21] = 2;                            // reply
        std::memcpy(out + 22, mac.data(), 6);
        std::memcpy(out + 28, frame + 38, 3);  // 192.168.73.
        out[31] = senderLast;
        std::memcpy(out + 32, frame + 22, 6);  // the asker's MAC and address
        std::memcpy(out + 38, frame + 28, 4);
        out[41] = targetLast;
        sendto(fd, out, sizeof out, 0, reinterpret_cast<sockaddr*>(&at), sizeof at);
      };
      const uint8_t* asker = frame + 6;
      const uint8_t otherStation[6] = {0x02, 0, 0, 0, 0x73, 0x99};
      const uint8_t askerLast = frame[31];
      switch (asked) {
        case 50: reply(51, Mac(0x50), askerLast, asker); break;
        case 52: reply(52, Mac(0x52), 99, asker); break;
        case 53: reply(53, Mac(0x53), askerLast, otherStation); break;
        case 54:
          reply(54, Mac(0x54), askerLast, asker);
          reply(54, Mac(0x64), askerLast, asker);
          break;
        case 55: reply(55, Mac(0x55), askerLast, asker); break;
        case 56:
          reply(56, {0, 0, 0, 0, 0, 0}, askerLast, asker);
          reply(56, {0x01, 0x00, 0x5e, 0, 0, 0x56}, askerLast, asker);
          break;
        default: break;
      }
    }
    close(fd);
  }

  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// The frames that enter the lab's switch from the scanner's adapter, read in the switch.
class TCapture {
 public:
  TCapture(const std::string& switchNs, const std::string& port)
      : m_thread([this, switchNs, port] { Run(switchNs, port); }) {
    while (!m_ready) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~TCapture() { Stop(); }
  void Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
  }
  // Frames that are not an ARP who-has from the scanner's own MAC and address.
  long Foreign() const { return m_foreign; }
  long WhoHas() const { return m_whoHas; }

 private:
  void Run(const std::string& switchNs, const std::string& port) {
    lab::TNetnsScope scope(switchNs);
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) ++m_foreign;  // no capture: the test fails rather than pass unseen
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(if_nametoindex(port.c_str()));
    int bytes = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
    bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    timeval wait{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    m_ready = true;
    const in_addr_t scanner = inet_addr(kScannerIp);
    uint8_t frame[2048];
    while (!m_stop) {
      sockaddr_ll from{};
      socklen_t size = sizeof from;
      const ssize_t got =
          recvfrom(fd, frame, sizeof frame, 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (got <= 0 || from.sll_pkttype == PACKET_OUTGOING) continue;  // toward the scanner
      const bool whoHas = got >= 42 && frame[12] == 0x08 && frame[13] == 0x06 && frame[20] == 0 &&
                          frame[21] == 1 && std::memcmp(frame + 6, kScannerMacBytes, 6) == 0 &&
                          std::memcmp(frame + 22, kScannerMacBytes, 6) == 0 &&
                          std::memcmp(frame + 28, &scanner, 4) == 0 &&
                          std::all_of(frame, frame + 6, [](uint8_t b) { return b == 0xFF; });
      ++(whoHas ? m_whoHas : m_foreign);
    }
    close(fd);
  }

  std::atomic<bool> m_ready{false}, m_stop{false};
  std::atomic<long> m_whoHas{0}, m_foreign{0};
  std::thread m_thread;
};

class ArpHelperLab : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!lab::HaveRoot()) return;
    s_lab = std::make_unique<lab::TLab>();
    s_lab->AddSegment(std::string(kScannerIp) + "/24", "02:00:00:00:73:02");
    s_lab->AddHost({kHostIp, "00:00:0c:73:00:10", "", 0});
    s_lab->AddHost({kSpooferIp, "02:00:00:00:73:40", "", 0});
    s_lab->Up();
    // The capture counts every frame from the scanner: no IPv6 solicitations of its kernel.
    s_lab->RunInScanner(
        {"sysctl", "-qw", "net.ipv6.conf." + lab::ScannerAdapter(0) + ".disable_ipv6=1"});
  }
  static void TearDownTestSuite() { s_lab.reset(); }
  void SetUp() override {
    QZ_REQUIRE_LAB();
    ASSERT_TRUE(s_lab);
  }

  static std::unique_ptr<lab::TLab> s_lab;
};

std::unique_ptr<lab::TLab> ArpHelperLab::s_lab;

// The first MAC is the call's answer; a second one reaches the listener as it comes, naming the
// first. A zero or multicast sender MAC is nobody's answer.
TEST_F(ArpHelperLab, OnlyCheckedRepliesCountAndASecondMacIsHeard) {
  TSpoofer spoofer(s_lab->HostNs(kSpooferIp));
  s_lab->RunInScanner({"ip", "link", "set", lab::ScannerAdapter(0), "promisc", "on"});
  lab::TScannerScope scope(*s_lab);
  std::unique_ptr<netinfo::TArpResolver> resolver =
      netinfo::MakeArpResolver(netinfo::TArpMode::Raw, QZ_ARP_HELPER_PATH);
  std::mutex heardMutex;
  std::vector<netinfo::TArpHeard> heard;
  netinfo::TArpListening listening = resolver->Listen([&](const netinfo::TArpHeard& h) {
    std::lock_guard lock(heardMutex);
    heard.push_back(h);
  });
  struct TCase {
    int last;
    uint32_t code;
    std::string mac, other;
  };
  const std::vector<TCase> cases = {
      {50, netinfo::kArpNoAnswer, "", ""},  // answered by another address
      {52, netinfo::kArpNoAnswer, "", ""},  // the reply's target address is not ours
      {53, netinfo::kArpNoAnswer, "", ""},  // a reply to another station
      {54, 0, "00-00-0C-73-00-54", ""},     // the second MAC is heard below
      {55, 0, "00-00-0C-73-00-55", ""},
      {56, netinfo::kArpNoAnswer, "", ""},  // zero and multicast MACs
      {10, 0, "00-00-0C-73-00-10", ""}};    // a host's own kernel
  std::vector<std::thread> askers;
  std::vector<TCase> got(cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    askers.emplace_back([&, i] {
      uint8_t mac[6], other[6];
      uint32_t length = 6, otherLength = 6;
      const std::string address = "192.168.73." + std::to_string(cases[i].last);
      got[i].last = cases[i].last;
      got[i].code =
          resolver->SendArp(inet_addr(address.c_str()), 0, mac, &length, other, &otherLength);
      if (got[i].code == 0) got[i].mac = netinfo::MacToText(mac, length);
      if (otherLength == 6) got[i].other = netinfo::MacToText(other, otherLength);
    });
  }
  for (auto& t : askers) t.join();
  // Whatever else is heard comes within the listening window.
  std::this_thread::sleep_for(std::chrono::milliseconds(netinfo::kArpListenMs));
  listening.Reset();
  resolver.reset();
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(got[i].code, cases[i].code) << cases[i].last;
    EXPECT_EQ(got[i].mac, cases[i].mac) << cases[i].last;
    EXPECT_EQ(got[i].other, cases[i].other) << cases[i].last;
  }
  ASSERT_EQ(heard.size(), 1u) << "only .54's second MAC";
  EXPECT_EQ(heard[0].Address, inet_addr("192.168.73.54"));
  EXPECT_EQ(netinfo::MacToText(heard[0].Mac.data(), 6), "00-00-0C-73-00-64");
  EXPECT_EQ(netinfo::MacToText(heard[0].FirstMac.data(), 6), "00-00-0C-73-00-54");
  EXPECT_EQ(heard[0].Count, 2);
  EXPECT_FALSE(heard[0].Late);
}

// The helper as anyone may run it: a copy with cap_net_raw, started by nobody with a socket
// pair of its own. Each hostile request gets its refusal, a burst beyond the frame budget is
// cut, and the wire sees nothing but who-has requests from the adapter's own addresses.
TEST_F(ArpHelperLab, RunByNobodyItRefusesWhatIsNotItsJobAndSendsOnlyWhoHas) {
  char folder[] = "/tmp/qz-arp-helper-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string helperCopy = std::string(folder) + "/quenzor-arp";
  auto cleanup = support::ScopeExit([&] { std::filesystem::remove_all(folder); });
  std::filesystem::copy_file(QZ_ARP_HELPER_PATH, helperCopy);
  chmod(folder, 0755);
  chmod(helperCopy.c_str(), 0755);
  ASSERT_EQ(std::system(("setcap cap_net_raw+ep " + helperCopy).c_str()), 0);

  // The scanner's veth peer in the switch has the scanner adapter's name too.
  TCapture capture(s_lab->SwitchNs(), lab::ScannerAdapter(0));

  lab::TScannerScope scope(*s_lab);
  const uint32_t ifIndex = if_nametoindex(lab::ScannerAdapter(0).c_str());
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  support::TUniqueFd channel(pair[0]), theirs(pair[1]);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char* argv[] = {const_cast<char*>(helperCopy.c_str()), nullptr};
    char* envp[] = {nullptr};
    if (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
        setresuid(65534, 65534, 65534) == 0 && dup2(pair[1], arpwire::kChannelFd) >= 0) {
      execve(argv[0], argv, envp);
    }
    _exit(127);
  }
  theirs.Reset();
  auto reap = support::ScopeExit([&] {
    channel.Reset();
    waitpid(pid, nullptr, 0);
  });
  auto receive = [&] {
    TAnswer answer{};
    pollfd p{channel.Get(), POLLIN, 0};
    if (poll(&p, 1, 3000) != 1 || recv(channel.Get(), &answer, sizeof answer, 0) != sizeof answer)
      answer.status = 0xFFFF;
    return answer;
  };
  ASSERT_EQ(receive().status, static_cast<uint16_t>(TStatus::Ready));

  auto ask = [&](uint32_t id, uint32_t index, const char* target) {
    TRequest request;
    request.id = id;
    request.ifIndex = index;
    request.target = inet_addr(target);
    send(channel.Get(), &request, sizeof request, 0);
    return receive();
  };
  EXPECT_EQ(ask(1, 9999, kHostIp).status, static_cast<uint16_t>(TStatus::BadAdapter));
  EXPECT_EQ(ask(2, 1, "127.0.0.2").status, static_cast<uint16_t>(TStatus::BadAdapter)) << "lo";
  EXPECT_EQ(ask(3, ifIndex, "192.168.74.10").status, static_cast<uint16_t>(TStatus::OffNetwork));
  EXPECT_EQ(ask(4, ifIndex, "10.0.0.1").status, static_cast<uint16_t>(TStatus::OffNetwork));
  const TAnswer own = ask(5, ifIndex, kScannerIp);
  EXPECT_EQ(own.status, static_cast<uint16_t>(TStatus::Answered));
  EXPECT_EQ(std::memcmp(own.mac, kScannerMacBytes, 6), 0) << "its own address: its own MAC";
  const TAnswer live = ask(6, ifIndex, kHostIp);
  EXPECT_EQ(live.status, static_cast<uint16_t>(TStatus::Answered));
  EXPECT_EQ(netinfo::MacToText(live.mac, 6), "00-00-0C-73-00-10");
  TRequest request;
  request.id = 7;
  request.ifIndex = ifIndex;
  request.target = inet_addr(kHostIp);
  const std::vector<std::vector<uint8_t>> malformed = {
      {1, 2, 3},                                                  // short
      std::vector<uint8_t>(sizeof request + 1, 0),                // oversized
      std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&request),  // cut
                           reinterpret_cast<uint8_t*>(&request) + sizeof request - 1),
      std::vector<uint8_t>(sizeof request, 0x41),  // garbage
      [&] {                                        // a known MAC that is multicast
        TRequest multicast = request;
        multicast.knownCount = 1;
        multicast.knownMacs[0][0] = 0x01;
        return std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&multicast),
                                    reinterpret_cast<uint8_t*>(&multicast) + sizeof multicast);
      }()};
  for (const auto& message : malformed) {
    send(channel.Get(), message.data(), message.size(), 0);
    EXPECT_EQ(receive().status, static_cast<uint16_t>(TStatus::Malformed)) << message.size();
  }

  // A burst of 8000 requests for an address nobody holds: beyond the budget of 5120 frames
  // (and its refill meanwhile) each is refused, and no frame goes out for it.
  constexpr int kBurst = 8000;
  std::map<uint16_t, int> statuses;
  std::thread reader([&] {
    for (int i = 0; i < kBurst; ++i) ++statuses[receive().status];
  });
  for (int i = 0; i < kBurst; ++i) {
    request.id = 100 + static_cast<uint32_t>(i);
    request.target = inet_addr("192.168.73.20");
    send(channel.Get(), &request, sizeof request, 0);
  }
  reader.join();
  const int limited = statuses[static_cast<uint16_t>(TStatus::RateLimited)];
  EXPECT_GT(limited, 0);
  EXPECT_EQ(statuses[static_cast<uint16_t>(TStatus::NoAnswer)] + limited, kBurst);
  channel.Reset();
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "it ends with its channel";
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  capture.Stop();
  EXPECT_EQ(capture.Foreign(), 0);
  EXPECT_GE(capture.WhoHas(), kBurst - limited) << "one request each at least";
  EXPECT_LE(capture.WhoHas(), 5 * (kBurst - limited) + 10) << "at most five rounds each";
  std::cout << "[ FIGURE   ] a burst of " << kBurst << " requests: " << limited << " refused, "
            << capture.WhoHas() << " who-has frames" << std::endl;
}

// Starts the build's helper as root in the calling thread's network namespace, with a socket
// pair of its own. hello is the status of its hello, 0xFFFF when none came within 3 s.
struct TStartedHelper {
  pid_t pid = -1;
  support::TUniqueFd channel;
  uint16_t hello = 0xFFFF;
};

TStartedHelper StartHelper() {
  TStartedHelper started;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return started;
  started.channel.Reset(pair[0]);
  support::TUniqueFd theirs(pair[1]);
  started.pid = fork();
  if (started.pid == 0) {
    char* argv[] = {const_cast<char*>(QZ_ARP_HELPER_PATH), nullptr};
    char* envp[] = {nullptr};
    if (dup2(pair[1], arpwire::kChannelFd) >= 0 && fcntl(arpwire::kChannelFd, F_SETFD, 0) == 0)
      execve(argv[0], argv, envp);
    _exit(127);
  }
  TAnswer answer{};
  pollfd p{started.channel.Get(), POLLIN, 0};
  if (started.pid > 0 && poll(&p, 1, 3000) == 1 &&
      recv(started.channel.Get(), &answer, sizeof answer, 0) == sizeof answer) {
    started.hello = answer.status;
  }
  return started;
}

// The helper's exit status once its channel is closed (-1 when it did not end normally).
int EndHelper(TStartedHelper& started) {
  started.channel.Reset();
  int status = 0;
  if (started.pid <= 0 || waitpid(started.pid, &status, 0) != started.pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

// One helper serves a network namespace at a time, so that its frame budget holds for the
// namespace, however many copies are started: a second one there says InUse and ends (and a
// raw resolver made there has no helper), one in another namespace serves, and the namespace
// is free again once the first has ended. The namespaces are fresh ones with only a loopback.
TEST(ArpHelperLock, OneServingHelperPerNetworkNamespace) {
  QZ_REQUIRE_LAB();
  const auto ready = static_cast<uint16_t>(TStatus::Ready);
  std::thread([&] {
    ASSERT_EQ(unshare(CLONE_NEWNET), 0);
    TStartedHelper first = StartHelper();
    EXPECT_EQ(first.hello, ready);
    TStartedHelper second = StartHelper();
    EXPECT_EQ(second.hello, static_cast<uint16_t>(TStatus::InUse));
    EXPECT_EQ(EndHelper(second), 1) << "the refused helper ends with 1";
    uint8_t mac[6];
    uint32_t length = 6;
    EXPECT_EQ(netinfo::MakeArpResolver(netinfo::TArpMode::Raw, QZ_ARP_HELPER_PATH)
                  ->SendArp(inet_addr("127.0.0.1"), 0, mac, &length, nullptr, nullptr),
              netinfo::kArpGenFailure)
        << "a raw resolver's helper is refused as well";
    std::thread([&] {
      ASSERT_EQ(unshare(CLONE_NEWNET), 0);
      TStartedHelper elsewhere = StartHelper();
      EXPECT_EQ(elsewhere.hello, ready) << "another namespace has a helper of its own";
      EXPECT_EQ(EndHelper(elsewhere), 0);
    }).join();
    EXPECT_EQ(EndHelper(first), 0);
    TStartedHelper next = StartHelper();
    EXPECT_EQ(next.hello, ready) << "the namespace is free once its helper has ended";
    EXPECT_EQ(EndHelper(next), 0);
  }).join();
}

}  // namespace helper
