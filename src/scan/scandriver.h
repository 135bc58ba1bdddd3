#pragma once

#include "netinfo/adapters.h"
#include "platform/criticalsection.h"
#include "scan/hostdetails.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace netinfo {
class TSsdpSearch;
}

namespace scan {

using TStatusCallback = std::function<void(const std::string&)>;
using TResultCallback = std::function<void(
    const std::string& ipAddress, const std::string& hostName, const std::string& macAddress,
    const std::string& protocol, const std::string& title, const THostDetails& details)>;

// "All done. " duration: minutes, seconds and the seconds again, two digits each ("nn:ss:sss").
std::string FormatPassDuration(double days);

// Text prefixes that select the adapter addresses to sweep, in the order they are tried. Only
// "10." carries its dot: "172.16" also selects 172.160.x.x, by design of the plain text test.
inline constexpr std::array<const char*, 18> kPrivatePrefixes = {
    "10.",    "172.16", "172.17", "172.18", "172.19", "172.20", "172.21", "172.22", "172.23",
    "172.24", "172.25", "172.26", "172.27", "172.28", "172.29", "172.30", "172.31", "192.168"};

// Seams for tests: where a pass gets its adapter list and its ARP answers (the netinfo
// functions when null). An ARP sender also gives a second MAC that answered, when one did.
using TAdapterLister = uint32_t (*)(int32_t& count, netinfo::TAdaptorRows& rows);
using TArpSender = uint32_t (*)(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac,
                                uint32_t* length, uint8_t* otherMac, uint32_t* otherLength);

class TArpThread;

// The scan engine and its state. One pass at a time, driven from the main thread; its probe
// workers refer to the driver that started them, and a pass returns only when every one of
// them has ended, so the driver outlives its workers. Members are for the main thread unless
// noted.
class TScanDriver {
 public:
  TScanDriver();
  ~TScanDriver();
  TScanDriver(const TScanDriver&) = delete;
  TScanDriver& operator=(const TScanDriver&) = delete;

  // One scan pass over every private adapter address: one probe worker per address of a run
  // of 255 from the address's first host on, at most WorkerLimit + 1 at once. Runs on the main
  // thread and dispatches its messages in every wait; returns when every worker has ended. A
  // call while a pass runs returns at once.
  void ScanNetwork(bool probeHttp, bool resolveNames, TStatusCallback status,
                   TResultCallback onHostFound);

  // Set only while no pass runs.
  void SetScanSeams(TAdapterLister lister, TArpSender arp);
  // Any thread.
  TArpSender CurrentArpSender() const;
  // The UPnP search of the current pass with names, else null. For workers: it exists from
  // before the first worker of the pass until after the last one has ended.
  netinfo::TSsdpSearch* SsdpSearch() const { return m_ssdpSearch.get(); }

  // Test hooks: workers started since the last reset, and the most worker bodies seen running
  // at once (measured by the workers themselves).
  void ResetWorkerCounters();
  int32_t StartedWorkers() const { return m_started.load(); }
  int32_t PeakRunningWorkers() const { return m_peakRunning.load(); }

  int32_t WorkerLimit = 1254;             // until the end of the first pass, 50 from then on
  int32_t WorkTotal = 0;                  // 255 per selected adapter address of the pass
  bool ScanBusy = false;                  // a pass runs
  std::atomic<bool> ProbeHttp{false};     // pass option; read by workers, set while none runs
  std::atomic<bool> ResolveNames{false};  // pass option; as ProbeHttp
  TResultCallback OnHostFound;            // called by workers holding ScanLock
  std::unique_ptr<platform::TCriticalSection> ScanLock;  // exists while a pass sweeps and waits
  int32_t ActiveWorkers = 0;  // counted in at creation, out by the end handler, under ScanLock
  std::atomic<int32_t> ScanProgress{0};    // 0..100
  std::atomic<bool> StopRequested{false};  // set by the main window when it closes

 private:
  friend class TArpThread;

  std::unique_ptr<netinfo::TSsdpSearch> m_ssdpSearch;
  std::atomic<TAdapterLister> m_adapterLister{nullptr};
  std::atomic<TArpSender> m_arpSender{nullptr};
  // Worker counts of the test hooks: started on the main thread, running on the workers'.
  std::atomic<int32_t> m_started{0};
  std::atomic<int32_t> m_running{0};
  std::atomic<int32_t> m_peakRunning{0};
};

}  // namespace scan
