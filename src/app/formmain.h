#pragma once

#include <QWidget>
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

class QLabel;
class QProgressBar;
class QTimer;
class QTreeView;

namespace app {

class THostListModel;

inline constexpr int kFormWidth = 828;   // outer width; the window snaps back to it
inline constexpr int kFormHeight = 486;  // outer height at start
inline constexpr int kPanelHeight = 73;
inline constexpr int kProgressHeight = 9;
inline constexpr int kRowStep = 19;      // the window grows by this much per listed row
inline constexpr int kBaseHeight = 120;  // outer height with the first row
inline constexpr int kListRowHeight = 18;
inline constexpr const char* kProgramTitle = "quenZOR";

// The caption for a platform version: empty from version 6.2 and 6.3 on (major above 5 and
// minor above 1, both), "quenZOR" otherwise. Linux reports version 0.0.
std::string CaptionForVersion(int major, int minor);

// The window's left edge for a screen width: centred, each half truncated toward zero.
int CentredLeft(int screenWidth, int windowWidth);

// The window's outer height with `displayedCount` rows listed before the next one: 19 pixels per
// row from 120, stopping at the screen's available height (the list scrolls from there).
int OuterHeightForRows(int32_t displayedCount, int availableHeight);

// An error message as the message box shows it: a "." is added when the last character sorts
// after ".".
std::string ErrorBoxText(const std::string& message);

// Shows an error that escaped a handler: a modal box with the caption "quenZOR".
void ShowErrorBox(QWidget* parent, const std::string& message);

// What the main window calls outside itself; tests replace these.
struct TFormServices {
  THostTable* Table = nullptr;  // the process-wide HostTable() when null
  // What the window's scan driver works through: the system when null. Outlives the window.
  scan::TScanNetwork* Network = nullptr;
  // The window's own scan driver when null.
  std::function<void(bool probeHttp, bool resolveNames, scan::TStatusCallback,
                     scan::TResultCallback)>
      ScanNetwork;
  std::function<void(int32_t milliseconds)> Delay;  // DelayWithMessages
  std::function<void(const std::string& url)> OpenUrl;
  std::function<void()> EndProcess;  // flushes and ends the process, exit code 0
  std::function<void(const std::string& message)> ShowError;
  std::string ExportPath;     // ~/quenZOR.csv when empty
  std::string HistoryFolder;  // DefaultHistoryFolder() when empty
};

// The program's one window: header panel with title and progress bar, the result list, and the
// three timers that drive the scan (ScanTimer), the display of new rows (DisplayTimer) and the
// expiry marks (TimeOutTimer).
class TFormMain : public QWidget {
  Q_OBJECT

 public:
  explicit TFormMain(TFormServices services = {}, QWidget* parent = nullptr);
  ~TFormMain() override;

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
  void VirtualStringTree1NodeClick(const QModelIndex& index);

  // The outer (frame) height and width of the window.
  int OuterHeight() const;
  int OuterWidth() const;
  void SetOuterHeight(int height);

  int32_t DisplayedCount() const { return m_displayedCount; }
  int32_t PassCounter() const { return m_passCounter; }
  // The vendor table; waits for it while it is still being read.
  const TOuiTable& Oui() const;
  THostTable& Table() { return *m_table; }
  // The device history; waits for it while it is still being read.
  THistory& History();
  // What the window says about the history, as plain text (the header's tooltip shows it escaped
  // and its accessible description as it is).
  QString HistoryStatus() const;
  // The scan engine: the window reads its progress and requests its stop.
  scan::TScanDriver& Scan() { return m_scan; }

  // Components, named as the window declares them.
  QTreeView* VirtualStringTree1 = nullptr;
  QTimer* ScanTimer = nullptr;
  QTimer* DisplayTimer = nullptr;
  std::vector<uint8_t> downWav;
  std::vector<uint8_t> upWav;
  QWidget* Panel1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QProgressBar* Progress = nullptr;
  QTimer* TimeOutTimer = nullptr;
  THostListModel* ListModel = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  bool FormCreate();
  void CreateComponents();
  void CreateList();
  void CreateTimers();
  void CreatePanel(const QPalette& palette);
  void LayoutChildren();
  void PlaySound(const std::vector<uint8_t>& image);
  void ExportNow();
  void Guarded(const std::function<void()>& handler);
  int AvailableHeight() const;
  bool HistoryRead() const;
  void AttachHistory();
  // Hands the scan the MACs the history knows, by address, once it has been read (waiting
  // for it a short while at most).
  void GiveKnownMacsToScan();
  void RecordHistory(bool all = false);
  void ShowHistoryStatus();
  // Logs a row with what its tooltip says (quenzor.app debug lines).
  void LogRow(const char* what, int32_t tableRow) const;

  TFormServices m_services;
  THostTable* m_table;
  scan::TSystemNetwork m_systemNetwork;
  scan::TScanDriver m_scan;
  // OuiLines: read on a thread of its own, so the registry lists do not hold up the window.
  std::shared_future<std::shared_ptr<const TOuiTable>> m_oui;
  // The device history: read on a thread of its own as well; the list waits for it only when
  // its first row arrives, since the marks compare with it.
  std::shared_future<std::shared_ptr<THistory>> m_history;
  bool m_historyAttached = false;
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
