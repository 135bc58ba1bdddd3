// Suppressions that the thread sanitizer reads when a test runs under it. Qt's own libraries
// are not built with the sanitizer: their locks (futex-based QMutex around the event queue)
// are invisible to it, so the allocations Qt makes under them look like races. Our own
// hand-overs through Qt's event loop carry their own visible lock (platform/thread.cpp).
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n";
}
