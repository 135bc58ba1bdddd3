#include "netinfo/arp.h"

#include "lab/lab.h"
#include "lab/labprocess.h"
#include "netinfo/adapters.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <thread>

namespace {

using netinfo::SendArp;
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

TResult Ask(const std::string& address, uint32_t bufferLength = 6) {
  uint8_t mac[8] = {};
  uint32_t length = bufferLength;
  TResult result;
  result.code = SendArp(inet_addr(address.c_str()), 0, mac, &length);
  if (result.code == 0) result.mac = netinfo::MacToText(mac, length);
  return result;
}

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// One lab for the whole suite; both modes ask the same hosts. The kernel-mode cases flush
// the scanner's neighbour table first, so no answer is left over from an earlier case.
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
    netinfo::ForceArpMode(GetParam());
  }
  void TearDown() override { netinfo::ForceArpMode(std::nullopt); }

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
  EXPECT_EQ(SendArp(inet_addr(kLive), 0, nullptr, &length), netinfo::kArpInvalidParameter);
  EXPECT_EQ(SendArp(inet_addr(kLive), 0, mac, nullptr), netinfo::kArpInvalidParameter);
  EXPECT_EQ(SendArp(0, 0, mac, &length), netinfo::kArpInvalidParameter);
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
        [&results, i] { results[i] = Ask("192.168.70." + std::to_string(1 + i % 126)); });
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
  std::vector<uint32_t> codes(1275);
  std::vector<std::thread> threads;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1275; ++i) {
    threads.emplace_back([&codes, i] {
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
}

}  // namespace
