#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace http {

// Appends one line "dd.mm.yyyy hh:nn:ss" + " " + message to the exchange log
// ~/Qv/vrn6/logs/Ews.QvLog. Never reports failure: a line that cannot be written is lost.
void LogExchange(const std::string& message);

// Appends line + CR LF to the existing file at path, refusing to share the file with another
// writer while it writes. Creates missing folders and the file on the way. At most 51
// attempts, about 20 ms apart; true when the line was written.
bool AppendLogLine(const std::string& path, const std::string& line);

// True when the path names an entry of any kind (file, folder, link, device).
bool PathExists(const std::string& path);

// Dispatches up to 51 pending events of the calling thread, when that thread is the
// application's main thread; on any other thread it does nothing.
void PumpMessages();

// Reads the screen cursor position; false when it is unknown. Called from any thread, so it
// must be thread-safe. Without one the position counts as unchanged, which YieldMessages
// takes as a user who is away.
using TCursorReader = bool (*)(int32_t* x, int32_t* y);

// Milliseconds of a monotonic clock.
using TTickSource = int64_t (*)();

// Lets the calling thread's event loop run now and then while a writer waits: pumps at most
// every 200 ms, and while the user is at the machine spends a pause of 150 ms in every fifth
// pumping call. It keeps when it last pumped, when and where the cursor last moved, and the
// pumping calls since the last pause, for as long as it lives; every thread shares them
// without a lock, since a thread that reads a value while another writes it only waits a
// little more or less. The exchange log owns the process's one yielder; tests make their own
// with their clock and cursor.
class TMessageYielder {
 public:
  // tickSource nullptr: CLOCK_MONOTONIC. cursorReader nullptr: the cursor never moves.
  explicit TMessageYielder(TTickSource tickSource = nullptr, TCursorReader cursorReader = nullptr);

  // True when it pumped, false when it returned at once.
  bool YieldMessages();
  void SetCursorReader(TCursorReader reader);

 private:
  int64_t Tick() const;
  void UpdateActivity(int64_t now);
  void Pause(int64_t now);

  const TTickSource m_tickSource;
  std::atomic<TCursorReader> m_cursorReader;
  std::atomic<int64_t> m_lastPump{0};
  std::atomic<int64_t> m_lastActivity{0};
  std::atomic<int32_t> m_cursorX{0};
  std::atomic<int32_t> m_cursorY{0};
  std::atomic<int32_t> m_pauseCounter{0};
};

// YieldMessages of the exchange log's yielder, through which AppendLogLine waits.
bool YieldMessages();

// Installs the application's cursor reader on the exchange log's yielder.
void SetCursorReader(TCursorReader reader);

}  // namespace http
