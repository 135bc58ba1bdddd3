#pragma once

#include <pthread.h>

#include <functional>
#include <memory>

namespace platform {

// The function that creates the OS thread: pthread_create, or a stand-in that lets a test make
// thread creation fail, which the OS does not do on demand.
using TThreadCreator = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// A one-shot worker thread whose end handler runs on the main thread. The body runs on a
// detached thread with a small stack; when it has returned, the end handler is handed to the
// QCoreApplication thread's event loop and the ending thread waits until it has run there.
// The thread owns the object and destroys it itself, on its own thread, after that.
class TThread {
 public:
  virtual ~TThread();

  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Set before StartThread; runs on the main thread after Execute has returned.
  void SetOnTerminate(std::function<void()> handler);

 protected:
  TThread();
  virtual void Execute() = 0;

 private:
  friend bool StartThread(std::unique_ptr<TThread> thread, TThreadCreator creator);
  static void* ThreadMain(void* arg);
  void RunEndHandler();

  std::function<void()> m_onTerminate;
};

// Starts the thread through creator. Returns false when the OS thread could not be created:
// then nothing ran, the end handler is not run, and the object has already been destroyed.
bool StartThread(std::unique_ptr<TThread> thread, TThreadCreator creator = &pthread_create);

// The stack size of every thread that StartThread creates.
inline constexpr size_t kThreadStackSize = 256 * 1024;

}  // namespace platform
