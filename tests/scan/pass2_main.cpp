// scan_pass2_run: runs a first pass (ARP only) and then a second pass (web pages and names)
// over the adapters of the network namespace it runs in, as the program's scan timer does,
// and prints what the second pass reported and what it cost:
//
//   host <ip>\t<name>\t<mac>\t<protocol>\t<title>   one line per report of pass 2, by address;
//                                                   "\\", tab, CR and LF escaped as \\ \t \r \n
//   evidence <ip>\t<what>\t<text>\t<source>         after it, one per name or model found
//   type <ip>\t<n>                                  the device type, when there is one (1 printer,
//                                                   2 media player, 3 router, 4 computer)
//   pass1_ms <n>, pass2_ms <n>                      wall time of each pass
//   hosts <n>                                       reports of pass 2
//   peak_workers <n>                                most workers in a network step (ARP, page,
//                                                   names) at once in pass 2
//   pass1_peak_rss_kb <n>                           peak RSS before pass 2: the normal figure
//   peak_rss_kb <n>                                 of the whole run
//
// "--pass2-only" skips the first pass (pass 2 then runs with the first pass's worker limit);
// "--no-names" runs pass 2 with web pages but without the name step.
// It refuses to run where any adapter but loopback is not a test network's ("qz..."): it
// sweeps every private network of its adapters.

#include <QCoreApplication>

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/messagepump.h"
#include "common/countingnetwork.h"
#include "scan/scandriver.h"
#include "scan/systemnetwork.h"

namespace {

struct TReport {
  std::string ip, name, mac, protocol, title;
  scan::THostDetails details;
};

// True when every adapter but loopback is a test network's ("qz..."): then a sweep can reach
// nothing but the lab's own hosts.
bool OnlyLabAdapters() {
  struct if_nameindex* names = if_nameindex();
  if (names == nullptr) return false;
  bool onlyLab = true;
  for (struct if_nameindex* entry = names; entry->if_index != 0; ++entry) {
    const std::string name = entry->if_name;
    if (name != "lo" && !name.starts_with("qz")) onlyLab = false;
  }
  if_freenameindex(names);
  return onlyLab;
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
  return out;
}

uint32_t AddressOrder(const std::string& ip) {
  in_addr address{};
  inet_pton(AF_INET, ip.c_str(), &address);
  return ntohl(address.s_addr);
}

long long RunPass(scan::TScanDriver& driver, bool probe, bool names,
                  std::vector<TReport>* reports) {
  const auto started = std::chrono::steady_clock::now();
  driver.ScanNetwork(
      probe, names, [](const std::string&) { platform::ProcessMessages(); },
      [reports](const std::string& ip, const std::string& name, const std::string& mac,
                const std::string& protocol, const std::string& title,
                const scan::THostDetails& details) {
        // Workers call this one at a time, holding the scan lock.
        if (reports != nullptr) reports->push_back({ip, name, mac, protocol, title, details});
      });
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               started)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  if (!OnlyLabAdapters()) {
    std::fprintf(stderr,
                 "scan_pass2_run: run it inside a test network namespace (only qz adapters)\n");
    return 2;
  }
  bool pass2Only = false;
  bool names = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pass2-only") == 0) pass2Only = true;
    if (std::strcmp(argv[i], "--no-names") == 0) names = false;
  }
  QCoreApplication app(argc, argv);

  scan::TSystemNetwork system;
  scan::TCountingNetwork network(system);
  scan::TScanDriver driver(network);
  long long pass1 = 0;
  if (!pass2Only) pass1 = RunPass(driver, false, false, nullptr);
  rusage beforePass2{};
  getrusage(RUSAGE_SELF, &beforePass2);
  std::vector<TReport> reports;
  network.Counts().Reset();
  const long long pass2 = RunPass(driver, true, names, &reports);

  std::sort(reports.begin(), reports.end(), [](const TReport& a, const TReport& b) {
    return AddressOrder(a.ip) < AddressOrder(b.ip);
  });
  for (const TReport& r : reports) {
    std::printf("host %s\t%s\t%s\t%s\t%s\n", r.ip.c_str(), Escaped(r.name).c_str(), r.mac.c_str(),
                r.protocol.c_str(), Escaped(r.title).c_str());
    for (const scan::TEvidence& e : r.details.Evidence) {
      std::printf("evidence %s\t%s\t%s\t%s\n", r.ip.c_str(), e.What.c_str(),
                  Escaped(e.Text).c_str(), e.Source.c_str());
    }
    if (r.details.DeviceType != scan::TDeviceType::None)
      std::printf("type %s\t%d\n", r.ip.c_str(), static_cast<int>(r.details.DeviceType));
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "pass1_ms %lld\npass2_ms %lld\nhosts %zu\npeak_workers %d\npass1_peak_rss_kb "
      "%ld\npeak_rss_kb %ld\n",
      pass1, pass2, reports.size(), network.Counts().PeakRunningWorkers(), beforePass2.ru_maxrss,
      usage.ru_maxrss);
  return 0;
}
