// startup_bench: how long the program takes from the start of main to a shown main window, and
// what the vendor table costs in memory. Builds the real main window with its scan replaced by
// nothing, so it sends no traffic, under the offscreen platform and a lock folder of its own.
//
//   startup_ms <n>        start of main to the window shown (exposed), this process
//   table_build_ms <n>    building one vendor table as the window does, on its own
//   table_entries <n>     entries in that table
//   table_heap_kb <n>     heap the table holds (mallinfo2 before and after)
//   history_devices <n>   devices in the device history the window opens (argument, default 0)
//   history_ready_ms <n>  start of main until the window's history has been read (it is read on
//                         a thread of its own; the list waits for it only at its first row)
//   history_load_ms <n>   opening and reading that history on its own
//   history_heap_kb <n>   heap that history holds once read
//
//   startup_bench [devices]   e.g. startup_bench 100000
//
// Run it several times and take the median: the first run also pays for a cold page cache.

#include <malloc.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/formmain.h"
#include "app/history.h"
#include "app/ouitable.h"

namespace {

using TClock = std::chrono::steady_clock;

long long MsSince(TClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

// A history of `devices` devices in folder, as a long-used quenZOR leaves it.
void FillHistory(const std::string& folder, long devices) {
  app::THistory(folder, 1).Flush(1);
  sqlite3* db = nullptr;
  sqlite3_open((folder + "/" + app::kHistoryFileName).c_str(), &db);
  const std::string fill =
      "BEGIN; WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
      std::to_string(devices - 1) +
      ") INSERT INTO devices SELECT printf('02:00:%02X:%02X:%02X:%02X', i / 16777216,"
      " (i / 65536) % 256, (i / 256) % 256, i % 256), 1700000000 + i, 1700000000 + 2 * i,"
      " printf('10.%d.%d.%d', (i / 65536) % 256, (i / 256) % 256, i % 256), 'HOST-' || i,"
      " 'Some page title', 3 FROM n; COMMIT;";
  if (devices > 0) sqlite3_exec(db, fill.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

}  // namespace

int main(int argc, char** argv) {
  const long devices = argc > 1 ? std::atol(argv[1]) : 0;
  char folder[] = "/tmp/qz-startup-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string historyFolder = std::string(folder) + "/quenzor";
  FillHistory(historyFolder, devices);
  const auto start = TClock::now();
  setenv("XDG_RUNTIME_DIR", folder, 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);

  QApplication application(argc, argv);
  long long startup = 0;
  long long historyReady = 0;
  {
    app::TSessionServices services;
    services.ScanNetwork = [](bool, bool, scan::TStatusCallback, scan::TResultCallback) {};
    services.ExportPath = std::string(folder) + "/quenZOR.csv";
    services.EndProcess = [] {};
    services.HistoryFolder = historyFolder;
    app::TFormMain form(services);
    form.show();
    while (!form.windowHandle() || !form.windowHandle()->isExposed()) QApplication::processEvents();
    startup = MsSince(start);
    // The window's own table may still be loading in the background: wait for it.
    form.Session().Oui().LookupVendor("00:00:0C:00:00:00");
    form.Session().History();
    historyReady = MsSince(start);
  }

  const size_t historyHeapBefore = mallinfo2().uordblks;
  const auto opened = TClock::now();
  long long historyLoad = 0;
  size_t historyHeap = 0;
  {
    const app::THistory history(historyFolder, 2);
    historyLoad = MsSince(opened);
    historyHeap = mallinfo2().uordblks - historyHeapBefore;
    if (!history.Available()) std::fprintf(stderr, "history: %s\n", history.Problem().c_str());
  }

  const size_t heapBefore = mallinfo2().uordblks;
  const auto built = TClock::now();
  const app::TOuiTable table = app::TOuiTable::Load();
  table.LookupVendor("00:00:0C:00:00:00");
  const long long buildMs = MsSince(built);
  const size_t heapAfter = mallinfo2().uordblks;

  std::printf("startup_ms %lld\ntable_build_ms %lld\ntable_entries %zu\ntable_heap_kb %zu\n",
              startup, buildMs, table.EntryCount(), (heapAfter - heapBefore) / 1024);
  std::printf(
      "history_devices %ld\nhistory_ready_ms %lld\nhistory_load_ms %lld\nhistory_heap_kb %zu\n",
      devices, historyReady, historyLoad, historyHeap / 1024);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
