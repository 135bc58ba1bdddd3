#include "http/exchangelog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <thread>
#include <type_traits>

#include "platform/messagepump.h"
#include "support/paths.h"
#include "support/posix.h"

namespace http {

namespace {

constexpr const char* kExchangeLogPath = "C:\\Qv\\vrn6\\logs\\Ews.QvLog";
constexpr int kAttempts = 51;
constexpr auto kRetryWait = std::chrono::milliseconds(20);
constexpr auto kCreateWait = std::chrono::milliseconds(200);
constexpr int kPumpRounds = 51;
constexpr int64_t kPumpInterval = 200;
constexpr int64_t kIdleSpan = 600000;  // ten minutes without cursor movement: user away
constexpr int kCallsBetweenPauses = 4;
constexpr int64_t kPauseLength = 150;
constexpr int kPumpsPerPauseRound = 6;

std::string TimeStamp() {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char text[80];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", local.tm_mday, local.tm_mon + 1,
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

int OpenRetrying(const std::string& path, int flags, mode_t mode = 0) {
  return support::RetryOnEintr([&] { return open(path.c_str(), flags, mode); });
}

// Lines from two writers must not interleave. Every attempt takes an exclusive flock
// without waiting, so a second writer (another thread, or another copy of the program)
// fails at once and tries again about 20 ms later. flock belongs to the open file
// description, and each attempt opens the file afresh, so threads of one process exclude
// each other as processes do. The lock is advisory: it keeps out only writers that take it.
bool LockForWriting(int fd) {
  return support::RetryOnEintr([&] { return flock(fd, LOCK_EX | LOCK_NB); }) == 0;
}

// One write call for the whole line, so a reader never sees part of it.
bool WriteWhole(int fd, const std::string& text) {
  const ssize_t written =
      support::RetryOnEintr([&] { return write(fd, text.data(), text.size()); });
  return written == static_cast<ssize_t>(text.size());
}

// One attempt: open the existing file for appending, lock, write, close. O_NONBLOCK keeps
// a FIFO in the file's place from blocking the open; it changes nothing for a file.
// O_NOFOLLOW: a link in the log's place must not make us write into another file.
bool TryAppend(const std::string& path, const std::string& text) {
  int fd = OpenRetrying(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    return false;
  }
  bool written = LockForWriting(fd) && WriteWhole(fd, text);
  // Linux releases the descriptor even when close reports EINTR; the line is written.
  if (close(fd) != 0 && errno != EINTR) {
    written = false;
  }
  return written;
}

// Creates the folder part of path with its parents and the file itself, empty. The file is
// not truncated: another writer may have created it and written its line meanwhile.
void CreateFoldersAndFile(const std::string& path) {
  std::error_code ignored;
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) {
    std::filesystem::create_directories(folder, ignored);
  }
  support::TUniqueFd created(OpenRetrying(
      path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0666));
}

// The process's one yielder. The exchange log owns it, since AppendLogLine waits through it;
// the application installs its cursor reader on it. Trivially destructible, so exit runs no
// destructor under a worker that is still logging.
TMessageYielder& LogYielder() {
  static TMessageYielder yielder;
  return yielder;
}
static_assert(std::is_trivially_destructible_v<TMessageYielder>);

}  // namespace

void LogExchange(const std::string& message) {
  try {
    AppendLogLine(support::MapDrivePath(kExchangeLogPath), TimeStamp() + " " + message);
  } catch (...) {
    // Out of memory while building the line: the line is lost, the exchange goes on.
  }
}

bool AppendLogLine(const std::string& path, const std::string& line) {
  const std::string text = line + "\r\n";
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (TryAppend(path, text)) {
      return true;
    }
    if (!PathExists(path)) {
      CreateFoldersAndFile(path);
      std::this_thread::sleep_for(kCreateWait);
    }
    std::this_thread::sleep_for(kRetryWait);
    YieldMessages();
  }
  return false;
}

bool PathExists(const std::string& path) {
  struct stat entry {};
  return !path.empty() && lstat(path.c_str(), &entry) == 0;
}

TMessageYielder::TMessageYielder(TTickSource tickSource, TCursorReader cursorReader)
    : m_tickSource(tickSource), m_cursorReader(cursorReader) {}

int64_t TMessageYielder::Tick() const {
  if (m_tickSource != nullptr) {
    return m_tickSource();
  }
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void TMessageYielder::UpdateActivity(int64_t now) {
  TCursorReader reader = m_cursorReader.load();
  int32_t x = 0;
  int32_t y = 0;
  if (reader == nullptr || !reader(&x, &y)) {
    return;
  }
  if (x != m_cursorX.load() || y != m_cursorY.load()) {
    m_lastActivity.store(now);
    m_cursorX.store(x);
    m_cursorY.store(y);
  }
}

bool TMessageYielder::YieldMessages() {
  const int64_t now = Tick();
  if (now <= m_lastPump.load() + kPumpInterval) {
    return false;
  }
  PumpMessages();
  m_lastPump.store(now);
  if (now >= m_lastActivity.load() + kIdleSpan) {
    UpdateActivity(now);
  }
  if (now >= m_lastActivity.load() + kIdleSpan) {
    return true;
  }
  if (m_pauseCounter.fetch_add(1) + 1 <= kCallsBetweenPauses) {
    return true;
  }
  Pause(now);
  m_pauseCounter.store(0);
  return true;
}

// Keeps dispatching for 150 ms. The 1 ms sleep per round keeps a thread whose pump has
// nothing to do (any thread but the main one) from spinning on the CPU.
void TMessageYielder::Pause(int64_t now) {
  do {
    for (int i = 0; i < kPumpsPerPauseRound; ++i) {
      PumpMessages();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } while (Tick() <= now + kPauseLength);
}

void TMessageYielder::SetCursorReader(TCursorReader reader) { m_cursorReader.store(reader); }

bool YieldMessages() { return LogYielder().YieldMessages(); }

void PumpMessages() { platform::ProcessMessageRounds(kPumpRounds); }

void SetCursorReader(TCursorReader reader) { LogYielder().SetCursorReader(reader); }

}  // namespace http
