#pragma once

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

// Lets the calling thread's event loop run now and then while a writer waits: pumps at most
// every 200 ms, and while the user is at the machine spends a pause of 150 ms in every fifth
// pumping call. True when it pumped, false when it returned at once.
bool YieldMessages();

// Dispatches up to 51 pending events of the calling thread, when that thread is the
// application's main thread; on any other thread it does nothing.
void PumpMessages();

// Reads the screen cursor position; false when it is unknown. Called from any thread, so it
// must be thread-safe. The application may install one; without one the position counts as
// unchanged, which YieldMessages takes as a user who is away.
using TCursorReader = bool (*)(int32_t* x, int32_t* y);
void SetCursorReader(TCursorReader reader);

// Milliseconds of a monotonic clock. Tests replace it (nullptr restores the clock) and reset
// the state that YieldMessages keeps for the whole run.
using TTickSource = int64_t (*)();
void SetTickSource(TTickSource source);
void ResetYieldState();

}  // namespace http
