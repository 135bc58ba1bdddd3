#include "scan/scandriver.h"

#include "platform/thread.h"
#include "scanfakes.h"
#include "scanrecorder.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>

namespace {

using scantest::TPassRecorder;

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
  void SetUp() override {
    scantest::UseFakeNetwork(m_driver);
    m_driver.WorkerLimit = 50;
  }
  void TearDown() override {
    EXPECT_FALSE(m_driver.ScanBusy);
    EXPECT_EQ(m_driver.ActiveWorkers, 0);
    EXPECT_EQ(m_driver.ScanLock, nullptr);
  }

  scan::TScanDriver m_driver;
  TPassRecorder m_pass;
};

TEST_F(ScanDriver, SelectsAddressesByTextPrefix) {
  scantest::SetFakeAdapters({{"10.1.2.3", kMask24},
                             {"172.16.0.5", kMask24},
                             {"172.31.255.1", kMask24},
                             {"192.168.0.10", kMask24},
                             {"172.160.5.9", kMask24},
                             {"172.15.0.1", kMask24},
                             {"172.32.0.1", kMask24},
                             {"11.0.0.1", kMask24},
                             {"192.169.0.1", kMask24}});
  m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());

  EXPECT_EQ(m_driver.WorkTotal, 5 * 255);
  std::vector<std::string> probed = scantest::ProbedAddresses();
  std::sort(probed.begin(), probed.end());
  std::vector<std::string> expected;
  for (const char* prefix : {"10.1.2.", "172.16.0.", "172.31.255.", "192.168.0.", "172.160.5."}) {
    const std::vector<std::string> run = AddressRun(prefix, 1, 255);
    expected.insert(expected.end(), run.begin(), run.end());
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(probed, expected);
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));
}

TEST_F(ScanDriver, SweepsTheRunInOrderAcrossIntoTheNextNetwork) {
  // With a limit of 0 only one worker runs at a time, so the ARP requests come in start order.
  m_driver.WorkerLimit = 0;
  scantest::SetFakeAdapters({{"10.0.0.200", "255.255.255.128"}});
  m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());

  std::vector<std::string> expected = AddressRun("10.0.0.", 129, 255);
  const std::vector<std::string> next = AddressRun("10.0.1.", 0, 127);
  expected.insert(expected.end(), next.begin(), next.end());
  EXPECT_EQ(scantest::ProbedAddresses(), expected);
  EXPECT_EQ(m_driver.PeakRunningWorkers(), 1);
}

TEST_F(ScanDriver, NoSelectedAddressStillReportsThePass) {
  scantest::SetFakeAdapters({{"8.8.4.4", kMask24}, {"0.0.0.0", "0.0.0.0"}});
  m_driver.ScanProgress = 77;
  m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());

  EXPECT_EQ(m_driver.WorkTotal, 0);
  EXPECT_EQ(m_driver.ScanProgress, 0);
  EXPECT_EQ(m_driver.StartedWorkers(), 0);
  ASSERT_TRUE(scantest::HasPassTexts(m_pass.statusTexts));
  EXPECT_EQ(m_pass.statusTexts[3], "All done. 00:00:00");
}

scan::THostDetails Other(const std::string& mac) {
  scan::THostDetails details;
  details.OtherMac = mac;
  return details;
}

TEST_F(ScanDriver, ReportsAlwaysShowSixMacBytes) {
  scantest::SetFakeAdapters({{"192.168.1.77", kMask24}});
  scantest::SetFakeAnswers({{"192.168.1.20", {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}}},
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
  scantest::SetFakeAdapters({{"192.168.1.77", kMask24}});
  scantest::SetFakeAnswers({{"192.168.1.20", {{1, 2, 3, 4, 5, 6}}}}, 0);
  m_driver.ScanNetwork(false, false, m_pass.Status(), nullptr);
  EXPECT_EQ(scantest::ProbedAddresses().size(), 255u);
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));
}

TEST_F(ScanDriver, ErrorInResultCallbackStillCountsTheWorkerOut) {
  scantest::SetFakeAdapters({{"192.168.1.77", kMask24}});
  scantest::SetFakeAnswers(
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

std::atomic<int> g_creations{0};

[[maybe_unused]] int RefuseEveryThirdThread(pthread_t* id, const pthread_attr_t* attr,
                                            void* (*body)(void*), void* arg) {
  if (++g_creations % 3 == 0) return EAGAIN;
  return pthread_create(id, attr, body, arg);
}

TEST_F(ScanDriver, ThreadThatCannotStartSkipsOnlyItsAddress) {
  GTEST_SKIP() << "needs the driver to take the thread creator (StartThread's parameter)";
  scantest::SetFakeAdapters({{"192.168.1.77", kMask24}});
  g_creations = 0;
  m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());

  EXPECT_EQ(m_driver.StartedWorkers(), 170);
  EXPECT_EQ(scantest::ProbedAddresses().size(), 170u);
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));

  // The next pass runs normally.
  m_driver.ResetWorkerCounters();
  TPassRecorder next;
  m_driver.ScanNetwork(false, false, next.Status(), next.Results());
  EXPECT_EQ(m_driver.StartedWorkers(), 255);
  EXPECT_TRUE(scantest::HasPassTexts(next.Milestones()));
}

TEST_F(ScanDriver, UnformableFirstHostSkipsThatAddress) {
  scantest::SetFakeAdapters({{"10.0.0.255", "255.255.255.255"}, {"10.0.1.5", kMask24}});
  m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());
  EXPECT_EQ(m_driver.WorkTotal, 510);
  EXPECT_EQ(m_driver.StartedWorkers(), 255);
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));
}

TEST_F(ScanDriver, ThrottleKeepsAtMostLimitPlusOneRunning) {
  scantest::SetFakeAdapters({{"192.168.1.77", kMask24}});
  scantest::SetFakeAnswers({}, 100);
  m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());

  EXPECT_LE(m_driver.PeakRunningWorkers(), 51);
  EXPECT_GE(m_driver.PeakRunningWorkers(), 2);
  EXPECT_EQ(m_driver.StartedWorkers(), 255);
  // The throttle reported running counts, and the progress stayed within the sweep's half.
  EXPECT_GT(m_pass.statusTexts.size(), 4u);
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));
  EXPECT_GE(m_driver.ScanProgress, 50);
  EXPECT_LE(m_driver.ScanProgress, 60);
}

TEST_F(ScanDriver, FirstPassOfAProcessAllowsMoreWorkersThenFifty) {
  m_driver.WorkerLimit = 1254;
  scantest::SetFakeAdapters({{"192.168.1.77", kMask24}});
  m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());
  EXPECT_EQ(m_driver.WorkerLimit, 50);
  EXPECT_EQ(m_pass.Milestones().size(), m_pass.statusTexts.size());  // the throttle never held it
}

TEST_F(ScanDriver, PassInsideATimerTickStillCountsItsWorkersOut) {
  // As the program runs it: the pass blocks a timer tick of the running event loop, and the
  // workers' end handlers arrive through the driver's nested message dispatch.
  scantest::SetFakeAdapters({{"192.168.1.77", kMask24}});
  scantest::SetFakeAnswers({}, 20);
  QEventLoop loop;
  QTimer::singleShot(0, &loop, [&] {
    m_driver.ScanNetwork(false, false, m_pass.Status(), m_pass.Results());
    loop.quit();
  });
  loop.exec();
  EXPECT_EQ(m_driver.StartedWorkers(), 255);
  EXPECT_TRUE(scantest::HasPassTexts(m_pass.Milestones()));
}

TEST_F(ScanDriver, ErrorInStatusCallbackLeavesTheEngineIdleAfterItsWorkers) {
  scantest::SetFakeAdapters({{"192.168.1.77", kMask24}});
  scantest::SetFakeAnswers({}, 300);
  auto status = [](const std::string& text) {
    if (text.find_first_not_of("0123456789") == std::string::npos)
      throw std::runtime_error("status failed");
  };
  EXPECT_THROW(m_driver.ScanNetwork(false, false, status, m_pass.Results()), std::runtime_error);
  // The workers already started were waited for (TearDown checks the idle state).
  EXPECT_EQ(m_driver.StartedWorkers(), 51);
  EXPECT_EQ(scantest::ProbedAddresses().size(), 51u);
}

}  // namespace
