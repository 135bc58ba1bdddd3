#pragma once

// The services a lab test gives the scan session: the lab's table and network, a folder of the
// test's own for the export and the history, no pauses, no browser, no process exit, and any
// error box a test failure.

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/hosttable.h"
#include "app/scansession.h"
#include "scan/scannetwork.h"

namespace app {

inline TSessionServices LabSessionServices(THostTable& table, scan::TScanNetwork& network,
                                           const QTemporaryDir& dir) {
  TSessionServices services;
  services.Table = &table;
  services.Network = &network;
  services.Delay = [](int32_t) {};
  services.OpenUrl = [](const std::string&) {};
  services.EndProcess = [] {};
  services.ShowError = [](const std::string& message) { ADD_FAILURE() << message; };
  services.ExportPath = dir.filePath("quenZOR.csv").toStdString();
  services.HistoryFolder = dir.filePath("history").toStdString();
  return services;
}

}  // namespace app
