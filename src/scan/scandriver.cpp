#include "scan/scandriver.h"

#include "netinfo/adapters.h"
#include "netinfo/arp.h"
#include "netinfo/ipaddress.h"
#include "netinfo/ssdp.h"
#include "platform/clock.h"
#include "platform/messagepump.h"
#include "scan/scanlog.h"
#include "scan/worker.h"
#include "support/posix.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string_view>

namespace scan {

namespace {

constexpr int32_t kRunLength = 255;
constexpr int32_t kLaterWorkerLimit = 50;
constexpr int32_t kMsPerDay = 86400000;

// In kernel ARP mode every worker holds two sockets while it waits for its neighbour, and the
// first pass runs up to 1255 of them at once: more than the usual soft limit of 1024
// descriptors allows, so the requests would queue for descriptors (netinfo bounds the calls in
// flight by this limit) and the pass would take seconds longer. Raise the soft limit towards
// the hard one. Raw mode waits on one shared socket and needs no such room.
void EnsureDescriptorRoom() {
  constexpr rlim_t kWanted = 8192;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kWanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? kWanted : std::min(kWanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

void Report(const TStatusCallback& status, const std::string& text) {
  if (status) status(text);
}

// Calls the action for every (address, mask) of the adapter list that a private prefix selects,
// in list order, address order and prefix order.
template <typename TAction>
void ForEachSelectedAddress(const netinfo::TAdaptorRows& rows, TAction&& action) {
  for (const netinfo::TAdaptorInfo& row : rows) {
    const size_t listed = std::min(row.IpAddresses.size(), row.IpMasks.size());
    const size_t count = std::min(static_cast<size_t>(std::max(row.IpAddressCount, 0)), listed);
    for (size_t i = 0; i < count; ++i) {
      const std::string_view address = row.IpAddresses[i];
      for (const char* prefix : kPrivatePrefixes) {
        if (address.starts_with(prefix)) action(row.IpAddresses[i], row.IpMasks[i]);
      }
    }
  }
}

void Throttle(TScanDriver& driver, const TStatusCallback& status) {
  while (driver.ActiveWorkers > driver.WorkerLimit && !driver.StopRequested) {
    platform::DelayWithMessages(50);
    Report(status, std::to_string(driver.ActiveWorkers));
    driver.ScanProgress = driver.ActiveWorkers * 50 / driver.WorkTotal;
  }
}

// One run of 255 addresses from the first host of the address's network. An address whose
// first host cannot be formed (its last octet AND the mask's is 255) is skipped whole; an
// address whose worker cannot be started is skipped alone. Either way the count of running
// workers stays exact, so the pass ends normally.
void SweepRun(TScanDriver& driver, const std::string& address, const std::string& mask,
              const TStatusCallback& status) {
  uint32_t base = 0;
  try {
    base =
        netinfo::BytesToHostOrder(netinfo::ParseDotted(netinfo::FirstHostAddress(address, mask)));
  } catch (const std::exception& error) {
    qCDebug(lcScan, "%s/%s swept no run: %s", address.c_str(), mask.c_str(), error.what());
    return;
  }
  for (int32_t j = 0; j < kRunLength; ++j) {
    if (driver.StopRequested) continue;
    Throttle(driver, status);
    if (j % 34 == 0) platform::DelayWithMessages(1);
    TArpThread::Create(driver,
                       netinfo::FormatDotted(netinfo::SwapOctets(base + static_cast<uint32_t>(j))));
  }
}

// The final wait: only the workers' end handlers end it, a stop request does not.
void WaitForWorkers(TScanDriver& driver) {
  while (driver.ActiveWorkers > 0) {
    driver.ScanProgress = driver.ActiveWorkers * 50 / driver.WorkTotal + 50;
    platform::DelayWithMessages(500);
  }
}

// Leaves the scan state idle whatever way the pass ends: when an exception (from the status
// callback, say) leaves the pass early, the workers already started still hold ScanLock in
// their reports and need it in their end handlers, so they are waited for first.
class TPassGuard {
 public:
  explicit TPassGuard(TScanDriver& driver) : m_driver(driver) {}
  TPassGuard(const TPassGuard&) = delete;
  TPassGuard& operator=(const TPassGuard&) = delete;
  ~TPassGuard() {
    try {
      WaitForWorkers(m_driver);
    } catch (const std::exception& error) {
      qCDebug(lcScan, "ending a pass: the wait for its workers failed: %s", error.what());
    } catch (...) {
      qCDebug(lcScan, "ending a pass: the wait for its workers failed: unknown exception");
    }
    m_driver.ScanLock.reset();
    m_driver.ScanBusy = false;
  }

 private:
  TScanDriver& m_driver;
};

}  // namespace

std::string FormatPassDuration(double days) {
  if (!(days > 0)) days = 0;
  const int64_t ms = static_cast<int64_t>(days * kMsPerDay + 0.5);
  const int minutes = static_cast<int>(ms / 60000 % 60);
  const int seconds = static_cast<int>(ms / 1000 % 60);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", minutes, seconds, seconds);
  return text;
}

TScanDriver::TScanDriver() = default;
TScanDriver::~TScanDriver() = default;

void TScanDriver::ScanNetwork(bool probeHttp, bool resolveNames, TStatusCallback status,
                              TResultCallback onHostFound) {
  if (ScanBusy) return;
  StopRequested = false;
  OnHostFound = std::move(onHostFound);
  ResolveNames = resolveNames;
  ProbeHttp = probeHttp;
  ScanBusy = true;
  WorkTotal = 0;
  if (netinfo::CurrentArpMode() == netinfo::TArpMode::Kernel) EnsureDescriptorRoom();

  int32_t adapterCount = 0;
  netinfo::TAdaptorRows rows;
  try {
    TAdapterLister lister = m_adapterLister.load();
    if (lister == nullptr) lister = &netinfo::AdapterAddressList;
    lister(adapterCount, rows);
  } catch (const std::exception& error) {
    qCDebug(lcScan, "no adapter list, the pass sweeps nothing: %s", error.what());
    rows.clear();
  } catch (...) {
    qCDebug(lcScan, "no adapter list, the pass sweeps nothing: unknown exception");
    rows.clear();
  }
  if (adapterCount <= 0) rows.clear();

  // Ends the pass's UPnP search after the guard below has waited for the workers that use it.
  const auto endSearch = support::ScopeExit([this] { m_ssdpSearch.reset(); });
  TPassGuard guard(*this);
  Report(status, "Scan start");
  const double started = platform::NowDateTime();

  ForEachSelectedAddress(
      rows, [this](const std::string&, const std::string&) { WorkTotal += kRunLength; });

  // The UPnP search of a pass with names: one search from each swept adapter address, sent now
  // so its answers are in by the time most workers reach their name step.
  if (resolveNames) {
    std::vector<std::string> swept;
    ForEachSelectedAddress(rows, [&swept](const std::string& address, const std::string&) {
      if (std::find(swept.begin(), swept.end(), address) == swept.end()) swept.push_back(address);
    });
    if (!swept.empty()) m_ssdpSearch = std::make_unique<netinfo::TSsdpSearch>(std::move(swept));
  }

  ScanProgress = 0;
  ScanLock = std::make_unique<platform::TCriticalSection>();
  ActiveWorkers = 0;

  ForEachSelectedAddress(rows,
                         [this, &status](const std::string& address, const std::string& mask) {
                           SweepRun(*this, address, mask, status);
                         });

  Report(status, "Waiting to finish.");
  WorkerLimit = kLaterWorkerLimit;
  WaitForWorkers(*this);

  Report(status, "All thread done.");
  Report(status, "All done. " + FormatPassDuration(platform::NowDateTime() - started));
}

void TScanDriver::SetScanSeams(TAdapterLister lister, TArpSender arp) {
  m_adapterLister = lister;
  m_arpSender = arp;
}

TArpSender TScanDriver::CurrentArpSender() const {
  TArpSender arp = m_arpSender.load();
  return arp != nullptr ? arp : static_cast<TArpSender>(&netinfo::SendArp);
}

void TScanDriver::ResetWorkerCounters() {
  m_started = 0;
  m_peakRunning = m_running.load();
}

}  // namespace scan
