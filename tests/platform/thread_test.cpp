#include "platform/thread.h"

#include "platform/messagepump.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using platform::StartThread;
using platform::TThread;

// Pumps the main thread's events until the condition holds (or a generous bound passes, so a
// broken build fails instead of hanging).
void PumpUntil(const std::function<bool()>& condition) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!condition() && std::chrono::steady_clock::now() < giveUp) {
    platform::ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

struct TObservations {
  std::atomic<bool> executed{false};
  std::atomic<bool> handlerRan{false};
  std::atomic<bool> handlerOnMainThread{false};
  std::atomic<bool> destroyedBeforeHandler{false};
  std::atomic<bool> destroyed{false};
  std::atomic<bool> destroyedOnMainThread{false};
  std::atomic<size_t> stackSize{0};
  std::atomic<pid_t> workerTid{0};
};

// Waits (within a generous bound) until the thread tid sleeps or has ended; false at the bound.
// /proc/self/task/<tid>/stat gives its state after the parenthesised name: S while it waits.
bool WorkerSleepsOrEnded(pid_t tid) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < giveUp) {
    std::ifstream in(path);
    std::string stat;
    if (!std::getline(in, stat)) return true;  // ended
    const size_t name = stat.rfind(')');
    if (name != std::string::npos && stat.compare(name, 3, ") S") == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

bool IsMainThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

class TProbe : public TThread {
 public:
  TProbe(TObservations& seen, bool fail) : m_seen(seen), m_fail(fail) {}
  ~TProbe() override {
    m_seen.destroyedOnMainThread = IsMainThread();
    m_seen.destroyed = true;
  }

 protected:
  void Execute() override {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      size_t size = 0;
      pthread_attr_getstacksize(&attr, &size);
      m_seen.stackSize = size;
      pthread_attr_destroy(&attr);
    }
    m_seen.workerTid = static_cast<pid_t>(syscall(SYS_gettid));
    m_seen.executed = true;
    if (m_fail) throw std::runtime_error("body failed");
  }

 private:
  TObservations& m_seen;
  bool m_fail;
};

std::unique_ptr<TProbe> MakeProbe(TObservations& seen, bool fail = false) {
  auto probe = std::make_unique<TProbe>(seen, fail);
  probe->SetOnTerminate([&seen] {
    seen.destroyedBeforeHandler = seen.destroyed.load();
    seen.handlerOnMainThread = IsMainThread();
    seen.handlerRan = true;
  });
  return probe;
}

TEST(Thread, EndHandlerRunsOnMainThreadWhileTheWorkerWaits) {
  TObservations seen;
  ASSERT_TRUE(StartThread(MakeProbe(seen)));
  PumpUntil([&] { return seen.destroyed.load(); });

  EXPECT_TRUE(seen.executed);
  EXPECT_TRUE(seen.handlerRan);
  EXPECT_TRUE(seen.handlerOnMainThread);
  EXPECT_FALSE(seen.destroyedBeforeHandler);
  EXPECT_FALSE(seen.destroyedOnMainThread);
}

TEST(Thread, EndHandlerWaitsForTheMainThreadToPump) {
  TObservations seen;
  ASSERT_TRUE(StartThread(MakeProbe(seen)));
  // Without a pump on the main thread the body finishes but the handler cannot run, and the
  // worker keeps its object alive while it waits: the worker goes to sleep (or, were it not to
  // wait, would end) with neither having happened.
  while (!seen.executed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(WorkerSleepsOrEnded(seen.workerTid));
  EXPECT_FALSE(seen.handlerRan);
  EXPECT_FALSE(seen.destroyed);

  PumpUntil([&] { return seen.destroyed.load(); });
  EXPECT_TRUE(seen.handlerRan);
}

TEST(Thread, ExceptionInBodyIsDiscardedAndHandlerStillRuns) {
  TObservations seen;
  ASSERT_TRUE(StartThread(MakeProbe(seen, true)));
  PumpUntil([&] { return seen.destroyed.load(); });
  EXPECT_TRUE(seen.handlerRan);
}

TEST(Thread, RunsOnSmallStack) {
  TObservations seen;
  ASSERT_TRUE(StartThread(MakeProbe(seen)));
  PumpUntil([&] { return seen.destroyed.load(); });
#if defined(__SANITIZE_THREAD__)
  EXPECT_GE(seen.stackSize.load(), platform::kThreadStackSize);  // the sanitizer adds its own room
#else
  EXPECT_EQ(seen.stackSize.load(), platform::kThreadStackSize);
#endif
}

TEST(Thread, WithoutHandlerTheObjectIsDestroyedOnItsThread) {
  TObservations seen;
  ASSERT_TRUE(StartThread(std::make_unique<TProbe>(seen, false)));
  while (!seen.destroyed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(seen.executed);
  EXPECT_FALSE(seen.destroyedOnMainThread);
}

class TCounter : public TThread {
 public:
  TCounter(std::atomic<int>& alive) : m_alive(alive) { ++m_alive; }
  ~TCounter() override { --m_alive; }

 protected:
  void Execute() override { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

 private:
  std::atomic<int>& m_alive;
};

TEST(Thread, ManyThreadsEachRunTheirHandlerOnce) {
  constexpr int kThreads = 400;
  std::atomic<int> alive{0};
  int handled = 0;  // main thread only
  for (int i = 0; i < kThreads; ++i) {
    auto thread = std::make_unique<TCounter>(alive);
    thread->SetOnTerminate([&handled] { ++handled; });
    ASSERT_TRUE(StartThread(std::move(thread)));
  }
  PumpUntil([&] { return handled == kThreads && alive == 0; });
  EXPECT_EQ(handled, kThreads);
  EXPECT_EQ(alive.load(), 0);
}

int RefuseThread(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; }

TEST(Thread, FailedStartRunsNothingAndDestroysTheObject) {
  TObservations seen;
  const bool started = StartThread(MakeProbe(seen), &RefuseThread);

  EXPECT_FALSE(started);
  EXPECT_TRUE(seen.destroyed);
  platform::ProcessMessages();
  EXPECT_FALSE(seen.executed);
  EXPECT_FALSE(seen.handlerRan);
}

}  // namespace
