#pragma once

#include <QApplication>

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

}  // namespace app
