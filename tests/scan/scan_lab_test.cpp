// The scan engine against real hosts: a lab whose scanner has a /24 with live hosts and a /25
// whose run of 255 addresses crosses into the next /24, where a host sits that the scanner
// cannot reach on its link. Real ARP, in both ways the platform can ask for a MAC.

#include "lab/lab.h"
#include "netinfo/arp.h"
#include "common/countingnetwork.h"
#include "scan/scandriver.h"
#include "scan/systemnetwork.h"
#include "scanrecorder.h"
#include "support/posix.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>

namespace {

using netinfo::TArpMode;
using scantest::TPassRecorder;
using scantest::TReport;

constexpr char kScannerMac0[] = "02:00:00:00:77:01";
constexpr char kScannerMac1[] = "02:00:00:00:88:c8";

// ip -> MAC text of every address that must answer a first pass, the scanner's own included.
const std::map<std::string, std::string> kLiveHosts = {
    {"192.168.77.1", "02:00:00:00:77:01"},   {"192.168.77.2", "00:1A:2B:3C:4D:5E"},
    {"192.168.77.10", "00:00:0C:12:34:56"},  {"192.168.77.77", "02:00:00:AA:BB:CC"},
    {"192.168.77.254", "0A:0B:0C:0D:0E:0F"}, {"10.88.0.130", "02:00:00:88:00:82"},
    {"10.88.0.200", "02:00:00:00:88:C8"},    {"10.88.0.250", "02:00:00:88:00:FA"}};

std::vector<TReport> FirstPassReports(int times = 1) {
  std::vector<TReport> reports;
  for (const auto& [ip, mac] : kLiveHosts) {
    for (int i = 0; i < times; ++i) reports.push_back({ip, ip, mac, "", ""});
  }
  std::sort(reports.begin(), reports.end(),
            [](const TReport& a, const TReport& b) { return a.ip < b.ip; });
  return reports;
}

std::vector<TReport> Sorted(std::vector<TReport> reports) {
  std::sort(reports.begin(), reports.end(),
            [](const TReport& a, const TReport& b) { return a.ip < b.ip; });
  return reports;
}

// "Scan start", running counts only, then the three closing texts; the duration shows minutes,
// seconds and the seconds again.
void ExpectPassTexts(const std::vector<std::string>& texts) {
  ASSERT_GE(texts.size(), 4u);
  EXPECT_EQ(texts.front(), "Scan start");
  for (size_t i = 1; i + 3 < texts.size(); ++i) {
    EXPECT_TRUE(!texts[i].empty() && texts[i].find_first_not_of("0123456789") == std::string::npos)
        << texts[i];
  }
  EXPECT_EQ(texts[texts.size() - 3], "Waiting to finish.");
  EXPECT_EQ(texts[texts.size() - 2], "All thread done.");
  std::smatch parts;
  const std::string& last = texts.back();
  ASSERT_TRUE(std::regex_match(last, parts, std::regex(R"(All done\. (\d\d):(\d\d):(\d\d))")))
      << last;
  EXPECT_EQ(parts[2], parts[3]);
}

// The ARP of the pass that runs: a resolver of the pass's mode, or the process's own.
class TPassArp final : public netinfo::TArpResolver {
 public:
  void Use(netinfo::TArpResolver* resolver) { m_resolver = resolver; }
  TArpMode Mode() const override { return Target().Mode(); }
  using netinfo::TArpResolver::SendArp;
  uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                   uint8_t* otherMac, uint32_t* otherLength,
                   const netinfo::TKnownMacs& known) override {
    return Target().SendArp(destAddress, sourceAddress, mac, length, otherMac, otherLength, known);
  }
  netinfo::TArpListening Listen(netinfo::THeardCallback heard) override {
    return Target().Listen(std::move(heard));
  }

 private:
  netinfo::TArpResolver& Target() const {
    return m_resolver ? *m_resolver : netinfo::ProcessArpResolver();
  }
  netinfo::TArpResolver* m_resolver = nullptr;
};

class ScanLab : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!lab::HaveRoot()) return;
    s_lab = std::make_unique<lab::TLab>();
    try {
      s_lab->AddSegment("192.168.77.1/24", kScannerMac0);
      s_lab->AddSegment("10.88.0.200/25", kScannerMac1);
      s_lab->AddHost({"192.168.77.2", "00:1a:2b:3c:4d:5e", "", 0});
      s_lab->AddHost({"192.168.77.10", "00:00:0c:12:34:56", "router.lab", 0});
      s_lab->AddHost({"192.168.77.77", "02:00:00:aa:bb:cc", "quiet.lab", 0});
      s_lab->AddHost({"192.168.77.254", "0a:0b:0c:0d:0e:0f", "", 0});
      s_lab->AddHost({"10.88.0.130", "02:00:00:88:00:82", "", 1});
      s_lab->AddHost({"10.88.0.250", "02:00:00:88:00:fa", "", 1});
      s_lab->AddHost({"10.88.1.5/24", "02:00:00:88:01:05", "", 1});  // in the run, but off-link
      s_lab->Up();
      WebRoot();
    } catch (const std::exception& error) {
      s_error = error.what();
      s_lab.reset();
    }
  }
  static void TearDownTestSuite() {
    if (s_lab) s_lab->Down();
    s_lab.reset();
    if (!s_webRoot.empty()) std::filesystem::remove_all(s_webRoot);
  }

  void SetUp() override {
    QZ_REQUIRE_LAB();
    ASSERT_NE(s_lab, nullptr) << "the lab did not come up: " << s_error;
    // Nothing a pass finds may come from an earlier pass's neighbour entries.
    ASSERT_EQ(s_lab->RunInScanner({"ip", "neigh", "flush", "all"}), 0);
  }
  // One first pass in the scanner's namespace, on the main thread as the program runs it, with
  // a resolver of the mode (raw: the build's helper) or the process's own.
  std::vector<TReport> RunPass(TPassRecorder& pass, std::optional<TArpMode> mode,
                               scan::TStatusCallback status = nullptr) {
    lab::TScannerScope scope(*s_lab);
    std::unique_ptr<netinfo::TArpResolver> resolver;
    if (mode) resolver = netinfo::MakeArpResolver(*mode, QZ_ARP_HELPER_PATH);
    m_arp.Use(resolver.get());
    const auto unuse = support::ScopeExit([this] { m_arp.Use(nullptr); });
    m_driver->ScanNetwork(false, false, status ? status : pass.Status(), pass.Results());
    EXPECT_FALSE(m_driver->Busy());
    EXPECT_EQ(m_driver->RunningWorkers(), 0);
    return Sorted(pass.Reports());
  }

  // Adds scanner addresses for one test and removes them again.
  class TExtraAddresses {
   public:
    TExtraAddresses(const std::string& adapter, std::vector<std::string> cidrs)
        : m_adapter(adapter), m_cidrs(std::move(cidrs)) {
      for (const std::string& cidr : m_cidrs)
        s_lab->RunInScanner({"ip", "addr", "add", cidr, "dev", m_adapter});
    }
    ~TExtraAddresses() {
      for (const std::string& cidr : m_cidrs)
        s_lab->RunInScanner({"ip", "addr", "del", cidr, "dev", m_adapter});
    }

   private:
    std::string m_adapter;
    std::vector<std::string> m_cidrs;
  };

  // Runs this executable's child test in the scanner namespace (as `ip netns exec` does, with
  // the lab's hosts file), optionally without CAP_NET_RAW, and collects its reports.
  std::vector<TReport> RunChildPass(const std::string& kind, bool dropNetRaw, std::string* mode) {
    std::vector<std::string> argv;
    if (dropNetRaw) argv = {"setpriv", "--inh-caps=-net_raw", "--bounding-set=-net_raw"};
    argv.push_back(std::filesystem::read_symlink("/proc/self/exe").string());
    argv.push_back("--gtest_filter=ScanChild.*");
    std::string output;
    const int code = s_lab->RunInScanner(argv, &output, {"QZ_SCAN_CHILD=" + kind});
    EXPECT_EQ(code, 0) << output;
    std::vector<TReport> reports;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> fields;
      std::istringstream parts(line);
      for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
      if (fields.size() == 2 && fields[0] == "mode") *mode = fields[1];
      if (fields.size() >= 4 && fields[0] == "report") {
        fields.resize(6);
        reports.push_back({fields[1], fields[2], fields[3], fields[4], fields[5]});
      }
    }
    return Sorted(reports);
  }

  static void WebRoot() {
    char folder[] = "/tmp/qzscanwebXXXXXX";
    if (mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp");
    s_webRoot = folder;
    std::ofstream(s_webRoot + "/index.html")
        << "<html><head><title>Router Login</title></head></html>\n";
    std::filesystem::permissions(
        s_webRoot, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                       std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                       std::filesystem::perms::others_exec);
    std::filesystem::permissions(
        s_webRoot + "/index.html",
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
            std::filesystem::perms::group_read | std::filesystem::perms::others_read);
    s_lab->StartHttpServer("192.168.77.10", "busybox", s_webRoot);
  }

  static std::unique_ptr<lab::TLab> s_lab;
  static std::string s_error;
  static std::string s_webRoot;
  // Fresh for every test: each runs as its process's first pass, unless it says otherwise.
  TPassArp m_arp;
  scan::TSystemNetwork m_system{m_arp};
  scan::TCountingNetwork m_network{m_system};
  std::unique_ptr<scan::TScanDriver> m_driver = std::make_unique<scan::TScanDriver>(m_network);
};

std::unique_ptr<lab::TLab> ScanLab::s_lab;
std::string ScanLab::s_error;
std::string ScanLab::s_webRoot;

TEST_F(ScanLab, OwnArpRequestsFindExactlyTheLiveHostsOnce) {
  TPassRecorder pass;
  EXPECT_EQ(RunPass(pass, TArpMode::Raw), FirstPassReports());
  EXPECT_EQ(m_network.Counts().StartedThreads(), 510);
  ExpectPassTexts(pass.statusTexts);
}

TEST_F(ScanLab, KernelNeighbourResolutionFindsTheSameHosts) {
  TPassRecorder pass;
  EXPECT_EQ(RunPass(pass, TArpMode::Kernel), FirstPassReports());
  ExpectPassTexts(pass.statusTexts);
}

TEST_F(ScanLab, ProcessWithoutNetRawFindsTheSameHosts) {
  std::string mode;
  EXPECT_EQ(RunChildPass("arp", true, &mode), FirstPassReports());
  EXPECT_EQ(mode, "kernel");
}

TEST_F(ScanLab, TwoAddressesInOneNetworkSweepItTwice) {
  TExtraAddresses extra(lab::ScannerAdapter(0), {"192.168.77.3/24"});
  TPassRecorder pass;
  const std::vector<TReport> reports = RunPass(pass, TArpMode::Raw);
  EXPECT_EQ(m_network.Counts().StartedThreads(), 765);
  std::map<std::string, int> times;
  for (const TReport& report : reports) ++times[report.ip];
  EXPECT_EQ(times["192.168.77.2"], 2);
  EXPECT_EQ(times["192.168.77.3"], 2);  // the second own address answers too
  EXPECT_EQ(times["192.168.77.254"], 2);
  EXPECT_EQ(times["10.88.0.130"], 1);
  ExpectPassTexts(pass.statusTexts);
}

TEST_F(ScanLab, AddressWithoutFirstHostIsSkippedAndThePassCompletes) {
  TExtraAddresses extra(lab::ScannerAdapter(1), {"10.88.3.255/32"});
  TPassRecorder pass;
  EXPECT_EQ(RunPass(pass, TArpMode::Raw), FirstPassReports());
  EXPECT_EQ(m_network.Counts().StartedThreads(), 510);
  ExpectPassTexts(pass.statusTexts);
}

TEST_F(ScanLab, CallDuringAPassLeavesItUntouched) {
  TPassRecorder pass;
  TPassRecorder inner;
  bool nestedReturned = false;
  auto status = [&](const std::string& text) {
    pass.statusTexts.push_back(text);
    if (text != "Scan start") return;
    m_driver->ScanNetwork(true, true, inner.Status(), inner.Results());
    nestedReturned = m_driver->Busy();
  };
  // The pass kept its own options: no titles (192.168.77.10 serves a page) and no names.
  EXPECT_EQ(RunPass(pass, TArpMode::Raw, status), FirstPassReports());
  EXPECT_TRUE(nestedReturned);
  EXPECT_TRUE(inner.statusTexts.empty());
  EXPECT_TRUE(inner.Reports().empty());
}

// Five more /24s without hosts make 1785 workers, more than the first pass's limit lets run.
const std::vector<std::string> kEmptyNetworks = {"10.99.1.1/24", "10.99.2.1/24", "10.99.3.1/24",
                                                 "10.99.4.1/24", "10.99.5.1/24"};

TEST_F(ScanLab, WorkerLimitHoldsInTheFirstPassAndLater) {
  TExtraAddresses extra(lab::ScannerAdapter(1), kEmptyNetworks);
  // The process's first pass runs with the limit it starts with, even under the default soft
  // limit on descriptors.
  rlimit descriptors{};
  getrlimit(RLIMIT_NOFILE, &descriptors);
  rlimit lowered = descriptors;
  lowered.rlim_cur = std::min<rlim_t>(1024, descriptors.rlim_max);
  setrlimit(RLIMIT_NOFILE, &lowered);
  TPassRecorder first;
  std::vector<TReport> reports = RunPass(first, TArpMode::Raw);
  setrlimit(RLIMIT_NOFILE, &descriptors);

  std::vector<TReport> expected = FirstPassReports();
  for (const std::string& cidr : kEmptyNetworks) {
    const std::string ip = cidr.substr(0, cidr.find('/'));
    expected.push_back({ip, ip, "02:00:00:00:88:C8", "", ""});
  }
  EXPECT_EQ(reports, Sorted(expected));
  EXPECT_EQ(m_network.Counts().StartedThreads(), 1785);
  const int32_t firstPeak = m_network.Counts().PeakRunningWorkers();
  std::printf("peak of running workers, first pass: %d\n", firstPeak);
  EXPECT_LE(firstPeak, 1255);
  EXPECT_GT(firstPeak, 51);

  // From then on, 50.
  m_network.Counts().Reset();
  TPassRecorder later;
  EXPECT_EQ(RunPass(later, TArpMode::Raw), Sorted(expected));
  const int32_t laterPeak = m_network.Counts().PeakRunningWorkers();
  std::printf("peak of running workers, later pass: %d\n", laterPeak);
  EXPECT_LE(laterPeak, 51);
  ExpectPassTexts(later.statusTexts);
}

TEST_F(ScanLab, StopDuringTheSweepStartsNoFurtherWorker) {
  TExtraAddresses extra(lab::ScannerAdapter(1), kEmptyNetworks);
  m_driver = std::make_unique<scan::TScanDriver>(m_network, scan::kLaterWorkerLimit);
  TPassRecorder pass;
  int32_t startedAtStop = -1;
  auto status = [&](const std::string& text) {
    pass.statusTexts.push_back(text);
    if (startedAtStop >= 0 || text.find_first_not_of("0123456789") != std::string::npos) return;
    startedAtStop = m_network.Counts().StartedThreads();
    m_driver->RequestStop();
  };
  RunPass(pass, TArpMode::Raw, status);
  ASSERT_GE(startedAtStop, 51);
  EXPECT_EQ(m_network.Counts().StartedThreads(), startedAtStop + 1);
  ExpectPassTexts(pass.statusTexts);
}

TEST_F(ScanLab, SecondPassReportsTitlesAndUpperCaseNames) {
  std::string mode;
  const std::vector<TReport> reports = RunChildPass("probe", false, &mode);
  std::map<std::string, TReport> byIp;
  for (const TReport& report : reports) byIp[report.ip] = report;
  ASSERT_EQ(byIp.size(), kLiveHosts.size());
  EXPECT_EQ(byIp["192.168.77.10"],
            (TReport{"192.168.77.10", "ROUTER.LAB", "00:00:0C:12:34:56", "http", "Router Login"}));
  // Port 80 refuses: the client's request lines come back as the page, which has no title.
  EXPECT_EQ(byIp["192.168.77.77"],
            (TReport{"192.168.77.77", "QUIET.LAB", "02:00:00:AA:BB:CC", "http", "<no title>"}));
  EXPECT_EQ(byIp["10.88.0.130"],
            (TReport{"10.88.0.130", "10.88.0.130", "02:00:00:88:00:82", "http", "<no title>"}));
}

// The child side of the tests above: one pass in the namespace it was started in.
TEST(ScanChild, RunsOnePassInItsNamespace) {
  const char* kind = std::getenv("QZ_SCAN_CHILD");
  if (kind == nullptr) GTEST_SKIP() << "runs only as the child of a lab test";
  const bool probe = std::string(kind) == "probe";
  TPassRecorder pass;
  scan::TSystemNetwork network;
  scan::TScanDriver driver(network);
  driver.ScanNetwork(probe, probe, pass.Status(), pass.Results());
  std::printf("mode\t%s\n", netinfo::CurrentArpMode() == TArpMode::Raw ? "raw" : "kernel");
  for (const TReport& report : pass.Reports()) {
    std::printf("report\t%s\t%s\t%s\t%s\t%s\n", report.ip.c_str(), report.hostName.c_str(),
                report.mac.c_str(), report.protocol.c_str(), report.title.c_str());
  }
  ExpectPassTexts(pass.statusTexts);
}

}  // namespace
