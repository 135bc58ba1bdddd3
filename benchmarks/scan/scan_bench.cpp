// scan_bench: runs one first scan pass (ARP only) over the adapters of the network namespace
// it runs in and prints what it found, the wall time of the pass and the peak memory:
//
//   mode raw|kernel
//   host <ip> <mac>          one line per report
//   wall_ms <n>              the pass, from the call to its return
//   first_row_ms <n>         from the start of main to the first report (-1: none)
//   median_row_ms <n>        from the start of main to the median report (-1: none)
//   hosts <n>                reports
//   peak_workers <n>         most workers seen in their ARP request at once
//   peak_rss_kb <n>
//   helper_peak_rss_kb <n>   the raw-ARP helper's (its child), -1 without one
//
// It runs only inside a test lab's namespace (one of /run/netns/qz*): it sweeps every
// private network of its adapters, which must be a test network's.

#include "netinfo/arp.h"
#include "platform/messagepump.h"
#include "platform/privileges.h"
#include "scan/countingnetwork.h"
#include "scan/scandriver.h"
#include "scan/systemnetwork.h"

#include <QCoreApplication>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
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
  QCoreApplication app(argc, argv);

  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> hosts;
  scan::TSystemNetwork system;
  scan::TCountingNetwork network(system);
  scan::TScanDriver driver(network);
  std::vector<long long> rowTimes;  // in the order of the reports
  const auto started = std::chrono::steady_clock::now();
  driver.ScanNetwork(
      false, false, [](const std::string&) { platform::ProcessMessages(); },
      [&](const std::string& ip, const std::string&, const std::string& mac, const std::string&,
          const std::string&, const scan::THostDetails&) {
        std::lock_guard<std::mutex> lock(mutex);
        rowTimes.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - mainStarted)
                               .count());
        hosts.emplace_back(ip, mac);
      });
  const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("mode %s\n", netinfo::CurrentArpMode() == netinfo::TArpMode::Raw ? "raw" : "kernel");
  for (const auto& [ip, mac] : hosts) std::printf("host %s %s\n", ip.c_str(), mac.c_str());
  std::printf("wall_ms %lld\n", static_cast<long long>(wall.count()));
  std::printf("first_row_ms %lld\n", rowTimes.empty() ? -1LL : rowTimes.front());
  std::printf("median_row_ms %lld\n", rowTimes.empty() ? -1LL : rowTimes[rowTimes.size() / 2]);
  std::printf("hosts %zu\n", hosts.size());
  std::printf("peak_workers %d\n", network.Counts().PeakRunningWorkers());
  std::printf("peak_rss_kb %ld\n", usage.ru_maxrss);
  std::printf("helper_peak_rss_kb %ld\n", HelperPeakRssKb());
  return 0;
}
