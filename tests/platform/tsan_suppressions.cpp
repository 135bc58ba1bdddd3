// Suppressions that the thread sanitizer reads when a test runs under it. Qt's own libraries
// are not built with the sanitizer: their locks (futex-based QMutex around the event queue)
// are invisible to it, so the allocations Qt makes under them look like races. Our own
// hand-overs through Qt's event loop carry their own visible lock (platform/thread.cpp).
// The same holds for glibc's resolver: a thread's first name lookup adds its configuration to
// a process-wide array that glibc grows (malloc/realloc in its dynarray helper) under its own
// internal lock, so two workers making their first lookups at once look like a race.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "race:__libc_dynarray_emplace_enlarge\n";
}
