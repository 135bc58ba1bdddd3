#include "platform/thread.h"

#include "platform/platformlog.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <condition_variable>
#include <exception>
#include <mutex>

namespace platform {

namespace {

// Held while an end handler is posted, and taken first by the posted call on the main thread.
// Qt's event queue lock is invisible to the thread sanitizer (Qt is not built with it); this
// one makes the hand-over of everything the ending thread wrote visible to it.
std::mutex g_postMutex;

// Shared between the ending thread and the end handler's delivery on the main thread.
struct THandOver {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
};

// Travels inside the posted call. Its destructor releases the waiting thread, both after the
// call has run and when the event loop throws the call away undelivered (the application
// object being destroyed), so the ending thread never waits for a call that cannot come.
class TReleaseOnDestroy {
 public:
  explicit TReleaseOnDestroy(std::shared_ptr<THandOver> handOver)
      : m_handOver(std::move(handOver)) {}
  TReleaseOnDestroy(const TReleaseOnDestroy&) = delete;
  TReleaseOnDestroy& operator=(const TReleaseOnDestroy&) = delete;
  ~TReleaseOnDestroy() {
    std::lock_guard<std::mutex> lock(m_handOver->mutex);
    m_handOver->done = true;
    m_handOver->finished.notify_all();
  }

 private:
  std::shared_ptr<THandOver> m_handOver;
};

}  // namespace

TThread::TThread() = default;

TThread::~TThread() = default;

void TThread::SetOnTerminate(std::function<void()> handler) { m_onTerminate = std::move(handler); }

void TThread::RunEndHandler() {
  if (!m_onTerminate) return;
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;

  auto handOver = std::make_shared<THandOver>();
  auto release = std::make_shared<TReleaseOnDestroy>(handOver);
  std::function<void()>* handler = &m_onTerminate;
  {
    std::lock_guard<std::mutex> posting(g_postMutex);
    QMetaObject::invokeMethod(
        app,
        [handler, release]() {
          { std::lock_guard<std::mutex> received(g_postMutex); }
          // An exception must not unwind through Qt's event dispatch.
          try {
            (*handler)();
          } catch (const std::exception& error) {
            qCDebug(lcPlatform, "a thread's end handler failed: %s", error.what());
          } catch (...) {
            qCDebug(lcPlatform, "a thread's end handler failed: unknown exception");
          }
        },
        Qt::QueuedConnection);
  }
  release.reset();  // from here on only the posted call holds it (or nobody, if it was refused)

  std::unique_lock<std::mutex> lock(handOver->mutex);
  handOver->finished.wait(lock, [&] { return handOver->done; });
}

void* TThread::ThreadMain(void* arg) {
  std::unique_ptr<TThread> thread(static_cast<TThread*>(arg));
  try {
    thread->Execute();
  } catch (const std::exception& error) {
    qCDebug(lcPlatform, "a thread's body failed: %s", error.what());
  } catch (...) {
    qCDebug(lcPlatform, "a thread's body failed: unknown exception");
  }
  thread->RunEndHandler();
  return nullptr;
}

bool StartThread(std::unique_ptr<TThread> thread, TThreadCreator creator) {
  if (!thread || creator == nullptr) return false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kThreadStackSize);

  TThread* raw = thread.release();
  pthread_t id;
  const int rc = creator(&id, &attr, &TThread::ThreadMain, raw);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete raw;
    return false;
  }
  return true;
}

}  // namespace platform
