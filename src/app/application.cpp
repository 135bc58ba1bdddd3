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

// The cursor position as the main thread last saw it, for the exchange log's readers on any
// thread. Written by the main thread only. A reader between the two stores sees a position that
// mixes the old and the new one for a moment: still a moved cursor, which is all the log asks.
class TCursorTracker {
 public:
  // Starts refreshing the position on the application's event loop; once.
  void Start(QCoreApplication* application) {
    if (m_started) return;
    m_started = true;
    Store();
    auto* timer = new QTimer(application);
    QObject::connect(timer, &QTimer::timeout, application, [this] { Store(); });
    timer->start(kCursorRefreshMs);
  }

  void Read(int32_t* x, int32_t* y) const {
    *x = m_x.load();
    *y = m_y.load();
  }

 private:
  void Store() {
    const QPoint position = QCursor::pos();
    m_x.store(position.x());
    m_y.store(position.y());
  }

  bool m_started = false;  // main thread only
  std::atomic<int32_t> m_x{0};
  std::atomic<int32_t> m_y{0};
};

// Lives as long as the process: the log's readers may ask from workers until the very end.
TCursorTracker& CursorTracker() {
  static TCursorTracker tracker;
  return tracker;
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
  QCoreApplication* application = QCoreApplication::instance();
  if (application == nullptr) return;
  CursorTracker().Start(application);
  http::SetCursorReader(&ReadCursorPosition);
}

bool ReadCursorPosition(int32_t* x, int32_t* y) {
  CursorTracker().Read(x, y);
  return true;
}

}  // namespace app
