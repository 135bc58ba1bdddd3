#include "lab/lab.h"

#include "lab/labprocess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
