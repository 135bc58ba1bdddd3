#pragma once

// The test network: a scanner namespace whose adapters lead through one bridge per segment
// (in a "switch" namespace) to one namespace per host. Nothing is attached to the machine's
// own namespace, so whatever a test sends can only reach the lab's own hosts.
//
// Names: every namespace starts with the lab's prefix "qz" + a short id: <prefix>s is the
// scanner, <prefix>w the switch, <prefix>h<n> the n-th host. Interfaces inside them are
// qzs<segment> (scanner adapters), qzh (a host's adapter), qzbr<segment> and qzp<n>
// (bridges and their host ports in the switch).

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace lab {

bool HaveRoot();

#define QZ_REQUIRE_LAB()                                                              \
  do {                                                                                \
    if (!::lab::HaveRoot()) GTEST_SKIP() << "needs root to build network namespaces"; \
  } while (0)

// How a host that answers ARP through the lab's responder behaves (see
// arp_delay_responder.cpp): replies delayMs late; dozePercent of the broadcast who-has frames
// lost at random (unicast ones always answered); who-has frames within spacingMs of the
// previous one ignored, and the first after 10 s of quiet only wakes it; fromMacs: each
// request answered once from each of these MACs, in order, instead of the host's own.
struct TArpBehaviour {
  int delayMs = 0;
  int dozePercent = 0;
  int spacingMs = 0;
  std::vector<std::string> fromMacs = {};
};

struct THost {
  std::string ip;    // dotted; may carry "/len", else the segment's prefix length applies
  std::string mac;   // "00:00:0c:12:34:56"; empty: a fixed locally administered one
  std::string name;  // optional: written to the scanner's hosts file for reverse lookups
  int segment = 0;
};

// Name of a host's adapter inside its namespace and of scanner adapter n.
inline constexpr const char* kHostAdapter = "qzh";
std::string ScannerAdapter(int segment);

class TLab {
 public:
  TLab();  // picks a unique prefix; nothing is created yet
  ~TLab();
  TLab(const TLab&) = delete;
  TLab& operator=(const TLab&) = delete;

  // One scanner adapter with the given address(es) (added in this order) and a bridge.
  int AddSegment(const std::string& scannerCidr, const std::string& scannerMac = "",
                 const std::vector<std::string>& moreScannerCidrs = {});
  void AddHost(const THost& host);

  void Up();    // throws std::runtime_error; a failed Up leaves nothing behind after Down
  void Down();  // idempotent; run by the destructor

  const std::string& Prefix() const { return m_prefix; }
  const std::string& ScannerNs() const { return m_scannerNs; }
  const std::string& SwitchNs() const { return m_switchNs; }
  std::string HostNs(const std::string& ip) const;  // throws for an unknown host
  const std::vector<THost>& Hosts() const { return m_hosts; }
  std::chrono::milliseconds UpTime() const { return m_upTime; }

  // Started programs write their standard output and error to ProcessLog(pid). They get
  // SIGTERM when the thread that started them ends (PR_SET_PDEATHSIG), so a crashed test
  // leaves no server behind: start them from a thread that outlives them (the test's own).
  pid_t StartInHost(const std::string& ip, const std::vector<std::string>& argv);
  pid_t StartInScanner(const std::vector<std::string>& argv,
                       const std::vector<std::string>& env = {});
  // Runs a program in the scanner namespace and returns its exit code (128 + signal when
  // killed, -1 on time-out, after which it has been killed). Captures its standard output.
  int RunInScanner(const std::vector<std::string>& argv, std::string* output = nullptr,
                   const std::vector<std::string>& env = {}, int timeoutMs = 120000);
  int RunInHost(const std::string& ip, const std::vector<std::string>& argv,
                std::string* output = nullptr, int timeoutMs = 120000);
  void StopProcess(pid_t pid);  // SIGTERM, a grace period, SIGKILL; only pids we started
  std::string ProcessLog(pid_t pid) const;

  // A web server on ip:80 serving docroot; kind is "lighttpd", "busybox" or "python".
  // Returns once the port accepts connections.
  pid_t StartHttpServer(const std::string& ip, const std::string& kind, const std::string& docroot);
  // Turns the host's kernel ARP off and answers ARP requests for its address from the lab's
  // responder, which behaves as told. Returns once it listens.
  pid_t StartArpResponder(const std::string& ip, const TArpBehaviour& behaviour);
  // The same with replies delayed by delayMs and nothing else.
  pid_t StartDelayedArpHost(const std::string& ip, int delayMs);

  // Real name responders in a host: Debian's avahi-daemon publishing `hostName`.local (it
  // answers the reverse PTR query of the host's address) and Samba's nmbd with the NetBIOS
  // name `netbiosName`. Each runs in a mount namespace of its own with a fresh /run and keeps
  // its files under the lab's folder; returns once it answers a query from the scanner.
  // serviceFiles: avahi service definitions (XML) it publishes, read from a folder bound over
  // /etc/avahi/services in its mount namespace; publishAddresses=false leaves the host's address
  // records (and so its reverse PTR answer) out.
  pid_t StartMdnsResponder(const std::string& ip, const std::string& hostName,
                           const std::vector<std::string>& serviceFiles = {},
                           bool publishAddresses = true);
  // Debian's minidlna (a UPnP media server that answers only searches sent to the SSDP group)
  // with its description on port 8200, confined like avahi-daemon; returns once it listens.
  static constexpr int kMinidlnaPort = 8200;
  pid_t StartMinidlna(const std::string& ip, const std::string& friendlyName);
  // A scripted UPnP device (ssdp_responder.py; args: its kind and the kind's arguments).
  // Returns once it answers a search.
  pid_t StartSsdpResponder(const std::string& ip, const std::vector<std::string>& args);
  pid_t StartNetbiosResponder(const std::string& ip, const std::string& netbiosName);
  // A scripted responder on the host's ports 5353 and 137 that answers every query with
  // malformed or foreign datagrams (a compression loop, a wrong transaction id, another
  // question, a name count past the end), and never with a usable name.
  pid_t StartBadNameResponder(const std::string& ip);

  // Gives a running host's adapter another MAC, as a phone does when it turns on a private
  // address for the network.
  void SetHostMac(const std::string& ip, const std::string& mac);
  // Makes a host a router or Wi-Fi repeater: a namespace of its own behind the host holds
  // `addresses` (each a /32), and the host answers ARP for them on the segment at once (proxy
  // ARP) and forwards their traffic. answerOwn=false keeps the host from answering ARP for its
  // own address, so that the addresses behind it are all it answers for. A later call replaces
  // the addresses.
  void SetNetworkBehind(const std::string& repeaterIp, const std::vector<std::string>& addresses,
                        bool answerOwn = true);

  // For the command-line tool: the lab stays up when this object goes, processes started
  // from now on outlive it, and a state file lets Destroy() end them later.
  void Keep();
  // Takes down a kept lab by its prefix: ends its recorded processes, deletes its
  // namespaces and /etc/netns folders. Returns false when nothing of it was found.
  static bool Destroy(const std::string& prefix);

 private:
  struct TSegment {
    std::vector<std::string> cidrs;
    std::string mac;
  };
  struct TProcess {
    pid_t pid;
    unsigned long long startTime;
    std::string log;
  };

  std::string HostNsByIndex(size_t index) const;
  std::vector<std::string> AllNamespaces() const;
  pid_t StartIn(const std::string& ns, const std::vector<std::string>& argv,
                const std::vector<std::string>& env);
  int RunIn(const std::string& ns, const std::vector<std::string>& argv, std::string* output,
            const std::vector<std::string>& env, int timeoutMs);
  void WaitForPort(const std::string& ns, const std::string& ip, int port, pid_t server);
  void WaitForUdpAnswer(const std::string& ip, int port, const std::string& query, pid_t server);
  // The steps of Up, in order; dir holds their ip batch files.
  void AddNamespaces(const std::string& dir);
  void BuildSwitch(const std::string& dir);
  void AddAddresses(const std::string& dir);
  void WriteNetnsFiles();
  void SaveState() const;
  const std::string& TempDir();

  std::string m_prefix;
  std::string m_scannerNs;
  std::string m_switchNs;
  std::vector<TSegment> m_segments;
  std::vector<THost> m_hosts;
  std::vector<TProcess> m_processes;
  // Namespaces behind repeaters: the repeater's address, the namespace, its addresses.
  struct TBehind {
    std::string repeaterIp;
    std::string ns;
    std::vector<std::string> addresses;
  };
  std::vector<TBehind> m_behind;
  std::string m_tempDir;
  std::chrono::milliseconds m_upTime{0};
  int m_processCount = 0;
  bool m_upStarted = false;
  bool m_keep = false;
};

// Moves the calling thread into a named network namespace and back. setns() affects only
// the calling thread; threads it creates meanwhile start in that namespace too.
class TNetnsScope {
 public:
  explicit TNetnsScope(const std::string& ns);
  ~TNetnsScope();
  TNetnsScope(const TNetnsScope&) = delete;
  TNetnsScope& operator=(const TNetnsScope&) = delete;

 private:
  int m_oldNs = -1;
};

class TScannerScope {
 public:
  explicit TScannerScope(const TLab& lab) : m_scope(lab.ScannerNs()) {}

 private:
  TNetnsScope m_scope;
};

}  // namespace lab
