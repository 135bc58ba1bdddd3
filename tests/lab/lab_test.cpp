#include "lab/lab.h"

#include "lab/labprocess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

namespace fs = std::filesystem;

namespace {

bool NamespaceExists(const std::string& name) {
  return fs::exists("/run/netns/" + name) || fs::exists("/etc/netns/" + name);
}

// The scanner's neighbour entry for ip, as `ip neigh` prints it ("" when none).
std::string NeighbourLine(lab::TLab& lab, const std::string& ip) {
  std::string out;
  lab.RunInScanner({"ip", "neigh", "show", ip}, &out);
  return out;
}

std::string HttpGet(const lab::TLab& lab, const std::string& ip) {
  lab::TScannerScope scope(lab);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(80);
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  std::string response;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::string request = "GET /index.html HTTP/1.0\r\nHost: " + ip + "\r\n\r\n";
    (void)!write(fd, request.data(), request.size());
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
      response.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return response;
}

TEST(LabNetwork, HostsAnswerPingAndShowTheirMacsInTheScannersNeighbourTable) {
  QZ_REQUIRE_LAB();
  lab::TLab lab;
  lab.AddSegment("192.168.77.2/24", "02:00:00:00:77:02");
  lab.AddSegment("172.20.1.2/16");
  lab.AddHost({"192.168.77.10", "00:00:0c:12:34:56", "printer.lab", 0});
  lab.AddHost({"192.168.77.11", "00:1a:2b:3c:4d:5e", "", 0});
  lab.AddHost({"172.20.9.9", "00:50:56:aa:bb:cc", "", 1});
  lab.Up();

  for (const auto& host : lab.Hosts()) {
    EXPECT_EQ(lab.RunInScanner({"ping", "-c", "1", "-W", "2", host.ip}), 0) << host.ip;
    EXPECT_NE(NeighbourLine(lab, host.ip).find("lladdr " + host.mac), std::string::npos)
        << NeighbourLine(lab, host.ip);
  }
  std::string link;
  lab.RunInScanner({"ip", "-o", "link", "show", lab::ScannerAdapter(0)}, &link);
  EXPECT_NE(link.find("02:00:00:00:77:02"), std::string::npos) << link;
}

TEST(LabNetwork, ScannerResolvesOnlyTheLabsNames) {
  QZ_REQUIRE_LAB();
  lab::TLab lab;
  lab.AddSegment("192.168.78.2/24");
  lab.AddHost({"192.168.78.10", "00:00:0c:00:00:01", "router.lab", 0});
  lab.Up();

  std::string out;
  EXPECT_EQ(lab.RunInScanner({"getent", "hosts", "192.168.78.10"}, &out), 0);
  EXPECT_NE(out.find("router.lab"), std::string::npos) << out;
  EXPECT_EQ(lab.RunInScanner({"cat", "/etc/resolv.conf"}, &out), 0);
  EXPECT_EQ(out, "nameserver 127.0.0.1\n");
  EXPECT_NE(lab.RunInScanner({"getent", "hosts", "192.168.78.99"}, &out), 0);
}

TEST(LabNetwork, ScannerAdapterTakesSeveralAddressesInTheGivenOrder) {
  QZ_REQUIRE_LAB();
  lab::TLab lab;
  lab.AddSegment("192.168.79.2/24", "", {"172.16.79.2/16", "192.168.79.3/24"});
  lab.Up();
  std::string out;
  lab.RunInScanner({"ip", "-o", "-4", "addr", "show", "dev", lab::ScannerAdapter(0)}, &out);
  EXPECT_NE(out.find("192.168.79.2/24"), std::string::npos) << out;
  EXPECT_NE(out.find("172.16.79.2/16"), std::string::npos) << out;
  EXPECT_NE(out.find("192.168.79.3/24"), std::string::npos) << out;
}

TEST(LabScope, MovesOnlyTheCallingThreadAndTheThreadsItStarts) {
  QZ_REQUIRE_LAB();
  lab::TLab lab;
  int segment = lab.AddSegment("192.168.80.2/24");
  lab.Up();
  std::string adapter = lab::ScannerAdapter(segment);
  EXPECT_EQ(if_nametoindex(adapter.c_str()), 0u);
  {
    lab::TScannerScope scope(lab);
    EXPECT_NE(if_nametoindex(adapter.c_str()), 0u);
    unsigned inThread = 0;
    std::thread([&] { inThread = if_nametoindex(adapter.c_str()); }).join();
    EXPECT_NE(inThread, 0u);
  }
  EXPECT_EQ(if_nametoindex(adapter.c_str()), 0u);
}

TEST(LabTeardown, LeavesNoNamespaceFolderOrProcessBehind) {
  QZ_REQUIRE_LAB();
  std::string prefix;
  pid_t server = 0;
  {
    lab::TLab lab;
    prefix = lab.Prefix();
    lab.AddSegment("192.168.81.2/24");
    lab.AddHost({"192.168.81.10", "00:00:0c:00:00:10", "", 0});
    lab.Up();
    server = lab.StartInHost("192.168.81.10", {"sleep", "600"});
    EXPECT_TRUE(NamespaceExists(prefix + "s"));
    EXPECT_TRUE(NamespaceExists(prefix + "h0"));
  }
  for (const char* suffix : {"s", "w", "h0"})
    EXPECT_FALSE(NamespaceExists(prefix + suffix)) << suffix;
  EXPECT_NE(kill(server, 0), 0);
}

TEST(LabTeardown, FailedUpLeavesNothingBehind) {
  QZ_REQUIRE_LAB();
  std::string prefix;
  {
    lab::TLab lab;
    prefix = lab.Prefix();
    lab.AddSegment("192.168.82.2/24");
    lab.AddHost({"192.168.82.10/40", "00:00:0c:00:00:11", "", 0});  // ip rejects the length
    EXPECT_THROW(lab.Up(), std::runtime_error);
    EXPECT_TRUE(NamespaceExists(prefix + "h0"));
  }
  for (const char* suffix : {"s", "w", "h0"})
    EXPECT_FALSE(NamespaceExists(prefix + suffix)) << suffix;
}

TEST(LabTeardown, RequireLabSkipsWithAMessageWhenNotRoot) {
  QZ_REQUIRE_LAB();
  std::string self = fs::read_symlink("/proc/self/exe");
  std::string setpriv = lab::FindProgram("setpriv");
  if (setpriv.empty()) GTEST_SKIP() << "setpriv (util-linux) is missing";
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  lab::TSpawn spawn;
  spawn.argv = {setpriv,
                "--reuid=65534",
                "--regid=65534",
                "--clear-groups",
                self,
                "--gtest_filter=LabTeardown.LeavesNoNamespaceFolderOrProcessBehind"};
  spawn.stdoutFd = pipeFds[1];
  pid_t pid = lab::Spawn(spawn);
  close(pipeFds[1]);
  std::string out;
  int code = lab::WaitChild(pid, 60000, pipeFds[0], &out);
  close(pipeFds[0]);
  EXPECT_EQ(code, 0) << out;
  EXPECT_NE(out.find("needs root to build network namespaces"), std::string::npos) << out;
  EXPECT_NE(out.find("[  SKIPPED ] 1 test"), std::string::npos) << out;
}

TEST(LabServers, EachWebServerKindServesItsDocroot) {
  QZ_REQUIRE_LAB();
  lab::TLab lab;
  lab.AddSegment("192.168.83.2/24");
  const std::vector<std::string> kinds{"lighttpd", "busybox", "python"};
  for (size_t i = 0; i < kinds.size(); ++i) {
    lab.AddHost({"192.168.83." + std::to_string(10 + i), "", "", 0});
  }
  lab.Up();
  std::string docroot = fs::temp_directory_path() / (lab.Prefix() + "-www");
  fs::create_directories(docroot);
  std::ofstream(docroot + "/index.html") << "<html><title>lab page</title></html>\n";
  for (size_t i = 0; i < kinds.size(); ++i) {
    std::string ip = "192.168.83." + std::to_string(10 + i);
    lab.StartHttpServer(ip, kinds[i], docroot);
    std::string page = HttpGet(lab, ip);
    EXPECT_NE(page.find(" 200 "), std::string::npos) << kinds[i] << ": " << page;
    EXPECT_NE(page.find("<title>lab page</title>"), std::string::npos) << kinds[i] << ": " << page;
  }
  fs::remove_all(docroot);
}

TEST(LabServers, DelayedArpHostStillAnswersArp) {
  QZ_REQUIRE_LAB();
  lab::TLab lab;
  lab.AddSegment("192.168.84.2/24");
  lab.AddHost({"192.168.84.10", "00:00:0c:84:00:10", "", 0});
  lab.Up();
  lab.StartDelayedArpHost("192.168.84.10", 300);
  // The host's kernel no longer speaks ARP, so the ping itself gets no echo; the request it
  // triggers is answered by the responder, which puts the MAC into the neighbour table.
  lab.RunInScanner({"ping", "-c", "1", "-W", "2", "192.168.84.10"});
  EXPECT_NE(NeighbourLine(lab, "192.168.84.10").find("lladdr 00:00:0c:84:00:10"), std::string::npos)
      << NeighbourLine(lab, "192.168.84.10");
}

// Who-has frames sent and ARP replies read by hand on a scanner adapter, to see a lab
// responder's habits frame by frame. Made and used inside the scanner's namespace.
class TArpProbe {
 public:
  struct TReply {
    std::string ip;
    std::string mac;  // the ARP sender's
    long long atMs;   // since the probe was made
  };

  TArpProbe(const std::string& adapter, const std::string& ownIp, const std::string& ownMac)
      : m_start(std::chrono::steady_clock::now()) {
    m_fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP));
    m_link.sll_family = AF_PACKET;
    m_link.sll_protocol = htons(ETH_P_ARP);
    m_link.sll_ifindex = static_cast<int>(if_nametoindex(adapter.c_str()));
    bind(m_fd, reinterpret_cast<sockaddr*>(&m_link), sizeof m_link);
    inet_pton(AF_INET, ownIp.c_str(), m_ownIp);
    ParseMac(ownMac, m_ownMac);
  }
  ~TArpProbe() { close(m_fd); }

  bool Ok() const { return m_fd >= 0 && m_link.sll_ifindex > 0; }

  // A who-has for ip, to the broadcast address or to the given MAC.
  void WhoHas(const std::string& ip, const std::string& toMac = "ff:ff:ff:ff:ff:ff") {
    uint8_t frame[42] = {};
    ParseMac(toMac, frame);
    std::memcpy(frame + 6, m_ownMac, 6);
    const uint8_t head[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
    std::memcpy(frame + 12, head, sizeof head);
    std::memcpy(frame + 22, m_ownMac, 6);
    std::memcpy(frame + 28, m_ownIp, 4);
    inet_pton(AF_INET, ip.c_str(), frame + 38);
    sockaddr_ll to = m_link;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, frame, 6);
    sendto(m_fd, frame, sizeof frame, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

  // Reads replies until atMs after the probe was made.
  void ListenUntil(long long atMs) {
    for (;;) {
      const long long left = atMs - Now();
      if (left <= 0) return;
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t frame[2048];
      const ssize_t got = recv(m_fd, frame, sizeof frame, 0);
      if (got < 42 || frame[12] != 0x08 || frame[13] != 0x06 || frame[21] != 2) continue;
      char ip[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, frame + 28, ip, sizeof ip);
      char mac[18];
      std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", frame[22], frame[23],
                    frame[24], frame[25], frame[26], frame[27]);
      m_replies.push_back({ip, mac, Now()});
    }
  }

  std::vector<TReply> From(const std::string& ip) const {
    std::vector<TReply> replies;
    for (const auto& r : m_replies)
      if (r.ip == ip) replies.push_back(r);
    return replies;
  }

 private:
  static void ParseMac(const std::string& text, uint8_t* mac) {
    unsigned b[6] = {};
    std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(b[i]);
  }
  long long Now() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 m_start)
        .count();
  }

  std::chrono::steady_clock::time_point m_start;
  int m_fd = -1;
  sockaddr_ll m_link{};
  uint8_t m_ownIp[4] = {};
  uint8_t m_ownMac[6] = {};
  std::vector<TReply> m_replies;
};

// The hard devices of the benchmark behave as they claim, frame by frame: a dozing host
// loses broadcast who-has frames but answers the one sent to its MAC; a host that needs
// spacing ignores frames 250 ms apart and the first of all, and answers one 450 ms after the
// last; a spoofing host answers once from each of its MACs, in order, the zero MAC included.
TEST(LabServers, ArpResponderDozesNeedsSpacingAndAnswersFromOtherMacs) {
  QZ_REQUIRE_LAB();
  const std::string dozing = "192.168.86.10", spaced = "192.168.86.11",
                    spacedOnce = "192.168.86.12", spoofer = "192.168.86.13";
  lab::TLab lab;
  lab.AddSegment("192.168.86.2/24", "02:00:00:00:86:02");
  lab.AddHost({dozing, "00:00:0c:86:00:10", "", 0});
  lab.AddHost({spaced, "00:00:0c:86:00:11", "", 0});
  lab.AddHost({spacedOnce, "00:00:0c:86:00:12", "", 0});
  lab.AddHost({spoofer, "00:00:0c:86:00:13", "", 0});
  lab.Up();
  lab.StartArpResponder(dozing, {.dozePercent = 100, .fromMacs = {}});
  lab.StartArpResponder(spaced, {.spacingMs = 400, .fromMacs = {}});
  lab.StartArpResponder(spacedOnce, {.spacingMs = 400, .fromMacs = {}});
  lab.StartArpResponder(spoofer, {.fromMacs = {"02:00:00:86:00:aa", "00:00:00:00:00:00"}});

  lab::TScannerScope scope(lab);
  TArpProbe probe(lab::ScannerAdapter(0), "192.168.86.2", "02:00:00:00:86:02");
  ASSERT_TRUE(probe.Ok());
  for (int i = 0; i < 3; ++i) probe.WhoHas(dozing);
  probe.WhoHas(spaced);
  probe.WhoHas(spacedOnce);
  probe.WhoHas(spoofer);
  probe.ListenUntil(250);
  probe.WhoHas(spaced);
  probe.ListenUntil(450);
  probe.WhoHas(spacedOnce);
  probe.ListenUntil(500);
  probe.WhoHas(spaced);
  probe.ListenUntil(750);
  probe.WhoHas(spaced);
  probe.ListenUntil(1000);
  EXPECT_TRUE(probe.From(dozing).empty()) << "broadcast frames answered while dozing";
  probe.WhoHas(dozing, "00:00:0c:86:00:10");
  probe.ListenUntil(1200);
  probe.WhoHas(spaced);  // 450 ms after the last
  probe.ListenUntil(1500);

  const auto dozed = probe.From(dozing);
  ASSERT_EQ(dozed.size(), 1u) << "the unicast who-has";
  EXPECT_EQ(dozed[0].mac, "00:00:0c:86:00:10");
  const auto spacedReplies = probe.From(spaced);
  ASSERT_EQ(spacedReplies.size(), 1u) << "only the frame 450 ms after the last";
  EXPECT_GE(spacedReplies[0].atMs, 1200);
  EXPECT_EQ(probe.From(spacedOnce).size(), 1u) << "the second of two frames 450 ms apart";
  const auto spoofed = probe.From(spoofer);
  ASSERT_EQ(spoofed.size(), 2u);
  EXPECT_EQ(spoofed[0].mac, "02:00:00:86:00:aa");
  EXPECT_EQ(spoofed[1].mac, "00:00:00:00:00:00");
}

TEST(LabBenchmark, SixtyHostLabComesUpQuickly) {
  QZ_REQUIRE_LAB();
  lab::TLab lab;
  lab.AddSegment("192.168.85.2/24");
  for (int i = 0; i < 60; ++i) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "00:00:0c:85:00:%02x", i);
    lab.AddHost({"192.168.85." + std::to_string(10 + i), mac, "", 0});
  }
  lab.Up();
  std::cout << "[ FIGURE   ] 60-host lab up in " << lab.UpTime().count() << " ms" << std::endl;
  RecordProperty("lab_up_ms", static_cast<int>(lab.UpTime().count()));
  EXPECT_EQ(lab.RunInScanner({"ping", "-c", "1", "-W", "2", "192.168.85.69"}), 0);
  auto start = std::chrono::steady_clock::now();
  lab.Down();
  std::cout << "[ FIGURE   ] 60-host lab down in "
            << std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
                   .count()
            << " ms" << std::endl;
}

}  // namespace
