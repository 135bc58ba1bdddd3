#include "scan/scandriver.h"

#include "scanfakes.h"
#include "scanrecorder.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using scantest::TPassRecorder;
using scantest::TReport;

constexpr char kMask24[] = "255.255.255.0";

std::vector<std::string> AddressRun(const std::string& prefix, int from, int to) {
  std::vector<std::string> addresses;
  for (int i = from; i <= to; ++i) addresses.push_back(prefix + std::to_string(i));
  return addresses;
}

TEST(PassDuration, ShowsMinutesThenSecondsTwice) {
  EXPECT_EQ(scan::FormatPassDuration(75.4 / 86400.0), "01:15:15");
  EXPECT_EQ(scan::FormatPassDuration(0.0), "00:00:00");
  EXPECT_EQ(scan::FormatPassDuration(3661.0 / 86400.0), "01:01:01");   // hours are not shown
  EXPECT_EQ(scan::FormatPassDuration(59.9996 / 86400.0), "01:00:00");  // to the nearest ms
  EXPECT_EQ(scan::FormatPassDuration(-1.0), "00:00:00");
}

class ScanDriver : public testing::Test {
 protected:
  void TearDown() override {
    // Idle after its pass: a new one runs (over no selected address: it starts nothing).
    EXPECT_FALSE(m_driver.Busy());
    EXPECT_EQ(m_driver.RunningWorkers(), 0);
    m_network.SetAdapters({});
    TPassRecorder next;
    m_driver.ScanNetwork(false, false, next.Status(), next.Results());
    EXPECT_TRUE(scantest::HasPassTexts(next.Milestones()));
  }

  // A pass whose ARP requests all wait until the final wait has begun; returns the progress
  // the driver shows then, while every worker it started is still running.
  int32_t ProgressInTheFinalWait(scan::TScanDriver& driver, TPassRecorder& pass) {
    int32_t progress = -1;
    m_network.HoldRequests();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (driver.Progress() == 0) return;  // the wait sets it; the sweep leaves it at 0 here
      progress = driver.Progress();
      m_network.ReleaseRequests();
      poll.stop();
    });
    poll.start(5);
    driver.ScanNetwork(false, false, pass.Status(), pass.Results());
    m_network.ReleaseRequests();
    return progress;
  }

  scantest::TFakeNetwork m_network;
  scan::TScanDriver m_driver{m_network, 50};
  TPassRecorder m_pass;
};

TEST_F(ScanDriver, SelectsAddressesByTextPrefix) {
  m_network.SetAdapters({{"10.1.2.3", kMask24},
                         {"172.16.0.5", kMask24},
                         {"172.31.255.1", kMask24},
                         {"192.168.0.10", kMask24},
                         {"172.160.5.9", kMask24},
                         {"172.15.0.1", kMask24},
                         {"172.32.0.1", kMask24},
                         {"11.0.0.1", kMask24},
                         {"192.169.0.1", kMask24}});
  m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());

  std::vector<std::string> probed = m_network.ProbedAddresses();
  std::sort(probed.begin(), probed.end());
  std::vector<std::string> expected;
  for (const char* prefix : {"10.1.2.", "172.16.0.", "172.31.255.", "192.168.0.", "172.160.5."}) {
    const std::vector<std::string> run = AddressRun(prefix, 1, 255);
    expected.insert(expected.end(), run.begin(), run.end());
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(probed, expected);
  EXPECT_EQ(m_network.Counts().StartedThreads(), 5 * 255);
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));
}

TEST_F(ScanDriver, SweepsTheRunInOrderAcrossIntoTheNextNetwork) {
  // With a limit of 0 only one worker runs at a time, so the ARP requests come in start order.
  scan::TScanDriver driver(m_network, 0);
  m_network.SetAdapters({{"10.0.0.200", "255.255.255.128"}});
  driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());

  std::vector<std::string> expected = AddressRun("10.0.0.", 129, 255);
  const std::vector<std::string> next = AddressRun("10.0.1.", 0, 127);
  expected.insert(expected.end(), next.begin(), next.end());
  EXPECT_EQ(m_network.ProbedAddresses(), expected);
  EXPECT_EQ(m_network.Counts().PeakRunningWorkers(), 1);
}

TEST_F(ScanDriver, NoSelectedAddressStillReportsThePass) {
  // An earlier pass left its progress up; this one starts it from 0 and leaves it there.
  scan::TScanDriver driver(m_network);
  m_network.SetAdapters({{"192.168.1.77", kMask24}});
  TPassRecorder earlier;
  ASSERT_EQ(ProgressInTheFinalWait(driver, earlier), 100);
  ASSERT_GT(driver.Progress(), 0);
  m_network.Counts().Reset();

  m_network.SetAdapters({{"8.8.4.4", kMask24}, {"0.0.0.0", "0.0.0.0"}});
  driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());
  EXPECT_EQ(driver.Progress(), 0);
  EXPECT_EQ(m_network.Counts().StartedThreads(), 0);
  ASSERT_TRUE(scantest::HasPassTexts(m_pass.statusTexts));
  EXPECT_EQ(m_pass.statusTexts[3], "All done. 00:00:00");
}
scan::THostDetails Other(const std::string& mac) {
  scan::THostDetails details;
  details.OtherMac = mac;
  return details;
}

TEST_F(ScanDriver, ReportsAlwaysShowSixMacBytes) {
  m_network.SetAdapters({{"192.168.1.77", kMask24}});
  m_network.SetAnswers({{"192.168.1.20", {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}}},
                        {"192.168.1.21", {{0x0A, 0x0B, 0x0C}}},
                        {"192.168.1.22", {{}}},
                        {"192.168.1.23", {{1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 7}}}},
                       0);
  m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());

  std::vector<scantest::TReport> reports = m_pass.Reports();
  std::sort(reports.begin(), reports.end(),
            [](const auto& a, const auto& b) { return a.ip + a.mac < b.ip + b.mac; });
  const std::vector<scantest::TReport> expected = {
      {"192.168.1.20", "192.168.1.20", "00:1A:2B:3C:4D:5E", "", ""},
      {"192.168.1.21", "192.168.1.21", "0A:0B:0C:00:00:00", "", ""},
      // Two stations answered: a row for each MAC, each naming the other.
      {"192.168.1.23", "192.168.1.23", "01:02:03:04:05:06", "", "", Other("01:02:03:04:05:07")},
      {"192.168.1.23", "192.168.1.23", "01:02:03:04:05:07", "", "", Other("01:02:03:04:05:06")}};
  EXPECT_EQ(reports, expected);  // a reply of no bytes is no answer
}

TEST_F(ScanDriver, AbsentResultCallbackReportsNothing) {
  m_network.SetAdapters({{"192.168.1.77", kMask24}});
  m_network.SetAnswers({{"192.168.1.20", {{1, 2, 3, 4, 5, 6}}}}, 0);
  m_driver.ScanNetwork(false, false, m_pass.Status(), nullptr);
  EXPECT_EQ(m_network.ProbedAddresses().size(), 255u);
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));
}

TEST_F(ScanDriver, ErrorInResultCallbackStillCountsTheWorkerOut) {
  m_network.SetAdapters({{"192.168.1.77", kMask24}});
  m_network.SetAnswers(
      {{"192.168.1.20", {{1, 2, 3, 4, 5, 6}}}, {"192.168.1.30", {{1, 2, 3, 4, 5, 7}}}}, 0);
  std::atomic<int> calls{0};
  m_driver.ScanNetwork(false, false, m_pass.Status(),
                       [&](const std::string&, const std::string&, const std::string&,
                           const std::string&, const std::string&, const scan::THostDetails&) {
                         ++calls;
                         throw std::runtime_error("callback failed");
                       });
  EXPECT_EQ(calls.load(), 2);  // the lock was released after the first failure
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));
}

TEST_F(ScanDriver, ThreadThatCannotStartSkipsOnlyItsAddress) {
  m_network.SetAdapters({{"192.168.1.77", kMask24}});
  m_network.RefuseEveryNthThread(3);
  m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());

  EXPECT_EQ(m_network.Counts().StartedThreads(), 170);
  EXPECT_EQ(m_network.Counts().RefusedThreads(), 85);
  EXPECT_EQ(m_network.ProbedAddresses().size(), 170u);
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));

  // The next pass runs normally.
  m_network.RefuseEveryNthThread(0);
  m_network.Counts().Reset();
  TPassRecorder next;
  m_driver.ScanNetwork(false, false, next.Status(), next.Results());
  EXPECT_EQ(m_network.Counts().StartedThreads(), 255);
  EXPECT_TRUE(scantest::HasPassTexts(next.Milestones()));
}

TEST_F(ScanDriver, UnformableFirstHostSkipsThatAddressYetCountsItsRunInTheProgress) {
  scan::TScanDriver driver(m_network);
  m_network.SetAdapters({{"10.0.0.255", "255.255.255.255"}, {"10.0.1.5", kMask24}});
  // 255 of 510 workers' worth still running: 255 * 50 / 510 + 50.
  EXPECT_EQ(ProgressInTheFinalWait(driver, m_pass), 75);
  EXPECT_EQ(m_network.Counts().StartedThreads(), 255);
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));
}

TEST_F(ScanDriver, ThrottleKeepsAtMostLimitPlusOneRunning) {
  m_network.SetAdapters({{"192.168.1.77", kMask24}});
  m_network.SetAnswers({}, 100);
  std::vector<std::pair<std::string, int32_t>> seen;  // each status text, the progress then
  m_driver.ScanNetwork(
      false, false,
      [&](const std::string& text) {
        m_pass.statusTexts.push_back(text);
        seen.emplace_back(text, m_driver.Progress());
      },
      m_pass.Results());

  EXPECT_LE(m_network.Counts().PeakRunningWorkers(), 51);
  EXPECT_GE(m_network.Counts().PeakRunningWorkers(), 2);
  EXPECT_EQ(m_network.Counts().StartedThreads(), 255);
  // The throttle reported running counts, each followed by the sweep's half of the progress:
  // running * 50 / 255.
  ASSERT_GT(seen.size(), 5u);
  for (size_t i = 1; i + 3 < seen.size(); ++i) {
    EXPECT_EQ(seen[i + 1].second, std::stoi(seen[i].first) * 50 / 255) << seen[i].first;
  }
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));
  EXPECT_GE(m_driver.Progress(), 50);
  EXPECT_LE(m_driver.Progress(), 60);
}

TEST_F(ScanDriver, FirstPassAllowsMoreWorkersThenFifty) {
  scan::TScanDriver driver(m_network);
  m_network.SetAdapters({{"192.168.1.77", kMask24}});
  // Every request waits until all 255 workers wait in theirs: a first pass runs them at once.
  m_network.HoldRequests();
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (m_network.Counts().PeakRunningWorkers() == 255) m_network.ReleaseRequests();
  });
  poll.start(5);
  driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());
  poll.stop();
  EXPECT_EQ(m_pass.Milestones().size(), m_pass.statusTexts.size());  // the throttle never held it
  EXPECT_EQ(m_network.Counts().PeakRunningWorkers(), 255);

  // Later the throttle holds at 51 running: requests wait until it first reports a count.
  m_network.Counts().Reset();
  m_network.HoldRequests();
  TPassRecorder later;
  const scan::TStatusCallback record = later.Status();
  driver.ScanNetwork(
      false, false,
      [&](const std::string& text) {
        record(text);
        if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
          m_network.ReleaseRequests();
      },
      later.Results());
  m_network.ReleaseRequests();
  EXPECT_LE(m_network.Counts().PeakRunningWorkers(), 51);
  EXPECT_GT(later.statusTexts.size(), later.Milestones().size());
}

TEST_F(ScanDriver, PassInsideATimerTickStillCountsItsWorkersOut) {
  // As the program runs it: the pass blocks a timer tick of the running event loop, and the
  // workers' end handlers arrive through the driver's nested message dispatch.
  m_network.SetAdapters({{"192.168.1.77", kMask24}});
  m_network.SetAnswers({}, 20);
  QEventLoop loop;
  QTimer::singleShot(0, &loop, [&] {
    m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());
    loop.quit();
  });
  loop.exec();
  EXPECT_EQ(m_network.Counts().StartedThreads(), 255);
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));
}

TEST_F(ScanDriver, ErrorInStatusCallbackLeavesTheEngineIdleAfterItsWorkers) {
  m_network.SetAdapters({{"192.168.1.77", kMask24}});
  m_network.SetAnswers({}, 300);
  auto status = [](const std::string& text) {
    if (text.find_first_not_of("0123456789") == std::string::npos)
      throw std::runtime_error("status failed");
  };
  EXPECT_THROW(m_driver.ScanNetwork(false, false, status, m_pass.Results()), std::runtime_error);
  // The workers already started were waited for (TearDown checks the idle state).
  EXPECT_EQ(m_network.Counts().StartedThreads(), 51);
  EXPECT_EQ(m_network.ProbedAddresses().size(), 51u);
}

}  // namespace

namespace {

// Stations heard late reach the heard report whether a pass runs or not; in a pass with pages
// each address is probed once by a worker of the pass (a heard MAC is known: no ARP request).
// Answers of one pass are asked at their MACs in the next, before the history's.
TEST_F(ScanDriver, LateAnswersGetRowsAndProbesAndAnswersAreAskedAtTheirMacsNextPass) {
  std::vector<TReport> heard;
  std::mutex heardMutex;
  m_driver.SetHeardReport(
      [&](const std::string& ip, const std::string& mac, const scan::THostDetails& details) {
        std::lock_guard<std::mutex> lock(heardMutex);
        heard.push_back({ip, "", mac, "", "", details});
      });
  m_network.Hear("10.0.0.7", "02:00:00:00:00:07");  // no pass runs
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].ip, "10.0.0.7");
  EXPECT_EQ(heard[0].mac, "02:00:00:00:00:07");

  m_network.SetAdapters({{"10.0.0.1", kMask24}});
  m_network.SetAnswers({{"10.0.0.5", {{0x00, 0x00, 0x0c, 0, 0, 0x05}}}}, 0);
  m_driver.SetKnownMacs({{inet_addr("10.0.0.5"), {{0x02, 0, 0, 0, 0x99, 0x05}}},
                         {inet_addr("10.0.0.9"), {{0x02, 0, 0, 0, 0x99, 0x09}}}});
  m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());
  std::map<std::string, netinfo::TKnownMacs> asked = m_network.KnownAsked();
  EXPECT_EQ(asked["10.0.0.9"], (netinfo::TKnownMacs{{0x02, 0, 0, 0, 0x99, 0x09}}));
  EXPECT_EQ(asked["10.0.0.7"], (netinfo::TKnownMacs{{0x02, 0, 0, 0, 0, 0x07}}))
      << "heard between passes";

  // Pass 2, with pages: stations heard while its workers wait are probed by the pass.
  m_network.HoldRequests();
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (m_network.Counts().PeakRunningWorkers() < 51) return;
    m_network.Hear("10.0.0.8", "02:00:00:00:00:08");
    m_network.Hear("10.0.0.5", "02:00:00:00:00:55", "00:00:0C:00:00:05");
    m_network.Hear("10.0.0.8", "02:00:00:00:00:08");  // said twice: probed once
    m_network.ReleaseRequests();
    poll.stop();
  });
  poll.start(5);
  TPassRecorder second;
  m_driver.ScanNetwork(true, true, second.Status(), second.Results());
  asked = m_network.KnownAsked();
  EXPECT_EQ(asked["10.0.0.5"],
            (netinfo::TKnownMacs{{0x00, 0x00, 0x0c, 0, 0, 0x05}, {0x02, 0, 0, 0, 0x99, 0x05}}))
      << "this run's answer first, then the history's";
  std::map<std::string, TReport> reported;
  for (const TReport& report : second.Reports()) reported[report.mac] = report;
  ASSERT_EQ(reported.size(), 2u) << "one worker an address: 10.0.0.5 has one already";
  EXPECT_EQ(reported["02:00:00:00:00:08"].ip, "10.0.0.8") << "probed though ARP never answered";
  EXPECT_EQ(reported["00:00:0C:00:00:05"].ip, "10.0.0.5");
  ASSERT_EQ(heard.size(), 4u) << "every station heard got its row at once";
  EXPECT_EQ(heard[2].mac, "02:00:00:00:00:55");
  EXPECT_EQ(heard[2].details.OtherMac, "00:00:0C:00:00:05");

  m_driver.StopHearing();
}

}  // namespace
