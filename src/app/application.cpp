#include "app/application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCursor>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cerrno>
#include <exception>

#include "app/formmain.h"
#include "http/exchangelog.h"

namespace app {

namespace {

int g_signalPipe[2] = {-1, -1};

constexpr int kCursorRefreshMs = 200;

// Written by the main thread only. A reader between the two stores sees a position that mixes
// the old and the new one for a moment: still a moved cursor, which is all the log asks.
std::atomic<int32_t> g_cursorX{0};
std::atomic<int32_t> g_cursorY{0};

void StoreCursorPosition() {
  const QPoint position = QCursor::pos();
  g_cursorX.store(position.x());
  g_cursorY.store(position.y());
}

void OnTerminationSignal(int) {
  const int savedErrno = errno;
  const char byte = 1;
  // Async-signal-safe: one byte into a non-blocking pipe; a full pipe already holds a wake-up.
  [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
  errno = savedErrno;
}

}  // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowErrorBox(nullptr, error.what());
  } catch (...) {
    ShowErrorBox(nullptr, "Unknown error");
  }
  return false;
}

void CloseOnTerminationSignals(QWidget* window) {
  if (g_signalPipe[0] >= 0) return;
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) < 0) return;
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, window);
  QPointer<QWidget> target(window);
  QObject::connect(notifier, &QSocketNotifier::activated, window, [target] {
    char bytes[16];
    while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    if (target) target->close();
  });
  struct sigaction action = {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

void TrackCursorForExchangeLog() {
  static bool tracking = false;
  QCoreApplication* application = QCoreApplication::instance();
  if (tracking || application == nullptr) return;
  tracking = true;
  StoreCursorPosition();
  auto* timer = new QTimer(application);
  QObject::connect(timer, &QTimer::timeout, application, &StoreCursorPosition);
  timer->start(kCursorRefreshMs);
  http::SetCursorReader(&ReadCursorPosition);
}

bool ReadCursorPosition(int32_t* x, int32_t* y) {
  *x = g_cursorX.load();
  *y = g_cursorY.load();
  return true;
}

}  // namespace app
