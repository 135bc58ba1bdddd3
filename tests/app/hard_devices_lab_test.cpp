// Devices that are hard to find, found by the program's scan session in raw mode: one that
// answers late, one in power save that misses every broadcast once the history knows it, one that
// ignores who-has frames coming too close together, and spoofers that answer for a real
// device with a zero MAC or with several fake ones.

#include "app/scansession.h"
#include "app/hostlistmodel.h"
#include "app/hosttable.h"
#include "app/labsession.h"
#include "lab/lab.h"
#include "netinfo/arp.h"
#include "scan/systemnetwork.h"

#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using app::HostRecord;

constexpr const char* kNormal = "192.168.86.10";
constexpr const char* kLate = "192.168.86.20";
constexpr const char* kDozing = "192.168.86.30";
constexpr const char* kDozingMac = "DA:A1:19:86:00:30";
constexpr const char* kSpacing = "192.168.86.40";
constexpr const char* kZeroSpoofed = "192.168.86.50";
constexpr const char* kManySpoofed = "192.168.86.51";

class HardDevicesLab : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!lab::HaveRoot()) return;
    s_lab = std::make_unique<lab::TLab>();
    s_lab->AddSegment("192.168.86.2/24", "02:00:00:00:86:02");
    s_lab->AddHost({kNormal, "00:00:0c:86:00:10", "", 0});
    s_lab->AddHost({kLate, "00:50:56:86:00:20", "", 0});
    s_lab->AddHost({kDozing, "da:a1:19:86:00:30", "", 0});
    s_lab->AddHost({kSpacing, "00:00:0c:86:00:40", "", 0});
    s_lab->AddHost({kZeroSpoofed, "00:00:0c:86:00:50", "", 0});
    s_lab->AddHost({kManySpoofed, "00:00:0c:86:00:51", "", 0});
    s_lab->Up();
    s_lab->StartArpResponder(kLate, {.delayMs = 1600});
    s_dozing = s_lab->StartArpResponder(kDozing, {});
    // Each of these answers from every listed MAC in turn: the real device among spoofers.
    s_lab->StartArpResponder(kZeroSpoofed, {.fromMacs = {"00:00:00:00:00:00", "02:de:ad:00:00:01",
                                                         "00:00:0c:86:00:50"}});
    s_lab->StartArpResponder(
        kManySpoofed, {.fromMacs = {"02:de:ad:00:00:02", "02:de:ad:00:00:03", "02:de:ad:00:00:04",
                                    "00:00:0c:86:00:51"}});
    lab::TScannerScope scope(*s_lab);
    s_resolver = netinfo::MakeArpResolver(netinfo::TArpMode::Raw, QZ_ARP_HELPER_PATH);
  }
  static void TearDownTestSuite() {
    s_resolver.reset();
    s_lab.reset();
  }
  void SetUp() override {
    QZ_REQUIRE_LAB();
    ASSERT_TRUE(s_lab);
    s_lab->RunInScanner({"ip", "neigh", "flush", "all"});
  }

  // One run of the program's first pass over the lab, with the history in this test's folder,
  // and the late answers it still hears after the pass. Returns the rows of the run.
  std::vector<HostRecord> RunFirstPass() {
    lab::TScannerScope scope(*s_lab);
    app::THostTable table;
    scan::TSystemNetwork network(*s_resolver);
    const app::TSessionServices services = app::LabSessionServices(table, network, m_dir);
    std::vector<HostRecord> rows;
    {
      app::TScanSession session(services);
      session.ScanTimer->stop();
      session.DisplayTimer->stop();
      session.TimeOutTimer->stop();
      session.ScanTimerTimer();
      std::this_thread::sleep_for(std::chrono::milliseconds(netinfo::kArpListenMs));
      session.DisplayTimerTimer();  // lists the rows, so the history keeps them
      session.Close();
      for (int32_t i = 0; i < table.RowCount(); ++i) rows.push_back(table.Row(i));
    }
    return rows;
  }

  static std::vector<HostRecord> RowsFor(const std::vector<HostRecord>& rows,
                                         const std::string& address) {
    std::vector<HostRecord> found;
    for (const HostRecord& row : rows) {
      if (row.IpAddress == address) found.push_back(row);
    }
    return found;
  }

  QTemporaryDir m_dir;
  static std::unique_ptr<lab::TLab> s_lab;
  static std::unique_ptr<netinfo::TArpResolver> s_resolver;
  static pid_t s_dozing;
};

std::unique_ptr<lab::TLab> HardDevicesLab::s_lab;
std::unique_ptr<netinfo::TArpResolver> HardDevicesLab::s_resolver;
pid_t HardDevicesLab::s_dozing = 0;

// Its answer comes 1.6 s after each who-has: long after the worker for its address gave up,
// yet within the window in which answers still count. It gets its row from that answer.
TEST_F(HardDevicesLab, LateDeviceGetsItsRowWhenItsAnswerComes) {
  const std::vector<HostRecord> rows = RunFirstPass();
  const std::vector<HostRecord> late = RowsFor(rows, kLate);
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0].MacAddress, "00:50:56:86:00:20");
  EXPECT_EQ(late[0].HostName, kLate);
  EXPECT_EQ(RowsFor(rows, kNormal).size(), 1u);
}

// It ignores every who-has that follows the one before by less than 400 ms, and the first one
// only wakes it: rounds 250 ms apart never reach it, rounds at least 450 ms apart do.
TEST_F(HardDevicesLab, DeviceThatNeedsSpacedFramesIsFound) {
  const pid_t spacing = s_lab->StartArpResponder(kSpacing, {.spacingMs = 400});
  const std::vector<HostRecord> rows = RunFirstPass();
  s_lab->StopProcess(spacing);
  const std::vector<HostRecord> found = RowsFor(rows, kSpacing);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].MacAddress, "00:00:0C:86:00:40");
}

// Awake in the first run, it is listed and remembered. Then it dozes and misses every
// broadcast who-has, but gets what is sent to its MAC: the next run asks it there.
TEST_F(HardDevicesLab, DozingDeviceIsFoundByUnicastInTheNextRun) {
  ASSERT_EQ(RowsFor(RunFirstPass(), kDozing).size(), 1u) << "awake: found by broadcast";
  s_lab->StopProcess(s_dozing);
  s_dozing = s_lab->StartArpResponder(kDozing, {.dozePercent = 100});
  const std::vector<HostRecord> found = RowsFor(RunFirstPass(), kDozing);
  ASSERT_EQ(found.size(), 1u) << "dozing: found only by the who-has sent to its MAC";
  EXPECT_EQ(found[0].MacAddress, kDozingMac);
}

// A zero MAC is nobody's answer; several fake MACs neither hide the real device nor make more
// than two rows for its address, and every row of the address says who else answered.
TEST_F(HardDevicesLab, SpoofersNeitherHideTheRealDeviceNorAddMoreThanTwoRows) {
  const std::vector<HostRecord> rows = RunFirstPass();
  for (const HostRecord& row : rows) EXPECT_NE(row.MacAddress, "00:00:00:00:00:00");

  const std::vector<HostRecord> zero = RowsFor(rows, kZeroSpoofed);
  ASSERT_EQ(zero.size(), 2u);
  for (const HostRecord& row : zero) {
    const std::string other =
        row.MacAddress == "02:DE:AD:00:00:01" ? "00:00:0C:86:00:50" : "02:DE:AD:00:00:01";
    EXPECT_EQ(row.OtherMacs, std::vector<std::string>{other}) << row.MacAddress;
    EXPECT_EQ(app::THostListModel::OtherMacsText(row).toStdString(), other);
  }

  const std::vector<HostRecord> many = RowsFor(rows, kManySpoofed);
  ASSERT_EQ(many.size(), 2u);
  for (const HostRecord& row : many) {
    EXPECT_EQ(row.OtherMacCount, 3) << row.MacAddress;
    std::vector<std::string> all = row.OtherMacs;
    all.push_back(row.MacAddress);
    EXPECT_NE(std::find(all.begin(), all.end(), "00:00:0C:86:00:51"), all.end())
        << "the real device is a row or is named: " << row.MacAddress;
    EXPECT_TRUE(app::THostListModel::RowDescription(row, nullptr)
                    .startsWith(QStringLiteral("192.168.86.51 also answered from ")));
  }
}

}  // namespace
