#include "app/formmain.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <QCloseEvent>
#include <QFile>
#include <QFontDatabase>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unordered_map>
#include <ctime>
#include <stdexcept>
#include <system_error>

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
const QColor kAccent(0x33, 0x33, 0xFF);  // RGB #3333FF, a strong blue
constexpr int kColumnWidths[] = {150, 120, 200, 200, 120};

// The first installed family of `candidates` (the designed family first, then its nearest
// look-alikes), else the style's generic family.
QFont PixelFont(const QStringList& candidates, QFont::StyleHint hint, int pixelHeight, bool bold) {
  QFont font;
  font.setStyleHint(hint);
  const QStringList installed = QFontDatabase::families();
  for (const QString& family : candidates) {
    if (installed.contains(family, Qt::CaseInsensitive)) {
      font.setFamily(family);
      break;
    }
  }
  // Fonts are sized by their character height in pixels, as designed at 96 dpi; they do not
  // scale with the screen.
  font.setPixelSize(pixelHeight);
  font.setBold(bold);
  return font;
}

QFont TahomaFont(int pixelHeight, bool bold) {
  return PixelFont({"Tahoma", "DejaVu Sans", "Liberation Sans", "Noto Sans", "Nimbus Sans"},
                   QFont::SansSerif, pixelHeight, bold);
}

QFont ConsolasFont(int pixelHeight) {
  return PixelFont(
      {"Consolas", "DejaVu Sans Mono", "Liberation Mono", "Noto Sans Mono", "Nimbus Mono PS"},
      QFont::Monospace, pixelHeight, false);
}

QFont MsSansSerifFont(int pixelHeight) {
  return PixelFont(
      {"MS Sans Serif", "Microsoft Sans Serif", "DejaVu Sans", "Liberation Sans", "Nimbus Sans"},
      QFont::SansSerif, pixelHeight, false);
}

std::vector<uint8_t> ReadResource(const QString& name) {
  QFile file(name);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray bytes = file.readAll();
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Every list row has the designed height, whatever the font's own line height.
class TRowHeightDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(kListRowHeight);
    return size;
  }
};

// The labels size themselves to their text (175 x 45 and 262 x 19 in the designed fonts): a
// stand-in font of other widths must not cut the text off.
void PlaceAutoSized(QLabel* label, int left, int top, int width, int height) {
  const QSize text = label->sizeHint();
  label->setGeometry(left, top, std::max(width, text.width()), std::max(height, text.height()));
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

std::string CaptionForVersion(int major, int minor) {
  return major > 5 && minor > 1 ? "" : kProgramTitle;
}

int CentredLeft(int screenWidth, int windowWidth) { return screenWidth / 2 - windowWidth / 2; }

int OuterHeightForRows(int32_t displayedCount, int availableHeight) {
  const int64_t wanted = static_cast<int64_t>(displayedCount) * kRowStep + kBaseHeight;
  if (availableHeight > 0 && wanted > availableHeight) return availableHeight;
  return static_cast<int>(wanted);
}

std::string ErrorBoxText(const std::string& message) {
  if (!message.empty() &&
      static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.')) {
    return message + ".";
  }
  return message;
}

void ShowErrorBox(QWidget* parent, const std::string& message) {
  QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kProgramTitle),
                  QString::fromLocal8Bit(ErrorBoxText(message).c_str()), QMessageBox::Ok, parent);
  // A message may quote a device or a file name; it is shown as it is, never as markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

TFormMain::TFormMain(TFormServices services, QWidget* parent)
    : QWidget(parent),
      m_services(std::move(services)),
      m_table(m_services.Table ? m_services.Table : &HostTable()),
      m_scan(m_services.Network ? *m_services.Network : m_systemNetwork) {
  if (!m_services.ScanNetwork) {
    m_services.ScanNetwork = [this](bool probeHttp, bool resolveNames, scan::TStatusCallback status,
                                    scan::TResultCallback found) {
      m_scan.ScanNetwork(probeHttp, resolveNames, std::move(status), std::move(found));
    };
  }
  if (!m_services.Delay) m_services.Delay = platform::DelayWithMessages;
  if (!m_services.OpenUrl) m_services.OpenUrl = platform::OpenUrl;
  if (!m_services.EndProcess) m_services.EndProcess = EndProcessNow;
  if (!m_services.ShowError)
    m_services.ShowError = [this](const std::string& message) { ShowErrorBox(this, message); };
  m_exportPath = m_services.ExportPath.empty() ? ExportPath() : m_services.ExportPath;
  m_scan.SetHeardReport([this](const std::string& ip, const std::string& mac,
                               const scan::THostDetails& details) { HostHeard(ip, mac, details); });
  CreateComponents();
  Guarded([this] {
    if (!FormCreate()) m_services.EndProcess();
  });
}

TFormMain::~TFormMain() {
  // Late answers stop reaching the window before anything of it goes.
  m_scan.StopHearing();
  // FormDestroy: the vendor table goes with the window; the single-instance lock is given up.
  platform::ReleaseSingleInstance();
}

void TFormMain::CreateComponents() {
  setAttribute(Qt::WA_DeleteOnClose, false);
  setWindowTitle(QString::fromLatin1(kProgramTitle));
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  setPalette(palette);
  setFont(MsSansSerifFont(11));

  CreateList();
  CreateTimers();
  CreatePanel(palette);
  upWav = ReadResource(QStringLiteral(":/tones/up.wav"));
  downWav = ReadResource(QStringLiteral(":/tones/down.wav"));

  resize(kFormWidth, kFormHeight);
  LayoutChildren();
}

void TFormMain::CreateList() {
  ListModel = new THostListModel(*m_table, this);
  VirtualStringTree1 = new QTreeView(this);
  VirtualStringTree1->setObjectName("VirtualStringTree1");
  VirtualStringTree1->setAccessibleName(QStringLiteral("Devices found"));
  VirtualStringTree1->installEventFilter(this);
  VirtualStringTree1->setModel(ListModel);
  VirtualStringTree1->setItemDelegate(new TRowHeightDelegate(VirtualStringTree1));
  VirtualStringTree1->setFrameShape(QFrame::NoFrame);
  VirtualStringTree1->setFont(ConsolasFont(11));
  VirtualStringTree1->setRootIsDecorated(false);
  VirtualStringTree1->setItemsExpandable(false);
  VirtualStringTree1->setIndentation(0);
  VirtualStringTree1->setUniformRowHeights(true);
  VirtualStringTree1->setSortingEnabled(false);
  VirtualStringTree1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  VirtualStringTree1->setSelectionMode(QAbstractItemView::SingleSelection);
  VirtualStringTree1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  QHeaderView* header = VirtualStringTree1->header();
  header->setStretchLastSection(false);
  header->setSectionsMovable(true);
  for (int column = 0; column < THostListModel::kColumnCount; ++column)
    header->resizeSection(column, kColumnWidths[column]);
  header->hide();
  connect(VirtualStringTree1, &QTreeView::clicked, this, &TFormMain::VirtualStringTree1NodeClick);
}

void TFormMain::CreateTimers() {
  ScanTimer = new QTimer(this);
  ScanTimer->setObjectName("ScanTimer");
  DisplayTimer = new QTimer(this);
  DisplayTimer->setObjectName("DisplayTimer");
  TimeOutTimer = new QTimer(this);
  TimeOutTimer->setObjectName("TimeOutTimer");
  connect(ScanTimer, &QTimer::timeout, this, &TFormMain::ScanTimerTimer);
  connect(DisplayTimer, &QTimer::timeout, this, &TFormMain::DisplayTimerTimer);
  connect(TimeOutTimer, &QTimer::timeout, this, &TFormMain::TimeOutTimerTimer);
}

void TFormMain::CreatePanel(const QPalette& palette) {
  Panel1 = new QWidget(this);
  Panel1->setObjectName("Panel1");
  Panel1->setAutoFillBackground(true);
  Panel1->setPalette(palette);
  Label1 = new QLabel(QString::fromLatin1(kProgramTitle), Panel1);
  Label1->setObjectName("Label1");
  Label1->setFont(TahomaFont(37, true));
  PlaceAutoSized(Label1, 24, 11, 175, 45);
  Label2 = new QLabel(QStringLiteral("Scan your devices easy and fast."), Panel1);
  Label2->setObjectName("Label2");
  Label2->setFont(TahomaFont(16, true));
  PlaceAutoSized(Label2, 520, 31, 262, 19);
  Progress = new QProgressBar(Panel1);
  Progress->setObjectName("Progress");
  Progress->setTextVisible(false);
  Progress->setRange(0, 100);
  Progress->setValue(0);
}

void TFormMain::LayoutChildren() {
  Panel1->setGeometry(0, 0, width(), kPanelHeight);
  Progress->setGeometry(0, kPanelHeight - kProgressHeight, width(), kProgressHeight);
  VirtualStringTree1->setGeometry(0, kPanelHeight, width(), std::max(0, height() - kPanelHeight));
}

bool TFormMain::FormCreate() {
  // Another copy already runs: end quietly, before any window shows.
  if (!platform::AcquireSingleInstance()) return false;

  QPalette labelPalette = Label1->palette();
  labelPalette.setColor(QPalette::WindowText, kAccent);
  Label1->setPalette(labelPalette);
  Label2->setPalette(labelPalette);

  VirtualStringTree1->setSelectionBehavior(QAbstractItemView::SelectRows);

  // A continuous bar in the accent colour on the panel's white.
  Progress->setStyleSheet(QStringLiteral("QProgressBar { border: none; background: white; }"
                                         "QProgressBar::chunk { background: %1; }")
                              .arg(kAccent.name()));

  if (const QScreen* screen = this->screen())
    move(CentredLeft(screen->geometry().width(), kFormWidth), 0);

  // Linux has no platform version for the caption rule: it gets 0.0, so the caption is the title.
  setWindowTitle(QString::fromStdString(CaptionForVersion(0, 0)));

  m_oui = StartLoadingVendorTable();
  m_history = StartLoadingHistory(m_services.HistoryFolder.empty() ? DefaultHistoryFolder()
                                                                   : m_services.HistoryFolder);

  ScanTimer->start(kScanFirstInterval);
  DisplayTimer->start(kDisplayInterval);
  TimeOutTimer->start(kTimeOutInterval);
  return true;
}

void TFormMain::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    m_services.ShowError(error.what());
  } catch (...) {
    m_services.ShowError("Unknown error");
  }
}

void TFormMain::HostFound(const std::string& ipAddress, const std::string& hostName,
                          const std::string& macAddress, const std::string& protocol,
                          const std::string& title, const scan::THostDetails& details) {
  // The vendor table is read-only once loaded, so the lookup needs no lock.
  const std::string vendor = ListedVendor(Oui(), macAddress);
  m_table->Update(ipAddress, hostName, macAddress, protocol, title, vendor, details);
}

void TFormMain::HostHeard(const std::string& ipAddress, const std::string& macAddress,
                          const scan::THostDetails& details) {
  m_table->Heard(ipAddress, macAddress, ListedVendor(Oui(), macAddress), details);
  if (details.OtherMac.empty()) return;
  scan::THostDetails first;
  first.OtherMac = macAddress;
  m_table->Heard(ipAddress, details.OtherMac, ListedVendor(Oui(), details.OtherMac), first);
}

void TFormMain::GiveKnownMacsToScan() {
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

THistory& TFormMain::History() {
  static THistory none;
  return m_history.valid() ? *m_history.get() : none;
}

QString TFormMain::HistoryStatus() const { return Panel1->accessibleDescription(); }

void TFormMain::ShowHistoryStatus() {
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
  // The status quotes a path and SQLite's words: the tooltip escapes them, the description for
  // screen readers keeps them plain.
  Panel1->setToolTip(THostListModel::TipText(status));
  Panel1->setAccessibleDescription(status);
}

bool TFormMain::HistoryRead() const {
  return m_history.valid() &&
         m_history.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void TFormMain::AttachHistory() {
  if (m_historyAttached) return;
  m_historyAttached = true;
  ListModel->SetHistory(&History());
  ShowHistoryStatus();
}

void TFormMain::RecordHistory(bool all) {
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
                        row.Addresses});
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

const TOuiTable& TFormMain::Oui() const {
  static const TOuiTable empty;
  return m_oui.valid() ? *m_oui.get() : empty;
}

void TFormMain::ScanStatus(const std::string&) { platform::ProcessMessages(); }

void TFormMain::ScanTimerTimer() {
  Guarded([this] {
    ScanStatus("Scanning network ...");
    ScanTimer->stop();
    const auto rearm = support::ScopeExit([this] { ScanTimer->start(kScanInterval); });
    if (m_scan.StopRequested()) {
      m_services.EndProcess();
      return;
    }
    ++m_passCounter;
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
    ListModel->SortByMac();
    if (m_passCounter <= 2) {
      for (int32_t row = 0; row < m_displayedCount; ++row) LogRow("after the pass", row);
    }
    if (m_scan.StopRequested()) m_services.EndProcess();
  });
}

void TFormMain::DisplayTimerTimer() {
  Guarded([this] {
    DisplayTimer->stop();
    const auto rearm = support::ScopeExit([this] { DisplayTimer->start(kDisplayInterval); });
    Progress->setMaximum(100);
    Progress->setValue(m_scan.Progress());
    // The window says how its history stands as soon as it has been read, or when the first
    // row needs it.
    if (m_displayedCount < m_table->RowCount() || HistoryRead()) AttachHistory();
    while (m_displayedCount < m_table->RowCount()) {
      SetOuterHeight(OuterHeightForRows(m_displayedCount, AvailableHeight()));
      PlaySound(upWav);
      m_services.Delay(kNewRowPause);
      // The pause dispatches messages; a nested tick never runs (this timer is stopped), so
      // the count is still ours.
      ListModel->AppendRow(m_displayedCount);
      LogRow("listed", m_displayedCount);
      ++m_displayedCount;
      ExportNow();
    }
    // Reports that changed listed rows (titles and names of pass 2, stations heard late) reach
    // the views now, not only when the pass ends and the list is sorted, and the file too.
    if (m_displayedCount > 0) ListModel->ShowChanges();
    if (m_displayedCount > 0 && (!m_exported || m_table->ChangeCount() != m_exportedChanges))
      ExportNow();
    if (m_historyAttached) RecordHistory();
  });
}

void TFormMain::TimeOutTimerTimer() {
  Guarded([this] {
    TimeOutTimer->stop();
    const auto rearm = support::ScopeExit([this] { TimeOutTimer->start(kTimeOutInterval); });
    std::vector<int32_t> marked;
    if (!m_table->ExpireRows(&marked)) return;
    ListModel->ShowChanges();
    for (const int32_t tableRow : marked) LogRow("marked", tableRow);
  });
}

void TFormMain::VirtualStringTree1NodeClick(const QModelIndex& index) {
  Guarded([&] {
    const int32_t tableRow = ListModel->TableRow(index.row());
    if (tableRow < 0) return;
    m_services.OpenUrl("http://" + m_table->Row(tableRow).IpAddress);
  });
}

void TFormMain::LogRow(const char* what, int32_t tableRow) const {
  if (!lcApp().isDebugEnabled()) return;
  const HostRecord row = m_table->Row(tableRow);
  const THistory* history =
      m_historyAttached && m_history.valid() ? m_history.get().get() : nullptr;
  const QString description = THostListModel::RowDescription(row, history);
  qCDebug(lcApp, "%s %s %s: %s", what, row.MacAddress.c_str(), row.IpAddress.c_str(),
          qPrintable(QString(description).replace(QLatin1Char('\n'), QLatin1String(" | "))));
}

void TFormMain::PlaySound(const std::vector<uint8_t>& image) {
  if (image.empty() || platform::PlaybackDeviceCount() == 0) return;
  if (!platform::PlayWavAsync(image)) throw std::runtime_error("The sound could not be played");
}

void TFormMain::ExportNow() {
  uint64_t changes = 0;
  if (!ExportCsv(*m_table, m_exportPath, &changes)) return;
  m_exported = true;
  m_exportedChanges = changes;
}

int TFormMain::AvailableHeight() const {
  const QScreen* screen = this->screen();
  return screen ? screen->availableGeometry().height() : 0;
}

int TFormMain::OuterHeight() const { return frameGeometry().height(); }

int TFormMain::OuterWidth() const { return frameGeometry().width(); }

void TFormMain::SetOuterHeight(int height) {
  const int frameExtra = frameGeometry().height() - this->height();
  resize(this->width(), std::max(1, height - frameExtra));
}

void TFormMain::closeEvent(QCloseEvent* event) {
  // The window goes at once. A running pass would return only when its slowest worker has
  // ended (a web page may take its whole 30 s budget), so the process ends now instead, after
  // the export has taken every row found so far. Otherwise the close ends the event loop as
  // usual.
  hide();
  m_scan.RequestStop();
  if (m_historyAttached) RecordHistory(true);
  if (m_passRunning) {
    if (m_table->RowCount() > 0) ExportNow();
    m_services.EndProcess();
  }
  QWidget::closeEvent(event);
}

bool TFormMain::eventFilter(QObject* watched, QEvent* event) {
  // Enter (and Return) on the current row opens its page as a click does: keyboard users have
  // no other way to it.
  if (watched == VirtualStringTree1 && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    const QModelIndex current = VirtualStringTree1->currentIndex();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && current.isValid()) {
      VirtualStringTree1NodeClick(current);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TFormMain::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int frameExtra = frameGeometry().width() - width();
  if (OuterWidth() != kFormWidth) {
    resize(kFormWidth - frameExtra, height());
    return;
  }
  LayoutChildren();
}

}  // namespace app
