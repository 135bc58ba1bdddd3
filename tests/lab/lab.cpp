#include "lab/lab.h"

#include "lab/labprocess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef QZ_BAD_NAME_RESPONDER
#define QZ_BAD_NAME_RESPONDER "bad_name_responder.py"
#endif

#ifndef QZ_SSDP_RESPONDER
#define QZ_SSDP_RESPONDER "ssdp_responder.py"
#endif

#ifndef QZ_ARP_RESPONDER
#define QZ_ARP_RESPONDER "qz_arp_delay_responder"
#endif

namespace fs = std::filesystem;

namespace lab {
namespace {

constexpr const char* kNetnsRun = "/run/netns/";
constexpr const char* kNetnsEtc = "/etc/netns/";
constexpr const char* kStateDir = "/run/qzlab/";

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string PlainIp(const std::string& ipOrCidr) { return ipOrCidr.substr(0, ipOrCidr.find('/')); }

std::string PrefixLength(const std::string& cidr) {
  size_t slash = cidr.find('/');
  return slash == std::string::npos ? "32" : cidr.substr(slash + 1);
}

bool ValidIp(const std::string& ip) {
  in_addr a{};
  return inet_pton(AF_INET, ip.c_str(), &a) == 1;
}

bool ValidMac(const std::string& mac) {
  if (mac.size() != 17) return false;
  for (size_t i = 0; i < mac.size(); ++i) {
    bool colon = i % 3 == 2;
    if (colon ? mac[i] != ':' : !std::isxdigit(static_cast<unsigned char>(mac[i]))) return false;
  }
  return true;
}

// Locally administered addresses (02:...) for adapters the caller gave no MAC.
std::string DefaultMac(int kind, size_t index) {
  char text[18];
  std::snprintf(text, sizeof text, "02:71:7a:%02x:%02x:%02x", kind,
                static_cast<unsigned>(index >> 8) & 0xff, static_cast<unsigned>(index) & 0xff);
  return text;
}

// The namespace names of a lab: <prefix>s, <prefix>w, <prefix>h<digits>.
bool BelongsTo(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  std::string rest = name.substr(prefix.size());
  if (rest == "s" || rest == "w") return true;
  return rest.size() > 1 && rest[0] == 'h' &&
         std::all_of(rest.begin() + 1, rest.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> NamespacesOf(const std::string& prefix) {
  std::vector<std::string> names;
  for (const char* dir : {kNetnsRun, kNetnsEtc}) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      std::string name = entry.path().filename().string();
      if (BelongsTo(name, prefix) && std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(name);
      }
    }
  }
  return names;
}

void DeleteNamespaces(const std::vector<std::string>& names, const std::string& batchDir) {
  if (names.empty()) return;
  std::error_code ec;
  fs::create_directories(batchDir, ec);
  std::string batch = batchDir + "/down.batch";
  std::string text;
  for (const auto& name : names) {
    if (fs::exists(kNetnsRun + name, ec)) text += "netns del " + name + "\n";
  }
  if (!text.empty()) {
    WriteFile(batch, text);
    RunIpBatch("", batch, true);
  }
  for (const auto& name : names) {
    // /etc/netns/<ns> holds only the files we wrote; remove them by their names.
    for (const char* file : {"hosts", "resolv.conf"}) fs::remove(kNetnsEtc + name + "/" + file, ec);
    fs::remove(kNetnsEtc + name, ec);
  }
}

std::atomic<int> labCounter{0};

std::string TempDirOf(const std::string& prefix) {
  return (fs::temp_directory_path() / (prefix + ".lab")).string();
}

}  // namespace

bool HaveRoot() { return geteuid() == 0; }

std::string ScannerAdapter(int segment) { return "qzs" + std::to_string(segment); }

// ---- TNetnsScope ----

TNetnsScope::TNetnsScope(const std::string& ns) {
  m_oldNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (m_oldNs < 0) throw std::runtime_error(Errno("open own netns"));
  int fd = open((kNetnsRun + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
    std::string message = Errno("enter netns " + ns);
    if (fd >= 0) close(fd);
    close(m_oldNs);
    throw std::runtime_error(message);
  }
  close(fd);
}

TNetnsScope::~TNetnsScope() {
  setns(m_oldNs, CLONE_NEWNET);
  close(m_oldNs);
}

// ---- TLab ----

TLab::TLab() {
  // pid-based, with a counter for further labs of the same process and a check against a
  // stale lab of an earlier process that had the same pid.
  std::string base = "qz" + std::to_string(getpid());
  for (;;) {
    int n = labCounter++;
    m_prefix = n == 0 ? base : base + "n" + std::to_string(n);
    if (NamespacesOf(m_prefix).empty()) break;
  }
  m_scannerNs = m_prefix + "s";
  m_switchNs = m_prefix + "w";
}

TLab::~TLab() {
  if (m_keep) return;
  try {
    Down();
  } catch (...) {
    // A destructor must not throw; Down() already went as far as it could.
  }
}

int TLab::AddSegment(const std::string& scannerCidr, const std::string& scannerMac,
                     const std::vector<std::string>& moreScannerCidrs) {
  TSegment segment;
  segment.cidrs.push_back(scannerCidr);
  segment.cidrs.insert(segment.cidrs.end(), moreScannerCidrs.begin(), moreScannerCidrs.end());
  for (const auto& cidr : segment.cidrs) {
    if (!ValidIp(PlainIp(cidr))) throw std::invalid_argument("bad scanner address " + cidr);
  }
  segment.mac = scannerMac.empty() ? DefaultMac(1, m_segments.size()) : scannerMac;
  if (!ValidMac(segment.mac)) throw std::invalid_argument("bad scanner MAC " + segment.mac);
  m_segments.push_back(segment);
  return static_cast<int>(m_segments.size() - 1);
}

void TLab::AddHost(const THost& host) {
  if (host.segment < 0 || host.segment >= static_cast<int>(m_segments.size())) {
    throw std::invalid_argument("host " + host.ip + " names no segment");
  }
  if (!ValidIp(PlainIp(host.ip))) throw std::invalid_argument("bad host address " + host.ip);
  THost h = host;
  if (h.mac.empty()) h.mac = DefaultMac(2, m_hosts.size());
  if (!ValidMac(h.mac)) throw std::invalid_argument("bad host MAC " + h.mac);
  for (const auto& other : m_hosts) {
    if (PlainIp(other.ip) == PlainIp(h.ip)) throw std::invalid_argument("host " + h.ip + " twice");
  }
  m_hosts.push_back(h);
}

std::string TLab::HostNsByIndex(size_t index) const {
  return m_prefix + "h" + std::to_string(index);
}

std::string TLab::HostNs(const std::string& ip) const {
  for (size_t i = 0; i < m_hosts.size(); ++i) {
    if (PlainIp(m_hosts[i].ip) == PlainIp(ip)) return HostNsByIndex(i);
  }
  throw std::invalid_argument("no lab host " + ip);
}

std::vector<std::string> TLab::AllNamespaces() const {
  std::vector<std::string> names{m_switchNs, m_scannerNs};
  for (size_t i = 0; i < m_hosts.size(); ++i) names.push_back(HostNsByIndex(i));
  for (const TBehind& behind : m_behind) names.push_back(behind.ns);
  return names;
}

const std::string& TLab::TempDir() {
  if (m_tempDir.empty()) {
    // A fixed name per prefix, so that a kept lab's files can be found by Destroy().
    std::string dir = TempDirOf(m_prefix);
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (!fs::create_directory(dir, ec)) throw std::runtime_error("cannot create " + dir);
    m_tempDir = dir;
  }
  return m_tempDir;
}

void TLab::Up() {
  if (m_upStarted) throw std::logic_error("lab is already up");
  if (m_segments.empty()) throw std::logic_error("lab has no segment");
  m_upStarted = true;
  auto start = std::chrono::steady_clock::now();
  const std::string& dir = TempDir();
  AddNamespaces(dir);
  BuildSwitch(dir);
  AddAddresses(dir);
  WriteNetnsFiles();
  m_upTime = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
}

// Every namespace, from one ip process.
void TLab::AddNamespaces(const std::string& dir) {
  std::string text;
  for (const auto& ns : AllNamespaces()) text += "netns add " + ns + "\n";
  WriteFile(dir + "/netns.batch", text);
  RunIpBatch("", dir + "/netns.batch");
}

// The switch: one bridge per segment; veth pairs whose far ends are created straight inside
// the scanner and host namespaces with their fixed MACs. STP stays off, so ports forward at
// once. Multicast snooping is off: without an IGMP querier in the lab the bridge would learn
// group members only from their reports, so every port gets group traffic (the SSDP search),
// as on a plain switch.
void TLab::BuildSwitch(const std::string& dir) {
  std::string text = "link set lo up\n";
  for (size_t s = 0; s < m_segments.size(); ++s) {
    std::string br = "qzbr" + std::to_string(s);
    std::string port = ScannerAdapter(static_cast<int>(s));
    text += "link add " + br + " type bridge mcast_snooping 0\nlink set " + br + " up\n";
    text += "link add " + port + " type veth peer name " + port + " address " + m_segments[s].mac +
            " netns " + m_scannerNs + "\n";
    text += "link set " + port + " master " + br + " up\n";
  }
  for (size_t i = 0; i < m_hosts.size(); ++i) {
    std::string port = "qzp" + std::to_string(i);
    text += "link add " + port + " type veth peer name " + kHostAdapter + " address " +
            m_hosts[i].mac + " netns " + HostNsByIndex(i) + "\n";
    text += "link set " + port + " master qzbr" + std::to_string(m_hosts[i].segment) + " up\n";
  }
  WriteFile(dir + "/switch.batch", text);
  RunIpBatch(m_switchNs, dir + "/switch.batch");
}

// Addresses, one ip process per namespace, all running at once.
void TLab::AddAddresses(const std::string& dir) {
  std::vector<std::pair<std::string, std::string>> batches;
  std::string text = "link set lo up\n";
  for (size_t s = 0; s < m_segments.size(); ++s) {
    std::string adapter = ScannerAdapter(static_cast<int>(s));
    for (const auto& cidr : m_segments[s].cidrs)
      text += "addr add " + cidr + " dev " + adapter + "\n";
    text += "link set " + adapter + " up\n";
  }
  WriteFile(dir + "/scanner.batch", text);
  batches.emplace_back(m_scannerNs, dir + "/scanner.batch");
  for (size_t i = 0; i < m_hosts.size(); ++i) {
    const THost& h = m_hosts[i];
    std::string cidr = h.ip.find('/') != std::string::npos
                           ? h.ip
                           : h.ip + "/" + PrefixLength(m_segments[h.segment].cidrs.front());
    std::string batch = dir + "/h" + std::to_string(i) + ".batch";
    WriteFile(batch, std::string("link set lo up\naddr add ") + cidr + " dev " + kHostAdapter +
                         "\nlink set " + kHostAdapter + " up\n");
    batches.emplace_back(HostNsByIndex(i), batch);
  }
  RunIpBatches(batches);
}

void TLab::WriteNetnsFiles() {
  // `ip netns exec` binds these over /etc/hosts and /etc/resolv.conf: reverse lookups see
  // only the lab's names, and DNS goes to 127.0.0.1 inside the namespace, where nothing
  // listens, so no query ever leaves the lab.
  std::string hosts = "127.0.0.1\tlocalhost\n";
  for (const auto& h : m_hosts) {
    if (!h.name.empty()) hosts += PlainIp(h.ip) + "\t" + h.name + "\n";
  }
  const std::string resolv = "nameserver 127.0.0.1\n";
  std::vector<std::string> names = AllNamespaces();
  for (size_t i = 1; i < names.size(); ++i) {  // all but the switch
    std::string dir = kNetnsEtc + names[i];
    fs::create_directories(dir);
    WriteFile(dir + "/resolv.conf", resolv);
    WriteFile(dir + "/hosts", names[i] == m_scannerNs ? hosts : "127.0.0.1\tlocalhost\n");
  }
}

void TLab::Down() {
  for (auto it = m_processes.rbegin(); it != m_processes.rend(); ++it) {
    if (ProcessStartTime(it->pid) == it->startTime) EndProcess(it->pid);
  }
  m_processes.clear();
  if (m_upStarted) {
    // Exact names only: what this lab planned, whether or not Up() got that far.
    std::vector<std::string> names = AllNamespaces();
    std::error_code ec;
    std::vector<std::string> present;
    for (const auto& n : names) {
      if (fs::exists(kNetnsRun + n, ec) || fs::exists(kNetnsEtc + n, ec)) present.push_back(n);
    }
    DeleteNamespaces(present, TempDir());
    m_upStarted = false;
  }
  if (!m_tempDir.empty()) {
    std::error_code ec;
    fs::remove_all(m_tempDir, ec);
    m_tempDir.clear();
  }
  std::error_code ec;
  fs::remove(kStateDir + m_prefix, ec);
}

// ---- processes ----

pid_t TLab::StartIn(const std::string& ns, const std::vector<std::string>& argv,
                    const std::vector<std::string>& env) {
  static const std::string ip = FindProgram("ip");
  TSpawn spawn;
  // `ip netns exec` execs the program itself, so the pid we get is the program's.
  spawn.argv = {ip, "netns", "exec", ns};
  spawn.argv.insert(spawn.argv.end(), argv.begin(), argv.end());
  spawn.env = env;
  spawn.dieWithParent = !m_keep;
  spawn.newSession = m_keep;
  spawn.outputPath = TempDir() + "/process" + std::to_string(++m_processCount) + ".log";
  pid_t pid = Spawn(spawn);
  m_processes.push_back({pid, ProcessStartTime(pid), spawn.outputPath});
  if (m_keep) SaveState();
  return pid;
}

pid_t TLab::StartInHost(const std::string& ip, const std::vector<std::string>& argv) {
  return StartIn(HostNs(ip), argv, {});
}

pid_t TLab::StartInScanner(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env) {
  return StartIn(m_scannerNs, argv, env);
}

int TLab::RunIn(const std::string& ns, const std::vector<std::string>& argv, std::string* output,
                const std::vector<std::string>& env, int timeoutMs) {
  static const std::string ip = FindProgram("ip");
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error(Errno("pipe"));
  TSpawn spawn;
  spawn.argv = {ip, "netns", "exec", ns};
  spawn.argv.insert(spawn.argv.end(), argv.begin(), argv.end());
  spawn.env = env;
  spawn.stdoutFd = pipeFds[1];
  pid_t pid;
  try {
    pid = Spawn(spawn);
  } catch (...) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    throw;
  }
  close(pipeFds[1]);
  std::string captured;
  int code = WaitChild(pid, timeoutMs, pipeFds[0], &captured);
  close(pipeFds[0]);
  if (output) *output = captured;
  return code;
}

int TLab::RunInScanner(const std::vector<std::string>& argv, std::string* output,
                       const std::vector<std::string>& env, int timeoutMs) {
  return RunIn(m_scannerNs, argv, output, env, timeoutMs);
}

int TLab::RunInHost(const std::string& ip, const std::vector<std::string>& argv,
                    std::string* output, int timeoutMs) {
  return RunIn(HostNs(ip), argv, output, {}, timeoutMs);
}

void TLab::StopProcess(pid_t pid) {
  auto it = std::find_if(m_processes.begin(), m_processes.end(),
                         [pid](const TProcess& p) { return p.pid == pid; });
  if (it == m_processes.end()) return;
  if (ProcessStartTime(pid) == it->startTime) EndProcess(pid);
  m_processes.erase(it);
  if (m_keep) SaveState();
}

std::string TLab::ProcessLog(pid_t pid) const {
  for (const auto& p : m_processes) {
    if (p.pid == pid) return p.log;
  }
  return "";
}

// ---- servers ----

void TLab::WaitForPort(const std::string& ns, const std::string& ip, int port, pid_t server) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  TNetnsScope scope(ns);
  while (std::chrono::steady_clock::now() < deadline) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(Errno("socket"));
    int r = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    close(fd);
    if (r == 0) return;
    int status = 0;
    if (ChildEnded(server, &status)) {
      throw std::runtime_error("server for " + ip + " ended before it listened (status " +
                               std::to_string(status) + ")");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  throw std::runtime_error("server on " + ip + ":" + std::to_string(port) + " did not listen");
}

pid_t TLab::StartHttpServer(const std::string& ip, const std::string& kind,
                            const std::string& docroot) {
  std::string ns = HostNs(ip);
  std::string root = fs::absolute(docroot).string();
  std::vector<std::string> argv;
  if (kind == "lighttpd") {
    std::string conf = TempDir() + "/lighttpd-" + ip + ".conf";
    // clang-format off
    WriteFile(conf, "server.document-root = \"" + root + "\"\n"
                    "server.bind = \"" + ip + "\"\n"
                    "server.port = 80\n"
                    "server.errorlog = \"" + TempDir() + "/lighttpd-" + ip + ".log\"\n"
                    "index-file.names = ( \"index.html\" )\n"
                    "mimetype.assign = ( \".html\" => \"text/html\", \".txt\" => \"text/plain\" )\n");
    // clang-format on
    argv = {FindProgram("lighttpd"), "-D", "-f", conf};
  } else if (kind == "busybox") {
    argv = {FindProgram("busybox"), "httpd", "-f", "-p", ip + ":80", "-h", root};
  } else if (kind == "python") {
    argv = {FindProgram("python3"), "-m", "http.server", "--bind", ip, "--directory", root, "80"};
  } else {
    throw std::invalid_argument("unknown web server kind " + kind);
  }
  if (argv[0].empty()) throw std::runtime_error(kind + " is not installed");
  pid_t pid = StartIn(ns, argv, {});
  WaitForPort(ns, ip, 80, pid);
  return pid;
}

pid_t TLab::StartArpResponder(const std::string& ip, const TArpBehaviour& behaviour) {
  std::string ns = HostNs(ip);
  std::string batch = TempDir() + "/arpoff-" + ip + ".batch";
  WriteFile(batch, std::string("link set dev ") + kHostAdapter + " arp off\n");
  RunIpBatch(ns, batch);
  std::string ready = TempDir() + "/arp-ready-" + ip;
  fs::remove(ready);  // left by a responder this host had before
  std::vector<std::string> argv{QZ_ARP_RESPONDER, kHostAdapter, ip,
                                std::to_string(behaviour.delayMs), ready};
  if (behaviour.dozePercent > 0)
    argv.insert(argv.end(), {"--doze", std::to_string(behaviour.dozePercent)});
  if (behaviour.spacingMs > 0)
    argv.insert(argv.end(), {"--spacing", std::to_string(behaviour.spacingMs)});
  if (!behaviour.fromMacs.empty()) {
    std::string list;
    for (const auto& mac : behaviour.fromMacs) {
      if (!ValidMac(mac)) throw std::invalid_argument("bad MAC " + mac);
      list += (list.empty() ? "" : ",") + mac;
    }
    argv.insert(argv.end(), {"--from", list});
  }
  pid_t pid = StartIn(ns, argv, {});
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fs::exists(ready)) {
    if (ChildEnded(pid) || std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("ARP responder for " + ip + " did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pid;
}

pid_t TLab::StartDelayedArpHost(const std::string& ip, int delayMs) {
  TArpBehaviour behaviour;
  behaviour.delayMs = delayMs;
  return StartArpResponder(ip, behaviour);
}

// ---- name responders ----

namespace {

// A reverse PTR query for ip (id 0x5151) and a NetBIOS node status request for "*" (0x5252).
std::string ReversePtrQuery(const std::string& ip) {
  in_addr a{};
  inet_pton(AF_INET, ip.c_str(), &a);
  const auto* o = reinterpret_cast<const unsigned char*>(&a.s_addr);
  std::string query("\x51\x51\0\0\0\x01\0\0\0\0\0\0", 12);
  for (const std::string& label :
       {std::to_string(o[3]), std::to_string(o[2]), std::to_string(o[1]), std::to_string(o[0]),
        std::string("in-addr"), std::string("arpa")}) {
    query += static_cast<char>(label.size()) + label;
  }
  return query + std::string("\0\0\x0c\0\x01", 5);
}

// The PTR records of "_services._dns-sd._udp.local" (id 0x5353): the service types.
std::string ServiceTypesQuery() {
  std::string query("\x53\x53\0\0\0\x01\0\0\0\0\0\0", 12);
  for (const char* label : {"_services", "_dns-sd", "_udp", "local"}) {
    query += static_cast<char>(std::strlen(label)) + std::string(label);
  }
  return query + std::string("\0\0\x0c\0\x01", 5);
}

std::string SsdpSearch() {
  return "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
         "MX: 1\r\nST: upnp:rootdevice\r\n\r\n";
}

std::string NodeStatusQuery() {
  return std::string(
             "\x52\x52\0\0\0\x01\0\0\0\0\0\0\x20"
             "CK",
             15) +
         std::string(30, 'A') + std::string("\0\0\x21\0\x01", 5);
}

}  // namespace

void TLab::WaitForUdpAnswer(const std::string& ip, int port, const std::string& query,
                            pid_t server) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  TNetnsScope scope(m_scannerNs);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(Errno("socket"));
  timeval wait{0, 200 * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&address),
           sizeof address);
    char buffer[2048];
    if (recv(fd, buffer, sizeof buffer, 0) > 0) {
      close(fd);
      return;
    }
    if (ChildEnded(server)) break;
  }
  close(fd);
  throw std::runtime_error("responder on " + ip + ":" + std::to_string(port) + " did not answer");
}

pid_t TLab::StartMdnsResponder(const std::string& ip, const std::string& hostName,
                               const std::vector<std::string>& serviceFiles,
                               bool publishAddresses) {
  const std::string avahi = FindProgram("avahi-daemon");
  if (avahi.empty()) throw std::runtime_error("avahi-daemon is not installed");
  const std::string conf = TempDir() + "/avahi-" + ip + ".conf";
  WriteFile(conf, "[server]\nhost-name=" + hostName +
                      "\nuse-ipv4=yes\nuse-ipv6=no\nenable-dbus=no\n"
                      "allow-interfaces=" +
                      kHostAdapter + "\n[publish]\npublish-addresses=" +
                      (publishAddresses ? "yes" : "no") + "\npublish-workstation=no\n");
  // Its pid file and socket live in /run/avahi-daemon: a tmpfs /run of its own mount namespace
  // keeps instances apart and leaves the machine's /run alone. Static services are read from
  // /etc/avahi/services: a folder of the lab's own is bound over it in that mount namespace.
  const std::string services = TempDir() + "/avahi-services-" + ip;
  fs::create_directories(services);
  for (size_t i = 0; i < serviceFiles.size(); ++i) {
    WriteFile(services + "/" + std::to_string(i) + ".service", serviceFiles[i]);
  }
  const std::string script =
      "mount -t tmpfs none /run && mkdir /run/avahi-daemon && " +
      std::string(serviceFiles.empty() ? ""
                                       : "mount --bind " + services + " /etc/avahi/services && ") +
      "exec " + avahi + " -f " + conf + " --no-drop-root --no-chroot --no-rlimits";
  const pid_t pid = StartIn(HostNs(ip), {FindProgram("unshare"), "-m", "sh", "-c", script}, {});
  WaitForUdpAnswer(ip, 5353, publishAddresses ? ReversePtrQuery(ip) : ServiceTypesQuery(), pid);
  return pid;
}

pid_t TLab::StartMinidlna(const std::string& ip, const std::string& friendlyName) {
  const std::string minidlna = FindProgram("minidlnad");
  if (minidlna.empty()) throw std::runtime_error("minidlnad is not installed (package minidlna)");
  const std::string dir = TempDir() + "/minidlna-" + ip;
  for (const char* name : {"media", "db", "log"}) fs::create_directories(dir + "/" + name);
  const std::string conf = dir + "/minidlna.conf";
  WriteFile(conf, "media_dir=" + dir + "/media\ndb_dir=" + dir + "/db\nlog_dir=" + dir +
                      "/log\nnetwork_interface=" + kHostAdapter +
                      "\nport=" + std::to_string(kMinidlnaPort) +
                      "\nfriendly_name=" + friendlyName + "\ninotify=no\nnotify_interval=900\n");
  // Confined like avahi-daemon: a tmpfs /run of its own for its pid file; -S keeps it in the
  // foreground, so the pid we hold is its own.
  const std::string script =
      "mount -t tmpfs none /run && exec " + minidlna + " -S -f " + conf + " -P /run/minidlna.pid";
  const pid_t pid = StartIn(HostNs(ip), {FindProgram("unshare"), "-m", "sh", "-c", script}, {});
  WaitForPort(HostNs(ip), ip, kMinidlnaPort, pid);
  return pid;
}

pid_t TLab::StartSsdpResponder(const std::string& ip, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {FindProgram("python3"), QZ_SSDP_RESPONDER, ip};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = StartIn(HostNs(ip), argv, {});
  WaitForUdpAnswer(ip, 1900, SsdpSearch(), pid);
  return pid;
}

pid_t TLab::StartNetbiosResponder(const std::string& ip, const std::string& netbiosName) {
  const std::string nmbd = FindProgram("nmbd");
  if (nmbd.empty()) throw std::runtime_error("nmbd is not installed (Debian package samba)");
  const std::string dir = TempDir() + "/nmbd-" + ip;
  for (const char* name : {"lock", "state", "cache", "pid", "private", "ncalrpc", "log", "sock"}) {
    fs::create_directories(dir + "/" + name);
  }
  const std::string conf = dir + "/smb.conf";
  WriteFile(conf, "[global]\nnetbios name = " + netbiosName +
                      "\nworkgroup = QZLAB\ninterfaces = " + kHostAdapter +
                      "\nbind interfaces only = yes\n"
                      "lock directory = " +
                      dir + "/lock\nstate directory = " + dir +
                      "/state\n"
                      "cache directory = " +
                      dir + "/cache\npid directory = " + dir +
                      "/pid\n"
                      "private dir = " +
                      dir + "/private\nncalrpc dir = " + dir +
                      "/ncalrpc\n"
                      "log file = " +
                      dir + "/log/log.%m\nnmbd:socket dir = " + dir + "/sock\n");
  // The tmpfs /run takes what nmbd puts there by its built-in paths whatever the conf says.
  const std::string script = "mount -t tmpfs none /run && exec " + nmbd +
                             " -F --no-process-group --debug-stdout -l " + dir + "/log -s " + conf;
  const pid_t pid = StartIn(HostNs(ip), {FindProgram("unshare"), "-m", "sh", "-c", script}, {});
  WaitForUdpAnswer(ip, 137, NodeStatusQuery(), pid);
  return pid;
}

pid_t TLab::StartBadNameResponder(const std::string& ip) {
  const pid_t pid = StartIn(HostNs(ip), {FindProgram("python3"), QZ_BAD_NAME_RESPONDER, ip}, {});
  WaitForUdpAnswer(ip, 137, NodeStatusQuery(), pid);
  return pid;
}

// ---- changes while the lab runs ----

void TLab::SetHostMac(const std::string& ip, const std::string& mac) {
  if (!ValidMac(mac)) throw std::invalid_argument("bad host MAC " + mac);
  const std::string batch = TempDir() + "/mac-" + PlainIp(ip) + ".batch";
  WriteFile(batch, std::string("link set dev ") + kHostAdapter + " address " + mac + "\n");
  RunIpBatch(HostNs(ip), batch);
}

void TLab::SetNetworkBehind(const std::string& repeaterIp,
                            const std::vector<std::string>& addresses, bool answerOwn) {
  for (const auto& address : addresses) {
    if (!ValidIp(address)) throw std::invalid_argument("bad address behind " + address);
  }
  const std::string repeaterNs = HostNs(repeaterIp);
  const std::string ip = PlainIp(repeaterIp);
  auto it = std::find_if(m_behind.begin(), m_behind.end(),
                         [&](const TBehind& b) { return b.repeaterIp == ip; });
  const std::string dir = TempDir();
  std::string repeater;
  std::string behindText;
  if (it == m_behind.end()) {
    // A host-style name, so that Down and Destroy find it with the lab's other namespaces.
    m_behind.push_back({ip, HostNsByIndex(m_hosts.size() + m_behind.size()), {}});
    it = m_behind.end() - 1;
    WriteFile(dir + "/behind-add.batch", "netns add " + it->ns + "\n");
    RunIpBatch("", dir + "/behind-add.batch");
    repeater = std::string("link add qzb type veth peer name ") + kHostAdapter + " netns " +
               it->ns + "\nlink set qzb up\n";
    behindText = std::string("link set lo up\nlink set ") + kHostAdapter +
                 " up\nroute add default dev " + kHostAdapter + "\n";
  } else {
    for (const auto& old : it->addresses) repeater += "route del " + old + "/32 dev qzb\n";
    behindText = std::string("addr flush dev ") + kHostAdapter + "\n";
  }
  for (const auto& address : addresses) {
    repeater += "route replace " + address + "/32 dev qzb\n";
    behindText += "addr add " + address + "/32 dev " + kHostAdapter + "\n";
  }
  WriteFile(dir + "/behind-repeater.batch", repeater);
  WriteFile(dir + "/behind.batch", behindText);
  RunIpBatch(repeaterNs, dir + "/behind-repeater.batch");
  RunIpBatch(it->ns, dir + "/behind.batch");
  it->addresses = addresses;
  // Forwarding and proxy ARP both ways (the devices behind ask for the segment's addresses
  // too), answered at once rather than after the kernel's random proxy delay.
  const std::string sysctls =
      std::string("echo 1 > /proc/sys/net/ipv4/ip_forward && ") + "for d in " + kHostAdapter +
      " qzb; do echo 1 > /proc/sys/net/ipv4/conf/$d/proxy_arp && " +
      "echo 0 > /proc/sys/net/ipv4/neigh/$d/proxy_delay; done && echo " + (answerOwn ? "0" : "8") +
      " > /proc/sys/net/ipv4/conf/" + kHostAdapter + "/arp_ignore";
  if (RunInHost(ip, {FindProgram("sh"), "-c", sysctls}) != 0)
    throw std::runtime_error("cannot make " + ip + " a repeater");
}

// ---- kept labs ----

void TLab::Keep() {
  m_keep = true;
  SaveState();
}

void TLab::SaveState() const {
  // One "pid starttime" line per process, so Destroy ends only those very processes.
  std::error_code ec;
  fs::create_directories(kStateDir, ec);
  std::string text;
  for (const auto& p : m_processes)
    text += std::to_string(p.pid) + " " + std::to_string(p.startTime) + "\n";
  WriteFile(kStateDir + m_prefix, text);
}

bool TLab::Destroy(const std::string& prefix) {
  if (prefix.size() < 3 || prefix.compare(0, 2, "qz") != 0 ||
      prefix.find('/') != std::string::npos) {
    throw std::invalid_argument("not a lab prefix: " + prefix);
  }
  bool found = false;
  std::ifstream state(kStateDir + prefix);
  if (state) {
    found = true;
    pid_t pid;
    unsigned long long startTime;
    while (state >> pid >> startTime) {
      if (pid > 0 && ProcessStartTime(pid) == startTime) EndProcess(pid);
    }
  }
  std::vector<std::string> names = NamespacesOf(prefix);
  found = found || !names.empty();
  std::string dir = TempDirOf(prefix);
  DeleteNamespaces(names, dir);
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::remove(kStateDir + prefix, ec);
  return found;
}

}  // namespace lab
