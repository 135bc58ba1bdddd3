#pragma once

#include "netinfo/adapters.h"
#include "platform/criticalsection.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace scan {

using TStatusCallback = std::function<void(const std::string&)>;
using TResultCallback = std::function<void(const std::string& ipAddress, const std::string& hostName,
                                           const std::string& macAddress, const std::string& protocol,
                                           const std::string& title)>;

// One scan pass over every private adapter address: one probe worker per address of a run of
// 255 from the address's first host on, at most WorkerLimit + 1 at once. Runs on the main
// thread and dispatches its messages in every wait; returns when every worker has ended. A call
// while a pass runs returns at once.
void ScanNetwork(bool probeHttp, bool resolveNames, TStatusCallback status, TResultCallback onHostFound);

// "All done. " duration: minutes, seconds and the seconds again, two digits each ("nn:ss:sss").
std::string FormatPassDuration(double days);

// Text prefixes that select the adapter addresses to sweep, in the order they are tried. Only
// "10." carries its dot: "172.16" also selects 172.160.x.x, by design of the plain text test.
inline constexpr std::array<const char*, 18> kPrivatePrefixes = {
    "10.",    "172.16", "172.17", "172.18", "172.19", "172.20", "172.21", "172.22", "172.23",
    "172.24", "172.25", "172.26", "172.27", "172.28", "172.29", "172.30", "172.31", "192.168"};

// Scan state. Main thread only unless noted.
extern int32_t WorkerLimit;    // 1254 until the end of the first pass, 50 from then on
extern int32_t WorkTotal;      // 255 per selected adapter address of the pass
extern bool ScanBusy;          // a pass runs
extern bool ProbeHttp;         // pass option; read by workers, written only when none is alive
extern bool ResolveNames;      // pass option; as ProbeHttp
extern TResultCallback OnHostFound;  // called by workers holding ScanLock
extern std::unique_ptr<platform::TCriticalSection> ScanLock;  // exists while a pass sweeps and waits
extern int32_t ActiveWorkers;  // counted in at creation, out by the end handler, under ScanLock
extern int32_t ScanProgress;   // 0..100
extern bool StopRequested;     // set by the main window when it closes

// Seams for tests: where a pass gets its adapter list and its ARP answers (the netinfo
// functions when null). Set them only while no pass runs.
using TAdapterLister = uint32_t (*)(int32_t& count, netinfo::TAdaptorRows& rows);
using TArpSender = uint32_t (*)(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length);
void SetScanSeams(TAdapterLister lister, TArpSender arp);
TArpSender CurrentArpSender();

// Test hooks: workers started since the last reset, and the most worker bodies seen running at
// once (measured by the workers themselves).
void ResetWorkerCounters();
int32_t StartedWorkers();
int32_t PeakRunningWorkers();

}  // namespace scan
