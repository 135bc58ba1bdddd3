#pragma once

#include <QApplication>
#include <cstdint>

namespace app {

// The program's application object. An exception that escapes an event handler is shown in the
// error message box (caption "quenZOR") and the program goes on.
class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// Closes `window` through the event loop when the process receives SIGTERM, SIGINT or SIGHUP, so
// a headless run ends as a closed window does: a running pass stops starting workers and the
// process ends when it returns. Call once, on the main thread, after the window exists.
void CloseOnTerminationSignals(QWidget* window);

// Gives the exchange log the cursor position it takes as a sign of the user at the machine
// (http::YieldMessages: a cursor that has not moved for ten minutes means a user who is away).
// The log is written from worker threads, and QCursor may only be asked on the main thread: a
// timer on the main thread stores the position every 200 ms, and the reader installed in the
// log reads what it stored. Call once, on the main thread, after the application object exists.
void TrackCursorForExchangeLog();

// The installed reader: the position the main thread stored last. Any thread.
bool ReadCursorPosition(int32_t* x, int32_t* y);

}  // namespace app
