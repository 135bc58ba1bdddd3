#include "netinfo/arp.h"

#include "lab/lab.h"
#include "lab/labprocess.h"
#include "netinfo/adapters.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
constexpr const char* kOffLink = "192.168.70.200";    // beyond the scanner's /25, yet on the wire
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
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
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
  EXPECT_EQ(Ask(kOffLink).code, netinfo::kArpNoAnswer) << "outside the /25, though a host there would answer";
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
  const size_t descriptorsBefore = OpenDescriptors();
  constexpr int kCallers = 1300;
  std::vector<TResult> results(kCallers);
  std::vector<std::thread> threads;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCallers; ++i) {
    // Threads made inside the scope start in the scanner namespace too.
    threads.emplace_back([&results, i] {
      results[i] = Ask("192.168.70." + std::to_string(1 + i % 126));
    });
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
  std::cout << "[ FIGURE   ] " << (GetParam() == TArpMode::Raw ? "raw" : "kernel") << " mode: "
            << kCallers << " concurrent callers over a /25 done in " << elapsed.count() << " ms"
            << std::endl;
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
      codes[i] = Ask("192.168." + std::to_string(110 + i / 255) + "." + std::to_string(1 + i % 255)).code;
    });
  }
  for (auto& t : threads) t.join();
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 0u), 5 + 20) << "five own addresses, 20 hosts";
  std::cout << "[ FIGURE   ] " << (GetParam() == TArpMode::Raw ? "raw" : "kernel") << " mode: "
            << "sweep of 1275 addresses in " << elapsed.count() << " ms" << std::endl;
}

INSTANTIATE_TEST_SUITE_P(BothModes, ArpLab, testing::Values(TArpMode::Raw, TArpMode::Kernel),
                         [](const testing::TestParamInfo<TArpMode>& info) {
                           return info.param == TArpMode::Raw ? "Raw" : "Kernel";
                         });

TEST(ArpMode, RootHasRawSocketsAndAnUnprivilegedUserAsksTheKernel) {
  QZ_REQUIRE_LAB();
  netinfo::ForceArpMode(std::nullopt);
  EXPECT_EQ(netinfo::CurrentArpMode(), TArpMode::Raw);

  lab::TLab lab;
  lab.AddSegment("192.168.72.2/24");
  lab.AddHost({"192.168.72.10", "00:00:0c:72:00:10", "", 0});
  lab.Up();
  std::string setpriv = lab::FindProgram("setpriv");
  ASSERT_FALSE(setpriv.empty());
  std::string out;
  // The helper runs as nobody, without capabilities, inside the scanner namespace.
  ASSERT_EQ(lab.RunInScanner({setpriv, "--reuid=65534", "--regid=65534", "--clear-groups",
                              QZ_NETINFO_HELPER, "arp", "192.168.72.10", "192.168.72.11"},
                             &out),
            0);
  EXPECT_EQ(out, "kernel 192.168.72.10 0 00-00-0C-72-00-10\n"
                 "kernel 192.168.72.11 67 -\n");
}

}  // namespace
