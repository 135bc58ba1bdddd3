// startup_bench: how long the program takes from the start of main to a shown main window, and
// what the vendor table costs in memory. Builds the real main window with its scan replaced by
// nothing, so it sends no traffic, under the offscreen platform and a lock folder of its own.
//
//   startup_ms <n>        start of main to the window shown (exposed), this process
//   table_build_ms <n>    building one vendor table as the window does, on its own
//   table_entries <n>     entries in that table
//   table_heap_kb <n>     heap the table holds (mallinfo2 before and after)
//
// Run it several times and take the median: the first run also pays for a cold page cache.

#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <string>

#include "app/formmain.h"
#include "app/ouitable.h"

namespace {

using TClock = std::chrono::steady_clock;

long long MsSince(TClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const auto start = TClock::now();
  char folder[] = "/tmp/qz-startup-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  setenv("XDG_RUNTIME_DIR", folder, 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);

  QApplication application(argc, argv);
  long long startup = 0;
  {
    app::TFormServices services;
    services.ScanNetwork = [](bool, bool, scan::TStatusCallback, scan::TResultCallback) {};
    services.ExportPath = std::string(folder) + "/quenZOR.csv";
    services.EndProcess = [] {};
    app::TFormMain form(services);
    form.show();
    while (!form.windowHandle() || !form.windowHandle()->isExposed()) QApplication::processEvents();
    startup = MsSince(start);
    // The window's own table may still be loading in the background: wait for it.
    form.Oui().LookupVendor("00:00:0C:00:00:00");
  }

  const size_t heapBefore = mallinfo2().uordblks;
  const auto built = TClock::now();
  const app::TOuiTable table = app::TOuiTable::Load();
  table.LookupVendor("00:00:0C:00:00:00");
  const long long buildMs = MsSince(built);
  const size_t heapAfter = mallinfo2().uordblks;

  std::printf("startup_ms %lld\ntable_build_ms %lld\ntable_entries %zu\ntable_heap_kb %zu\n",
              startup, buildMs, table.EntryCount(), (heapAfter - heapBefore) / 1024);
  rmdir(folder);
  return 0;
}
