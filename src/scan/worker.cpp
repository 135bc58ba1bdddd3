#include "scan/worker.h"

#include "scan/namestep.h"
#include "scan/scanlog.h"
#include "scan/scannetwork.h"
#include "scan/webprobe.h"
#include "support/deadline.h"

#include <QString>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

namespace scan {

namespace {

// One budget per device for the whole of pass 2's work on it (the http page, the https page and
// the name step), so that a device that holds every step to its own bound still ends within it.
constexpr std::chrono::milliseconds kDeviceBudget{30000};

// Upper-cased by Unicode rules, as the list shows every host name.
std::string UpperName(const std::string& name) {
  return QString::fromLocal8Bit(name.data(), static_cast<qsizetype>(name.size()))
      .toUpper()
      .toUtf8()
      .toStdString();
}

// The name step: the host name a second-pass worker reports (the address when the device has
// none) and the details behind it. Its own budget, cut to what is left of the device's, covers
// all of it.
std::string NameStep(TScanNetwork& network, netinfo::TSsdpSearch* search,
                     const std::string& address, const support::TDeadline& deviceDeadline,
                     THostDetails& details) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(deviceDeadline.Clip(kNameStepBudgetMs));
  const TNameFindings findings = network.FindNames(address, search, deadline);
  details.Evidence = EvidenceOf(findings);
  details.DeviceType = DeviceTypeOf(findings);
  details.Offers = OffersOf(findings);
  const std::string name = ShownName(findings);
  return name.empty() ? address : UpperName(name);
}

// Why a device shows no title, for the one who asks for the scan's diagnostics.
void LogTitle(const std::string& address, const std::string& protocol, const std::string& title) {
  if (protocol.empty()) {
    qCDebug(lcScan, "%s: no title: no page over http or https", address.c_str());
  } else if (title == "<no title>") {
    qCDebug(lcScan, "%s: no title: the %s page has no title element and no Server header",
            address.c_str(), protocol.c_str());
  } else {
    qCDebug(lcScan, "%s: title over %s: %s", address.c_str(), protocol.c_str(),
            LogText(title).c_str());
  }
}

}  // namespace

std::string FormatMac(const uint8_t (&mac)[6]) {
  char text[18];
  std::snprintf(text, sizeof text, "%2.2X:%2.2X:%2.2X:%2.2X:%2.2X:%2.2X", mac[0], mac[1], mac[2],
                mac[3], mac[4], mac[5]);
  return text;
}

std::string FormatMac(const netinfo::TMacBytes& mac) {
  uint8_t bytes[6];
  std::copy(mac.begin(), mac.end(), bytes);
  return FormatMac(bytes);
}

bool TArpThread::Create(TScanDriver& driver, const std::string& address) {
  return Start(std::unique_ptr<TArpThread>(new TArpThread(driver)), address);
}

bool TArpThread::CreateHeard(TScanDriver& driver, const std::string& address,
                             const netinfo::TMacBytes& mac, const THostDetails& details) {
  std::unique_ptr<TArpThread> worker(new TArpThread(driver));
  worker->m_heard = true;
  worker->m_heardMac = mac;
  worker->m_heardDetails = details;
  return Start(std::move(worker), address);
}

bool TArpThread::Start(std::unique_ptr<TArpThread> worker, const std::string& address) {
  TScanDriver& driver = worker->m_driver;
  TArpThread* raw = worker.get();
  {
    std::lock_guard<platform::TCriticalSection> lock(*driver.m_scanLock);
    ++driver.m_activeWorkers;
    raw->Address = address;
    raw->SetOnTerminate([raw] { raw->WorkerDone(); });
  }
  if (driver.m_network.StartThread(std::move(worker))) return true;
  qCDebug(lcScan, "%s: no worker thread, the address goes unprobed", address.c_str());
  std::lock_guard<platform::TCriticalSection> lock(*driver.m_scanLock);
  --driver.m_activeWorkers;
  return false;
}

void TArpThread::Execute() {
  try {
    Probe();
  } catch (const std::exception& error) {
    qCDebug(lcScan, "%s: probe failed: %s", Address.c_str(), error.what());
  } catch (...) {
    qCDebug(lcScan, "%s: probe failed: unknown exception", Address.c_str());
  }
}

void TArpThread::Probe() {
  if (Address.find('.') == std::string::npos) return;
  const uint32_t destination = inet_addr(Address.c_str());
  if (destination == 0) return;

  uint8_t mac[6] = {0, 0, 0, 0, 0, 0};
  uint32_t macLength = 6;
  uint8_t otherMac[6] = {0, 0, 0, 0, 0, 0};
  uint32_t otherLength = 6;
  if (m_heard) {
    std::copy(m_heardMac.begin(), m_heardMac.end(), mac);
    otherLength = 0;
  } else {
    m_driver.NoteAsking(destination);
    const uint32_t result =
        m_driver.m_network.SendArp(destination, 0, mac, &macLength, otherMac, &otherLength,
                                   m_driver.KnownMacsFor(destination));
    if (result != 0 || macLength == 0) {
      m_driver.NoteSilent(destination);
      return;
    }
    netinfo::TMacBytes answered;
    std::copy(mac, mac + 6, answered.begin());
    m_driver.NoteAnswer(destination, answered);
  }

  // The device's time starts once it has answered: ARP has its own bound.
  const support::TDeadline deadline(kDeviceBudget);
  std::string protocol;
  std::string page;
  if (m_driver.m_probeHttp) {
    page = m_driver.m_network.FetchPage("http://" + Address, Address, deadline);
    if (!page.empty()) {
      protocol = "http";
      page = ExtractTitle(page);
    } else {
      page = m_driver.m_network.FetchPage("https://" + Address, Address, deadline);
      if (!page.empty()) {
        protocol = "https";
        page = ExtractTitle(page);
      }
    }
    LogTitle(Address, protocol, page);
  }

  THostDetails details;
  const std::string hostName =
      m_driver.m_resolveNames && !protocol.empty()
          ? NameStep(m_driver.m_network, m_driver.m_ssdpSearch.get(), Address, deadline, details)
          : Address;

  // Two stations answered ARP for the address: each MAC gets its row, as every MAC does,
  // and each row names the other. Both rows show the address's name and the evidence behind
  // it; the device type only the first, as the answers do not tell which station announced it.
  if (m_heard) details.OtherMac = m_heardDetails.OtherMac;
  THostDetails otherDetails;
  if (otherLength == 6) {
    details.OtherMac = FormatMac(otherMac);
    otherDetails.OtherMac = FormatMac(mac);
    otherDetails.Evidence = details.Evidence;
  }
  std::lock_guard<platform::TCriticalSection> lock(*m_driver.m_scanLock);
  if (!m_driver.m_onHostFound) return;
  m_driver.m_onHostFound(Address, hostName, FormatMac(mac), protocol, page, details);
  if (otherLength == 6) {
    m_driver.m_onHostFound(Address, hostName, details.OtherMac, protocol, page, otherDetails);
  }
}

void TArpThread::WorkerDone() {
  std::lock_guard<platform::TCriticalSection> lock(*m_driver.m_scanLock);
  --m_driver.m_activeWorkers;
}

}  // namespace scan
