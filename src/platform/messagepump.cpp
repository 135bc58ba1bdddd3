#include "platform/messagepump.h"

#include <QCoreApplication>
#include <QThread>

namespace platform {

namespace {

bool OnMainThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

}  // namespace

void ProcessMessages() {
  if (!OnMainThread()) return;
  // Events posted while the first round runs (an end handler that posts again, say) are
  // delivered by the second.
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void ProcessOneMessage() {
  if (!OnMainThread()) return;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace platform
