// The program as a user runs it, inside a test network: it must find every live host of the
// lab, with vendors, titles and names, keep ~/quenZOR.csv and end cleanly when closed.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sqlite3.h>

#include <gtest/gtest.h>

#include "lab/lab.h"
#include "lab/labprocess.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A home and a runtime folder of the test's own, so the program's export and lock are ours.
class TUserFolders {
 public:
  TUserFolders() {
    char pattern[] = "/tmp/qz-app-lab-XXXXXX";
    m_root = mkdtemp(pattern);
    fs::create_directories(m_root / "home");
    fs::create_directories(m_root / "run");
    fs::permissions(m_root / "run", fs::perms::owner_all);
  }
  ~TUserFolders() {
    std::error_code ec;
    fs::remove_all(m_root, ec);
  }
  fs::path Home() const { return m_root / "home"; }
  fs::path Export() const { return Home() / "quenZOR.csv"; }
  std::vector<std::string> Env() const {
    return {"QT_QPA_PLATFORM=offscreen", "HOME=" + Home().string(),
            "XDG_RUNTIME_DIR=" + (m_root / "run").string()};
  }

 private:
  fs::path m_root;
};

// Waits for the program (our child) to end; its exit code, or -1 when it is still running.
int WaitForExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 && errno != EINTR) return -2;
    std::this_thread::sleep_for(50ms);
  }
  return -1;
}

template <typename F>
bool WaitFor(F done, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

class ProgramInLab : public testing::Test {
 protected:
  void SetUp() override {
    QZ_REQUIRE_LAB();
    m_lab.AddSegment("192.168.77.1/24", "02:00:00:00:77:01");
    m_lab.AddHost({"192.168.77.10", "00:00:0c:12:34:56", "printer.lab"});
    m_lab.AddHost({"192.168.77.11", "00:01:c8:00:00:01", ""});
    m_lab.AddHost({"192.168.77.12", "08:00:30:00:00:01", ""});
    m_lab.AddHost({"192.168.77.13", "02:00:00:aa:bb:cc", ""});
    m_lab.Up();
    fs::create_directories(m_docroot);
    std::ofstream(m_docroot / "index.html")
        << "<html><head><title>Printer Admin</title></head><body></body></html>";
    m_lab.StartHttpServer("192.168.77.10", "python", m_docroot.string());
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_docroot, ec);
  }

  lab::TLab m_lab;
  TUserFolders m_folders;
  fs::path m_docroot = fs::temp_directory_path() / ("qz-app-lab-www-" + std::to_string(getpid()));
};

TEST_F(ProgramInLab, FillsTheExportWithEveryLiveHostAndEndsCleanlyWhenClosed) {
  const pid_t program = m_lab.StartInScanner({QZ_QUENZOR_PATH}, m_folders.Env());

  // Pass 1 (ARP only): every host of the lab, the scanner's own adapter included.
  const std::vector<std::string> passOneLines = {
      "192.168.77.10;192.168.77.10;Cisco Systems, Inc;;00:00:0C:12:34:56\r\n",
      "192.168.77.11;192.168.77.11;THOMAS CONRAD CORP.;;00:01:C8:00:00:01\r\n",
      "192.168.77.12;192.168.77.12;NETWORK RESEARCH CORPORATION;;08:00:30:00:00:01\r\n",
      "192.168.77.13;192.168.77.13;Locally administered;;02:00:00:AA:BB:CC\r\n",
      "192.168.77.1;192.168.77.1;Locally administered;;02:00:00:00:77:01\r\n"};
  const bool passOne = WaitFor(
      [&] {
        const std::string text = ReadFile(m_folders.Export());
        for (const std::string& line : passOneLines) {
          if (text.find(line) == std::string::npos) return false;
        }
        return true;
      },
      60s);
  const std::string afterPassOne = ReadFile(m_folders.Export());
  EXPECT_TRUE(passOne) << afterPassOne;
  EXPECT_EQ(afterPassOne.rfind("host;ip;vendor;title;mac\r\n", 0), 0u) << afterPassOne;

  // Pass 2, ten seconds later: the printer's page title and name reach the listed row.
  const bool passTwo = WaitFor(
      [&] {
        return ReadFile(m_folders.Export())
                   .find("PRINTER.LAB;192.168.77.10;Cisco Systems, Inc;Printer Admin;") !=
               std::string::npos;
      },
      90s);
  EXPECT_TRUE(passTwo) << ReadFile(m_folders.Export());
  const std::string final = ReadFile(m_folders.Export());
  EXPECT_EQ(std::count(final.begin(), final.end(), '\n'), 6) << final;

  // A close (SIGTERM for a program without a screen) ends it with exit code 0.
  ASSERT_EQ(kill(program, SIGTERM), 0);
  EXPECT_EQ(WaitForExit(program, 60s), 0);
}

// The lines of /proc/<pid>/task/*/status that name capability sets and are not all zero.
std::string HeldCapabilities(pid_t pid) {
  std::string held;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::istringstream status(ReadFile(task.path() / "status"));
    for (std::string line; std::getline(status, line);) {
      if ((line.rfind("CapPrm:", 0) == 0 || line.rfind("CapEff:", 0) == 0 ||
           line.rfind("CapInh:", 0) == 0 || line.rfind("CapAmb:", 0) == 0) &&
          line.find_first_not_of("0", line.find_first_not_of(" \t", 7)) != std::string::npos) {
        if (held.size() < 200) held += task.path().filename().string() + " " + line + "\n";
      }
    }
  }
  return held;
}

// Whether the process holds one of the packet sockets of its network namespace.
bool HoldsPacketSocket(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::istringstream table(ReadFile(proc + "/net/packet"));
  std::string line;
  std::getline(table, line);  // header; the inode is the last column
  std::vector<std::string> inodes;
  while (std::getline(table, line)) inodes.push_back(line.substr(line.find_last_of(' ') + 1));
  for (const auto& fd : fs::directory_iterator(proc + "/fd")) {
    std::error_code ec;
    const std::string target = fs::read_symlink(fd.path(), ec).string();
    for (const auto& inode : inodes) {
      if (target == "socket:[" + inode + "]") return true;
    }
  }
  return false;
}

// Datagrams that reached a host on a port nobody listens on (the discard port of kernel ARP).
long UdpNoPorts(lab::TLab& lab, const std::string& host) {
  std::string snmp;
  lab.RunInHost(host, {"cat", "/proc/net/snmp"}, &snmp);
  std::istringstream lines(snmp);
  std::string names, values;
  while (std::getline(lines, names) && names.rfind("Udp:", 0) != 0) {
  }
  std::getline(lines, values);
  std::istringstream n(names), v(values);
  for (std::string name, value; n >> name && v >> value;) {
    if (name == "NoPorts") return std::stol(value);
  }
  return -1;
}

// The pid of the program's raw-ARP helper: the child of one of its threads that runs the
// helper's executable (other children may come first), waited for up to 10 s; 0 when none.
pid_t HelperOf(pid_t program) {
  pid_t helper = 0;
  WaitFor(
      [&] {
        std::error_code ec;
        for (const auto& task :
             fs::directory_iterator("/proc/" + std::to_string(program) + "/task", ec)) {
          std::istringstream children(ReadFile(task.path() / "children"));
          for (pid_t child = 0; children >> child;) {
            const fs::path exe = fs::read_symlink("/proc/" + std::to_string(child) + "/exe", ec);
            if (!ec && exe.filename() == "quenzor-arp") helper = child;
          }
        }
        return helper != 0;
      },
      10s);
  return helper;
}

std::string StatusField(pid_t pid, const std::string& field) {
  std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) {
      return line.substr(line.find_first_not_of(" \t", field.size() + 1));
    }
  }
  return {};
}

// Gone: no such process, or one that has ended and waits to be reaped.
bool ProcessGone(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t end = stat.rfind(')');
  return stat.empty() || end == std::string::npos || stat.substr(end + 2, 1) == "Z";
}

// Installed as the package installs it (a staged `cmake --install`, and the capability that
// postinst grants to the helper alone) and started by any user, the program sweeps with raw
// ARP through its helper. The program holds no capability and no packet socket, and neither
// does code a user slips into it (a Qt style plugin found through QT_PLUGIN_PATH); the helper
// loads no Qt, runs under seccomp without new privileges, keeps no capability, and does not
// outlive the program. Everything nobody reads is copied into a world-readable folder, so the
// test also passes from a checkout in a private folder.
TEST_F(ProgramInLab, StagedInstallWithTheHelpersCapabilityNobodySweepsRawAndNoQtProcessHoldsIt) {
  const fs::path root = m_folders.Home().parent_path();
  const fs::path stage = root / "stage";
  const fs::path plugins = root / "plugins";
  const std::string install = std::string("DESTDIR=") + stage.string() + " " + QZ_CMAKE_COMMAND +
                              " --install " + QZ_BUILD_DIR + " --prefix /usr >/dev/null";
  ASSERT_EQ(std::system(install.c_str()), 0) << install;
  fs::copy(QZ_PROBE_PLUGIN_PATH, plugins, fs::copy_options::recursive);
  ASSERT_EQ(std::system(("chmod -R a+rX " + root.string()).c_str()), 0);
  const fs::path program = stage / "usr/bin/quenzor";
  const fs::path helper = stage / "usr/libexec/quenzor/quenzor-arp";
  ASSERT_EQ(std::system(("setcap cap_net_raw+ep " + helper.string()).c_str()), 0);
  std::string programCaps;
  m_lab.RunInScanner({lab::FindProgram("getcap"), program.string()}, &programCaps);
  EXPECT_EQ(programCaps, "") << "the program itself carries no capability";
  const fs::path report = m_folders.Home() / "plugin-report.txt";
  for (const fs::path& p : {m_folders.Home(), root / "run"}) {
    ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
  }
  const std::vector<std::string> hosts = {"192.168.77.10", "192.168.77.11", "192.168.77.12",
                                          "192.168.77.13"};
  std::vector<long> noPortsBefore;
  for (const auto& host : hosts) noPortsBefore.push_back(UdpNoPorts(m_lab, host));
  std::vector<std::string> env = m_folders.Env();
  env.insert(env.end(), {"QT_PLUGIN_PATH=" + plugins.string(), "QT_STYLE_OVERRIDE=qzprobe",
                         "QZ_PROBE_REPORT=" + report.string()});
  const pid_t pid = m_lab.StartInScanner({lab::FindProgram("setpriv"), "--reuid=65534",
                                          "--regid=65534", "--clear-groups", program.string()},
                                         env);
  const bool passOne = WaitFor(
      [&] {
        const std::string text = ReadFile(m_folders.Export());
        return std::count(text.begin(), text.end(), '\n') == 6;
      },
      60s);
  const std::string listed = ReadFile(m_folders.Export());
  EXPECT_TRUE(passOne) << listed << m_lab.ProcessLog(pid);
  EXPECT_NE(listed.find(";192.168.77.13;"), std::string::npos) << listed;
  for (size_t i = 0; i < hosts.size(); ++i) {
    EXPECT_EQ(UdpNoPorts(m_lab, hosts[i]), noPortsBefore[i])
        << hosts[i] << " got the datagrams of kernel ARP";
  }
  EXPECT_EQ(HeldCapabilities(pid), "");
  EXPECT_FALSE(HoldsPacketSocket(pid)) << "the program holds a packet socket";
  const std::string plugin = ReadFile(report);
  EXPECT_NE(plugin.find("CapEff:\t0000000000000000"), std::string::npos) << plugin;
  EXPECT_NE(plugin.find("CapPrm:\t0000000000000000"), std::string::npos) << plugin;
  EXPECT_NE(plugin.find("packet descriptors: 0\n"), std::string::npos) << plugin;
  EXPECT_NE(plugin.find("packet socket: Operation not permitted"), std::string::npos) << plugin;

  const pid_t arp = HelperOf(pid);
  ASSERT_GT(arp, 0) << "no helper process";
  EXPECT_TRUE(HoldsPacketSocket(arp));
  EXPECT_EQ(ReadFile("/proc/" + std::to_string(arp) + "/maps").find("libQt"), std::string::npos);
  EXPECT_EQ(StatusField(arp, "Seccomp"), "2");
  EXPECT_EQ(StatusField(arp, "NoNewPrivs"), "1");
  for (const char* set : {"CapEff", "CapPrm", "CapInh", "CapAmb"}) {
    const unsigned long long held = std::stoull(StatusField(arp, set), nullptr, 16);
    EXPECT_EQ(held & ~(1ULL << 13), 0u) << set << ": more than cap_net_raw";
  }
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_EQ(WaitForExit(pid, 60s), 128 + SIGKILL);
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(ProcessGone(arp)) << "the helper outlived the program";
}

// --help and --version answer and end the program before it scans or locks anything.
TEST_F(ProgramInLab, HelpAndVersionAnswerAndScanNothing) {
  std::string output;
  EXPECT_EQ(m_lab.RunInScanner({QZ_QUENZOR_PATH, "--version"}, &output, m_folders.Env(), 20000), 0);
  EXPECT_EQ(output, "quenZOR " QZ_VERSION "\n");
  EXPECT_EQ(m_lab.RunInScanner({QZ_QUENZOR_PATH, "--help"}, &output, m_folders.Env(), 20000), 0);
  EXPECT_EQ(output.rfind("Usage: quenzor [--help | --version]\n", 0), 0u) << output;
  EXPECT_FALSE(fs::exists(m_folders.Export()));
}

TEST_F(ProgramInLab, SecondCopyExitsAtOnceAndTheFirstGoesOn) {
  const pid_t first = m_lab.StartInScanner({QZ_QUENZOR_PATH}, m_folders.Env());
  ASSERT_TRUE(WaitFor([&] { return fs::exists(m_folders.Export()); }, 60s))
      << "the first copy never listed a host";
  std::string output;
  EXPECT_EQ(m_lab.RunInScanner({QZ_QUENZOR_PATH}, &output, m_folders.Env(), 20000), 0);
  EXPECT_EQ(output, "");
  EXPECT_EQ(WaitForExit(first, 0ms), -1) << "the first copy must still run";
  ASSERT_EQ(kill(first, SIGTERM), 0);
  EXPECT_EQ(WaitForExit(first, 60s), 0);
}

// Names from reverse DNS and from the devices themselves (avahi-daemon, nmbd, a responder that
// only sends garbage), and vendors from the smaller IEEE blocks, as the program writes them.
class NamesInLab : public testing::Test {
 protected:
  void SetUp() override {
    QZ_REQUIRE_LAB();
    m_lab.AddSegment("192.168.94.1/24", "02:00:00:00:94:01");
    m_lab.AddHost({"192.168.94.10", "02:00:00:94:00:10", "dns-only.lab"});
    m_lab.AddHost({"192.168.94.11", "02:00:00:94:00:11", ""});
    m_lab.AddHost({"192.168.94.12", "02:00:00:94:00:12", ""});
    m_lab.AddHost({"192.168.94.13", "02:00:00:94:00:13", "router.lab"});
    m_lab.AddHost({"192.168.94.14", "02:00:00:94:00:14", ""});
    m_lab.AddHost({"192.168.94.15", "02:00:00:94:00:15", ""});
    m_lab.AddHost({"192.168.94.16", "02:00:00:94:00:16", ""});
    m_lab.AddHost({"192.168.94.17", "20:85:93:b0:00:17", ""});  // an MA-M block
    m_lab.AddHost({"192.168.94.18", "70:b3:d5:f2:f0:18", ""});  // an MA-S block
    m_lab.Up();
    m_lab.StartMdnsResponder("192.168.94.11", "johns-macbook");
    m_lab.StartNetbiosResponder("192.168.94.12", "KITCHEN-PC");
    m_lab.StartMdnsResponder("192.168.94.13", "router-mdns");
    m_lab.StartMdnsResponder("192.168.94.14", "nas-mdns");
    m_lab.StartNetbiosResponder("192.168.94.14", "NAS-NETBIOS");
    m_lab.StartBadNameResponder("192.168.94.16");
  }

  lab::TLab m_lab;
  TUserFolders m_folders;
};

TEST_F(NamesInLab, EachHostGetsTheFirstNameItHasAndItsBlocksVendor) {
  // No host serves a page: the refused connection still counts as "http", so every host gets
  // the name step.
  const std::vector<std::string> lines = {
      "DNS-ONLY.LAB;192.168.94.10;Locally administered;<no "
      "title>;02:00:00:94:00:10\r\n",  // reverse DNS
      "JOHNS-MACBOOK.LOCAL;192.168.94.11;Locally administered;<no "
      "title>;02:00:00:94:00:11\r\n",                                                    // mDNS
      "KITCHEN-PC;192.168.94.12;Locally administered;<no title>;02:00:00:94:00:12\r\n",  // NetBIOS
      "ROUTER.LAB;192.168.94.13;Locally administered;<no title>;02:00:00:94:00:13\r\n",  // DNS over mDNS
      "NAS-MDNS.LOCAL;192.168.94.14;Locally administered;<no "
      "title>;02:00:00:94:00:14\r\n",  // mDNS over NetBIOS
      "192.168.94.15;192.168.94.15;Locally administered;<no "
      "title>;02:00:00:94:00:15\r\n",  // no name
      "192.168.94.16;192.168.94.16;Locally administered;<no "
      "title>;02:00:00:94:00:16\r\n",  // garbage only
      "192.168.94.17;192.168.94.17;IOG Products LLC;<no title>;20:85:93:B0:00:17\r\n",
      "192.168.94.18;192.168.94.18;TELEPLATFORMS;<no title>;70:B3:D5:F2:F0:18\r\n",
      "192.168.94.1;192.168.94.1;Locally administered;<no "
      "title>;02:00:00:00:94:01\r\n"};
  const pid_t program = m_lab.StartInScanner({QZ_QUENZOR_PATH}, m_folders.Env());
  const bool complete = WaitFor(
      [&] {
        const std::string text = ReadFile(m_folders.Export());
        return std::all_of(lines.begin(), lines.end(), [&](const std::string& line) {
          return text.find(line) != std::string::npos;
        });
      },
      120s);
  const std::string text = ReadFile(m_folders.Export());
  EXPECT_TRUE(complete) << text << ReadFile(m_lab.ProcessLog(program));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(lines.size()) + 1)
      << text;
  ASSERT_EQ(kill(program, SIGTERM), 0);
  EXPECT_EQ(WaitForExit(program, 60s), 0);
}

// Two runs over changed labs with one device history. The second lab lost a device, has a
// new one, one at a new address, one with a locally administered MAC, two hosts answering for
// one address, one host answering for two, one that leaves after pass 1 and one whose web page
// trickles until the 30 s budget ends, so pass 2 outlasts the 19 s time-out. The program's
// debug lines say what each row's tooltip says when it is listed, after each pass and when it
// turns red.
class HistoryInLab : public testing::Test {
 protected:
  void SetUp() override { QZ_REQUIRE_LAB(); }

  static void AddScanner(lab::TLab& lab) { lab.AddSegment("192.168.78.1/24", "02:00:00:00:78:01"); }
  std::vector<std::string> Env() const {
    std::vector<std::string> env = m_folders.Env();
    env.push_back("QT_LOGGING_RULES=quenzor.app.debug=true");
    return env;
  }
  static size_t Find(const std::string& log, const std::string& text) { return log.find(text); }

  TUserFolders m_folders;
};

// The rows of a query, one line each with the values separated by spaces.
std::string Query(const fs::path& db, const std::string& sql) {
  sqlite3* connection = nullptr;
  if (sqlite3_open_v2(db.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(connection);
    return "<cannot open>";
  }
  std::string rows;
  sqlite3_exec(
      connection, sql.c_str(),
      [](void* out, int n, char** values, char**) {
        std::string& text = *static_cast<std::string*>(out);
        for (int i = 0; i < n; ++i)
          text += std::string(i ? " " : "") + (values[i] ? values[i] : "");
        text += "\n";
        return 0;
      },
      &rows, nullptr);
  sqlite3_close(connection);
  return rows;
}

TEST_F(HistoryInLab, SecondRunMarksWhatChangedKeepsTheExportAndNeverCallsALiveHostGone) {
  {
    lab::TLab first;
    AddScanner(first);
    first.AddHost({"192.168.78.10", "00:00:0c:78:00:10", ""});  // stays
    first.AddHost({"192.168.78.11", "00:00:0c:78:00:11", ""});  // gone next time
    first.AddHost({"192.168.78.12", "00:00:0c:78:00:12", ""});  // moves to .22
    first.Up();
    const pid_t program = first.StartInScanner({QZ_QUENZOR_PATH}, Env());
    ASSERT_TRUE(WaitFor(
        [&] {
          const std::string text = ReadFile(m_folders.Export());
          return std::count(text.begin(), text.end(), '\n') == 5;
        },
        60s))
        << ReadFile(m_folders.Export()) << ReadFile(first.ProcessLog(program));
    ASSERT_EQ(kill(program, SIGTERM), 0);
    EXPECT_EQ(WaitForExit(program, 60s), 0);
  }

  lab::TLab lab;
  AddScanner(lab);
  lab.AddHost({"192.168.78.10", "00:00:0c:78:00:10", ""});
  lab.AddHost({"192.168.78.22", "00:00:0c:78:00:12", ""});  // moved
  lab.AddHost({"192.168.78.13", "00:00:0c:78:00:13", ""});  // new, trickling web page
  lab.AddHost({"192.168.78.14", "da:a1:19:78:00:14", ""});  // randomised MAC
  lab.AddHost({"192.168.78.15", "00:00:0c:78:00:15", ""});  // leaves after pass 1
  lab.AddHost({"192.168.78.30", "00:00:0c:78:00:30", ""});  // .30 answered by two hosts
  lab.AddHost({"192.168.78.31", "00:00:0c:78:00:31", ""});
  lab.AddHost({"192.168.78.40", "00:00:0c:78:00:40", ""});  // answers for .40 and .41
  lab.Up();
  ASSERT_EQ(lab.RunInHost("192.168.78.31", {"ip", "addr", "add", "192.168.78.30/24", "dev", "qzh"}),
            0);
  ASSERT_EQ(lab.RunInHost("192.168.78.40", {"ip", "addr", "add", "192.168.78.41/24", "dev", "qzh"}),
            0);
  lab.StartInHost("192.168.78.13", {QZ_HTTP_PEER_PATH, "192.168.78.13", "80", "trickle"});

  const pid_t program = lab.StartInScanner({QZ_QUENZOR_PATH}, Env());
  const std::string logPath = lab.ProcessLog(program);
  ASSERT_TRUE(
      WaitFor([&] { return ReadFile(logPath).find("pass 1 ended") != std::string::npos; }, 60s))
      << ReadFile(logPath);
  // The device leaves: its link goes down and the scanner's cache forgets it.
  EXPECT_EQ(lab.RunInHost("192.168.78.15", {"ip", "link", "set", "qzh", "down"}), 0);
  lab.RunInScanner({"ip", "neigh", "flush", "to", "192.168.78.15"});
  ASSERT_TRUE(
      WaitFor([&] { return ReadFile(logPath).find("pass 2 ended") != std::string::npos; }, 90s))
      << ReadFile(logPath);
  ASSERT_TRUE(WaitFor(
      [&] { return ReadFile(logPath).find("marked 00:00:0C:78:00:15") != std::string::npos; }, 5s))
      << ReadFile(logPath);
  ASSERT_EQ(kill(program, SIGTERM), 0);
  EXPECT_EQ(WaitForExit(program, 60s), 0);
  const std::string log = ReadFile(logPath);

  // The marks, in the words of each row's tooltip.
  const std::vector<std::string> listed = {
      "listed 00:00:0C:78:00:10 192.168.78.10: Known since ",
      "listed 00:00:0C:78:00:13 192.168.78.13: New: first seen now | Vendor: Cisco Systems, Inc "
      "(IEEE registry)",
      "listed DA:A1:19:78:00:14 192.168.78.14: New: first seen now | Locally administered MAC",
      "listed 02:00:00:00:78:01 192.168.78.1: Known since ",
  };
  for (const std::string& line : listed)
    EXPECT_NE(Find(log, line), std::string::npos) << line << "\n" << log;
  const size_t moved = Find(log, "listed 00:00:0C:78:00:12 192.168.78.22: Known since ");
  ASSERT_NE(moved, std::string::npos) << log;
  EXPECT_NE(log.find(" at 192.168.78.12 | Moved from 192.168.78.12 |", moved), std::string::npos)
      << log;
  const size_t pass2 = Find(log, "pass 2 ended");
  EXPECT_NE(log.find(" 192.168.78.4", log.find("after the pass 00:00:0C:78:00:40", pass2)),
            std::string::npos);
  EXPECT_NE(log.find("00:00:0C:78:00:40 also answered for 192.168.78.4", pass2), std::string::npos)
      << log;
  // Both stations that answer for .30 get a row, and each row names the other MAC.
  EXPECT_NE(log.find("after the pass 00:00:0C:78:00:30", pass2), std::string::npos) << log;
  EXPECT_NE(log.find("after the pass 00:00:0C:78:00:31", pass2), std::string::npos) << log;
  EXPECT_NE(log.find("192.168.78.30 also answered from 00:00:0C:78:00:3", pass2), std::string::npos)
      << log;

  // Only the host that left turns red, and only once pass 2 is over; no live host ever does.
  const size_t gone = Find(log, "marked 00:00:0C:78:00:15 192.168.78.15: Not seen again | Known");
  EXPECT_GT(gone, pass2) << log;
  size_t marks = 0;
  for (size_t at = log.find("marked "); at != std::string::npos; at = log.find("marked ", at + 1))
    ++marks;
  EXPECT_EQ(marks, 1u) << log;

  // The export is what it would be without a history (the vendor of a locally administered
  // MAC aside).
  const std::string text = ReadFile(m_folders.Export());
  for (const std::string line :
       {"host;ip;vendor;title;mac\r\n",
        "192.168.78.10;192.168.78.10;Cisco Systems, Inc;<no title>;00:00:0C:78:00:10\r\n",
        "192.168.78.22;192.168.78.22;Cisco Systems, Inc;<no title>;00:00:0C:78:00:12\r\n",
        "192.168.78.14;192.168.78.14;Locally administered;<no title>;DA:A1:19:78:00:14\r\n",
        "192.168.78.15;192.168.78.15;Cisco Systems, Inc;;00:00:0C:78:00:15\r\n",
        "192.168.78.1;192.168.78.1;Locally administered;<no title>;02:00:00:00:78:01\r\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  }
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10) << text;

  // The history holds every device once, with where it was last and how many runs saw it.
  const fs::path folder = m_folders.Home() / ".local/share/quenzor";
  EXPECT_EQ(
      Query(folder / "history.sqlite",
            "SELECT mac, last_address, runs_seen FROM devices WHERE mac LIKE '00:00:0C:78:00:1%'"
            " ORDER BY mac"),
      "00:00:0C:78:00:10 192.168.78.10 2\n00:00:0C:78:00:11 192.168.78.11 1\n"
      "00:00:0C:78:00:12 192.168.78.22 2\n00:00:0C:78:00:13 192.168.78.13 1\n"
      "00:00:0C:78:00:15 192.168.78.15 1\n");
  EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(folder / "history.sqlite").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

// A screen reader reads the list from outside the program (AT-SPI over a private D-Bus
// session on a private X server): the list's name, every row's cells and the host cell's
// description with the row's marks in words; in a run that began the history, none is new.
TEST(ScreenReaderInLab, ReadsTheListsCellsAndEachRowsMarks) {
  QZ_REQUIRE_LAB();
  for (const char* needed :
       {"/usr/bin/Xvfb", "/usr/bin/dbus-run-session", "/usr/libexec/at-spi-bus-launcher",
        "/usr/lib/python3/dist-packages/pyatspi/__init__.py"}) {
    if (!fs::exists(needed))
      GTEST_SKIP() << "needs " << needed << " (xvfb, dbus, at-spi2-core, python3-pyatspi)";
  }
  lab::TLab lab;
  lab.AddSegment("192.168.79.1/24", "02:00:00:00:79:01");
  lab.AddHost({"192.168.79.10", "00:00:0c:79:00:10", ""});
  lab.AddHost({"192.168.79.11", "da:a1:19:79:00:11", ""});
  lab.Up();
  TUserFolders folders;
  const fs::path programLog = folders.Home() / "quenzor.log";
  std::string output;
  const int status =
      lab.RunInScanner({"/bin/sh", QZ_TESTS_DIR "/atspi_session.sh", QZ_QUENZOR_PATH,
                        QZ_TESTS_DIR "/atspi_read.py", "3", "40", programLog.string()},
                       &output, folders.Env(), 90000);
  EXPECT_EQ(status, 0) << output << ReadFile(programLog);
  EXPECT_NE(output.find("list: Devices found\n"), std::string::npos) << output;
  for (const std::string row :
       {"row: 192.168.79.10 ; 192.168.79.10 ; Cisco Systems, Inc ;  ; 00:00:0C:79:00:10 | "
        "Vendor: Cisco Systems, Inc (IEEE registry)\n",
        "row: 192.168.79.11 ; 192.168.79.11 ; Locally administered ;  ; DA:A1:19:79:00:11 | "
        "Locally administered MAC"}) {
    EXPECT_NE(output.find(row), std::string::npos) << row << "\n" << output;
  }
}

}  // namespace
