#include "scan/scandriver.h"

#include "netinfo/adapters.h"
#include "netinfo/ipaddress.h"
#include "netinfo/ssdp.h"
#include "platform/clock.h"
#include "platform/messagepump.h"
#include "scan/scanlog.h"
#include "scan/scannetwork.h"
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
constexpr int32_t kMsPerDay = 86400000;
// A pass with pages waits until the last address it asked can no longer be heard late (the
// helper's listening window and a little for the message), so that a device that answered
// late gets its page and names in the pass.
constexpr auto kHeardWindow = std::chrono::milliseconds(netinfo::kArpListenMs + 200);
constexpr size_t kMostKnownMacs = 4;

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

// The adapter list of a pass; none when the list cannot be had.
netinfo::TAdaptorRows AdapterRows(TScanNetwork& network) {
  int32_t adapterCount = 0;
  netinfo::TAdaptorRows rows;
  try {
    network.AdapterList(adapterCount, rows);
  } catch (const std::exception& error) {
    qCDebug(lcScan, "no adapter list, the pass sweeps nothing: %s", error.what());
    rows.clear();
  } catch (...) {
    qCDebug(lcScan, "no adapter list, the pass sweeps nothing: unknown exception");
    rows.clear();
  }
  if (adapterCount <= 0) rows.clear();
  return rows;
}

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

// Leaves the scan state idle whatever way the pass ends: when an exception (from the status
// callback, say) leaves the pass early, the workers already started still hold the scan lock in
// their reports and need it in their end handlers, so they are waited for first.
class TScanDriver::TPassGuard {
 public:
  explicit TPassGuard(TScanDriver& driver) : m_driver(driver) {}
  TPassGuard(const TPassGuard&) = delete;
  TPassGuard& operator=(const TPassGuard&) = delete;
  ~TPassGuard() {
    try {
      m_driver.WaitForWorkers();
    } catch (const std::exception& error) {
      qCDebug(lcScan, "ending a pass: the wait for its workers failed: %s", error.what());
    } catch (...) {
      qCDebug(lcScan, "ending a pass: the wait for its workers failed: unknown exception");
    }
    m_driver.m_scanLock.reset();
    m_driver.m_busy = false;
  }

 private:
  TScanDriver& m_driver;
};

TScanDriver::TScanDriver(TScanNetwork& network, int32_t firstWorkerLimit)
    : m_network(network), m_workerLimit(firstWorkerLimit) {
  m_listening = m_network.ListenToArp([this](const netinfo::TArpHeard& heard) { OnHeard(heard); });
}

TScanDriver::~TScanDriver() { StopHearing(); }

void TScanDriver::SetHeardReport(THeardReport report) {
  std::lock_guard lock(m_heardMutex);
  m_heardReport = std::move(report);
}

void TScanDriver::StopHearing() { m_listening.Reset(); }

const netinfo::TKnownMacs& TScanDriver::KnownMacsFor(uint32_t address) const {
  static const netinfo::TKnownMacs none;
  const auto found = m_known.find(address);
  return found == m_known.end() ? none : found->second;
}

// A worker's answer goes first; a station heard besides it only takes a free place, so that
// a spoofer's MACs never push the device that answered out of the next pass's asks.
void TScanDriver::Remember(uint32_t address, const netinfo::TMacBytes& mac, bool first) {
  netinfo::TKnownMacs& macs = m_answered[address];
  if (first) {
    std::erase(macs, mac);
    macs.insert(macs.begin(), mac);
  } else if (std::find(macs.begin(), macs.end(), mac) == macs.end()) {
    macs.push_back(mac);
  }
  if (macs.size() > kMostKnownMacs) macs.resize(kMostKnownMacs);
}

void TScanDriver::NoteAsking(uint32_t address) {
  std::lock_guard lock(m_heardMutex);
  m_asking.insert(address);
}

// The worker probes the address itself: what was heard for it meanwhile needs no worker.
void TScanDriver::NoteAnswer(uint32_t address, const netinfo::TMacBytes& mac) {
  std::lock_guard lock(m_heardMutex);
  Remember(address, mac, true);
  m_asking.erase(address);
  m_heardWhileAsking.erase(address);
  m_probed.insert(address);
}

// The worker gave up: a station heard for the address meanwhile gets a worker of its own.
void TScanDriver::NoteSilent(uint32_t address) {
  std::lock_guard lock(m_heardMutex);
  m_asking.erase(address);
  const auto held = m_heardWhileAsking.find(address);
  if (held == m_heardWhileAsking.end()) return;
  if (m_probingHeard && m_probed.insert(address).second) m_heardQueue.push_back(held->second);
  m_heardWhileAsking.erase(held);
}

// The network's thread: the station gets its row at once; in a pass with pages it is probed
// as well, unless a worker of the pass has it already.
// The network's thread: the station gets its row at once; in a pass with pages its address is
// probed as well, unless a worker of the pass probes it already (the address's rows share
// what that worker finds). The end of a window tells how many MACs answered in all.
void TScanDriver::OnHeard(const netinfo::TArpHeard& heard) {
  const std::string address = netinfo::FormatDotted(heard.Address);
  THostDetails details;
  details.MacCount = heard.Count;
  const netinfo::TMacBytes& mac = heard.Closed ? heard.FirstMac : heard.Mac;
  if (mac != heard.FirstMac) details.OtherMac = FormatMac(heard.FirstMac);
  qCDebug(lcScan, "%s: heard %s%s (%u MACs)", address.c_str(), FormatMac(mac).c_str(),
          heard.Closed ? " at the window's end"
          : heard.Late ? " late"
                       : " besides the first",
          heard.Count);
  std::lock_guard lock(m_heardMutex);
  if (!heard.Closed) Remember(heard.Address, mac, heard.Late);
  if (m_heardReport) m_heardReport(address, FormatMac(mac), details);
  if (heard.Closed || !m_probingHeard || m_probed.count(heard.Address) != 0) return;
  // While the address's worker still waits for its answer, that answer decides who probes.
  if (m_asking.count(heard.Address) != 0) {
    m_heardWhileAsking.emplace(heard.Address, THeardProbe{address, mac, details});
    return;
  }
  m_probed.insert(heard.Address);
  m_heardQueue.push_back({address, mac, details});
}

// Within the pass's worker limit, like every other worker; none after a stop request.
void TScanDriver::StartHeardProbes() {
  std::vector<THeardProbe> due;
  {
    std::lock_guard lock(m_heardMutex);
    if (m_stopRequested) m_heardQueue.clear();
    const size_t room =
        static_cast<size_t>(std::max<int32_t>(0, m_workerLimit + 1 - m_activeWorkers));
    const size_t count = std::min(room, m_heardQueue.size());
    due.assign(m_heardQueue.begin(), m_heardQueue.begin() + static_cast<std::ptrdiff_t>(count));
    m_heardQueue.erase(m_heardQueue.begin(),
                       m_heardQueue.begin() + static_cast<std::ptrdiff_t>(count));
  }
  for (const THeardProbe& probe : due) {
    TArpThread::CreateHeard(*this, probe.Address, probe.Mac, probe.Details);
  }
}

bool TScanDriver::HeardWindowOpen() const {
  {
    std::lock_guard lock(m_heardMutex);
    if (!m_probingHeard) return false;
    if (!m_heardQueue.empty()) return true;
  }
  return m_listening.Active() && std::chrono::steady_clock::now() < m_lastAsk + kHeardWindow;
}

void TScanDriver::ScanNetwork(bool probeHttp, bool resolveNames, TStatusCallback status,
                              TResultCallback onHostFound) {
  if (m_busy) return;
  m_stopRequested = false;
  m_onHostFound = std::move(onHostFound);
  m_resolveNames = resolveNames;
  m_probeHttp = probeHttp;
  m_busy = true;
  m_workTotal = 0;
  if (m_network.ArpHoldsDescriptors()) EnsureDescriptorRoom();
  const netinfo::TAdaptorRows rows = AdapterRows(m_network);

  // Ends the pass's UPnP search after the guard below has waited for the workers that use it.
  const auto endSearch = support::ScopeExit([this] { m_ssdpSearch.reset(); });
  TPassGuard guard(*this);
  Report(status, "Scan start");
  const double started = platform::NowDateTime();

  ForEachSelectedAddress(
      rows, [this](const std::string&, const std::string&) { m_workTotal += kRunLength; });
  if (resolveNames) StartSearch(rows);

  m_progress = 0;
  m_scanLock = std::make_unique<platform::TCriticalSection>();
  m_activeWorkers = 0;
  PrepareKnownMacs(probeHttp);
  // Whatever way the pass ends, stations heard from now on only get their rows.
  const auto stopProbing = support::ScopeExit([this] {
    std::lock_guard lock(m_heardMutex);
    m_probingHeard = false;
    m_heardQueue.clear();
  });

  ForEachSelectedAddress(rows,
                         [this, &status](const std::string& address, const std::string& mask) {
                           SweepRun(address, mask, status);
                         });

  Report(status, "Waiting to finish.");
  m_workerLimit = kLaterWorkerLimit;
  WaitForWorkers();
  qCDebug(lcScan, "pass over: %zu addresses asked at known MACs too", m_known.size());

  Report(status, "All thread done.");
  Report(status, "All done. " + FormatPassDuration(platform::NowDateTime() - started));
}

// The UPnP search of a pass with names: one search from each swept adapter address, sent now
// so its answers are in by the time most workers reach their name step.
void TScanDriver::StartSearch(const netinfo::TAdaptorRows& rows) {
  std::vector<std::string> swept;
  ForEachSelectedAddress(rows, [&swept](const std::string& address, const std::string&) {
    if (std::find(swept.begin(), swept.end(), address) == swept.end()) swept.push_back(address);
  });
  if (!swept.empty()) m_ssdpSearch = m_network.StartSsdpSearch(std::move(swept));
}

// The pass's known MACs: this run's answers first, then the history's, at most four an address.
void TScanDriver::PrepareKnownMacs(bool probeHttp) {
  std::lock_guard lock(m_heardMutex);
  m_known = m_answered;
  for (const auto& [address, macs] : m_historyMacs) {
    netinfo::TKnownMacs& known = m_known[address];
    for (const netinfo::TMacBytes& mac : macs) {
      if (known.size() >= kMostKnownMacs) break;
      if (std::find(known.begin(), known.end(), mac) == known.end()) known.push_back(mac);
    }
  }
  m_probed.clear();
  m_asking.clear();
  m_heardWhileAsking.clear();
  m_heardQueue.clear();
  m_probingHeard = probeHttp;
}

void TScanDriver::Throttle(const TStatusCallback& status) {
  StartHeardProbes();
  while (m_activeWorkers > m_workerLimit && !m_stopRequested) {
    platform::DelayWithMessages(50);
    Report(status, std::to_string(m_activeWorkers));
    m_progress = m_activeWorkers * 50 / m_workTotal;
  }
}

// One run of 255 addresses from the first host of the address's network. An address whose
// first host cannot be formed (its last octet AND the mask's is 255) is skipped whole; an
// address whose worker cannot be started is skipped alone. Either way the count of running
// workers stays exact, so the pass ends normally.
void TScanDriver::SweepRun(const std::string& address, const std::string& mask,
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
    if (m_stopRequested) continue;
    Throttle(status);
    if (j % 34 == 0) platform::DelayWithMessages(1);
    m_lastAsk = std::chrono::steady_clock::now();
    TArpThread::Create(*this,
                       netinfo::FormatDotted(netinfo::SwapOctets(base + static_cast<uint32_t>(j))));
  }
}

// The final wait: only the workers' end handlers end it, a stop request does not. A pass with
// pages also waits out the window in which its last addresses may still answer late, and
// probes those that do.
void TScanDriver::WaitForWorkers() {
  for (;;) {
    StartHeardProbes();
    const bool heardWindow = !m_stopRequested && HeardWindowOpen();
    if (m_activeWorkers <= 0 && !heardWindow) break;
    if (m_workTotal > 0) m_progress = m_activeWorkers * 50 / m_workTotal + 50;
    platform::DelayWithMessages(m_activeWorkers > 0 ? 500 : 100);
  }
}

}  // namespace scan
