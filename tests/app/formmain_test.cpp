#include "app/formmain.h"

#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <stdexcept>

#include <sqlite3.h>

#include <gtest/gtest.h>

#include "app/hostlistmodel.h"
#include "platform/sound.h"
#include "scanfakes.h"

namespace app {
namespace {

ino_t Inode(const QString& path) {
  struct stat info {};
  return ::stat(path.toLocal8Bit().constData(), &info) == 0 ? info.st_ino : 0;
}

std::string ReadFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return "<missing>";
  return file.readAll().toStdString();
}

struct TScanCall {
  bool probeHttp;
  bool resolveNames;
};

// A scan session (or a main window with its session) whose outside world is the test's: its own
// host table and clock, a scan pass that reports what the test says, a recorded browser, process
// end and error box.
class ScanSession : public testing::Test {
 protected:
  TSessionServices Services() {
    TSessionServices services;
    services.Table = &m_table;
    services.ScanNetwork = [this](bool probeHttp, bool resolveNames, scan::TStatusCallback status,
                                  scan::TResultCallback found) {
      m_scans.push_back({probeHttp, resolveNames});
      if (m_pass) m_pass(status, found);
    };
    services.OpenUrl = [this](const std::string& url) { m_opened.push_back(url); };
    services.EndProcess = [this] { ++m_endProcessCalls; };
    services.ShowError = [this](const std::string& message) { m_errors.push_back(message); };
    services.ExportPath = ExportPath();
    services.HistoryFolder = m_dir.filePath("history").toStdString();
    return services;
  }
  QString ExportFile() const { return m_dir.filePath("quenZOR.csv"); }
  std::string ExportPath() const { return ExportFile().toStdString(); }

  // Runs the event loop until `done` holds (bounded, so a broken build fails instead of hanging).
  template <typename F>
  bool PumpUntil(F done, int limitMs = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
      if (timer.elapsed() > limitMs) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      QTest::qWait(5);
    }
    return true;
  }

  void Report(TScanSession& session, const std::string& ip, const std::string& mac,
              const std::string& title = "") {
    session.HostFound(ip, ip, mac, "http", title);
  }

  QTemporaryDir m_dir;
  double m_now = 46000.5;
  THostTable m_table{[this] { return m_now; }};
  std::vector<TScanCall> m_scans;
  std::function<void(scan::TStatusCallback, scan::TResultCallback)> m_pass;
  std::vector<std::string> m_opened;
  std::vector<std::string> m_errors;
  int m_endProcessCalls = 0;
};

// A main window over a scan session of the test's.
class FormMain : public ScanSession {};

// The window's own parts, found by their component names.
template <typename T = QWidget>
T* Child(TFormMain& form, const char* name) {
  T* child = form.findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(child, nullptr) << name;
  return child;
}

QTreeView* List(TFormMain& form) { return Child<QTreeView>(form, "VirtualStringTree1"); }

TEST(FormMainRules, CaptionIsEmptyOnlyFromVersionSixTwoAndSixThree) {
  EXPECT_EQ(CaptionForVersion(5, 1), "quenZOR");
  EXPECT_EQ(CaptionForVersion(6, 0), "quenZOR");
  EXPECT_EQ(CaptionForVersion(6, 1), "quenZOR");
  EXPECT_EQ(CaptionForVersion(6, 2), "");
  EXPECT_EQ(CaptionForVersion(6, 3), "");
  EXPECT_EQ(CaptionForVersion(10, 0), "quenZOR");
  EXPECT_EQ(CaptionForVersion(0, 0), "quenZOR") << "Linux reports no Windows version";
}

TEST(FormMainRules, WindowIsCentredByHalvesTruncated) {
  EXPECT_EQ(CentredLeft(1366, 828), 269);
  EXPECT_EQ(CentredLeft(1365, 829), 268);
  EXPECT_EQ(CentredLeft(800, 828), -14);
}

TEST(FormMainRules, HeightGrowsNineteenPerRowUpToTheAvailableHeight) {
  EXPECT_EQ(OuterHeightForRows(0, 1000), 120);
  EXPECT_EQ(OuterHeightForRows(1, 1000), 139);
  EXPECT_EQ(OuterHeightForRows(2, 1000), 158);
  EXPECT_EQ(OuterHeightForRows(100, 600), 600);
}

TEST(FormMainRules, ErrorTextGetsAFullStopWhenItsLastCharacterSortsAfterIt) {
  EXPECT_EQ(ErrorBoxText("Range check error"), "Range check error.");
  EXPECT_EQ(ErrorBoxText("Done."), "Done.");
  EXPECT_EQ(ErrorBoxText("Stop!"), "Stop!");
  EXPECT_EQ(ErrorBoxText("Code 10060"), "Code 10060.");
  EXPECT_EQ(ErrorBoxText(""), "");
}

TEST_F(FormMain, LayoutHasTheDesignedSizesFontsAndColours) {
  TFormMain form(Services());
  EXPECT_EQ(form.OuterWidth(), 828);
  EXPECT_EQ(form.OuterHeight(), 486);
  EXPECT_EQ(form.windowTitle(), "quenZOR");
  EXPECT_EQ(form.pos().y(), 0);
  EXPECT_EQ(form.pos().x(), CentredLeft(form.screen()->geometry().width(), 828));
  QLabel* label1 = Child<QLabel>(form, "Label1");
  QLabel* label2 = Child<QLabel>(form, "Label2");
  QTreeView* list = List(form);
  ASSERT_TRUE(label1 && label2 && list);
  EXPECT_EQ(Child(form, "Panel1")->geometry(), QRect(0, 0, 828, 73));
  EXPECT_EQ(label1->pos(), QPoint(24, 11));
  EXPECT_GE(label1->width(), std::max(175, label1->sizeHint().width()))
      << "the text is never cut off";
  EXPECT_GE(label1->height(), 45);
  EXPECT_EQ(label1->text(), "quenZOR");
  EXPECT_EQ(label1->font().pixelSize(), 37);
  EXPECT_TRUE(label1->font().bold());
  EXPECT_EQ(label2->pos(), QPoint(520, 31));
  EXPECT_GE(label2->width(), std::max(262, label2->sizeHint().width()));
  EXPECT_LE(label2->geometry().right(), 828);
  EXPECT_EQ(label2->text(), "Scan your devices easy and fast.");
  EXPECT_EQ(label2->font().pixelSize(), 16);
  EXPECT_EQ(label1->palette().color(QPalette::WindowText), QColor(0x33, 0x33, 0xFF));
  EXPECT_EQ(label2->palette().color(QPalette::WindowText), QColor(0x33, 0x33, 0xFF));
  EXPECT_EQ(Child(form, "Progress")->geometry(), QRect(0, 64, 828, 9));
  EXPECT_EQ(list->geometry(), QRect(0, 73, 828, 486 - 73));
  EXPECT_EQ(list->font().pixelSize(), 11);
  EXPECT_TRUE(list->header()->isHidden());
  EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(list->model(), form.Session().ListModel());
  const int widths[] = {150, 120, 200, 200, 120};
  for (int column = 0; column < 5; ++column) EXPECT_EQ(list->columnWidth(column), widths[column]);
}

TEST_F(ScanSession, StartsItsTimersAndReadsItsTonesAndTheVendorTable) {
  TScanSession session(Services());
  EXPECT_TRUE(QApplication::allWidgets().isEmpty()) << "a session makes no widget";
  EXPECT_TRUE(session.Started());
  EXPECT_EQ(session.ScanTimer->interval(), 100);
  EXPECT_EQ(session.DisplayTimer->interval(), 200);
  EXPECT_EQ(session.TimeOutTimer->interval(), 500);
  EXPECT_TRUE(session.ScanTimer->isActive() && session.DisplayTimer->isActive() &&
              session.TimeOutTimer->isActive());
  EXPECT_EQ(session.upWav.size(), 1962u);
  EXPECT_EQ(session.downWav.size(), 1962u);
  EXPECT_GT(session.Oui().OuiLines().size(), 20000u);
}

TEST_F(FormMain, FontsFallBackToInstalledLookAlikes) {
  TFormMain form(Services());
  const QFontInfo title(Child(form, "Label1")->font());
  const QFontInfo list(List(form)->font());
  EXPECT_FALSE(title.family().isEmpty());
  EXPECT_TRUE(list.fixedPitch()) << list.family().toStdString();
}

TEST_F(FormMain, WidthSnapsBackTo828AndHeightStays) {
  TFormMain form(Services());
  form.show();
  form.resize(1000, 300);
  QCoreApplication::processEvents();
  EXPECT_EQ(form.OuterWidth(), 828);
  EXPECT_EQ(form.height(), 300);
  EXPECT_EQ(List(form)->width(), form.width());
}

TEST_F(ScanSession, ScanTicksRunPassOneFastPassTwoFullAndNoMore) {
  TScanSession session(Services());
  session.ScanTimer->stop();
  QSignalSpy finished(&session, &TScanSession::PassFinished);
  for (int tick = 0; tick < 4; ++tick) session.ScanTimerTimer();
  EXPECT_EQ(finished.count(), 4);
  ASSERT_EQ(m_scans.size(), 2u);
  EXPECT_FALSE(m_scans[0].probeHttp);
  EXPECT_FALSE(m_scans[0].resolveNames);
  EXPECT_TRUE(m_scans[1].probeHttp);
  EXPECT_TRUE(m_scans[1].resolveNames);
  EXPECT_EQ(session.PassCounter(), 4);
  EXPECT_TRUE(session.ScanTimer->isActive());
  EXPECT_EQ(session.ScanTimer->interval(), 10000);
  EXPECT_EQ(m_endProcessCalls, 0);
}

TEST_F(ScanSession, FirstScanStartsFromTheTimerShortlyAfterCreation) {
  TScanSession session(Services());
  ASSERT_TRUE(PumpUntil([&] { return !m_scans.empty(); }));
  EXPECT_FALSE(m_scans[0].probeHttp);
  EXPECT_EQ(session.ScanTimer->interval(), 10000);
}

TEST_F(FormMain, ClosingHidesTheWindowAtOnceAndRequestsAStop) {
  TFormMain form(Services());
  form.show();
  form.close();
  EXPECT_FALSE(form.isVisible());
  EXPECT_TRUE(form.Session().Scan().StopRequested());
  EXPECT_EQ(m_endProcessCalls, 0) << "no pass runs: the event loop ends as usual";
}

// The process does not wait for the pass (its workers may take their whole web page budget):
// the close writes the export with every row found so far and ends the process at once.
TEST_F(ScanSession, ClosingDuringAPassEndsTheProcessAtOnceWithTheExportWritten) {
  TScanSession session(Services());
  session.ScanTimer->stop();
  session.DisplayTimer->stop();
  bool sawStopInsidePass = false;
  m_pass = [&](scan::TStatusCallback status, scan::TResultCallback found) {
    found("10.0.0.5", "10.0.0.5", "00:00:00:00:00:05", "http", "Not shown yet", {});
    session.Close();
    EXPECT_EQ(m_endProcessCalls, 1) << "the process ends inside the pass";
    status("42");
    sawStopInsidePass = session.Scan().StopRequested();
  };
  session.ScanTimerTimer();
  EXPECT_TRUE(sawStopInsidePass);
  QFile file(ExportFile());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(file.readAll().contains("Not shown yet"));
  session.ScanTimerTimer();  // should the process still run, the next tick ends it before any scan
  EXPECT_EQ(m_scans.size(), 1u);
  EXPECT_GE(m_endProcessCalls, 2);
}

TEST_F(ScanSession, ErrorEscapingATickIsShownAndTheTimerIsArmedAgain) {
  TScanSession session(Services());
  session.ScanTimer->stop();
  m_pass = [](scan::TStatusCallback, scan::TResultCallback) {
    throw std::runtime_error("Range check error");
  };
  session.ScanTimerTimer();
  ASSERT_EQ(m_errors.size(), 1u);
  EXPECT_EQ(ErrorBoxText(m_errors[0]), "Range check error.");
  EXPECT_TRUE(session.ScanTimer->isActive());
  EXPECT_EQ(session.ScanTimer->interval(), 10000);
}

// Three hosts arrive in one pass: the rows come one by one, with the window at 120, 139 and 158
// pixels as each is added, a tone for each, and the export rewritten after each.
TEST_F(FormMain, RowsArriveOneByOneAsTheWindowGrows) {
  QTemporaryDir soundDir;
  const QString capture = soundDir.filePath("capture.raw");
  QFile config(soundDir.filePath("asound.conf"));
  ASSERT_TRUE(config.open(QIODevice::WriteOnly));
  config.write(
      QStringLiteral("pcm.!default { type file slave.pcm \"null\" file \"%1\" format \"raw\" }\n"
                     "pcm.null { type null }\n")
          .arg(capture)
          .toUtf8());
  config.close();
  setenv("ALSA_CONFIG_PATH", config.fileName().toLocal8Bit().constData(), 1);

  TFormMain form(Services());
  TScanSession& session = form.Session();
  THostListModel* model = session.ListModel();
  form.show();
  std::vector<int> heights;
  std::vector<ino_t> exportsAtInsert;  // the export's inode: every rewrite makes a new file
  QObject::connect(model, &QAbstractItemModel::rowsInserted, [&] {
    heights.push_back(form.OuterHeight());
    exportsAtInsert.push_back(Inode(ExportFile()));
  });
  m_pass = [&](scan::TStatusCallback, scan::TResultCallback found) {
    found("10.0.0.3", "10.0.0.3", "00:00:0C:00:00:03", "", "", {});
    found("10.0.0.1", "10.0.0.1", "00:00:0C:00:00:01", "", "", {});
    found("10.0.0.2", "10.0.0.2", "00:00:0C:00:00:02", "", "", {});
  };
  ASSERT_TRUE(PumpUntil([&] { return session.DisplayedCount() == 3; }));
  EXPECT_EQ(heights, (std::vector<int>{120, 139, 158}));
  // Nothing before the first row; then the file is rewritten after every row.
  EXPECT_EQ(exportsAtInsert[0], 0u);
  EXPECT_NE(exportsAtInsert[1], 0u);
  EXPECT_NE(exportsAtInsert[2], exportsAtInsert[1]);
  EXPECT_NE(Inode(ExportFile()), exportsAtInsert[2]);
  EXPECT_EQ(ReadFile(ExportFile()),
            "host;ip;vendor;title;mac\r\n"
            "10.0.0.3;10.0.0.3;Cisco Systems, Inc;;00:00:0C:00:00:03\r\n"
            "10.0.0.1;10.0.0.1;Cisco Systems, Inc;;00:00:0C:00:00:01\r\n"
            "10.0.0.2;10.0.0.2;Cisco Systems, Inc;;00:00:0C:00:00:02\r\n");

  // The tone of the last row reached the sound device sample for sample.
  platform::WaitForPlayback();
  unsetenv("ALSA_CONFIG_PATH");
  const std::string captured = ReadFile(capture);
  const std::string samples(session.upWav.begin() + 44, session.upWav.end());
  ASSERT_GE(captured.size(), samples.size());
  EXPECT_EQ(captured.size() % samples.size(), 0u);
  EXPECT_EQ(captured.substr(captured.size() - samples.size()), samples);

  // Every scan tick ends by sorting the list by MAC.
  EXPECT_EQ(model->data(model->index(0, 4)).toString(), "00:00:0C:00:00:03");
  session.ScanTimerTimer();
  EXPECT_EQ(model->data(model->index(0, 4)).toString(), "00:00:0C:00:00:01");
  EXPECT_EQ(model->data(model->index(2, 4)).toString(), "00:00:0C:00:00:03");
}

TEST_F(FormMain, HeightStopsAtTheScreensAvailableHeightAndTheListScrolls) {
  TSessionServices services = Services();
  services.Delay = [](int32_t) {};
  TFormMain form(services);
  TScanSession& session = form.Session();
  session.ScanTimer->stop();
  form.show();
  const int available = form.screen()->availableGeometry().height();
  const int rows = (available - 120) / 19 + 10;
  for (int i = 0; i < rows; ++i) {
    char mac[32];
    std::snprintf(mac, sizeof mac, "00:00:00:00:%02X:%02X", (i / 256) & 0xFF, i % 256);
    Report(session, "10.0.1." + std::to_string(i), mac);
  }
  session.DisplayTimerTimer();
  EXPECT_EQ(session.DisplayedCount(), rows);
  EXPECT_EQ(form.OuterHeight(), available);
  QCoreApplication::processEvents();
  EXPECT_GT(List(form)->verticalScrollBar()->maximum(), 0);
}

TEST_F(ScanSession, NothingIsWrittenBeforeTheFirstRow) {
  QFile old(ExportFile());
  ASSERT_TRUE(old.open(QIODevice::WriteOnly));
  old.write("left by an earlier run\r\n");
  old.close();
  TScanSession session(Services());
  session.ScanTimer->stop();
  session.DisplayTimerTimer();
  EXPECT_EQ(ReadFile(ExportFile()), "left by an earlier run\r\n");
}

// Pass 2 brings titles and names for hosts already listed: the export must carry them even when
// no new row arrives, and the views hear of them at the next display tick, while the pass
// still runs.
TEST_F(ScanSession, ChangedListedRowsReachTheExportWithoutANewRow) {
  TSessionServices services = Services();
  services.Delay = [](int32_t) {};
  TScanSession session(services);
  session.ScanTimer->stop();
  Report(session, "10.0.0.1", "00:00:0C:00:00:01");
  session.DisplayTimerTimer();
  ASSERT_EQ(session.DisplayedCount(), 1);
  QFile::remove(ExportFile());
  session.DisplayTimerTimer();
  EXPECT_EQ(ReadFile(ExportFile()), "<missing>") << "nothing changed, nothing rewritten";
  QSignalSpy changed(session.ListModel(), &QAbstractItemModel::dataChanged);
  Report(session, "10.0.0.1", "00:00:0C:00:00:01", "Router login");
  const QModelIndex title = session.ListModel()->index(0, 3);
  EXPECT_EQ(title.data().toString(), "") << "a view asking before the tick sees what it was told";
  session.DisplayTimerTimer();
  ASSERT_EQ(changed.count(), 1) << "the views hear of the changed row at the tick";
  EXPECT_EQ(changed[0][0].toModelIndex().row(), 0);
  EXPECT_EQ(title.data().toString(), "Router login");
  EXPECT_EQ(ReadFile(ExportFile()),
            "host;ip;vendor;title;mac\r\n"
            "10.0.0.1;10.0.0.1;Cisco Systems, Inc;Router login;00:00:0C:00:00:01\r\n");
}

// The window's own driver over a fake network: a third of the threads cannot start and the
// others' ARP requests wait, so the pass's final wait shows 170 * 50 / 255 + 50.
TEST_F(FormMain, ProgressBarShowsTheScanProgress) {
  scantest::TFakeNetwork network;
  network.SetAdapters({{"10.0.0.1", "255.255.255.0"}});
  network.RefuseEveryNthThread(3);
  network.HoldRequests();
  TSessionServices services = Services();
  services.ScanNetwork = nullptr;
  services.Network = &network;
  TFormMain form(services);
  TScanSession& session = form.Session();
  QProgressBar* progress = Child<QProgressBar>(form, "Progress");
  ASSERT_NE(progress, nullptr);
  session.ScanTimer->stop();
  session.DisplayTimer->stop();
  int shown = -1;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (session.Scan().Progress() == 0) return;
    session.DisplayTimerTimer();
    shown = progress->value();
    network.ReleaseRequests();
    poll.stop();
  });
  poll.start(5);
  session.ScanTimerTimer();
  network.ReleaseRequests();
  EXPECT_EQ(progress->maximum(), 100);
  EXPECT_EQ(shown, 83);
  EXPECT_EQ(network.ProbedAddresses().size(), 170u);
}

class FormMainWithRows : public FormMain {
 protected:
  void SetUp() override {
    TSessionServices services = Services();
    services.Delay = [](int32_t) {};
    m_form = std::make_unique<TFormMain>(services);
    m_form->Session().ScanTimer->stop();
    Report(m_form->Session(), "10.0.0.1", "00:00:0C:00:00:01");
    Report(m_form->Session(), "10.0.0.2", "00:00:0C:00:00:02");
    m_form->Session().DisplayTimerTimer();
    m_form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_form.get()));
  }
  QPoint CellCentre(int row, int column) {
    return List(*m_form)->visualRect(m_form->Session().ListModel()->index(row, column)).center();
  }
  QWidget* Viewport() { return List(*m_form)->viewport(); }
  std::unique_ptr<TFormMain> m_form;
};

TEST_F(FormMainWithRows, LeftClickOnAnyCellOpensTheDevicesPage) {
  QTest::mouseClick(Viewport(), Qt::LeftButton, {}, CellCentre(1, 3));
  EXPECT_EQ(m_opened, (std::vector<std::string>{"http://10.0.0.2"}));
}

TEST_F(FormMainWithRows, RightAndMiddleClicksAndClicksBelowTheRowsDoNothing) {
  QTest::mouseClick(Viewport(), Qt::RightButton, {}, CellCentre(0, 1));
  QTest::mouseClick(Viewport(), Qt::MiddleButton, {}, CellCentre(0, 1));
  QTest::mouseClick(Viewport(), Qt::LeftButton, {}, CellCentre(1, 1) + QPoint(0, 200));
  EXPECT_TRUE(m_opened.empty());
}

TEST_F(FormMainWithRows, ExpiredRowsHostNameCellPaintsRed) {
  // No hover highlight and no focus frame (the style tints the current row) over the cells.
  QTest::mouseMove(Child(*m_form, "Panel1"), QPoint(5, 5));
  List(*m_form)->setCurrentIndex({});
  const QPoint nameCell = CellCentre(0, 0) + QPoint(60, 0);  // right of the text
  const QPoint ipCell = CellCentre(0, 1) + QPoint(50, 0);
  QImage before = Viewport()->grab().toImage();
  EXPECT_EQ(before.pixelColor(nameCell), QColor(Qt::white));
  m_now += 19.0 / 86400.0;
  Report(m_form->Session(), "10.0.0.2", "00:00:0C:00:00:02");  // confirmed: stays white
  m_form->Session().TimeOutTimerTimer();
  QImage after = Viewport()->grab().toImage();
  EXPECT_EQ(after.pixelColor(nameCell), QColor(Qt::red));
  EXPECT_NE(after.pixelColor(ipCell), QColor(Qt::red));
  EXPECT_EQ(after.pixelColor(CellCentre(1, 0) + QPoint(60, 0)), QColor(Qt::white));
}

}  // namespace
// Two runs over one history: the second run's rows carry their marks in words, icons and bold,
// and the same words reach screen readers.
class ScanSessionHistory : public ScanSession {
 protected:
  std::unique_ptr<TScanSession> Run(const std::function<void(TScanSession&)>& report) {
    TSessionServices services = Services();
    services.Delay = [](int32_t) {};
    auto session = std::make_unique<TScanSession>(services);
    session->ScanTimer->stop();
    report(*session);
    session->DisplayTimerTimer();
    return session;
  }
  // The words of a row's tooltip, as the host cell's accessible description holds them.
  QString Tip(TScanSession& session, const std::string& mac,
              int role = Qt::AccessibleDescriptionRole) {
    const QModelIndex cell = Cell(session, mac);
    return cell.isValid() ? cell.data(role).toString() : QStringLiteral("<no row>");
  }
  QModelIndex Cell(TScanSession& session, const std::string& mac, int column = 0) {
    const THostListModel& model = *session.ListModel();
    for (int r = 0; r < model.rowCount(); ++r) {
      if (model.index(r, 4).data().toString().toStdString() == mac) return model.index(r, column);
    }
    return {};
  }
};

TEST_F(ScanSessionHistory, SecondRunMarksNewMovedConflictingAndLocalDevicesInWords) {
  Run([&](TScanSession& session) {
    Report(session, "10.0.0.1", "00:00:0C:00:00:01");
    Report(session, "10.0.0.2", "00:00:0C:00:00:02");
    Report(session, "10.0.0.3", "00:00:0C:00:00:03");
  }).reset();

  scan::THostDetails conflict;
  conflict.OtherMac = "00:00:0C:00:00:99";
  scan::THostDetails named;
  named.Evidence = {{"Name", "Living room TV", "UPnP"}, {"Model", "Bravia", "DNS-SD"}};
  named.DeviceType = scan::TDeviceType::MediaPlayer;
  auto session = Run([&](TScanSession& f) {
    Report(f, "10.0.0.1", "00:00:0C:00:00:01");  // known, same address
    Report(f, "10.0.0.7", "00:00:0C:00:00:02");  // moved
    f.HostFound("10.0.0.3", "10.0.0.3", "00:00:0C:00:00:03", "", "", conflict);
    f.HostFound("10.0.0.4", "10.0.0.4", "00:00:0C:00:00:04", "http", "", named);  // new
    Report(f, "10.0.0.5", "DA:A1:19:00:00:05");  // locally administered
    Report(f, "10.0.0.8", "00:00:0C:00:00:08");  // one MAC, two addresses
    Report(f, "10.0.0.9", "00:00:0C:00:00:08");
  });
  EXPECT_TRUE(session->HistoryStatus().startsWith("Device history: 3 devices known"))
      << session->HistoryStatus().toStdString();

  const QString known = Tip(*session, "00:00:0C:00:00:01");
  EXPECT_TRUE(known.startsWith("Known since ")) << known.toStdString();
  EXPECT_TRUE(known.contains(" at 10.0.0.1")) << known.toStdString();
  EXPECT_FALSE(known.contains("Moved")) << known.toStdString();
  EXPECT_TRUE(known.contains("Vendor: Cisco Systems, Inc (IEEE registry)")) << known.toStdString();
  EXPECT_TRUE(Tip(*session, "00:00:0C:00:00:02").contains("\nMoved from 10.0.0.2"));
  EXPECT_TRUE(
      Tip(*session, "00:00:0C:00:00:03").contains("10.0.0.3 also answered from 00:00:0C:00:00:99"));
  EXPECT_TRUE(
      Tip(*session, "00:00:0C:00:00:08").contains("00:00:0C:00:00:08 also answered for 10.0.0.8"));
  const QString fresh = Tip(*session, "00:00:0C:00:00:04");
  EXPECT_EQ(fresh.left(fresh.indexOf("\nVendor")),
            "New: first seen now\nTV or media player\nName: Living room TV (UPnP)\n"
            "Model: Bravia (DNS-SD)");
  EXPECT_EQ(Cell(*session, "DA:A1:19:00:00:05", 2).data().toString(), "Locally administered");
  EXPECT_TRUE(Tip(*session, "DA:A1:19:00:00:05").contains("Locally administered MAC"));

  // Marks are never colour alone: bold and an icon for new rows, an icon for moved and
  // conflicting ones; the host cell's text stays dark on its own red or white.
  EXPECT_TRUE(Cell(*session, "00:00:0C:00:00:04", 3).data(Qt::FontRole).value<QFont>().bold());
  EXPECT_FALSE(Cell(*session, "00:00:0C:00:00:01").data(Qt::FontRole).isValid());
  EXPECT_TRUE(Cell(*session, "00:00:0C:00:00:01").data(Qt::DecorationRole).value<QIcon>().isNull());
  for (const char* mac : {"00:00:0C:00:00:02", "00:00:0C:00:00:03", "00:00:0C:00:00:04"})
    EXPECT_FALSE(Cell(*session, mac).data(Qt::DecorationRole).value<QIcon>().isNull()) << mac;
  EXPECT_EQ(Cell(*session, "00:00:0C:00:00:01").data(Qt::ForegroundRole).value<QColor>(),
            QColor(Qt::black));

  // Screen readers get the tooltip's words as the host cell's description.
  EXPECT_EQ(Tip(*session, "00:00:0C:00:00:02", Qt::ToolTipRole),
            THostListModel::TipText(Tip(*session, "00:00:0C:00:00:02")));
  m_now += 19.0 / 86400.0;
  session->TimeOutTimerTimer();
  EXPECT_TRUE(Tip(*session, "00:00:0C:00:00:04", Qt::AccessibleDescriptionRole)
                  .startsWith("Not seen again\nNew: first seen now"));
}

// The window says how the history stands in its header (escaped in the tooltip, plain for
// screen readers), its list has a name, and Enter on a row opens its page as a click does.
class FormMainHistory : public ScanSessionHistory {};

TEST_F(FormMainHistory, HeaderSaysHowTheHistoryStandsAndEnterOpensARowsPage) {
  Run([&](TScanSession& session) { Report(session, "10.0.0.2", "00:00:0C:00:00:02"); }).reset();
  TSessionServices services = Services();
  services.Delay = [](int32_t) {};
  TFormMain form(services);
  TScanSession& session = form.Session();
  session.ScanTimer->stop();
  Report(session, "10.0.0.7", "00:00:0C:00:00:02");  // moved
  Report(session, "10.0.0.4", "00:00:0C:00:00:04");  // new
  session.DisplayTimerTimer();
  EXPECT_TRUE(form.HistoryStatus().startsWith("Device history: 1 device known"))
      << form.HistoryStatus().toStdString();
  EXPECT_EQ(form.HistoryStatus(), session.HistoryStatus());
  EXPECT_EQ(Child(form, "Panel1")->toolTip(), THostListModel::TipText(form.HistoryStatus()));
  QTreeView* list = List(form);
  EXPECT_FALSE(list->accessibleName().isEmpty());

  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  list->setFocus();
  list->setCurrentIndex(Cell(session, "00:00:0C:00:00:02", 2));
  QTest::keyClick(list, Qt::Key_Return);
  list->setCurrentIndex(Cell(session, "00:00:0C:00:00:04"));
  QTest::keyClick(list, Qt::Key_Enter);
  EXPECT_EQ(m_opened, (std::vector<std::string>{"http://10.0.0.7", "http://10.0.0.4"}));
}

// A history that cannot be used never stops the session: it lists devices, says why the
// history is off, and a damaged file is kept aside, never overwritten.
TEST_F(ScanSessionHistory, BrokenHistoryLeavesTheListWorkingAndSaysWhy) {
  const QString folder = m_dir.filePath("history");
  const QString file = folder + "/history.sqlite";
  const auto makeDb = [&](const char* sql) {
    QDir().mkpath(folder);
    sqlite3* db = nullptr;
    sqlite3_open(file.toLocal8Bit(), &db);
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_close(db);
  };
  const auto writeFile = [&](const QString& path, const QByteArray& bytes) {
    QFile out(path);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(bytes);
  };
  const QByteArray garbage(8192, 'x');
  struct TCase {
    const char* name;
    std::function<void()> prepare;
    const char* says;
  };
  std::unique_ptr<THistory> holder;
  const std::vector<TCase> cases = {
      {"missing", [] {}, "Device history: started with this run"},
      {"folder cannot be made", [&] { writeFile(folder, "not a folder"); }, "cannot be made"},
      {"file unreadable", [&] { QDir().mkpath(file); }, "cannot be read"},
      {"damaged", [&] { QDir().mkpath(folder), writeFile(file, garbage); },
       "is damaged; it was kept as"},
      {"newer layout", [&] { makeDb("CREATE TABLE t(x); PRAGMA user_version=9;"); },
       "later quenZOR"},
      {"locked by another copy",
       [&] { holder = std::make_unique<THistory>(folder.toStdString(), 1); },
       "in use by another copy"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    QDir(folder).removeRecursively();
    QFile::remove(folder);
    c.prepare();
    auto session = Run([&](TScanSession& f) { Report(f, "10.0.0.1", "00:00:0C:00:00:01"); });
    EXPECT_EQ(session->DisplayedCount(), 1);
    EXPECT_TRUE(session->HistoryStatus().contains(c.says))
        << session->HistoryStatus().toStdString();
    session.reset();
    holder.reset();
  }
  // The damaged file lies beside the new one, byte for byte; the next run starts afresh.
  QDir().mkpath(folder);
  writeFile(file, garbage);
  Run([&](TScanSession& f) { Report(f, "10.0.0.1", "00:00:0C:00:00:01"); }).reset();
  writeFile(file, garbage);
  Run([&](TScanSession& f) { Report(f, "10.0.0.1", "00:00:0C:00:00:01"); }).reset();
  const QStringList kept = QDir(folder).entryList({"history.sqlite.damaged-*"});
  ASSERT_EQ(kept.size(), 2) << "a second damaged file does not replace the first";
  for (const QString& name : kept) {
    QFile in(folder + "/" + name);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    EXPECT_EQ(in.readAll(), garbage);
  }
  auto session = Run([&](TScanSession& f) { Report(f, "10.0.0.1", "00:00:0C:00:00:01"); });
  EXPECT_TRUE(session->HistoryStatus().startsWith("Device history: "))
      << session->HistoryStatus().toStdString();
  struct stat info {};
  ASSERT_EQ(::stat(file.toLocal8Bit(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(folder.toLocal8Bit(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

}  // namespace app
