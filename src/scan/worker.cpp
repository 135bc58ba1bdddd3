#include "scan/worker.h"

#include "netinfo/devicename.h"
#include "scan/scandriver.h"
#include "scan/webprobe.h"

#include <QString>

#include <arpa/inet.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace scan {

namespace {

std::atomic<int32_t> g_started{0};
std::atomic<int32_t> g_running{0};
std::atomic<int32_t> g_peakRunning{0};

// Counts a worker body as running for the test hook's peak.
class TRunningMark {
 public:
  TRunningMark() {
    const int32_t now = ++g_running;
    int32_t peak = g_peakRunning.load();
    while (now > peak && !g_peakRunning.compare_exchange_weak(peak, now)) {
    }
  }
  ~TRunningMark() { --g_running; }
  TRunningMark(const TRunningMark&) = delete;
  TRunningMark& operator=(const TRunningMark&) = delete;
};

// The host name a second-pass worker reports: the reverse DNS name, else the name the device
// gives itself (mDNS, NetBIOS), upper-cased by Unicode rules; the address when there is none.
std::string UpperHostName(const std::string& address) {
  const std::string name = netinfo::LookupDeviceName(address);
  return QString::fromLocal8Bit(name.data(), static_cast<qsizetype>(name.size())).toUpper().toUtf8().toStdString();
}

}  // namespace

std::string FormatMac(const uint8_t (&mac)[6]) {
  char text[18];
  std::snprintf(text, sizeof text, "%2.2X:%2.2X:%2.2X:%2.2X:%2.2X:%2.2X", mac[0], mac[1], mac[2], mac[3], mac[4],
                mac[5]);
  return text;
}

bool TArpThread::Create(const std::string& address) {
  std::unique_ptr<TArpThread> worker(new TArpThread());
  TArpThread* raw = worker.get();
  {
    std::lock_guard<platform::TCriticalSection> lock(*ScanLock);
    ++ActiveWorkers;
    raw->Address = address;
    raw->SetOnTerminate([raw] { raw->WorkerDone(); });
  }
  if (platform::StartThread(std::move(worker))) {
    ++g_started;
    return true;
  }
  std::lock_guard<platform::TCriticalSection> lock(*ScanLock);
  --ActiveWorkers;
  return false;
}

void TArpThread::Execute() {
  TRunningMark running;
  try {
    Probe();
  } catch (...) {
  }
}

void TArpThread::Probe() {
  if (Address.find('.') == std::string::npos) return;
  const uint32_t destination = inet_addr(Address.c_str());
  if (destination == 0) return;

  uint8_t mac[6] = {0, 0, 0, 0, 0, 0};
  uint32_t macLength = 6;
  const uint32_t result = CurrentArpSender()(destination, 0, mac, &macLength);
  if (result != 0 || macLength == 0) return;

  std::string protocol;
  std::string page;
  if (ProbeHttp) {
    page = FetchPage("http://" + Address, Address);
    if (!page.empty()) {
      protocol = "http";
      page = ExtractTitle(page);
    } else {
      page = FetchPage("https://" + Address, Address);
      if (!page.empty()) {
        protocol = "https";
        page = ExtractTitle(page);
      }
    }
  }

  const std::string hostName = ResolveNames && !protocol.empty() ? UpperHostName(Address) : Address;

  std::lock_guard<platform::TCriticalSection> lock(*ScanLock);
  if (OnHostFound) OnHostFound(Address, hostName, FormatMac(mac), protocol, page);
}

void TArpThread::WorkerDone() {
  std::lock_guard<platform::TCriticalSection> lock(*ScanLock);
  --ActiveWorkers;
}

void ResetWorkerCounters() {
  g_started = 0;
  g_peakRunning = g_running.load();
}

int32_t StartedWorkers() { return g_started.load(); }

int32_t PeakRunningWorkers() { return g_peakRunning.load(); }

}  // namespace scan
