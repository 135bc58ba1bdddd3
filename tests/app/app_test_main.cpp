#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>

#include <gtest/gtest.h>

// The main window's tests need a widget application. Each run gets its own runtime folder, so
// the single-instance lock and the device history of the window under test never meet a
// quenZOR that the user runs.
int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QTemporaryDir runtimeDir(QDir::tempPath() + "/qz-app-test-XXXXXX");
  setenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit().constData(), 1);
  // The device history of windows under test stays in the run's own folder too.
  setenv("XDG_DATA_HOME", (runtimeDir.path() + "/data").toLocal8Bit().constData(), 1);
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
