#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "app/history.h"
#include "app/hosttable.h"
#include "app/ouitable.h"
#include "scan/scandriver.h"
#include "scan/systemnetwork.h"

class QTimer;

namespace app {

class THostListModel;

// What a scan session calls outside itself; tests replace these.
struct TSessionServices {
  THostTable* Table = nullptr;  // the process-wide HostTable() when null
  // What the session's scan driver works through: the system when null. Outlives the session.
  scan::TScanNetwork* Network = nullptr;
  // The session's own scan driver when null.
  std::function<void(bool probeHttp, bool resolveNames, scan::TStatusCallback,
                     scan::TResultCallback)>
      ScanNetwork;
  std::function<void(int32_t milliseconds)> Delay;  // DelayWithMessages
  std::function<void(const std::string& url)> OpenUrl;
  std::function<void()> EndProcess;  // flushes and ends the process, exit code 0
  // A warning in the log when null (the window shows an error box).
  std::function<void(const std::string& message)> ShowError;
  std::string ExportPath;     // ~/quenZOR.csv when empty
  std::string HistoryFolder;  // DefaultHistoryFolder() when empty
};

// One run of the program without its window: the scan driver and the host table it fills, the
// vendor table, the device history, the export, the tones, the single-instance lock, and the
// three timers that drive the scan (ScanTimer), the listing of new rows (DisplayTimer) and the
// expiry marks (TimeOutTimer). The list model it keeps is what a view shows; what only the
// window can do (grow, show progress and the history's state) it is told by signals.
class TScanSession : public QObject {
  Q_OBJECT

 public:
  // Takes the single-instance lock and starts the timers; ends the process (EndProcess) when
  // another copy holds the lock.
  explicit TScanSession(TSessionServices services = {}, QObject* parent = nullptr);
  ~TScanSession() override;

  // The result callback of a scan pass; runs on worker threads.
  void HostFound(const std::string& ipAddress, const std::string& hostName,
                 const std::string& macAddress, const std::string& protocol,
                 const std::string& title, const scan::THostDetails& details = {});
  // Where the scan's late answers go, whether a pass runs or not; on the ARP resolver's thread.
  // details.OtherMac answered for the address too: both rows name each other.
  void HostHeard(const std::string& ipAddress, const std::string& macAddress,
                 const scan::THostDetails& details);
  // The status callback of a scan pass: dispatches the pending window messages.
  void ScanStatus(const std::string& text);

  void ScanTimerTimer();
  void DisplayTimerTimer();
  void TimeOutTimerTimer();
  // Opens the page of the device on list row `listRow` (a click or Enter on it).
  void OpenListRow(int listRow);
  // The window closed: the scan is asked to stop and the history written out; while a pass
  // runs the process ends at once, after the export has taken every row found so far.
  void Close();
  // Runs a handler; what escapes it is shown in the error box.
  void Guarded(const std::function<void()>& handler);

  // Whether the session holds the single-instance lock (no other copy ran).
  bool Started() const { return m_started; }
  int32_t DisplayedCount() const { return m_displayedCount; }
  int32_t PassCounter() const { return m_passCounter; }
  // The vendor table; waits for it while it is still being read.
  const TOuiTable& Oui() const;
  THostTable& Table() { return *m_table; }
  // The device history; waits for it while it is still being read.
  THistory& History();
  // What the session says about the history, as plain text; empty until it has been read.
  QString HistoryStatus() const { return m_historyStatus; }
  // The scan engine: the session reads its progress and requests its stop.
  scan::TScanDriver& Scan() { return m_scan; }
  // The list a view shows: rows in the order they were listed, sorted by MAC after a pass.
  THostListModel* ListModel() const { return m_listModel; }

  // Components, named as the program declares them.
  QTimer* ScanTimer = nullptr;
  QTimer* DisplayTimer = nullptr;
  QTimer* TimeOutTimer = nullptr;
  std::vector<uint8_t> downWav;
  std::vector<uint8_t> upWav;

 signals:
  // A new row is about to be listed at `position` (the rows listed before it): the window
  // grows for it before its tone and pause.
  void RowArriving(int32_t position);
  // The scan's progress in percent, at every display tick.
  void ProgressChanged(int percent);
  // What the session says about the history changed (plain text).
  void HistoryStatusChanged(const QString& status);
  // A scan tick ended, the list sorted by MAC.
  void PassFinished(int32_t passCounter);

 private:
  void SetDefaultServices();
  bool Start();
  void CreateTimers();
  void RunPass();
  void ListNewRows();
  void PlaySound(const std::vector<uint8_t>& image);
  void ExportNow();
  bool HistoryRead() const;
  void AttachHistory();
  // Hands the scan the MACs the history knows, by address, once it has been read (waiting
  // for it a short while at most).
  void GiveKnownMacsToScan();
  void RecordHistory(bool all = false);
  void ShowHistoryStatus();
  // Logs a row with what its tooltip says (quenzor.app debug lines).
  void LogRow(const char* what, int32_t tableRow) const;

  TSessionServices m_services;
  THostTable* m_table;
  scan::TSystemNetwork m_systemNetwork;
  scan::TScanDriver m_scan;
  THostListModel* m_listModel = nullptr;
  bool m_started = false;
  // OuiLines: read on a thread of its own, so the registry lists do not hold up the window.
  std::shared_future<std::shared_ptr<const TOuiTable>> m_oui;
  // The device history: read on a thread of its own as well; the list waits for it only when
  // its first row arrives, since the marks compare with it.
  std::shared_future<std::shared_ptr<THistory>> m_history;
  bool m_historyAttached = false;
  QString m_historyStatus;
  uint64_t m_recordedChanges = 0;
  int32_t m_recordedRows = 0;
  uint64_t m_recordedDetails = 0;
  std::string m_exportPath;
  int32_t m_passCounter = 0;
  bool m_passRunning = false;  // ScanTimerTimer is inside a pass
  int32_t m_displayedCount = 0;
  uint64_t m_exportedChanges = 0;
  bool m_exported = false;
};

}  // namespace app
