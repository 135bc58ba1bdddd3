#pragma once

#include "netinfo/adapters.h"
#include "netinfo/arp.h"
#include "platform/criticalsection.h"
#include "scan/hostdetails.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace netinfo {
class TSsdpSearch;
}

namespace scan {

using TStatusCallback = std::function<void(const std::string&)>;
using TResultCallback = std::function<void(
    const std::string& ipAddress, const std::string& hostName, const std::string& macAddress,
    const std::string& protocol, const std::string& title, const THostDetails& details)>;

// A station heard answering outside a worker's report (a late answer, a further MAC for an
// address): its address, its MAC and, in details.OtherMac, the MAC that answered first.
using THeardReport = std::function<void(const std::string& ipAddress, const std::string& macAddress,
                                        const THostDetails& details)>;

// MACs that held each address (network byte order) before, most recent first.
using TKnownMacMap = std::unordered_map<uint32_t, netinfo::TKnownMacs>;

// "All done. " duration: minutes, seconds and the seconds again, two digits each ("nn:ss:sss").
std::string FormatPassDuration(double days);

// Text prefixes that select the adapter addresses to sweep, in the order they are tried. Only
// "10." carries its dot: "172.16" also selects 172.160.x.x, by design of the plain text test.
inline constexpr std::array<const char*, 18> kPrivatePrefixes = {
    "10.",    "172.16", "172.17", "172.18", "172.19", "172.20", "172.21", "172.22", "172.23",
    "172.24", "172.25", "172.26", "172.27", "172.28", "172.29", "172.30", "172.31", "192.168"};

class TArpThread;
class TScanNetwork;

// Workers a first pass lets run at once beyond one; later passes allow kLaterWorkerLimit.
inline constexpr int32_t kFirstWorkerLimit = 1254;
inline constexpr int32_t kLaterWorkerLimit = 50;

// The scan engine and its state. One pass at a time, driven from the main thread; its probe
// workers refer to the driver that started them, and a pass returns only when every one of
// them has ended, so the driver outlives its workers. Every network exchange and every worker
// thread goes through the network it is given, which must outlive it (a reference: the
// program's system network serves the window's driver for the life of the process, and a test
// reads its fake's records after the pass). Members are for the main thread unless noted.
class TScanDriver {
 public:
  // firstWorkerLimit: the worker limit until the end of the first pass.
  explicit TScanDriver(TScanNetwork& network, int32_t firstWorkerLimit = kFirstWorkerLimit);
  ~TScanDriver();
  TScanDriver(const TScanDriver&) = delete;
  TScanDriver& operator=(const TScanDriver&) = delete;

  // One scan pass over every private adapter address: one probe worker per address of a run
  // of 255 from the address's first host on, at most the worker limit + 1 at once. Runs on the
  // main thread and dispatches its messages in every wait; returns when every worker has
  // ended. A call while a pass runs returns at once.
  void ScanNetwork(bool probeHttp, bool resolveNames, TStatusCallback status,
                   TResultCallback onHostFound);

  // Asks the running pass to start no further worker (it still waits for those that run). The
  // window requests it when it closes and ends the process once it sees it. Any thread.
  void RequestStop() { m_stopRequested = true; }
  bool StopRequested() const { return m_stopRequested; }
  // 0..100; any thread.
  int32_t Progress() const { return m_progress; }
  // A pass runs.
  bool Busy() const { return m_busy; }

  // Where stations heard outside a worker's report go, whether a pass runs or not: on the
  // network's own thread, one call at a time; report must not block for long. Set it before
  // the first pass; it is unhooked when the driver goes, or by StopHearing.
  void SetHeardReport(THeardReport report);
  void StopHearing();
  // MACs known from earlier runs (the device history). Each pass asks every address also at the
  // MACs that answered for it earlier in this run, then at these, at most four. Main thread,
  // while no pass runs.
  void SetKnownMacs(TKnownMacMap known) { m_historyMacs = std::move(known); }
  // Workers started and not yet counted out by their end handlers: 0 whenever no pass runs.
  // Main thread.
  int32_t RunningWorkers() const { return m_activeWorkers; }

 private:
  friend class TArpThread;
  class TPassGuard;

  void Throttle(const TStatusCallback& status);
  void SweepRun(const std::string& address, const std::string& mask, const TStatusCallback& status);
  void WaitForWorkers();
  void StartSearch(const netinfo::TAdaptorRows& rows);
  // The MACs the running pass asks for address (empty for most); any thread during a pass.
  const netinfo::TKnownMacs& KnownMacsFor(uint32_t address) const;
  // A worker's answer: remembered for the next pass, and not probed again in this one.
  // A worker begins its ARP request for address, and ends it with or without an answer.
  void NoteAsking(uint32_t address);
  void NoteAnswer(uint32_t address, const netinfo::TMacBytes& mac);
  void NoteSilent(uint32_t address);
  // Holds m_heardMutex; first: the worker's answer, else a station heard late or besides it.
  void Remember(uint32_t address, const netinfo::TMacBytes& mac, bool first);
  void OnHeard(const netinfo::TArpHeard& heard);  // the network's thread
  // Starts a worker for each station heard late in this pass (main thread, during a pass).
  void StartHeardProbes();
  bool HeardWindowOpen() const;
  void PrepareKnownMacs(bool probeHttp);

  TScanNetwork& m_network;
  int32_t m_workerLimit;    // the first pass's until its end, kLaterWorkerLimit from then on
  int32_t m_workTotal = 0;  // 255 per selected adapter address of the pass
  bool m_busy = false;
  std::atomic<bool> m_probeHttp{false};     // pass option; read by workers, set while none runs
  std::atomic<bool> m_resolveNames{false};  // pass option; as m_probeHttp
  TResultCallback m_onHostFound;            // called by workers holding m_scanLock
  std::unique_ptr<platform::TCriticalSection> m_scanLock;  // exists while a pass sweeps, waits
  int32_t m_activeWorkers = 0;  // counted in at creation, out by the end handler, under lock
  std::atomic<int32_t> m_progress{0};
  std::atomic<bool> m_stopRequested{false};
  // The UPnP search of the current pass with names, else null. It exists from before the
  // first worker of the pass until after the last one has ended.
  std::unique_ptr<netinfo::TSsdpSearch> m_ssdpSearch;

  // Late answers. m_known is the running pass's (written only while no worker runs).
  struct THeardProbe {
    std::string Address;
    netinfo::TMacBytes Mac;
    THostDetails Details;
  };
  TKnownMacMap m_historyMacs;
  TKnownMacMap m_known;
  std::chrono::steady_clock::time_point m_lastAsk{};  // the pass's last worker started
  mutable std::mutex m_heardMutex;                    // guards what follows
  THeardReport m_heardReport;
  TKnownMacMap m_answered;      // this run's answers, most recent first
  std::set<uint32_t> m_probed;  // the pass's addresses a worker probes
  std::set<uint32_t> m_asking;  // addresses whose worker waits for its ARP answer
  std::map<uint32_t, THeardProbe> m_heardWhileAsking;
  std::vector<THeardProbe> m_heardQueue;
  bool m_probingHeard = false;  // a pass with pages runs: stations heard late are probed
  // Last, so that it is unhooked first when the driver goes.
  netinfo::TArpListening m_listening;
};

}  // namespace scan
