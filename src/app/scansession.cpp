#include "app/scansession.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <QFile>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "app/applog.h"
#include "app/csvexport.h"
#include "app/hostlistmodel.h"
#include "platform/browser.h"
#include "platform/messagepump.h"
#include "platform/singleinstance.h"
#include "platform/sound.h"
#include "support/posix.h"

namespace app {

namespace {

constexpr int kScanFirstInterval = 100;
constexpr int kScanInterval = 10000;
constexpr int kDisplayInterval = 200;
constexpr int kTimeOutInterval = 500;
constexpr int kNewRowPause = 100;
// The first pass waits this long at most for the history, whose MACs it asks one by one.
constexpr auto kHistoryWaitForScan = std::chrono::milliseconds(500);
constexpr size_t kKnownMacsPerAddress = 4;

std::vector<uint8_t> ReadResource(const QString& name) {
  QFile file(name);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray bytes = file.readAll();
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Reads the vendor table on a thread of its own; in place when no thread can be started.
std::shared_future<std::shared_ptr<const TOuiTable>> StartLoadingVendorTable() {
  const auto load = [] { return std::make_shared<const TOuiTable>(TOuiTable::Load()); };
  try {
    return std::async(std::launch::async, load).share();
  } catch (const std::system_error& error) {
    qCDebug(lcApp, "vendor table read in place, no thread for it: %s", error.what());
    std::promise<std::shared_ptr<const TOuiTable>> loaded;
    loaded.set_value(load());
    return loaded.get_future().share();
  }
}

// Opens the device history on a thread of its own; in place when no thread can be started.
std::shared_future<std::shared_ptr<THistory>> StartLoadingHistory(const std::string& folder) {
  const auto load = [folder] { return std::make_shared<THistory>(folder, std::time(nullptr)); };
  try {
    return std::async(std::launch::async, load).share();
  } catch (const std::system_error& error) {
    qCDebug(lcApp, "history read in place, no thread for it: %s", error.what());
    std::promise<std::shared_ptr<THistory>> loaded;
    loaded.set_value(load());
    return loaded.get_future().share();
  }
}

void EndProcessNow() {
  // Workers still running are not waited for; what was printed still reaches its file.
  std::fflush(nullptr);
  ::_exit(0);
}

}  // namespace

TScanSession::TScanSession(TSessionServices services, QObject* parent)
    : QObject(parent),
      m_services(std::move(services)),
      m_table(m_services.Table ? m_services.Table : &HostTable()),
      m_scan(m_services.Network ? *m_services.Network : m_systemNetwork) {
  SetDefaultServices();
  m_exportPath = m_services.ExportPath.empty() ? ExportPath() : m_services.ExportPath;
  m_scan.SetHeardReport([this](const std::string& ip, const std::string& mac,
                               const scan::THostDetails& details) { HostHeard(ip, mac, details); });
  m_listModel = new THostListModel(*m_table, this);
  CreateTimers();
  upWav = ReadResource(QStringLiteral(":/tones/up.wav"));
  downWav = ReadResource(QStringLiteral(":/tones/down.wav"));
  Guarded([this] {
    if (!Start()) m_services.EndProcess();
  });
}

TScanSession::~TScanSession() {
  // Late answers stop reaching the session before anything of it goes.
  m_scan.StopHearing();
  // The vendor table goes with the session; the single-instance lock is given up.
  platform::ReleaseSingleInstance();
}

void TScanSession::SetDefaultServices() {
  if (!m_services.ScanNetwork) {
    m_services.ScanNetwork = [this](bool probeHttp, bool resolveNames, scan::TStatusCallback status,
                                    scan::TResultCallback found) {
      m_scan.ScanNetwork(probeHttp, resolveNames, std::move(status), std::move(found));
    };
  }
  if (!m_services.Delay) m_services.Delay = platform::DelayWithMessages;
  if (!m_services.OpenUrl) m_services.OpenUrl = platform::OpenUrl;
  if (!m_services.EndProcess) m_services.EndProcess = EndProcessNow;
  if (!m_services.ShowError) {
    m_services.ShowError = [](const std::string& message) {
      qCWarning(lcApp, "%s", message.c_str());
    };
  }
}

void TScanSession::CreateTimers() {
  ScanTimer = new QTimer(this);
  ScanTimer->setObjectName("ScanTimer");
  DisplayTimer = new QTimer(this);
  DisplayTimer->setObjectName("DisplayTimer");
  TimeOutTimer = new QTimer(this);
  TimeOutTimer->setObjectName("TimeOutTimer");
  connect(ScanTimer, &QTimer::timeout, this, &TScanSession::ScanTimerTimer);
  connect(DisplayTimer, &QTimer::timeout, this, &TScanSession::DisplayTimerTimer);
  connect(TimeOutTimer, &QTimer::timeout, this, &TScanSession::TimeOutTimerTimer);
}

bool TScanSession::Start() {
  // Another copy already runs: end quietly, before any window shows.
  if (!platform::AcquireSingleInstance()) return false;
  m_started = true;
  m_oui = StartLoadingVendorTable();
  m_history = StartLoadingHistory(m_services.HistoryFolder.empty() ? DefaultHistoryFolder()
                                                                   : m_services.HistoryFolder);

  ScanTimer->start(kScanFirstInterval);
  DisplayTimer->start(kDisplayInterval);
  TimeOutTimer->start(kTimeOutInterval);
  return true;
}

void TScanSession::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    m_services.ShowError(error.what());
  } catch (...) {
    m_services.ShowError("Unknown error");
  }
}

void TScanSession::HostFound(const std::string& ipAddress, const std::string& hostName,
                             const std::string& macAddress, const std::string& protocol,
                             const std::string& title, const scan::THostDetails& details) {
  // The vendor table is read-only once loaded, so the lookup needs no lock.
  const std::string vendor = ListedVendor(Oui(), macAddress);
  m_table->Update(ipAddress, hostName, macAddress, protocol, title, vendor, details);
}

void TScanSession::HostHeard(const std::string& ipAddress, const std::string& macAddress,
                             const scan::THostDetails& details) {
  m_table->Heard(ipAddress, macAddress, ListedVendor(Oui(), macAddress), details);
  if (details.OtherMac.empty()) return;
  scan::THostDetails first;
  first.OtherMac = macAddress;
  m_table->Heard(ipAddress, details.OtherMac, ListedVendor(Oui(), details.OtherMac), first);
}

void TScanSession::GiveKnownMacsToScan() {
  if (!m_history.valid() || m_history.wait_for(kHistoryWaitForScan) != std::future_status::ready) {
    qCDebug(lcApp, "history not read in time: the first pass asks no known MACs");
    return;
  }
  const THistory& history = History();
  std::unordered_map<uint32_t, std::vector<std::pair<int64_t, netinfo::TMacBytes>>> byAddress;
  history.ForEachKnown([&](uint64_t key, const TKnownDevice& device) {
    const uint32_t address = inet_addr(device.LastAddress.c_str());
    if (address == INADDR_NONE || address == 0) return;
    netinfo::TMacBytes mac;
    for (int i = 5; i >= 0; --i, key >>= 8) mac[static_cast<size_t>(i)] = key & 0xFF;
    byAddress[address].emplace_back(device.LastSeen, mac);
  });
  scan::TKnownMacMap known;
  for (auto& [address, seen] : byAddress) {
    std::sort(seen.begin(), seen.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    netinfo::TKnownMacs& macs = known[address];
    for (size_t i = 0; i < seen.size() && i < kKnownMacsPerAddress; ++i)
      macs.push_back(seen[i].second);
  }
  qCDebug(lcApp, "the scan asks %zu addresses at MACs the history knows", known.size());
  m_scan.SetKnownMacs(std::move(known));
}

THistory& TScanSession::History() {
  static THistory none;
  return m_history.valid() ? *m_history.get() : none;
}

void TScanSession::ShowHistoryStatus() {
  THistory& history = History();
  QString status;
  if (history.StartedEmpty()) {
    status = QStringLiteral(
                 "Device history: started with this run, kept in %1. Nothing is marked new "
                 "now; new devices are marked from the next run on.")
                 .arg(QString::fromLocal8Bit(history.Path().c_str()));
  } else if (history.Available()) {
    const size_t known = history.KnownDeviceCount();
    status = QStringLiteral("Device history: %1 %2 known from earlier runs, kept in %3")
                 .arg(known)
                 .arg(known == 1 ? QStringLiteral("device") : QStringLiteral("devices"))
                 .arg(QString::fromLocal8Bit(history.Path().c_str()));
  } else {
    status = QStringLiteral(
                 "No device history this time: %1. Devices are listed as usual, but "
                 "none is marked new or moved.")
                 .arg(QString::fromLocal8Bit(history.Problem().c_str()));
  }
  // The status quotes a path and SQLite's words: it stays plain text, which the window escapes
  // for its tooltip.
  m_historyStatus = status;
  emit HistoryStatusChanged(status);
}

bool TScanSession::HistoryRead() const {
  return m_history.valid() &&
         m_history.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void TScanSession::AttachHistory() {
  if (m_historyAttached) return;
  m_historyAttached = true;
  m_listModel->SetHistory(&History());
  ShowHistoryStatus();
}

void TScanSession::RecordHistory(bool all) {
  THistory& history = History();
  if (!history.Available()) return;
  const int32_t rowCount = m_table->RowCount();
  const uint64_t details = m_table->DetailChangeCount();
  if (m_table->ChangeCount() != m_recordedChanges || rowCount != m_recordedRows ||
      details != m_recordedDetails) {
    m_table->ReadRows([&](const std::vector<HostRecord>& rows, int32_t count, uint64_t changes) {
      for (int32_t i = 0; i < count; ++i) {
        const HostRecord& row = rows[static_cast<size_t>(i)];
        history.Record({row.MacAddress, row.IpAddress, row.HostName, row.Title, row.Evidence,
                        row.Addresses, row.Addresses.size() > 1 || !row.OtherMac.empty()});
      }
      m_recordedChanges = changes;
      m_recordedRows = count;
    });
    m_recordedDetails = details;
  }
  // A tick writes one small transaction; the close writes what is left (a full table is at most
  // 40 of them) unless the file is locked.
  size_t waiting = history.Flush(std::time(nullptr));
  for (int batch = 0;
       all && waiting > 0 && batch < kMaxRows / static_cast<int>(THistory::kFlushBatch) + 1;
       ++batch)
    waiting = history.Flush(std::time(nullptr));
  if (!history.Available()) ShowHistoryStatus();
}

const TOuiTable& TScanSession::Oui() const {
  static const TOuiTable empty;
  return m_oui.valid() ? *m_oui.get() : empty;
}

void TScanSession::ScanStatus(const std::string&) { platform::ProcessMessages(); }

void TScanSession::ScanTimerTimer() {
  Guarded([this] {
    ScanStatus("Scanning network ...");
    ScanTimer->stop();
    const auto rearm = support::ScopeExit([this] { ScanTimer->start(kScanInterval); });
    if (m_scan.StopRequested()) {
      m_services.EndProcess();
      return;
    }
    ++m_passCounter;
    RunPass();
    m_listModel->SortByMac();
    if (m_passCounter <= 2) {
      for (int32_t row = 0; row < m_displayedCount; ++row) LogRow("after the pass", row);
    }
    emit PassFinished(m_passCounter);
    if (m_scan.StopRequested()) m_services.EndProcess();
  });
}

// The scan of the first two ticks: pass 1 fast (ARP only), pass 2 full (web pages and names).
void TScanSession::RunPass() {
  // Workers look vendors up while they hold the scan lock: let them find the table read.
  Oui();
  auto status = [this](const std::string& text) { ScanStatus(text); };
  auto found = [this](const std::string& ip, const std::string& name, const std::string& mac,
                      const std::string& protocol, const std::string& title,
                      const scan::THostDetails& details) {
    HostFound(ip, name, mac, protocol, title, details);
  };
  m_passRunning = true;
  const auto passOver = support::ScopeExit([this] { m_passRunning = false; });
  if (m_passCounter == 1) GiveKnownMacsToScan();
  if (m_passCounter == 1 || m_passCounter == 2) {
    const bool second = m_passCounter == 2;
    m_table->PassStarted();
    qCDebug(lcApp, "pass %d started", m_passCounter);
    const auto passEnded = support::ScopeExit([this] {
      m_table->PassEnded();
      qCDebug(lcApp, "pass %d ended", m_passCounter);
    });
    m_services.ScanNetwork(second, second, status, found);
  }
}

void TScanSession::DisplayTimerTimer() {
  Guarded([this] {
    DisplayTimer->stop();
    const auto rearm = support::ScopeExit([this] { DisplayTimer->start(kDisplayInterval); });
    emit ProgressChanged(m_scan.Progress());
    // The session says how its history stands as soon as it has been read, or when the first
    // row needs it.
    if (m_displayedCount < m_table->RowCount() || HistoryRead()) AttachHistory();
    ListNewRows();
    // The history hears of the rows first: what it links this tick shows with them.
    if (m_historyAttached) RecordHistory();
    // Reports that changed listed rows (titles and names of pass 2, stations heard late) reach
    // the views now, not only when the pass ends and the list is sorted, and the file too.
    if (m_displayedCount > 0) m_listModel->ShowChanges();
    if (m_displayedCount > 0 && (!m_exported || m_table->ChangeCount() != m_exportedChanges))
      ExportNow();
  });
}

// Lists the rows found since the last tick one by one: the window grows, a tone plays, a
// short pause, then the row shows and the export is written.
void TScanSession::ListNewRows() {
  while (m_displayedCount < m_table->RowCount()) {
    emit RowArriving(m_displayedCount);
    PlaySound(upWav);
    m_services.Delay(kNewRowPause);
    // The pause dispatches messages; a nested tick never runs (this timer is stopped), so
    // the count is still ours.
    m_listModel->AppendRow(m_displayedCount);
    LogRow("listed", m_displayedCount);
    ++m_displayedCount;
    ExportNow();
  }
}

void TScanSession::TimeOutTimerTimer() {
  Guarded([this] {
    TimeOutTimer->stop();
    const auto rearm = support::ScopeExit([this] { TimeOutTimer->start(kTimeOutInterval); });
    std::vector<int32_t> marked;
    if (!m_table->ExpireRows(&marked)) return;
    m_listModel->ShowChanges();
    for (const int32_t tableRow : marked) LogRow("marked", tableRow);
  });
}

void TScanSession::OpenListRow(int listRow) {
  Guarded([&] {
    const int32_t tableRow = m_listModel->TableRow(listRow);
    if (tableRow < 0) return;
    m_services.OpenUrl("http://" + m_table->Row(tableRow).IpAddress);
  });
}

void TScanSession::Close() {
  // A running pass would return only when its slowest worker has ended (a web page may take its
  // whole 30 s budget), so the process ends now instead, after the export has taken every row
  // found so far. Otherwise the close ends the event loop as usual.
  m_scan.RequestStop();
  if (m_historyAttached) RecordHistory(true);
  if (m_passRunning) {
    if (m_table->RowCount() > 0) ExportNow();
    m_services.EndProcess();
  }
}

void TScanSession::LogRow(const char* what, int32_t tableRow) const {
  if (!lcApp().isDebugEnabled()) return;
  const HostRecord row = m_table->Row(tableRow);
  const THistory* history =
      m_historyAttached && m_history.valid() ? m_history.get().get() : nullptr;
  const QString description = THostListModel::RowDescription(row, history);
  qCDebug(lcApp, "%s %s %s: %s", what, row.MacAddress.c_str(), row.IpAddress.c_str(),
          qPrintable(QString(description).replace(QLatin1Char('\n'), QLatin1String(" | "))));
}

void TScanSession::PlaySound(const std::vector<uint8_t>& image) {
  if (image.empty() || platform::PlaybackDeviceCount() == 0) return;
  if (!platform::PlayWavAsync(image)) throw std::runtime_error("The sound could not be played");
}

void TScanSession::ExportNow() {
  uint64_t changes = 0;
  if (!ExportCsv(*m_table, m_exportPath, &changes)) return;
  m_exported = true;
  m_exportedChanges = changes;
}

}  // namespace app
