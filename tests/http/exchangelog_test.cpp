#include "http/exchangelog.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <barrier>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "support/paths.h"
#include "common/temphome.h"

namespace http {
namespace {

namespace fs = std::filesystem;

const std::regex kStampedLine(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d )");

std::string ExchangeLogPath(const test::TTempHome& home) {
  return home.Path() + "/Qv/vrn6/logs/Ews.QvLog";
}

// Splits at CR LF; every line must end with it.
std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated line in: " << text;
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TEST(LogExchange, FirstLineCreatesFoldersAndFileHoldingExactlyThatLine) {
  test::TTempHome home;
  LogExchange("SendBuffer BEGIN");

  std::string content = test::ReadFile(ExchangeLogPath(home));
  ASSERT_EQ(content.size(), 20u + 16u + 2u) << content;
  EXPECT_TRUE(std::regex_match(content.substr(0, 20), kStampedLine)) << content;
  EXPECT_EQ(content.substr(20), "SendBuffer BEGIN\r\n");
}

TEST(LogExchange, StampIsTodaysLocalDate) {
  test::TTempHome home;
  time_t now = time(nullptr);
  LogExchange("x");
  tm local{};
  localtime_r(&now, &local);
  char date[48];
  std::snprintf(date, sizeof date, "%02d.%02d.%04d", local.tm_mday, local.tm_mon + 1,
                local.tm_year + 1900);
  EXPECT_EQ(test::ReadFile(ExchangeLogPath(home)).substr(0, 10), date);
}

TEST(LogExchange, EmptyMessageGivesStampAndOneBlank) {
  test::TTempHome home;
  LogExchange("");
  std::string content = test::ReadFile(ExchangeLogPath(home));
  ASSERT_EQ(content.size(), 22u) << content;
  EXPECT_TRUE(std::regex_match(content.substr(0, 20), kStampedLine));
  EXPECT_EQ(content.substr(20), "\r\n");
}

TEST(LogExchange, MessageWithLineBreakIsWrittenUnchanged) {
  test::TTempHome home;
  LogExchange("a\r\nb");
  EXPECT_EQ(test::ReadFile(ExchangeLogPath(home)).substr(19), " a\r\nb\r\n");
}

TEST(LogExchange, ConcurrentWritersGiveWholeLines) {
  test::TTempHome home;
  // Once onto a missing file (both create it), once onto the existing one.
  for (int round = 0; round < 2; ++round) {
    std::barrier start(2);
    auto writer = [&](char letter) {
      start.arrive_and_wait();
      LogExchange(std::string(3000, letter));
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
  }
  std::vector<std::string> lines = CrLfLines(test::ReadFile(ExchangeLogPath(home)));
  ASSERT_EQ(lines.size(), 4u);
  int countA = 0;
  for (const std::string& line : lines) {
    ASSERT_EQ(line.size(), 3020u);
    EXPECT_TRUE(std::regex_match(line.substr(0, 20), kStampedLine));
    std::string body = line.substr(20);
    EXPECT_TRUE(body == std::string(3000, 'a') || body == std::string(3000, 'b'));
    countA += body[0] == 'a' ? 1 : 0;
  }
  EXPECT_EQ(countA, 2);
}

TEST(AppendLogLine, AppendsToExistingContent) {
  test::TTempHome home;
  std::string path = home.Path() + "/a.log";
  test::WriteFile(path, "old\r\n");
  EXPECT_TRUE(AppendLogLine(path, "new"));
  EXPECT_EQ(test::ReadFile(path), "old\r\nnew\r\n");
}

// Counts the opens an inotify descriptor reports until there are wanted of them or limit passes.
int OpensWithin(int watch, int wanted, std::chrono::milliseconds limit) {
  const auto giveUp = std::chrono::steady_clock::now() + limit;
  int opens = 0;
  while (opens < wanted) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        giveUp - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd ready{watch, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    alignas(inotify_event) char buffer[4096];
    const ssize_t got = read(watch, buffer, sizeof buffer);
    for (ssize_t at = 0; got > 0 && at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->mask & IN_OPEN) ++opens;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return opens;
}

TEST(AppendLogLine, FileHeldByAnotherWriterIsRetriedUntilReleased) {
  test::TTempHome home;
  std::string path = home.Path() + "/held.log";
  test::WriteFile(path, "");
  int holder = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

  // Every attempt opens the file afresh: its second open shows that the first attempt found
  // the file held and gave way.
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_OPEN), 0);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    EXPECT_TRUE(AppendLogLine(path, "after release"));
    done = true;
  });
  EXPECT_GE(OpensWithin(watch, 2, std::chrono::seconds(30)), 2);
  close(watch);
  EXPECT_FALSE(done.load());
  EXPECT_EQ(test::ReadFile(path), "");
  close(holder);
  writer.join();
  EXPECT_EQ(test::ReadFile(path), "after release\r\n");
}

TEST(AppendLogLine, ImpossibleFolderFailsAfterAllAttemptsAndLogExchangeReturns) {
  test::TTempHome home;
  // A plain file where the first folder of the log's path should be: no folder can be made
  // below it, not even by root.
  test::WriteFile(home.Path() + "/Qv", "in the way");

  std::thread logger([] { LogExchange("lost"); });
  EXPECT_FALSE(AppendLogLine(support::MapDrivePath("C:\\Qv\\vrn6\\logs\\Ews.QvLog"), "lost"));
  logger.join();
  EXPECT_EQ(test::ReadFile(home.Path() + "/Qv"), "in the way");
}

TEST(AppendLogLine, FolderInTheFilesPlaceCountsAsExistingAndNothingIsCreated) {
  test::TTempHome home;
  std::string path = home.Path() + "/logs/Ews.QvLog";
  fs::create_directories(path);

  EXPECT_TRUE(PathExists(path));
  EXPECT_FALSE(AppendLogLine(path, "line"));
  EXPECT_TRUE(fs::is_directory(path));
  EXPECT_TRUE(fs::is_empty(path));
}

TEST(AppendLogLine, LinkInTheFilesPlaceIsNeverFollowed) {
  test::TTempHome home;
  std::string path = home.Path() + "/Ews.QvLog";
  std::string target = home.Path() + "/elsewhere.log";
  fs::create_symlink(target, path);

  EXPECT_FALSE(AppendLogLine(path, "line"));
  EXPECT_FALSE(fs::exists(target)) << "a dangling link made the file it points to";

  test::WriteFile(target, "someone else's file\n");
  EXPECT_FALSE(AppendLogLine(path, "line"));
  EXPECT_EQ(test::ReadFile(target), "someone else's file\n");
}

TEST(PathExists, FindsEntriesOfEveryKind) {
  test::TTempHome home;
  std::string file = home.Path() + "/f";
  test::WriteFile(file, "");
  fs::create_symlink(home.Path() + "/missing", home.Path() + "/link");

  EXPECT_TRUE(PathExists(file));
  EXPECT_TRUE(PathExists(home.Path()));
  EXPECT_TRUE(PathExists(home.Path() + "/link"));
  EXPECT_FALSE(PathExists(home.Path() + "/missing"));
  EXPECT_FALSE(PathExists(file + "/below"));
  EXPECT_FALSE(PathExists(""));
}

// YieldMessages with a clock that the test moves.
std::atomic<int64_t> g_now{0};
std::atomic<int64_t> g_stepPerRead{0};
std::atomic<int> g_tickReads{0};
std::atomic<int32_t> g_cursorX{0};

int64_t FakeTick() {
  ++g_tickReads;
  return g_now.fetch_add(g_stepPerRead.load());
}

bool MovingCursor(int32_t* x, int32_t* y) {
  *x = ++g_cursorX;
  *y = 7;
  return true;
}

class YieldMessagesTest : public testing::Test {
 protected:
  void SetUp() override {
    g_now = 50'000'000;
    g_stepPerRead = 0;
    g_tickReads = 0;
  }
  // Moves the clock past the pump interval and calls once; returns the clock reads it made.
  int CallAfterInterval(bool* pumped) {
    g_now += 201;
    int before = g_tickReads;
    *pumped = m_yielder.YieldMessages();
    return g_tickReads - before;
  }

  TMessageYielder m_yielder{&FakeTick};
};

TEST_F(YieldMessagesTest, PumpsAtMostEvery200Milliseconds) {
  EXPECT_TRUE(m_yielder.YieldMessages());
  g_now += 200;
  EXPECT_FALSE(m_yielder.YieldMessages());
  g_now += 1;
  EXPECT_TRUE(m_yielder.YieldMessages());
}

TEST_F(YieldMessagesTest, UserAwayMeansNoPause) {
  for (int i = 0; i < 12; ++i) {
    bool pumped = false;
    EXPECT_EQ(CallAfterInterval(&pumped), 1);
    EXPECT_TRUE(pumped);
  }
}

TEST_F(YieldMessagesTest, MovingCursorPausesEveryFifthPumpingCall) {
  m_yielder.SetCursorReader(&MovingCursor);
  bool pumped = false;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(CallAfterInterval(&pumped), 1);
  }
  // The fifth call reads the clock until 150 ms have passed.
  g_stepPerRead = 10;
  EXPECT_GE(CallAfterInterval(&pumped), 15);
  EXPECT_TRUE(pumped);
  g_stepPerRead = 0;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(CallAfterInterval(&pumped), 1);
  }
  g_stepPerRead = 10;
  EXPECT_GE(CallAfterInterval(&pumped), 15);
}

TEST(PumpMessages, DispatchesPostedEventsOnlyOnTheMainThread) {
  std::atomic<int> ran{0};
  for (int i = 0; i < 3; ++i) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { ++ran; }, Qt::QueuedConnection);
  }
  std::thread worker([] { PumpMessages(); });
  worker.join();
  EXPECT_EQ(ran.load(), 0);
  PumpMessages();
  EXPECT_EQ(ran.load(), 3);
}

}  // namespace
}  // namespace http
