#include "platform/messagepump.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace platform {

namespace {

bool OnMainThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

// One round of the calling thread's event dispatcher (what QCoreApplication::processEvents
// does); true when it dispatched something.
bool DispatchRound() {
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  return dispatcher != nullptr && dispatcher->processEvents(QEventLoop::AllEvents);
}

}  // namespace

void ProcessMessages() {
  if (!OnMainThread()) return;
  // Events posted while the first round runs (an end handler that posts again, say) are
  // delivered by the second.
  QCoreApplication::sendPostedEvents();
  DispatchRound();
}

void ProcessOneMessage() {
  if (!OnMainThread()) return;
  DispatchRound();
}

void ProcessMessageRounds(int rounds) {
  if (!OnMainThread()) return;
  for (int round = 0; round < rounds; ++round) {
    if (!DispatchRound()) break;
  }
}

void DelayWithMessages(int32_t milliseconds) {
  // Start and length are this call's own: a wait nested inside it through the messages it
  // dispatches cannot cut it short.
  const int32_t start = MillisecondsOfDay();
  do {
    ProcessOneMessage();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } while (MillisecondsBetween(start, MillisecondsOfDay()) <= milliseconds);
}

}  // namespace platform
