#include "platform/clock.h"
#include "platform/criticalsection.h"
#include "platform/messagepump.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

TEST(MessagePump, DeliversCallsPostedToTheMainThread) {
  int delivered = 0;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [&] { ++delivered; }, Qt::QueuedConnection);
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [&] { ++delivered; }, Qt::QueuedConnection);
  platform::ProcessMessages();
  EXPECT_EQ(delivered, 2);
}

TEST(MessagePump, OneRoundDeliversWhatIsPending) {
  int delivered = 0;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [&] { ++delivered; }, Qt::QueuedConnection);
  platform::ProcessOneMessage();
  EXPECT_EQ(delivered, 1);
  platform::ProcessOneMessage();  // nothing pending: returns
  EXPECT_EQ(delivered, 1);
}

TEST(MessagePump, DoesNothingOnAnotherThread) {
  std::atomic<int> delivered{0};
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [&] { ++delivered; }, Qt::QueuedConnection);
  std::thread other([] {
    platform::ProcessMessages();
    platform::ProcessOneMessage();
    platform::ProcessMessageRounds(51);
  });
  other.join();
  EXPECT_EQ(delivered.load(), 0);
  platform::ProcessMessages();
  EXPECT_EQ(delivered.load(), 1);
}

TEST(MessagePump, RoundsDeliverWhatIsPendingAndZeroRoundsNothing) {
  int delivered = 0;
  for (int i = 0; i < 5; ++i) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { ++delivered; }, Qt::QueuedConnection);
  }
  platform::ProcessMessageRounds(0);
  EXPECT_EQ(delivered, 0);
  platform::ProcessMessageRounds(51);
  EXPECT_EQ(delivered, 5);
}

TEST(DelayWithMessages, DispatchesPendingMessagesEvenForZero) {
  bool delivered = false;
  QTimer::singleShot(0, QCoreApplication::instance(), [&] { delivered = true; });
  platform::DelayWithMessages(0);
  EXPECT_TRUE(delivered);
}

TEST(DelayWithMessages, NestedWaitLeavesTheOuterWaitWhole) {
  bool innerRan = false;
  QTimer::singleShot(20, QCoreApplication::instance(), [&] {
    platform::DelayWithMessages(30);
    innerRan = true;
  });
  const auto started = std::chrono::steady_clock::now();
  platform::DelayWithMessages(300);
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_TRUE(innerRan);
  EXPECT_GE(waited, std::chrono::milliseconds(300));
}

TEST(CriticalSection, TryEnterFailsWhileAnotherThreadHoldsIt) {
  platform::TCriticalSection lock;
  std::lock_guard<platform::TCriticalSection> held(lock);
  bool entered = true;
  std::thread other([&] {
    entered = lock.TryEnter();
    if (entered) lock.Leave();
  });
  other.join();
  EXPECT_FALSE(entered);
}

TEST(CriticalSection, GuardsACounterAcrossThreads) {
  platform::TCriticalSection lock;
  int counter = 0;
  std::thread a([&] {
    for (int i = 0; i < 10000; ++i) {
      lock.Enter();
      ++counter;
      lock.Leave();
    }
  });
  for (int i = 0; i < 10000; ++i) {
    std::lock_guard<platform::TCriticalSection> held(lock);
    ++counter;
  }
  a.join();
  EXPECT_EQ(counter, 20000);
}

TEST(Clock, DateTimeCountsDaysFrom18991230) {
  EXPECT_DOUBLE_EQ(platform::ToDateTime({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  EXPECT_DOUBLE_EQ(platform::ToDateTime({1900, 1, 1, 12, 0, 0, 0}), 2.5);
  EXPECT_DOUBLE_EQ(platform::ToDateTime({2000, 1, 1, 0, 0, 0, 0}), 36526.0);
  EXPECT_DOUBLE_EQ(platform::ToDateTime({2024, 2, 29, 6, 0, 0, 0}), 45351.25);
}

TEST(Clock, MillisecondsBetweenMeasuresAcrossMidnight) {
  EXPECT_EQ(platform::MillisecondsBetween(1000, 1500), 500);
  EXPECT_EQ(platform::MillisecondsBetween(86399900, 100), 200);
  EXPECT_EQ(platform::MillisecondsBetween(500, 500), 0);
}

TEST(Clock, MillisecondsOfDayStaysWithinOneDay) {
  const int32_t ms = platform::MillisecondsOfDay();
  EXPECT_GE(ms, 0);
  EXPECT_LT(ms, 86400000);
}

TEST(Clock, LocalNowHasValidFields) {
  const platform::TLocalTime now = platform::LocalNow();
  EXPECT_GE(now.Year, 2000);
  EXPECT_GE(now.Month, 1);
  EXPECT_LE(now.Month, 12);
  EXPECT_LT(now.Millisecond, 1000);
  const double days = platform::NowDateTime();
  EXPECT_GT(days, 36526.0);
}

}  // namespace
