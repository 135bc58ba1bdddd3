// scan_bench: runs one first scan pass (ARP only) over the adapters of the network namespace
// it runs in, waits out the window in which late answers still count, and prints what it
// found, the wall time of the pass and the peak memory:
//
//   scan_bench [--known FILE] [--save FILE]
//     --known: lines "<ip> <MAC>" that the pass asks at those MACs too, as the device history
//              gives them to the program's first pass; --save writes what was found so.
//
//   mode raw|kernel
//   host <ip> <mac>          one line per device found, late ones included
//   late_hosts <n>           of them, heard only after their worker had given up
//   wall_ms <n>              the pass, from the call to its return
//   first_row_ms <n>         from the start of main to the first report (-1: none)
//   median_row_ms <n>        from the start of main to the median report (-1: none)
//   median_ask_to_row_ms <n> from a device's ARP request to its report, the median (-1: none)
//   hosts <n>                reports
//   peak_workers <n>         most workers seen in their ARP request at once
//   peak_rss_kb <n>
//   helper_peak_rss_kb <n>   the raw-ARP helper's (its child), -1 without one
//
// It runs only inside a test lab's namespace (one of /run/netns/qz*): it sweeps every
// private network of its adapters, which must be a test network's.

#include "netinfo/arp.h"
#include "netinfo/ssdp.h"
#include "platform/messagepump.h"
#include "platform/privileges.h"
#include "scan/scandriver.h"
#include "scan/systemnetwork.h"

#include "common/countingnetwork.h"

#include <QCoreApplication>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// True when this process runs in one of the test lab's named namespaces (/run/netns/qz*).
bool InLabNamespace() {
  struct stat self {};
  if (stat("/proc/self/ns/net", &self) != 0) return false;
  DIR* folder = opendir("/run/netns");
  if (folder == nullptr) return false;
  bool found = false;
  while (dirent* entry = readdir(folder)) {
    if (std::strncmp(entry->d_name, "qz", 2) != 0) continue;
    struct stat named {};
    const std::string path = std::string("/run/netns/") + entry->d_name;
    if (stat(path.c_str(), &named) == 0 && named.st_ino == self.st_ino &&
        named.st_dev == self.st_dev)
      found = true;
  }
  closedir(folder);
  return found;
}

using TClock = std::chrono::steady_clock;

// When each address was asked (the counting network tells): the time from there to its report
// is the time from an answer to its row (a responsive device answers within a millisecond or
// two).
class TAskTimes {
 public:
  void Asked(uint32_t address) {
    std::lock_guard lock(m_mutex);
    m_asked.emplace(address, TClock::now());
  }
  // Milliseconds since address was asked; -1 when it was not.
  long long SinceAsked(const std::string& address) const {
    std::lock_guard lock(m_mutex);
    const auto found = m_asked.find(inet_addr(address.c_str()));
    if (found == m_asked.end()) return -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - found->second)
        .count();
  }

 private:
  mutable std::mutex m_mutex;
  std::map<uint32_t, TClock::time_point> m_asked;
};

// "<ip> <MAC>" lines: the pairs a device history would give.
scan::TKnownMacMap ReadKnown(const std::string& path) {
  scan::TKnownMacMap known;
  std::ifstream in(path);
  std::string ip, mac;
  while (in >> ip >> mac) {
    unsigned b[6];
    if (std::sscanf(mac.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) !=
        6)
      continue;
    netinfo::TMacBytes bytes;
    for (int i = 0; i < 6; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(b[i]);
    known[inet_addr(ip.c_str())].push_back(bytes);
  }
  return known;
}

long long Median(std::vector<long long> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

// Peak resident memory of this process's first child (the raw-ARP helper), -1 when none.
long HelperPeakRssKb() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  long peak = -1;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.' || peak >= 0) continue;
    const std::string children = std::string("/proc/self/task/") + entry->d_name + "/children";
    FILE* list = std::fopen(children.c_str(), "r");
    int child = 0;
    if (list != nullptr && std::fscanf(list, "%d", &child) == 1) {
      const std::string status = "/proc/" + std::to_string(child) + "/status";
      if (FILE* in = std::fopen(status.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, in)) {
          if (std::sscanf(line, "VmHWM: %ld", &peak) == 1) break;
        }
        std::fclose(in);
      }
    }
    if (list != nullptr) std::fclose(list);
  }
  closedir(tasks);
  return peak;
}

int main(int argc, char** argv) {
  const auto mainStarted = std::chrono::steady_clock::now();
  // As the program starts: raw ARP through the helper when it has the capability, and no
  // capability kept here.
  netinfo::StartArpHelper(QZ_ARP_HELPER_PATH);
  if (!platform::DropCapabilities()) return 1;
  if (!InLabNamespace()) {
    std::fprintf(stderr, "scan_bench: run it inside a test network namespace (qzlab exec)\n");
    return 2;
  }
  std::string knownPath, savePath;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--known") == 0) knownPath = argv[i + 1];
    else if (std::strcmp(argv[i], "--save") == 0) savePath = argv[i + 1];
  }
  QCoreApplication app(argc, argv);

  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> hosts;
  std::set<std::pair<std::string, std::string>> seen;
  int lateHosts = 0;
  scan::TSystemNetwork system;
  scan::TCountingNetwork counting(system);
  TAskTimes askTimes;
  counting.SetArpAsked([&askTimes](uint32_t address) { askTimes.Asked(address); });
  scan::TScanDriver driver(counting);
  if (!knownPath.empty()) driver.SetKnownMacs(ReadKnown(knownPath));
  std::vector<long long> rowTimes;  // in the order of the reports
  std::vector<long long> askToRow;  // the same
  auto found = [&](const std::string& ip, const std::string& mac, bool late) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!seen.emplace(ip, mac).second) return;
    rowTimes.push_back(
        std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - mainStarted).count());
    askToRow.push_back(askTimes.SinceAsked(ip));
    hosts.emplace_back(ip, mac);
    if (late) ++lateHosts;
  };
  driver.SetHeardReport([&](const std::string& ip, const std::string& mac,
                            const scan::THostDetails&) { found(ip, mac, true); });
  const auto started = TClock::now();
  driver.ScanNetwork(
      false, false, [](const std::string&) { platform::ProcessMessages(); },
      [&](const std::string& ip, const std::string&, const std::string& mac, const std::string&,
          const std::string&, const scan::THostDetails&) { found(ip, mac, false); });
  const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - started);
  // Answers still count for a while after the last request: as long as the program would wait
  // for them before its second pass.
  if (netinfo::CurrentArpMode() == netinfo::TArpMode::Raw) {
    std::this_thread::sleep_for(std::chrono::milliseconds(netinfo::kArpListenMs));
  }
  driver.StopHearing();

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("mode %s\n", netinfo::CurrentArpMode() == netinfo::TArpMode::Raw ? "raw" : "kernel");
  for (const auto& [ip, mac] : hosts) std::printf("host %s %s\n", ip.c_str(), mac.c_str());
  std::printf("late_hosts %d\n", lateHosts);
  std::printf("wall_ms %lld\n", static_cast<long long>(wall.count()));
  std::printf("first_row_ms %lld\n", rowTimes.empty() ? -1LL : rowTimes.front());
  std::printf("median_row_ms %lld\n", rowTimes.empty() ? -1LL : rowTimes[rowTimes.size() / 2]);
  std::printf("median_ask_to_row_ms %lld\n", Median(askToRow));
  std::printf("hosts %zu\n", hosts.size());
  std::printf("peak_workers %d\n", counting.Counts().PeakRunningWorkers());
  std::printf("peak_rss_kb %ld\n", usage.ru_maxrss);
  std::printf("helper_peak_rss_kb %ld\n", HelperPeakRssKb());
  if (!savePath.empty()) {
    std::ofstream out(savePath);
    for (const auto& [ip, mac] : hosts) out << ip << ' ' << mac << '\n';
  }
  return 0;
}
